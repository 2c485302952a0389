#include "engine/LeftoverJournal.h"

#include "CommitTestSupport.h"

#include "engine/TemporaryFile.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace cleftone {
namespace {

using test::exists;
using test::namesIn;
using test::writeFile;

class LeftoverJournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        journal = dir.path() + QStringLiteral("/journal");
        folder = dir.path() + QStringLiteral("/music");
        ASSERT_TRUE(QDir().mkpath(folder));
    }

    // A record of this very PID with another start time: a process that has gone, whose PID
    // was given to us.
    ProcessIdentity recycledPid() const
    {
        ProcessIdentity dead = ProcessIdentity::current();
        dead.startTime += 1;
        return dead;
    }

    QTemporaryDir dir;
    QString journal;
    QString folder;
};

TEST_F(LeftoverJournalTest, ProcessIdentityTellsLiveFromDeadAndRecycled)
{
    EXPECT_TRUE(ProcessIdentity::current().isAlive());
    EXPECT_GT(ProcessIdentity::current().startTime, 0u);
    EXPECT_FALSE(recycledPid().isAlive());

    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    // Unreaped, the child is a zombie: gone for our purposes.
    for (int i = 0; i < 500 && ProcessIdentity::of(child); ++i)
        ::usleep(10000);
    EXPECT_FALSE(ProcessIdentity::of(child));
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(ProcessIdentity::of(child));
}

TEST_F(LeftoverJournalTest, KilledJobLeftoversRemovedAtNextStartButNotLookalikes)
{
    const QString song = folder + QStringLiteral("/song.mp3");
    writeFile(song, "input");
    // Cleftone-like names that are not a job's: a file with content and a folder with contents.
    const QString lookalikeFile = folder + QStringLiteral("/cleftone.Foreig");
    const QString lookalikeDir = folder + QStringLiteral("/.cleftone-replace-Foreig");
    writeFile(lookalikeFile, "not ours");
    ASSERT_TRUE(QDir().mkpath(lookalikeDir + QStringLiteral("/keep")));

    QProcess job;
    job.start(QCoreApplication::applicationFilePath(),
              {QStringLiteral("--killed-job"), journal, song, song});
    ASSERT_TRUE(job.waitForFinished(30000));
    ASSERT_EQ(job.exitStatus(), QProcess::CrashExit);
    const QStringList reported = QString::fromLocal8Bit(job.readAllStandardOutput()).split('\n');
    ASSERT_GE(reported.size(), 2);
    const QString tempFile = reported[0];
    const QString replacement = reported[1];
    ASSERT_TRUE(exists(tempFile));
    ASSERT_TRUE(exists(replacement));
    ASSERT_EQ(namesIn(journal).size(), 1);

    const QStringList removed = removeLeftoversOfDeadProcesses(journal);
    EXPECT_TRUE(removed.contains(replacement));
    EXPECT_FALSE(exists(tempFile));
    EXPECT_FALSE(exists(replacement));
    EXPECT_TRUE(exists(lookalikeFile));
    EXPECT_TRUE(exists(lookalikeDir + QStringLiteral("/keep")));
    EXPECT_TRUE(exists(song));
    EXPECT_TRUE(namesIn(journal).isEmpty());
}

