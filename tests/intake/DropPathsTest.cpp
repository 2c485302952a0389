#include "intake/DropPaths.h"

#include "QStringPrinter.h"

#include "platform/PathBytes.h"

#include <QMimeData>
#include <QUrl>
#include <gtest/gtest.h>

using namespace cleftone;

namespace {

// Shaped like a drag out of the Music app: a Tracks dictionary keyed by track ID, in drag order
// (not ID order), among other top-level keys, then the playlist of the dragged items.
const QByteArray kMusicDrag = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
	<key>Major Version</key><integer>1</integer> <key>Application Version</key><string>1.3.5.3</string>
	<key>Date</key><date>2024-03-02T10:15:00Z</date> <key>Show Content Ratings</key><true/>
	<key>Tracks</key><dict>
		<key>5210</key><dict><key>Track ID</key><integer>5210</integer><key>Name</key><string>Bird &#38; Fish</string>
			<key>Location</key><string>file:///Users/ana/Music/Zo%C3%AB/Bird%20&#38;%20Fish.mp3</string></dict>
		<key>88</key><dict><key>Location</key><string>http://radio.example.com/live.mp3</string></dict>
		<key>301</key><dict><key>Name</key><string>Cloud only</string><key>Artwork</key><data>iVBORw0KGgo=</data></dict>
		<key>302</key><dict><key>Location</key><integer>302</integer></dict>
		<key>303</key><dict><key>Location</key><string>file:///Users/ana/not a url.mp3</string></dict>
		<key>17</key><dict><key>Location</key><string>file://localhost/Volumes/Archive/100%25%20Live.m4a</string></dict>
	</dict>
	<key>Playlists</key><array><dict><key>Playlist Items</key><array>
		<dict><key>Track ID</key><integer>5210</integer></dict>
	</array></dict></array>
</dict></plist>
)";

QByteArray tracksArray(const QByteArray& body)
{
    return "<plist version=\"1.0\"><dict><key>Tracks</key><array>" + body +
           "</array></dict></plist>";
}

} // namespace

TEST(DropPathsTest, UriListGivesDecodedLocalFilePathsInOrderAndRegistersFirst)
{
    EXPECT_EQ(dropTypes(), (QStringList{"text/uri-list", "CorePasteboardFlavorType 0x6974756E"}));
    QMimeData data;
    data.setData("text/uri-list", "file:///home/ana/Caf%C3%A9/%231%20Song.flac\r\n"
                                  "https://example.com/song.mp3\r\n"
                                  "file://localhost/srv/music/Albums/\r\n"
                                  "file://nas.example.net/share/x.mp3\r\n"
                                  "file:///m/caf%E9.mp3\r\n"); // Latin-1: kept as bytes
    EXPECT_EQ(pathsFromMimeData(data),
              (QStringList{"/home/ana/Café/#1 Song.flac", "/srv/music/Albums",
                           pathFromBytes("/m/caf\xE9.mp3")}));

    // A web link alone gives nothing, and does not fall back to the tracks.
    data.setData(QString::fromLatin1(kMusicLibraryPasteboardType), kMusicDrag);
    data.setUrls({QUrl("https://example.com/album.flac")});
    EXPECT_TRUE(pathsFromMimeData(data).isEmpty());
    EXPECT_TRUE(pathsFromMimeData(QMimeData()).isEmpty());
}

TEST(DropPathsTest, MusicLibraryTracksAreTheLocalFilesOfTheDictionaryOrArrayInOrder)
{
    QMimeData data;
    data.setData(QString::fromLatin1(kMusicLibraryPasteboardType), kMusicDrag);
    EXPECT_EQ(pathsFromMimeData(data), (QStringList{"/Users/ana/Music/Zoë/Bird & Fish.mp3",
                                                    "/Volumes/Archive/100% Live.m4a"}));
    data.setUrls({QUrl::fromLocalFile("/home/ana/one.mp3")});
    EXPECT_EQ(pathsFromMimeData(data), QStringList{"/home/ana/one.mp3"}) << "file URLs win";

    const QByteArray plist =
        tracksArray("<dict><key>Location</key><string>file:///m/b.mp3</string></dict>"
                    "<string>file:///m/not-a-record.mp3</string>"
                    "<dict><key>Name</key><string>x</string></dict>"
                    "<dict><key>Location</key><string>file:///m/a.mp3</string></dict>");
    EXPECT_EQ(pathsFromMusicLibraryPropertyList(plist), (QStringList{"/m/b.mp3", "/m/a.mp3"}));
}

TEST(DropPathsTest, MalformedOrHostileDocumentsGiveNothing)
{
    const QByteArray track = "<dict><key>Location</key><string>file:///m/a.mp3</string></dict>";
    ASSERT_EQ(pathsFromMusicLibraryPropertyList(tracksArray(track)).size(), 1);

    // Ten levels of tenfold entities would expand to thirty billion characters.
    QByteArray laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY l0 \"lol\">\n";
    for (int level = 1; level <= 10; ++level)
        laughs += "<!ENTITY l" + QByteArray::number(level) + " \"" +
                  ("&l" + QByteArray::number(level - 1) + ";").repeated(10) + "\">\n";
    laughs +=
        "]>\n" + tracksArray("<dict><key>Location</key><string>file:///&l10;</string></dict>");

    const QList<QByteArray> broken{
        "",
        "not xml at all",
        kMusicDrag.left(kMusicDrag.size() / 2),
        tracksArray(track) + "<plist/>",
        tracksArray(track + "<dict><key>Location</key></dict>"),
        tracksArray(track + "<dict><string>file:///m/b.mp3</string></dict>"),
        tracksArray(track + "<dict><key>Location</key><string>a<b/></string></dict>"),
        tracksArray(track + "<set/>"),
        "<plist><array><dict><key>Tracks</key></dict></array></plist>",
        // Ten thousand levels of arrays beside a good location: the whole document is refused.
        tracksArray("<dict><key>Location</key><string>file:///m/a.mp3</string><key>Deep</key>" +
                    QByteArray("<array>").repeated(10000) + QByteArray("</array>").repeated(10000) +
                    "</dict>"),
        laughs,
        // A parameter entity that declares the entity used for the location.
        "<!DOCTYPE plist [<!ENTITY % p0 \"<!ENTITY x 'file:///x.mp3'>\"> %p0;]>" +
            tracksArray("<dict><key>Location</key><string>&x;</string></dict>"),
    };
    for (const QByteArray& xml : broken)
        EXPECT_TRUE(pathsFromMusicLibraryPropertyList(xml).isEmpty()) << xml.left(200).constData();
}
