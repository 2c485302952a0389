// The strip job against a hostile world: killed at any moment, inputs that cannot be read or
// vanish, output folders that refuse, vanish or fill up. Every failure is one error-log line and
// leaves the input as it was; the output path holds a whole file or nothing new.

#include "StripTestSupport.h"

#include "engine/LeftoverJournal.h"
#include "platform/PreferenceKeys.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone::test {
namespace {

QString ourTemporaryItems(const QString& folder)
{
    return temporaryNamesIn(folder).join(QLatin1Char(' '));
}

class StripFaultTest : public StripJobTest {
protected:
    // A folder made by the test to stand in for the user's temporary folder, so that what a
    // job leaves there can be seen.
    QString useTemporaryFolder()
    {
        const QString folder = folderAt(QStringLiteral("tmpdir"));
        tmpdir = std::make_unique<ScopedEnv>("TMPDIR", QFile::encodeName(folder));
        return folder;
    }

    std::unique_ptr<ScopedEnv> tmpdir;
};

// Waits until no process of the group `group` is left (the orphaned repair tool of a killed
// job finishes on its own).
bool waitForProcessGroup(pid_t group, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (::kill(-group, 0) == 0) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

struct KilledChild {
    bool ok = false;
    qint64 startToCopied = 0; // ms from "go" to "copied", when not killed
    qint64 copiedToExit = 0;  // ms from "copied" to the exit, when not killed
};

// Reads the child's output up to and including `line`; false when it never comes.
bool waitForLine(QProcess& child, const QByteArray& line)
{
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        while (child.canReadLine()) {
            if (child.readLine() == line + '\n')
                return true;
        }
        if (child.state() == QProcess::NotRunning)
            return false;
        child.waitForReadyRead(50);
    }
    return false;
}

// Runs the child mode; kills it `killAfterMs` after it printed `anchor` ("go" or "copied"), or
// never when `killAfterMs` is -1.
KilledChild runAndKill(const QStringList& arguments, const QByteArray& anchor, int killAfterMs)
{
    KilledChild result;
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Its own process group, so that the test can wait for the repair tool it leaves running.
    child.setChildProcessModifier([] { ::setpgid(0, 0); });
    child.start(testExecutable(), arguments);
    if (!child.waitForStarted(10000))
        return result;
    const pid_t pid = pid_t(child.processId());
    const auto stop = [&] {
        ::kill(pid, SIGKILL);
        child.waitForFinished(5000);
        return result;
    };
    if (!waitForLine(child, "go"))
        return stop();
    QElapsedTimer clock;
    clock.start();
    if (anchor == "copied") {
        if (!waitForLine(child, "copied"))
            return stop();
        clock.restart();
    }
    if (killAfterMs >= 0) {
        if (killAfterMs > 0)
            QThread::msleep(ulong(killAfterMs));
        ::kill(pid, SIGKILL);
    } else {
        if (!waitForLine(child, "copied"))
            return stop();
        result.startToCopied = clock.restart();
    }
    if (!child.waitForFinished(60000))
        return stop();
    result.copiedToExit = clock.elapsed();
    result.ok = waitForProcessGroup(pid, 20000);
    return result;
}

TEST_F(StripFaultTest, KilledAtAnyMomentLeavesTheOldOrTheNewFileAndNoLeftovers)
{
    const QString original = largeTaggedMP3(folderAt(QStringLiteral("media")));
    ASSERT_FALSE(original.isEmpty()) << "ffmpeg could not make the test file";
    const QByteArray originalBytes = readFile(original);
    const QString journal = tempPath(QStringLiteral("child-journal"));
    const QString settings = tempPath(QStringLiteral("settings.conf"));

    // A reference strip, which also tells how long a strip takes here.
    const QString referenceFolder = folderAt(QStringLiteral("reference"));
    const QString reference = referenceFolder + QStringLiteral("/song.mp3");
    ASSERT_TRUE(copyFile(original, reference));
    const KilledChild whole =
        runAndKill(childStripArguments(journal, settings, reference), "go", -1);
    ASSERT_TRUE(whole.ok);
    const QByteArray strippedBytes = readFile(reference);
    ASSERT_NE(strippedBytes, originalBytes);
    ASSERT_FALSE(strippedBytes.isEmpty());

    // Decoys named like the job's own items but never noted in the journal.
    const QString folder = folderAt(QStringLiteral("music"));
    const QString output = folder + QStringLiteral("/song.mp3");
    writeFile(folder + QStringLiteral("/cleftone.Decoy1"), "a file of the user's");
    QDir().mkpath(folder + QStringLiteral("/.cleftone-replace-Decoy2"));
    writeFile(folder + QStringLiteral("/.cleftone-replace-Decoy2/inside"), "also the user's");
    const QStringList decoys{".cleftone-replace-Decoy2", "cleftone.Decoy1"};

    // Moments spread over the packet copy, then more densely over what follows it: closing the
    // output, the permissions, mp3val and the commit.
    struct Moment {
        const char* anchor;
        int delay;
    };
    std::vector<Moment> moments;
    for (int i = 0; i < 8; ++i)
        moments.push_back({"go", int(whole.startToCopied * i / 8)});
    for (int i = 0; i < 14; ++i)
        moments.push_back({"copied", int(whole.copiedToExit * 6 / 5 * i / 13)});

    int keptOld = 0;
    int gotNew = 0;
    int cleanedUp = 0;
    for (const Moment& moment : moments) {
        SCOPED_TRACE(testing::Message()
                     << "killed " << moment.delay << " ms after \"" << moment.anchor << '"');
        ASSERT_TRUE(copyFile(original, output));
        ASSERT_TRUE(
            runAndKill(childStripArguments(journal, settings, output), moment.anchor, moment.delay)
                .ok);

        const QByteArray now = readFile(output);
        EXPECT_TRUE(now == originalBytes || now == strippedBytes)
            << "the output path holds " << now.size() << " bytes of neither file";
        (now == originalBytes ? keptOld : gotNew) += 1;

        if (namesIn(folder).size() > decoys.size() + 1)
            ++cleanedUp;
        removeLeftoversOfDeadProcesses(journal);
        QStringList expected = decoys;
        expected << "song.mp3";
        expected.sort();
        EXPECT_EQ(namesIn(folder), expected);
        EXPECT_EQ(readFile(folder + QStringLiteral("/cleftone.Decoy1")), "a file of the user's");
        EXPECT_EQ(namesIn(folder + QStringLiteral("/.cleftone-replace-Decoy2")),
                  QStringList{"inside"});
        EXPECT_EQ(journalRecords(journal), QStringList());
    }
    std::cout << "[          ] " << moments.size() << " kills (copy " << whole.startToCopied
              << " ms, then " << whole.copiedToExit << " ms): old file kept " << keptOld
              << ", new file " << gotNew << ", leftovers removed after " << cleanedUp << "\n";
    EXPECT_GT(keptOld, 0);
    EXPECT_GT(cleanedUp, 0) << "no kill landed while the job had temporary items";
}

TEST_F(StripFaultTest, CommitFlushesTheDataBeforeTheRenameAndTheFolderAfter)
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        GTEST_SKIP() << "strace is not installed";
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = place(QStringLiteral("mp3_id3v1.mp3"), folder, "song.mp3");
    const QString trace = tempPath(QStringLiteral("trace.txt"));
    QStringList arguments{
        "-f", "-y",  "-qq",           "-e", "trace=fsync,fdatasync,rename,renameat,renameat2",
        "-o", trace, testExecutable()};
    arguments << childStripArguments(tempPath(QStringLiteral("child-journal")),
                                     tempPath(QStringLiteral("settings.conf")), input);
    const ToolRun run = runTool(strace, arguments, 60000);
    if (run.exitCode != 0 && readFile(trace).isEmpty())
        GTEST_SKIP() << "strace cannot trace here: " << run.err.toStdString();
    ASSERT_TRUE(run.out.contains("success:1")) << run.out.toStdString();

