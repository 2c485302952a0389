#include "intake/FileScreening.h"

#include "QStringPrinter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace cleftone;

namespace {

const QStringList kSupported{"mp3", "flac", "m4a", "mp4", "wav"};

struct Outcome {
    QStringList admitted;
    QStringList heldBack;
    QStringList skipped;
};

Outcome screen(const QStringList& paths, ScreeningRules rules = {})
{
    if (rules.supportedExtensions.isEmpty())
        rules.supportedExtensions = kSupported;
    if (!rules.hasVideoTrack)
        rules.hasVideoTrack = [](const QString&) {
            return false;
        };
    Outcome outcome;
    const ScreeningSink sink{
        [&](const QString& path) { outcome.admitted << path; },
        [&](const QString& path) { outcome.heldBack << path; },
        [&](const QString& path) { outcome.skipped << path; },
    };
    screenBatch(paths, rules, sink);
    return outcome;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

bool touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

} // namespace

TEST(FileScreening, AFolderListsSupportedAndHiddenFilesAndSkipsOthersSilently)
{
    QTemporaryDir tmp;
    const QString dir = tmp.filePath("drop");
    ASSERT_TRUE(touch(dir + "/a.mp3") && touch(dir + "/b.txt") && touch(dir + "/.c.mp3"));

    const Outcome outcome = screen({dir, tmp.filePath("drop/b.txt")});
    EXPECT_EQ(sorted(outcome.admitted), (QStringList{dir + "/.c.mp3", dir + "/a.mp3"}));
    // Only a path of the batch itself is reported, not a folder entry.
    EXPECT_EQ(outcome.skipped, QStringList{dir + "/b.txt"});
}

TEST(FileScreening, PathsArePassedOnAsGivenWhetherOrNotTheyExist)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(touch(tmp.filePath("Song.MP3")) && touch(tmp.filePath("dir/Inner.FLAC")));
    const QString ghost = tmp.filePath("missing/ghost.Mp3");

    const Outcome outcome = screen(
        {tmp.filePath("Song.MP3"), tmp.filePath("dir/"), ghost, tmp.filePath("missing/g.ogg")});
    EXPECT_EQ(outcome.admitted,
              (QStringList{tmp.filePath("Song.MP3"), tmp.filePath("dir/Inner.FLAC"), ghost}));
    EXPECT_EQ(outcome.skipped, QStringList{tmp.filePath("missing/g.ogg")});
}

TEST(FileScreening, FolderEntriesAreJudgedByNameAndLinksAreNotFollowed)
{
    QTemporaryDir tmp;
    const QString dir = tmp.filePath("drop");
    ASSERT_TRUE(touch(dir + "/album.flac/track.mp3") && touch(tmp.filePath("elsewhere/x.mp3")));
    ASSERT_TRUE(QFile::link(tmp.filePath("elsewhere"), dir + "/linked.wav"));

    const Outcome outcome = screen({dir});
    EXPECT_EQ(
        sorted(outcome.admitted),
        (QStringList{dir + "/album.flac", dir + "/album.flac/track.mp3", dir + "/linked.wav"}));
}

TEST(FileScreening, CancellationStopsTheFolderAndTheRestOfTheBatch)
{
    QTemporaryDir tmp;
    for (const char* name : {"a.mp3", "dir/1.mp3", "dir/2.mp3", "dir/3.mp3", "z.mp3"})
        ASSERT_TRUE(touch(tmp.filePath(name)));
    Outcome outcome;
    ScreeningRules rules;
    rules.supportedExtensions = kSupported;
    rules.isCancelled = [&] {
        return outcome.admitted.size() >= 2;
    };
    const ScreeningSink sink{[&](const QString& path) { outcome.admitted << path; }, {}, {}};

    screenBatch({tmp.filePath("a.mp3"), tmp.filePath("dir"), tmp.filePath("z.mp3")}, rules, sink);
    ASSERT_EQ(outcome.admitted.size(), 2);
    EXPECT_EQ(outcome.admitted[0], tmp.filePath("a.mp3"));
    EXPECT_TRUE(outcome.admitted[1].startsWith(tmp.filePath("dir/")));
}

TEST(FileScreening, OnlySupportedVideoExtensionsAreProbed)
{
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