TEST_F(LeftoverJournalTest, OnlyItemsThatStillLookLikeTheRecordedOnesAreRemoved)
{
    const QString ours = folder + QStringLiteral("/song_NoTag.mp3");
    const QString replacedByUser = folder + QStringLiteral("/other_NoTag.mp3");
    const QString temp = folder + QStringLiteral("/cleftone.QwErTy");
    const QString wronglyNamed = folder + QStringLiteral("/song.mp3");
    // The repair tool was killed after moving these aside to "<name>.bak".
    const QString movedAside = folder + QStringLiteral("/third_NoTag.mp3");
    const QString tempMovedAside = folder + QStringLiteral("/cleftone.BakBak");
    {
        LeftoverRecord record(journal, recycledPid());
        for (const QString& path : {ours, replacedByUser, movedAside}) {
            const int entry = record.expectAt(LeftoverKind::FallbackFile, path);
            writeFile(path, "");
            record.made(entry, path);
        }
        writeFile(temp, "");
        record.made(record.expectIn(LeftoverKind::TemporaryFile, folder), temp);
        // The repair tool puts a new file (another inode) in its place.
        writeFile(temp + QStringLiteral(".new"), "repaired audio");
        ::rename(QFile::encodeName(temp + QStringLiteral(".new")).constData(),
                 QFile::encodeName(temp).constData());
        writeFile(tempMovedAside, "");
        record.made(record.expectIn(LeftoverKind::TemporaryFile, folder), tempMovedAside);
        for (const QString& path : {movedAside, tempMovedAside})
            QFile::rename(path, path + QStringLiteral(".bak"));
        writeFile(wronglyNamed, "the user's song");
        record.made(record.expectIn(LeftoverKind::TemporaryFile, folder), wronglyNamed);
        record.abandon();
    }
    // The user saved a file of their own under the fallback file's name.
    writeFile(folder + QStringLiteral("/new"), "the user's new file");
    QFile::remove(replacedByUser);
    QFile::rename(folder + QStringLiteral("/new"), replacedByUser);

    removeLeftoversOfDeadProcesses(journal);
    EXPECT_FALSE(exists(ours));
    EXPECT_FALSE(exists(temp));
    EXPECT_TRUE(exists(replacedByUser));
    EXPECT_TRUE(exists(wronglyNamed));
    EXPECT_EQ(namesIn(folder),
              QStringList({QStringLiteral("other_NoTag.mp3"), QStringLiteral("song.mp3")}));
    EXPECT_TRUE(namesIn(journal).isEmpty());
}

TEST_F(LeftoverJournalTest, ItemsWhoseNamesWereNotNotedYetAreFoundOnlyWhenEmpty)
{
    LeftoverRecord live(journal, ProcessIdentity::current());
    const QString liveTemp = folder + QStringLiteral("/cleftone.LiVe01");
    writeFile(liveTemp, "");
    live.made(live.expectIn(LeftoverKind::TemporaryFile, folder), liveTemp);

    // Killed between mkstemp/mkdtemp and noting the name.
    const QString other = dir.path() + QStringLiteral("/other");
    ASSERT_TRUE(QDir().mkpath(other + QStringLiteral("/.cleftone-replace-Dead01")));
    writeFile(other + QStringLiteral("/cleftone.Dead02"), "");
    writeFile(other + QStringLiteral("/cleftone.Full03"), "content: not from a killed mkstemp");
    {
        LeftoverRecord dead(journal, recycledPid());
        dead.expectIn(LeftoverKind::ReplacementDirectory, other);
        dead.expectIn(LeftoverKind::TemporaryFile, other);
        dead.abandon();
    }
    removeLeftoversOfDeadProcesses(journal);
    EXPECT_EQ(namesIn(other), QStringList{QStringLiteral("cleftone.Full03")});
    EXPECT_TRUE(exists(liveTemp)) << "a running job's file";
    EXPECT_EQ(namesIn(journal).size(), 1) << "only the running job's record remains";

    // While a running job is about to make something in the same folder, the dead job's
    // unnamed items there cannot be told from it: they wait for a later start.
    writeFile(folder + QStringLiteral("/cleftone.Dead04"), "");
    {
        LeftoverRecord dead(journal, recycledPid());
        dead.expectIn(LeftoverKind::TemporaryFile, folder);
        dead.abandon();
    }
    const int pending = live.expectIn(LeftoverKind::TemporaryFile, folder);
    removeLeftoversOfDeadProcesses(journal);
    EXPECT_TRUE(exists(folder + QStringLiteral("/cleftone.Dead04")));
    EXPECT_EQ(namesIn(journal).size(), 2);
    live.forget(pending);
    removeLeftoversOfDeadProcesses(journal);
    EXPECT_FALSE(exists(folder + QStringLiteral("/cleftone.Dead04")));
    EXPECT_TRUE(exists(liveTemp));
    EXPECT_EQ(namesIn(journal).size(), 1);
}

} // namespace
} // namespace cleftone