    // Only the calls on the job's own files, in order.
    QStringList calls;
    const QRegularExpression fsync(QStringLiteral(R"((?:fsync|fdatasync)\(\d+<([^>]*)>\))"));
    const QRegularExpression rename(QString::fromLatin1(
        R"re(rename(?:at2?)?\((?:[^,]*, )?"([^"]*)", (?:[^,]*, )?"([^"]*)")re"));
    for (const QString& line : QString::fromUtf8(readFile(trace)).split(QLatin1Char('\n'))) {
        if (const auto m = fsync.match(line); m.hasMatch() && m.captured(1).startsWith(folder))
            calls << QStringLiteral("fsync ") + m.captured(1);
        else if (const auto r = rename.match(line); r.hasMatch() && r.captured(2) == input)
            calls << QStringLiteral("rename ") + r.captured(1);
    }
    ASSERT_EQ(calls.size(), 3) << calls.join(QLatin1Char('\n')).toStdString();
    const QString temporary = calls[1].mid(7);
    EXPECT_TRUE(temporary.contains(QLatin1String("/.cleftone-replace-")))
        << temporary.toStdString();
    EXPECT_EQ(calls, (QStringList{QStringLiteral("fsync ") + temporary,
                                  QStringLiteral("rename ") + temporary,
                                  QStringLiteral("fsync ") + folder}));
}

