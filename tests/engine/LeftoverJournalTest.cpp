#include "engine/LeftoverJournal.h"

#include "StripTestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace cleftone::test {
namespace {

// This very PID with another start time: a process that has gone, whose PID was given to us.
ProcessIdentity recycledPid()
{
    ProcessIdentity dead = ProcessIdentity::current();
    dead.startTime += 1;
    return dead;
}

class LeftoverJournalTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(folder)); }

    QTemporaryDir dir;
    const QString journal = dir.filePath("journal");
    const QString folder = dir.filePath("music");
};

TEST_F(LeftoverJournalTest, OnlyItemsThatStillLookLikeTheRecordedOnesAreRemoved)
{
    const QString replacement = folder + "/.cleftone-replace-RePl01";
    const QString ours = folder + "/song_NoTag.mp3";
    const QString replacedByUser = folder + "/other_NoTag.mp3";
    const QString temp = folder + "/cleftone.QwErTy";
    const QString wronglyNamed = folder + "/song.mp3";
    // The repair tool was killed after moving these aside to "<name>.bak".
    const QString movedAside = folder + "/third_NoTag.mp3";
    const QString tempMovedAside = folder + "/cleftone.BakBak";
    {
        LeftoverRecord record(journal, recycledPid());
        const int directory = record.expectIn(LeftoverKind::ReplacementDirectory, folder);
        ASSERT_TRUE(QDir().mkpath(replacement + "/inner"));
        writeFile(replacement + "/cleftone.Inside", "half-written audio");
        record.made(directory, replacement);
        for (const QString& path : {ours, replacedByUser, movedAside}) {
            const int entry = record.expectAt(LeftoverKind::FallbackFile, path);
            writeFile(path, "");
            record.made(entry, path);
        }
        writeFile(temp, "");
        record.made(record.expectIn(LeftoverKind::TemporaryFile, folder), temp);
        // The repair tool puts a new file (another inode) in its place.
        writeFile(temp + ".new", "repaired audio");
        ::rename(QFile::encodeName(temp + ".new").constData(), QFile::encodeName(temp).constData());
        writeFile(tempMovedAside, "");
        record.made(record.expectIn(LeftoverKind::TemporaryFile, folder), tempMovedAside);
        for (const QString& path : {movedAside, tempMovedAside})
            QFile::rename(path, path + ".bak");
        writeFile(wronglyNamed, "the user's song");
        record.made(record.expectIn(LeftoverKind::TemporaryFile, folder), wronglyNamed);
        record.abandon();
    }
    // The user saved a file of their own under the fallback file's name.
    writeFile(folder + "/new", "the user's new file");
    QFile::remove(replacedByUser);
    QFile::rename(folder + "/new", replacedByUser);

    EXPECT_TRUE(removeLeftoversOfDeadProcesses(journal).contains(replacement));
    EXPECT_EQ(namesIn(folder), QStringList({"other_NoTag.mp3", "song.mp3"}));
    EXPECT_EQ(readAll(replacedByUser), "the user's new file");
    EXPECT_EQ(namesIn(journal), QStringList());
}

TEST_F(LeftoverJournalTest, ItemsWhoseNamesWereNotNotedYetAreFoundOnlyWhenEmpty)
{
    LeftoverRecord live(journal, ProcessIdentity::current());
    const QString liveTemp = folder + "/cleftone.LiVe01";
    writeFile(liveTemp, "");
    live.made(live.expectIn(LeftoverKind::TemporaryFile, folder), liveTemp);

    // Killed between mkstemp/mkdtemp and noting the name.
    const QString other = dir.filePath("other");
    ASSERT_TRUE(QDir().mkpath(other + "/.cleftone-replace-Dead01"));
    ASSERT_TRUE(QDir().mkpath(other + "/.cleftone-replace-Full02/keep"));
    writeFile(other + "/cleftone.Dead03", "");
    writeFile(other + "/cleftone.Full04", "content: not from a killed mkstemp");
    {
        LeftoverRecord dead(journal, recycledPid());
        dead.expectIn(LeftoverKind::ReplacementDirectory, other);
        dead.expectIn(LeftoverKind::TemporaryFile, other);
        dead.abandon();
    }
    removeLeftoversOfDeadProcesses(journal);
    EXPECT_EQ(namesIn(other), (QStringList{".cleftone-replace-Full02", "cleftone.Full04"}));
    EXPECT_TRUE(exists(liveTemp)) << "a running job's file";
    EXPECT_EQ(namesIn(journal).size(), 1) << "only the running job's record remains";

    // While a running job is about to make something in the same folder, the dead job's
    // unnamed items there cannot be told from it: they wait for a later start.
    writeFile(folder + "/cleftone.Dead05", "");
    {
        LeftoverRecord dead(journal, recycledPid());
        dead.expectIn(LeftoverKind::TemporaryFile, folder);
        dead.abandon();
    }
    const int pending = live.expectIn(LeftoverKind::TemporaryFile, folder);
    removeLeftoversOfDeadProcesses(journal);
    EXPECT_TRUE(exists(folder + "/cleftone.Dead05"));
    EXPECT_EQ(namesIn(journal).size(), 2);
    live.forget(pending);
    removeLeftoversOfDeadProcesses(journal);
    EXPECT_EQ(namesIn(folder), QStringList{"cleftone.LiVe01"});
    EXPECT_EQ(namesIn(journal).size(), 1);
}

} // namespace
} // namespace cleftone::test
