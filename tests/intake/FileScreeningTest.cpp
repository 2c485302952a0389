#include "intake/FileScreening.h"

#include "QStringPrinter.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace cleftone;

namespace {

struct Outcome {
    QStringList admitted;
    QStringList heldBack;
    QStringList skipped;
    QStringList leftOut;
};

Outcome screen(const QStringList& paths, ScreeningRules rules = {})
{
    rules.supportedExtensions = {"mp3", "flac", "m4a", "mp4", "wav"};
    Outcome outcome;
    screenBatch(paths, rules,
                {[&](const QString& path) { outcome.admitted << path; },
                 [&](const QString& path) { outcome.heldBack << path; },
                 [&](const QString& path) { outcome.skipped << path; },
                 [&](const QString& path) {
                     outcome.leftOut << path;
                 }});
    return outcome;
}

bool touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    return QFile(path).open(QIODevice::WriteOnly);
}

} // namespace

TEST(FileScreening, FoldersListSupportedNamesBelowThemAndOtherPathsPassAsGiven)
{
    QTemporaryDir tmp;
    const QString dir = tmp.filePath("drop");
    for (const char* name : {"drop/a.mp3", "drop/b.txt", "drop/.c.mp3", "drop/album.flac/track.mp3",
                             "drop/Track 10.mp3", "drop/track 2.mp3", "drop/Track 1.mp3",
                             "elsewhere/x.mp3", "Song.MP3", "dir/Inner.FLAC", "drop/tune.MID",
                             "drop/.x.ra", "drop/.box/y.avi", "drop/list.m3u", "drop/clip.avi/z"})
        ASSERT_TRUE(touch(tmp.filePath(name)));
    QFile midi(dir + "/noext");
    ASSERT_TRUE(midi.open(QIODevice::WriteOnly) &&
                midi.write(QByteArray("MThd\0\0\0\x06\0\0\0\x01\0\x60", 14)) == 14);
    midi.close();
    ASSERT_TRUE(QFile::link(tmp.filePath("elsewhere"), dir + "/linked.wav"));
    const QString ghost = tmp.filePath("missing/ghost.Mp3");

    const Outcome outcome = screen({dir, dir + "/b.txt", tmp.filePath("Song.MP3"),
                                    tmp.filePath("dir/"), ghost, tmp.filePath("missing/g.ogg")});
    // Folder entries are judged by name, hidden ones too, and links are not followed. They come
    // in the order a person reads them: case ignored, numbers by value.
    EXPECT_EQ(outcome.admitted,
              (QStringList{dir + "/.c.mp3", dir + "/a.mp3", dir + "/album.flac",
                           dir + "/album.flac/track.mp3", dir + "/linked.wav", dir + "/Track 1.mp3",
                           dir + "/track 2.mp3", dir + "/Track 10.mp3", tmp.filePath("Song.MP3"),
                           tmp.filePath("dir/Inner.FLAC"), ghost}));
    // Only a path of the batch itself is reported, not a folder entry.
    EXPECT_EQ(outcome.skipped, (QStringList{dir + "/b.txt", tmp.filePath("missing/g.ogg")}));
    // Audio and video that cannot be stripped are left out by name (or content), unless hidden.
    EXPECT_EQ(outcome.leftOut, (QStringList{dir + "/noext", dir + "/tune.MID"}));

    // Cancelled: the folder and the rest of the batch stop.
    QStringList admitted;
    ScreeningRules rules;
    rules.supportedExtensions = {"mp3"};
    rules.isCancelled = [&] {
        return admitted.size() >= 2;
    };
    screenBatch({tmp.filePath("Song.MP3"), dir, tmp.filePath("Song.MP3")}, rules,
                {[&](const QString& path) { admitted << path; }, {}, {}, {}});
    ASSERT_EQ(admitted.size(), 2);
    EXPECT_TRUE(admitted[1].startsWith(dir + "/"));
}

// Cover art is no video track.
TEST(FileScreening, OnlySupportedVideoExtensionsAreProbed)
{
    const QString audio = QStringLiteral(CLEFTONE_TEST_DATA_DIR "/audio/");
    const Outcome real = screen({audio + "mp4_aac_video.mp4", audio + "m4a_aac_tags.m4a"});
    EXPECT_EQ(real.heldBack, QStringList{audio + "mp4_aac_video.mp4"});
    EXPECT_EQ(real.admitted, QStringList{audio + "m4a_aac_tags.m4a"});

    // d.mov has a video extension that is not supported; e.mkv is neither.
    const QStringList paths{"/x/a.mp3", "/x/b.M4A", "/x/c.mp4", "/x/d.mov", "/x/e.mkv"};
    QStringList probed;
    ScreeningRules rules;
    rules.hasVideoTrack = [&](const QString& path) {
        probed << path;
        return path.endsWith(".mp4");
    };
    Outcome outcome = screen(paths, rules);
    EXPECT_EQ(probed, (QStringList{"/x/b.M4A", "/x/c.mp4"}));
    EXPECT_EQ(outcome.admitted, (QStringList{"/x/a.mp3", "/x/b.M4A"}));
    EXPECT_EQ(outcome.heldBack, QStringList{"/x/c.mp4"});

    probed.clear();
    rules.suppressVideoFileWarning = true;
    outcome = screen(paths, rules);
    EXPECT_TRUE(probed.isEmpty());
    EXPECT_EQ(outcome.admitted, (QStringList{"/x/a.mp3", "/x/b.M4A", "/x/c.mp4"}));
}