TEST_F(StripFaultTest, InputsThatCannotBeReadFailWithOneLine)
{
    const QString folder = folderAt(QStringLiteral("music"));
    // Root reads any file whatever its mode, so the unreadable cases are things that are not
    // files, and a mode-000 file read by an unprivileged child.
    ASSERT_TRUE(QDir().mkdir(folder + QStringLiteral("/folder.mp3")));
    ASSERT_TRUE(
        QFile::link(folder + QStringLiteral("/nowhere"), folder + QStringLiteral("/gone.mp3")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder + QStringLiteral("/pipe.mp3")).constData(), 0644),
              0);
    const QString formatMessage = QStringLiteral("Core Audio cannot write this audio format (0).");
    for (const char* name : {"folder.mp3", "gone.mp3", "pipe.mp3"}) {
        SCOPED_TRACE(name);
        const Outcome outcome =
            strip(folder + QLatin1Char('/') + QLatin1String(name), environment());
        ASSERT_TRUE(outcome.finished) << "the job hung";
        EXPECT_FALSE(outcome.success);
        EXPECT_EQ(outcome.errors,
                  QStringList{failureLine(QString::fromLatin1(name), formatMessage)});
    }
    EXPECT_EQ(namesIn(folder), (QStringList{"folder.mp3", "gone.mp3", "pipe.mp3"}));
    EXPECT_EQ(namesIn(folder + QStringLiteral("/folder.mp3")), QStringList());

    const QString locked = place(QStringLiteral("mp3_id3v1.mp3"), folder, "locked.mp3", 0000);
    if (::geteuid() != 0) {
        const Outcome outcome = strip(locked, environment());
        EXPECT_EQ(outcome.errors,
                  QStringList{failureLine(QStringLiteral("locked.mp3"), formatMessage)});
    } else {
        // The child drops to "nobody", who must reach the folder but not the file.
        ::chmod(QFile::encodeName(tmp.path()).constData(), 0755);
        ::chmod(QFile::encodeName(folder).constData(), 0777);
        const ChildStrip child =
            runChildStrip(tempPath(QStringLiteral("child-journal")),
                          tempPath(QStringLiteral("settings.conf")), locked, true);
        ASSERT_TRUE(child.finished);
        EXPECT_FALSE(child.success);
        EXPECT_EQ(child.errors,
                  QStringList{failureLine(QStringLiteral("locked.mp3"), formatMessage)});
    }
    EXPECT_EQ(modeOf(locked), 0000u);
    EXPECT_EQ(readFile(locked), readFile(fixture(QStringLiteral("mp3_id3v1.mp3"))));
    EXPECT_EQ(ourTemporaryItems(folder), QString());
}

TEST_F(StripFaultTest, InputDeletedWhileBeingReadStillGivesAWholeOutput)
{
    // The job holds the input open, so it reads the whole file even after its name is gone:
    // the right outcome is a complete stripped file, never a partial one.
    const QString referenceFolder = folderAt(QStringLiteral("reference"));
    const QString reference = referenceFolder + QStringLiteral("/song.wav");
    ASSERT_TRUE(makeTaggedWav(reference, 3));
    const QByteArray original = readFile(reference);
    ASSERT_TRUE(strip(reference, environment()).success);
    const QByteArray stripped = readFile(reference);
    ASSERT_NE(stripped, original);

    const QString folder = folderAt(QStringLiteral("music"));
    const QString destination = folderAt(QStringLiteral("out"));
    for (const bool intoFolder : {false, true}) {
        SCOPED_TRACE(intoFolder ? "into a destination folder" : "in place");
        setDestination(intoFolder ? destination : QString::fromLatin1(kOverwriteExistingFile));
        const QString input = folder + QStringLiteral("/song.wav");
        writeFile(input, original);
        HookedService service;
        service.afterRead = [&input](int reads) {
            if (reads == 2)
                QFile::remove(input);
        };
        StripEnvironment env = environment();
        env.service = &service;
        const Outcome outcome = strip(input, env);
        ASSERT_TRUE(outcome.finished);
        EXPECT_TRUE(outcome.success);
        EXPECT_EQ(outcome.errors, QStringList());
        EXPECT_EQ(readFile(outcome.outFilePath), stripped);
        EXPECT_EQ(ourTemporaryItems(folder), QString());
        EXPECT_EQ(ourTemporaryItems(destination), QString());
    }
}

