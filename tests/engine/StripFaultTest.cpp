// The strip job against kills, failing output folders and damaged writes.

#include "StripTestSupport.h"

#include "engine/FileSwap.h"
#include "engine/LeftoverJournal.h"
#include "platform/PreferenceKeys.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

namespace cleftone::test {
namespace {

using StripFaultTest = StripJobTest;

// Runs the child mode to its end or its kill, and then waits for the rest of its group.
QByteArray runChild(const QStringList& arguments)
{
    const QByteArray out = runTool(testExecutable(), arguments, 60000).out;
    const pid_t group = out.startsWith("pid:") ? out.mid(4, out.indexOf('\n') - 4).toInt() : 0;
    QDeadlineTimer deadline(20000);
    while (group > 0 && ::kill(-group, 0) == 0 && !deadline.hasExpired())
        QThread::msleep(5);
    EXPECT_GT(group, 0) << out.toStdString();
    EXPECT_NE(::kill(-group, 0), 0) << "the child's group outlived it";
    return out;
}

TEST_F(StripFaultTest, KilledAtAnyMomentLeavesTheOldOrTheNewFileAndNoLeftovers)
{
    // A re-muxed MP3 with its repair pass, an Ogg file rewritten page by page, and a WavPack
    // file whose tags are cut off.
    for (const QString extension : {"mp3", "opus", "wv"}) {
        SCOPED_TRACE(extension.toStdString());
        const QString original = largeTagged(folderAt("media"), extension);
        ASSERT_FALSE(original.isEmpty()) << "ffmpeg could not make the test file";
        const QByteArray originalBytes = readAll(original);
        const QString journal = tempPath("child-journal");

        // A reference strip, which also tells how many reads the copy takes and how long the rest.
        const QString reference = folderAt("reference-" + extension) + "/song." + extension;
        writeFile(reference, originalBytes);
        const QByteArray out = runChild(childArguments(reference, {"--kill-after-read", "0"}));
        const QRegularExpressionMatch counts =
            QRegularExpression("reads:(\\d+) tail:(\\d+)").match(out);
        ASSERT_TRUE(counts.hasMatch()) << out.toStdString();
        const QByteArray strippedBytes = readAll(reference);
        ASSERT_NE(strippedBytes, originalBytes);
        ASSERT_FALSE(strippedBytes.isEmpty());

        // Decoys named like the job's own items but never noted in the journal.
        const QString folder = folderAt("music-" + extension);
        const QString output = folder + "/song." + extension;
        writeFile(folder + "/cleftone.Decoy1", "a file of the user's");
        QDir().mkpath(folder + "/.cleftone-replace-Decoy2");
        writeFile(folder + "/.cleftone-replace-Decoy2/inside", "also the user's");
        const QStringList expected{".cleftone-replace-Decoy2", "cleftone.Decoy1",
                                   "song." + extension};
        // Every other kill lands on a job that first puts the original into the Trash.
        const QString trash = tempPath("data/Trash/files");
        const ScopedEnv dataHome("XDG_DATA_HOME", QFile::encodeName(tempPath("data")));
        bool toTrash = false;

        // Over the packet copy, then more densely over the close, mp3val (MP3) and the commit.
        std::vector<QStringList> kills;
        for (int i = 1; i <= 4; ++i)
            kills.push_back(
                {"--kill-after-read", QString::number(counts.captured(1).toInt() * i / 5)});
        for (int i = 0; i < 10; ++i)
            kills.push_back(
                {"--kill-after-copied", QString::number(counts.captured(2).toInt() * i / 8)});
        int keptOld = 0;
        int cleanedUp = 0;
        for (const QStringList& kill : kills) {
            SCOPED_TRACE(kill.join(' ').toStdString());
            writeFile(output, originalBytes);
            toTrash = !toTrash;
            preferences->setValue(QString::fromLatin1(kMoveOriginalsToTrashKey), toTrash);
            runChild(childArguments(output, kill));

            const QByteArray now = readAll(output);
            EXPECT_TRUE(now == originalBytes || now == strippedBytes)
                << "the output path holds " << now.size() << " bytes of neither file";
            keptOld += now == originalBytes;
            const QStringList trashed = namesIn(trash);
            EXPECT_TRUE(toTrash ? trashed.size() == 1 || (trashed.isEmpty() && now == originalBytes)
                                : trashed.isEmpty())
                << trashed.join(' ').toStdString();
            for (const QString& name : trashed)
                EXPECT_EQ(readAll(trash + "/" + name), originalBytes);
            QDir(tempPath("data")).removeRecursively();

            cleanedUp += namesIn(folder).size() > expected.size();
            removeLeftoversOfDeadProcesses(journal);
            EXPECT_EQ(namesIn(folder), expected);
            EXPECT_EQ(readAll(folder + "/cleftone.Decoy1"), "a file of the user's");
            EXPECT_EQ(namesIn(folder + "/.cleftone-replace-Decoy2"), QStringList{"inside"});
            EXPECT_EQ(namesIn(journal), QStringList());
        }
        EXPECT_GT(keptOld, 0);
        EXPECT_GT(cleanedUp, 0) << "no kill landed while the job had temporary items";
    }
}

TEST_F(StripFaultTest, CommitFlushesTheDataBeforeTheRenameAndTheFolderAfter)
{
    const QString strace = QStandardPaths::findExecutable("strace");
    if (strace.isEmpty())
        GTEST_SKIP() << "strace is not installed";
    // A sound MP3, which the repair tool leaves as it is, and one it rebuilds (its Xing frame
    // counts the frames wrongly): the file renamed into place must be the one flushed.
    for (const auto& [fixture, rebuilt] :
         {std::pair{"mp3_id3v1.mp3", false}, std::pair{"mp3_xing_wrong.mp3", true}}) {
        SCOPED_TRACE(fixture);
        const QString folder = folderAt(QStringLiteral("music-%1").arg(rebuilt));
        const QString input = place(QString::fromLatin1(fixture), folder, "song.mp3");
        const QString trace = tempPath("trace.txt");
        QStringList arguments{
            "-f", "-y",  "-qq",           "-e", "trace=fsync,fdatasync,rename,renameat,renameat2",
            "-o", trace, testExecutable()};
        arguments << childArguments(input);
        const ToolRun run = runTool(strace, arguments, 60000);
        if (run.exitCode != 0 && readAll(trace).isEmpty())
            GTEST_SKIP() << "strace cannot trace here: " << run.err.toStdString();
        ASSERT_TRUE(run.out.contains("success:1")) << run.out.toStdString();

        // Only the calls on the job's own files, each where it ended: a flush on another thread
        // may be printed in two parts, "fsync(5</a> <unfinished ...>" and "<... fsync resumed>".
        QStringList calls;
        qsizetype toolEnded = -1;
        QMap<QString, QString> unfinished; // process id -> the file being flushed
        const QRegularExpression fsync(QStringLiteral(R"((?:fsync|fdatasync)\(\d+<([^>]*)>\))"));
        const QRegularExpression started(
            QStringLiteral(R"(^(\d+) +(?:fsync|fdatasync)\(\d+<([^>]*)> <unfinished)"));
        const QRegularExpression resumed(
            QStringLiteral(R"(^(\d+) +<\.\.\. (?:fsync|fdatasync) resumed>)"));
        const QRegularExpression rename(QString::fromLatin1(
            R"re(rename(?:at2?)?\((?:[^,]*, )?"([^"]*)", (?:[^,]*, )?"([^"]*)")re"));
        for (const QString& line : QString::fromUtf8(readAll(trace)).split(QLatin1Char('\n'))) {
            QString flushed;
            if (line.contains(QLatin1String("--- SIGCHLD")))
                toolEnded = calls.size();
            else if (const auto u = started.match(line); u.hasMatch())
                unfinished.insert(u.captured(1), u.captured(2));
            else if (const auto e = resumed.match(line); e.hasMatch())
                flushed = unfinished.take(e.captured(1));
            else if (const auto m = fsync.match(line); m.hasMatch())
                flushed = m.captured(1);
            else if (const auto r = rename.match(line); r.hasMatch() && r.captured(2) == input)
                calls << "rename " + r.captured(1);
            if (flushed.startsWith(folder))
                calls << "fsync " + flushed;
        }
        ASSERT_GE(calls.size(), 3) << calls.join(QLatin1Char('\n')).toStdString();
        const QStringList commit = calls.mid(calls.size() - 3);
        const QString temporary = commit[1].mid(7);
        EXPECT_TRUE(temporary.contains("/.cleftone-replace-")) << temporary.toStdString();
        EXPECT_EQ(commit,
                  (QStringList{"fsync " + temporary, "rename " + temporary, "fsync " + folder}));
        EXPECT_GE(toolEnded, 0);
        if (rebuilt)
            EXPECT_LE(toolEnded, calls.size() - 3) << "the rebuilt file was not flushed";
        else
            EXPECT_EQ(calls.size(), 3) << calls.join(QLatin1Char('\n')).toStdString();
    }
}

TEST_F(StripFaultTest, CommitAcrossFileSystemsCopiesBesideTheDestinationThenRenames)
{
    const QString destination = folderAt("dest");
    QTemporaryDir shm("/dev/shm/cleftone-test-XXXXXX");
    if (!shm.isValid() || statOf(shm.path())->st_dev == statOf(destination)->st_dev)
        GTEST_SKIP() << "no second file system (tmpfs at /dev/shm) beside the test folder";
    const QString item = shm.filePath("cleftone.XyZ789");
    const QString out = destination + "/song.wav";
    QByteArray audio(300000, 'a');
    audio[299999] = 'z';
    for (const bool replacing : {true, false}) {
        SCOPED_TRACE(replacing ? "replacing" : "moving");
        writeFile(item, audio, 0644);
        if (replacing)
            writeFile(out, "old", 0600);
        else
            QFile::remove(out);
        FileError error;
        ASSERT_TRUE(CTFileSwap::swapItemAtURL(out, item, &error)) << qPrintable(error.message());
        EXPECT_EQ(readAll(out), audio);
        EXPECT_EQ(modeOf(out), 0644u);
        EXPECT_FALSE(exists(item));
        EXPECT_EQ(namesIn(destination), QStringList{"song.wav"});
        EXPECT_EQ(namesIn(leftoverJournalDirectory()), QStringList());
    }
}

TEST_F(StripFaultTest, OutputThatCannotBeWrittenFailsTheJobAndKeepsWhatWasThere)
{
    // The user's temporary folder, to see what a job leaves there.
    const QString tmpFolder = folderAt("tmpdir");
    const ScopedEnv tmpdir("TMPDIR", QFile::encodeName(tmpFolder));
    const QString folder = folderAt("music");
    const QString input = folder + "/song.wav";
    ASSERT_TRUE(makeTaggedWav(input, 3)); // about 530 kB
    const QByteArray bytes = readAll(input);
    const auto expectRefused = [&](const QString& in, AudioFileService* service,
                                   const QString& message) {
        const Outcome outcome = strip(in, environment(false, service));
        expectFailed(outcome, failureLine("song.wav", message));
        EXPECT_EQ(readAll(input), bytes);
        EXPECT_EQ(temporaryNamesIn(folder) + temporaryNamesIn(tmpFolder), QStringList());
        return outcome.tempFilePath;
    };
    const QString moveFailed = "Could not save “song.wav” in the folder “%1”: %2.";
    const QString noSpace = "Could not write the stripped copy: no space left on device.";

    // A file where the folder should be.
    const QString notAFolder = tempPath("notafolder");
    writeFile(notAFolder, "a file");
    setDestination(notAFolder);
    expectRefused(input, nullptr, moveFailed.arg("notafolder", "not a directory"));
    EXPECT_EQ(readAll(notAFolder), "a file");

    // Gone before the job started: the temporary file went to the temporary folder instead.
    const QString gone = tempPath("gone");
    const QString goneMessage = moveFailed.arg("gone", "no such file or directory");
    setDestination(gone);
    EXPECT_TRUE(expectRefused(input, nullptr, goneMessage).startsWith(tmpFolder + "/cleftone."));

    // Removed, with the job's replacement folder inside it, while the job copies.
    QDir().mkpath(gone);
    HookedService service;
    service.afterRead = [&gone](int reads) {
        if (reads == 2)
            QDir(gone).removeRecursively();
    };
    EXPECT_TRUE(
        expectRefused(input, &service, goneMessage).startsWith(gone + "/.cleftone-replace-"));
    EXPECT_FALSE(exists(gone)) << "nothing recreated it";

    // Small file systems: read-only ones refuse even root, writable ones fill up.
    const QString readOnly = "Could not replace “song.wav” in the folder “%1”: read-only file "
                             "system.";
    const struct {
        const char* name;
        const char* options;
        QByteArray before; // the song at the destination
        bool inPlace;      // which is the input
        QString message;
    } mounts[] = {
        {"ro-empty", "size=64k", {}, false, moveFailed.arg("ro-empty", "read-only file system")},
        {"ro-full", "size=64k", "the old song", false, readOnly.arg("ro-full")},
        {"ro-own", "size=1m", bytes, true, readOnly.arg("ro-own")},
        {"small", "size=256k", "the old song", false, noSpace},
        {"crowded", "size=1m", bytes, true, noSpace},
    };
    for (const auto& m : mounts) {
        SCOPED_TRACE(m.name);
        const QString destination = folderAt(m.name);
        const QString song = destination + "/song.wav";
        ScopedMount mount(destination, ScopedMount::tmpfs(destination, m.options));
        if (mount.ok() && !m.before.isEmpty())
            writeFile(song, m.before);
        if (QByteArray(m.name).startsWith("ro-"))
            mount.run({"mount", "-o", "remount,ro", destination});
        if (!mount.ok())
            GTEST_SKIP() << mount.error();
        setDestination(m.inPlace ? QString::fromLatin1(kOverwriteExistingFile) : destination);
        expectRefused(m.inPlace ? song : input, nullptr, m.message);
        EXPECT_EQ(namesIn(destination),
                  m.before.isEmpty() ? QStringList() : QStringList{"song.wav"});
        EXPECT_EQ(readAll(song), m.before);
    }
}

TEST_F(StripFaultTest, ACopyDamagedOnItsWayToTheDiskNeverReplacesAnything)
{
    const QString folder = folderAt("music");
    const QString destination = folderAt("stripped");
    const QRegularExpression message(
        "^Cleftone Failed To Strip File: [^ ]+\\.  Error:The stripped copy did not match the "
        "original audio \\((packet \\d+ differs|it holds \\d+ packets instead of \\d+|"
        "its codec setup differs|it could not be opened)\\)\\. The original was not changed\\.$");
    const struct {
        const char* name;
        bool inPlace;
        bool setup = false; // the codec setup is damaged instead of the first write of packets
    } cases[] = {{"mp3_all_tags.mp3", true},       {"wav_info_bext_id3.wav", true},
                 {"m4a_aac_tags.m4a", true},       {"flac_tags.flac", true},
                 {"aiff_chunks_id3.aiff", true},   {"m4a_aac_tags.m4a", false},
                 {"mp3_all_tags.mp3", false},      {"flac_tags.flac", true, true},
                 {"flac_picture.oga", true, true}, {"tta_apev2_id3v1.tta", true},
                 {"dff_diin_comt.dff", true, true}};
    for (const auto& [name, inPlace, setup] : cases) {
        SCOPED_TRACE(name);
        setDestination(inPlace ? QString::fromLatin1(kOverwriteExistingFile) : destination);
        const QString input = place(QString::fromLatin1(name), folder);
        HookedService service;
        service.corruptWrite = setup ? 0 : 1;
        service.corruptSetup = setup;
        const Outcome outcome = strip(input, environment(false, &service));
        EXPECT_FALSE(outcome.success);
        ASSERT_EQ(outcome.errors.size(), 1);
        EXPECT_TRUE(message.match(outcome.errors[0]).hasMatch()) << outcome.errors[0].toStdString();
        EXPECT_EQ(readAll(input), readAll(fixture(QString::fromLatin1(name))));
        EXPECT_EQ(temporaryNamesIn(folder), QStringList());
        EXPECT_EQ(namesIn(destination), QStringList());
    }
}

TEST_F(StripFaultTest, ACopyDamagedFarIntoALongPcmFileIsFoundAtItsPacket)
{
    // Twenty seconds of 16-bit stereo: 108 copy blocks of 8192 frames, checked 32 to a read.
    const QString input = folderAt("music") + "/long.wav";
    ASSERT_EQ(runTool("ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                 "sine=frequency=440:duration=20", "-ac", "2", "-ar", "44100",
                                 "-c:a", "pcm_s16le", input})
                  .exitCode,
              0);
    const QByteArray original = readAll(input);
    HookedService service;
    service.corruptWrite = 70; // a bit in the middle of the 70th block
    const Outcome outcome = strip(input, environment(false, &service));
    EXPECT_FALSE(outcome.success);
    ASSERT_EQ(outcome.errors.size(), 1);
    EXPECT_TRUE(
        outcome.errors[0].contains(QStringLiteral("(packet %1 differs)").arg(69 * 8192 + 4096)))
        << outcome.errors[0].toStdString();
    EXPECT_EQ(readAll(input), original);
}

} // namespace
} // namespace cleftone::test