TEST_F(StripFaultTest, OutputFolderThatRefusesWritingFailsTheCommitOnly)
{
    const QString tmpFolder = useTemporaryFolder();
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = place(QStringLiteral("wav_24bit.wav"), folder, "song.wav");
    const QByteArray bytes = readFile(input);
    const auto expectFailure = [&](const Outcome& outcome, const QString& error) {
        EXPECT_FALSE(outcome.success);
        EXPECT_EQ(outcome.errors, QStringList{failureLine(QStringLiteral("song.wav"),
                                                          QStringLiteral("Could not write the "
                                                                         "output file: ") +
                                                              error)});
        EXPECT_EQ(readFile(input), bytes);
        EXPECT_EQ(ourTemporaryItems(folder), QString());
        EXPECT_EQ(ourTemporaryItems(tmpFolder), QString());
        EXPECT_EQ(journalRecords(journalDirectoryForTests()), QStringList());
    };

    // Works everywhere: a "folder" that is a file.
    const QString notAFolder = tempPath(QStringLiteral("notafolder"));
    writeFile(notAFolder, "a file");
    setDestination(notAFolder);
    expectFailure(strip(input, environment()),
                  QStringLiteral("The file “song.wav” could not be saved in the folder "
                                 "“notafolder”: Not a directory [CTFileSwapErrorDomain 2; "
                                 "underlying NSPOSIXErrorDomain 20]"));

    // A read-only file system refuses even root: empty, with a file of that name, and in place.
    const QString empty = folderAt(QStringLiteral("ro-empty"));
    const ScopedMount emptyMount(empty, "size=64k", true);
    if (!emptyMount.ok())
        GTEST_SKIP() << emptyMount.error();
    setDestination(empty);
    expectFailure(strip(input, environment()),
                  QStringLiteral("The file “song.wav” could not be saved in the folder "
                                 "“ro-empty”: Read-only file system [CTFileSwapErrorDomain 2; "
                                 "underlying NSPOSIXErrorDomain 30]"));
    EXPECT_EQ(namesIn(empty), QStringList());

    const QString full = folderAt(QStringLiteral("ro-full"));
    const ScopedMount fullMount(full, "size=64k", true, [](const QString& directory) {
        writeFile(directory + QStringLiteral("/song.wav"), "the old song");
    });
    ASSERT_TRUE(fullMount.ok()) << fullMount.error();
    setDestination(full);
    expectFailure(strip(input, environment()),
                  QStringLiteral("The file “song.wav” could not be replaced: Read-only file "
                                 "system [CTFileSwapErrorDomain 1; underlying NSPOSIXErrorDomain "
                                 "30]"));
    EXPECT_EQ(readFile(full + QStringLiteral("/song.wav")), "the old song");

    const QString own = folderAt(QStringLiteral("ro-own"));
    const ScopedMount ownMount(own, "size=256k", true, [](const QString& directory) {
        copyFile(fixture(QStringLiteral("wav_24bit.wav")), directory + QStringLiteral("/song.wav"));
    });
    ASSERT_TRUE(ownMount.ok()) << ownMount.error();
    setDestination(QString::fromLatin1(kOverwriteExistingFile));
    const Outcome inPlace = strip(own + QStringLiteral("/song.wav"), environment());
    EXPECT_FALSE(inPlace.success);
    EXPECT_EQ(inPlace.errors,
              QStringList{failureLine(QStringLiteral("song.wav"),
                                      QStringLiteral("Could not write the output file: The file "
                                                     "“song.wav” could not be replaced: Read-only "
                                                     "file system [CTFileSwapErrorDomain 1; "
                                                     "underlying NSPOSIXErrorDomain 30]"))});
    EXPECT_EQ(readFile(own + QStringLiteral("/song.wav")), bytes);
    EXPECT_EQ(ourTemporaryItems(tmpFolder), QString());
}

TEST_F(StripFaultTest, DestinationFolderThatVanishedFailsTheCommit)
{
    const QString tmpFolder = useTemporaryFolder();
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = folder + QStringLiteral("/song.wav");
    ASSERT_TRUE(makeTaggedWav(input, 3));
    const QByteArray bytes = readFile(input);
    const QString expected = failureLine(
        QStringLiteral("song.wav"),
        QStringLiteral("Could not write the output file: The file “song.wav” could not be saved "
                       "in the folder “gone”: No such file or directory [CTFileSwapErrorDomain 2; "
                       "underlying NSPOSIXErrorDomain 2]"));
    const QString gone = tempPath(QStringLiteral("gone"));
    setDestination(gone);

    // Gone before the job started: the temporary file goes to the temporary folder instead.
    const Outcome before = strip(input, environment());
    EXPECT_FALSE(before.success);
    EXPECT_EQ(before.errors, QStringList{expected});
    EXPECT_TRUE(before.tempFilePath.startsWith(tmpFolder));

    // Removed, with the job's replacement folder inside it, while the job copies.
    QDir().mkpath(gone);
    HookedService service;
    service.afterRead = [&gone](int reads) {
        if (reads == 2)
            QDir(gone).removeRecursively();
    };
    StripEnvironment env = environment();
    env.service = &service;
    const Outcome during = strip(input, env);
    EXPECT_FALSE(during.success);
    EXPECT_EQ(during.errors, QStringList{expected});
    EXPECT_TRUE(during.tempFilePath.startsWith(gone + QStringLiteral("/.cleftone-replace-")));

    EXPECT_FALSE(QFileInfo::exists(gone)) << "nothing recreated it";
    EXPECT_EQ(readFile(input), bytes);
    EXPECT_EQ(ourTemporaryItems(folder), QString());
    EXPECT_EQ(ourTemporaryItems(tmpFolder), QString());
    EXPECT_EQ(journalRecords(journalDirectoryForTests()), QStringList());
}

TEST_F(StripFaultTest, FullDiskFailsTheJobAndLeavesNothingBehind)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = folder + QStringLiteral("/song.wav");
    ASSERT_TRUE(makeTaggedWav(input, 3)); // about 530 kB
    const QByteArray bytes = readFile(input);
    const QRegularExpression copyFailure(
        QStringLiteral("^Cleftone Failed To Strip File: song\\.wav\\.  Error:"
                       "(AudioFileWritePackets|AudioFileClose) Failed: \\S+$"));

    // Into a small destination file system that holds an older copy.
    const QString small = folderAt(QStringLiteral("small"));
    const ScopedMount smallMount(small, "size=256k", false);
    if (!smallMount.ok())
        GTEST_SKIP() << smallMount.error();
    writeFile(small + QStringLiteral("/song.wav"), "the old song");
    setDestination(small);
    const Outcome into = strip(input, environment());
    EXPECT_FALSE(into.success);
    ASSERT_EQ(into.errors.size(), 1);
    EXPECT_TRUE(copyFailure.match(into.errors.first()).hasMatch())
        << into.errors.first().toStdString();
    EXPECT_EQ(namesIn(small), QStringList{"song.wav"});
    EXPECT_EQ(readFile(small + QStringLiteral("/song.wav")), "the old song");
    EXPECT_EQ(readFile(input), bytes);

    // In place, on a file system with room for the input but not for a second copy.
    const QString crowded = folderAt(QStringLiteral("crowded"));
    const ScopedMount crowdedMount(crowded, "size=1m", false);
    ASSERT_TRUE(crowdedMount.ok()) << crowdedMount.error();
    const QString own = crowded + QStringLiteral("/song.wav");
    writeFile(own, bytes);
    setDestination(QString::fromLatin1(kOverwriteExistingFile));
    const Outcome inPlace = strip(own, environment());
    EXPECT_FALSE(inPlace.success);
    ASSERT_EQ(inPlace.errors.size(), 1);
    EXPECT_TRUE(copyFailure.match(inPlace.errors.first()).hasMatch())
        << inPlace.errors.first().toStdString();
    EXPECT_EQ(readFile(own), bytes);
    EXPECT_EQ(namesIn(crowded), QStringList{"song.wav"});
    EXPECT_EQ(journalRecords(journalDirectoryForTests()), QStringList());
}

} // namespace
} // namespace cleftone::test
