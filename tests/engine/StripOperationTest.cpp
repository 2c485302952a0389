// The strip job end to end on real files: output path rules in both build channels, tags gone
// and packets kept, the repair pass, permissions, cancellation, the "_NoTag" fallback and the
// error-log lines.

#include "StripTestSupport.h"

#include "engine/CleftoneOperation.h"
#include "errorlog/ErrorLogStore.h"
#include "platform/FolderBookmark.h"
#include "platform/PreferenceKeys.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace cleftone::test {
namespace {

const QString bookmarkKey = QString::fromLatin1(kDestinationFolderBookmarkKey);

bool exists(const QString& path)
{
    return lstatOf(path).has_value();
}

QString problemsOf(const QJsonObject& report, const char* side)
{
    QStringList problems;
    for (const QJsonValue& problem :
         report.value(QLatin1String(side)).toObject().value(QLatin1String("problems")).toArray())
        problems << problem.toString();
    return problems.join(QLatin1Char('\n'));
}

// A stand-in for mp3val that writes its arguments, one a line, to `record` and then runs `body`.
QString fakeRepairTool(const QString& directory, const QString& record, const QByteArray& body)
{
    QDir().mkpath(directory);
    writeFile(directory + QStringLiteral("/mp3val"),
              "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + QFile::encodeName(record) + "'\n" + body +
                  "\n",
              0755);
    return directory;
}

TEST_F(StripJobTest, InPlaceKeepsTypeAndPacketsAndDropsEveryTag)
{
    const QString folder = folderAt(QStringLiteral("music"));
    // The packets are compared with the tag-free stream the fixture was made from where ffmpeg
    // itself would read a trailing tag as audio.
    const struct {
        const char* name;
        const char* packets;
    } cases[] = {{"mp3_all_tags.mp3", "ref/mp3_vbr.mp3"},
                 {"mp3_id3v24_apic.mp3", "ref/mp3_vbr.mp3"},
                 {"flac_tags.flac", "ref/flac.flac"},
                 {"m4a_aac_tags.m4a", "m4a_aac_tags.m4a"},
                 {"wav_info_bext_id3.wav", "wav_info_bext_id3.wav"},
                 {"aiff_chunks_id3.aiff", "aiff_chunks_id3.aiff"}};
    for (const auto& [name, packets] : cases) {
        SCOPED_TRACE(name);
        const QString input = place(QString::fromLatin1(name), folder);
        const AudioFileTypeID type = reopen(input).type;
        const StreamDigest original = digest(fixture(QString::fromLatin1(packets)));
        ASSERT_FALSE(original.packetHashes.isEmpty());

        SystemLogCapture systemLog;
        const Outcome outcome = strip(input, environment());
        ASSERT_TRUE(outcome.finished);
        EXPECT_TRUE(outcome.success);
        EXPECT_EQ(outcome.errors, QStringList());
        // mp3val (the real one, beside the test binary) found nothing to say.
        EXPECT_EQ(systemLog.lines(), QStringList());
        EXPECT_EQ(outcome.outFilePath, input);

        EXPECT_EQ(reopen(input).type, type);
        const StreamDigest stripped = digest(input);
        EXPECT_EQ(stripped.packetHashes, original.packetHashes);
        EXPECT_EQ(stripped.decodedMd5, original.decodedMd5);
        EXPECT_EQ(stripped.errors, QByteArray());
        const QJsonObject report = inspect(fixture(QString::fromLatin1(name)), input);
        EXPECT_NE(problemsOf(report, "input"), QString()) << "the fixture should carry tags";
        EXPECT_EQ(problemsOf(report, "output"), QString());
        EXPECT_TRUE(report.value(QLatin1String("mismatch")).toArray().isEmpty());

        EXPECT_EQ(modeOf(input), 0644u);
        EXPECT_FALSE(exists(outcome.tempFilePath));
        EXPECT_EQ(temporaryNamesIn(folder), QStringList());
    }
    EXPECT_EQ(journalRecords(journalDirectoryForTests()), QStringList());
}

TEST_F(StripJobTest, DestinationFolderGetsACopyUnderTheInputsName)
{
    const QString source = folderAt(QStringLiteral("a/b"));
    const QString destination = folderAt(QStringLiteral("c/d"));
    const QString input = place(QStringLiteral("m4a_aac_tags.m4a"), source, "song.m4a");
    const QByteArray inputBytes = readFile(input);
    writeFile(destination + QStringLiteral("/song.m4a"), "an older song.m4a", 0600);
    setDestination(destination);

    const Outcome replaced = strip(input, environment());
    ASSERT_TRUE(replaced.finished);
    EXPECT_TRUE(replaced.success);
    EXPECT_EQ(replaced.errors, QStringList());
    EXPECT_EQ(replaced.outFilePath, destination + QStringLiteral("/song.m4a"));
    EXPECT_EQ(readFile(input), inputBytes);
    EXPECT_EQ(digest(replaced.outFilePath).packetHashes, digest(input).packetHashes);
    EXPECT_EQ(problemsOf(inspect(input, replaced.outFilePath), "output"), QString());
    EXPECT_EQ(modeOf(replaced.outFilePath), 0644u) << "nothing of the replaced file is kept";

    // Nothing of that name there yet: the file is moved in. A trailing slash changes nothing.
    setDestination(destination + QLatin1Char('/'));
    const QString second = place(QStringLiteral("flac_tags.flac"), source, "tune.flac");
    const Outcome moved = strip(second, environment());
    EXPECT_TRUE(moved.success);
    EXPECT_EQ(moved.outFilePath, destination + QStringLiteral("/tune.flac"));
    EXPECT_EQ(digest(moved.outFilePath).packetHashes, digest(second).packetHashes);

    EXPECT_EQ(namesIn(destination), (QStringList{"song.m4a", "tune.flac"}));
    EXPECT_EQ(namesIn(source), (QStringList{"song.m4a", "tune.flac"}));
}

TEST_F(StripJobTest, OutputIsNeverReadableByMoreThanTheInput)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString destination = folderAt(QStringLiteral("out"));
    const struct {
        mode_t input;
        mode_t output;
        bool intoFolder;
    } cases[] = {{0600, 0600, false},
                 {0755, 0644, false},
                 {0444, 0444, false},
                 {0640, 0640, true},
                 {0666, 0644, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.input << (c.intoFolder ? " into" : ""));
        setDestination(c.intoFolder ? destination : QString::fromLatin1(kOverwriteExistingFile));
        const QString input = place(QStringLiteral("wav_24bit.wav"), folder, {}, c.input);
        const Outcome outcome = strip(input, environment());
        EXPECT_TRUE(outcome.success);
        EXPECT_EQ(modeOf(outcome.outFilePath), c.output);
        if (c.intoFolder) {
            EXPECT_EQ(modeOf(input), c.input);
        }
    }
}

TEST_F(StripJobTest, SandboxedJobWritesWhereTheStoredBookmarkLeads)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString chosen = folderAt(QStringLiteral("chosen"));
    const QString input = place(QStringLiteral("flac_tags.flac"), folder);
    const QByteArray bookmark = FolderBookmark::create(chosen).value_or(QByteArray());
    ASSERT_FALSE(bookmark.isEmpty());
    preferences->setValue(bookmarkKey, bookmark);
    // The setting's text is not where the sandboxed build writes.
    setDestination(tempPath(QStringLiteral("typed-but-not-granted")));

    const Outcome outcome = strip(input, environment(true));
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(outcome.errors, QStringList());
    EXPECT_EQ(outcome.outFilePath, chosen + QStringLiteral("/flac_tags.flac"));
    EXPECT_EQ(digest(outcome.outFilePath).packetHashes, digest(input).packetHashes);
    EXPECT_FALSE(QFileInfo::exists(tempPath(QStringLiteral("typed-but-not-granted"))));
    EXPECT_EQ(preferences->dataForKey(bookmarkKey), bookmark) << "a sound bookmark is kept";

    // "Overwrite Existing File" needs no bookmark at all.
    preferences->removeValue(bookmarkKey);
    setDestination(QString::fromLatin1(kOverwriteExistingFile));
    const Outcome inPlace = strip(input, environment(true));
    EXPECT_TRUE(inPlace.success);
    EXPECT_EQ(inPlace.outFilePath, input);
}

TEST_F(StripJobTest, SandboxedJobRefreshesAStaleBookmarkAndGoesOn)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString chosen = folderAt(QStringLiteral("chosen"));
    const QString input = place(QStringLiteral("flac_tags.flac"), folder);
    const QByteArray old = FolderBookmark::create(chosen).value_or(QByteArray());
    preferences->setValue(bookmarkKey, old);
    setDestination(chosen);
    // Replaced by a new folder of the same path.
    ASSERT_TRUE(QDir().rename(chosen, tempPath(QStringLiteral("chosen.old"))));
    ASSERT_TRUE(QDir().mkdir(chosen));
    ASSERT_TRUE(FolderBookmark::resolve(old).value_or(ResolvedFolder{}).isStale);

    const Outcome outcome = strip(input, environment(true));
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(outcome.errors, QStringList());
    EXPECT_EQ(outcome.outFilePath, chosen + QStringLiteral("/flac_tags.flac"));
    EXPECT_TRUE(QFileInfo(outcome.outFilePath).isFile());
    EXPECT_EQ(namesIn(tempPath(QStringLiteral("chosen.old"))), QStringList());

    const QByteArray fresh = preferences->dataForKey(bookmarkKey);
    EXPECT_NE(fresh, old);
    const std::optional<ResolvedFolder> resolved = FolderBookmark::resolve(fresh);
    ASSERT_TRUE(resolved.has_value());
    EXPECT_EQ(resolved->path, chosen);
    EXPECT_FALSE(resolved->isStale);
}

TEST_F(StripJobTest, SandboxedJobWithoutUsableBookmarkFailsWithItsMessage)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = place(QStringLiteral("flac_tags.flac"), folder);
    const QByteArray inputBytes = readFile(input);
    const QString gone = folderAt(QStringLiteral("gone"));
    const QByteArray goneBookmark = FolderBookmark::create(gone).value_or(QByteArray());
    ASSERT_TRUE(QDir().rmdir(gone));
    setDestination(gone);

    const struct {
        QByteArray bookmark; // empty: none stored
        const char* message;
    } cases[] = {
        {QByteArray(), "No saved access for the destination folder. Please re-select it from the "
                       "destination popup."},
        {goneBookmark, "Could not resolve destination folder: The folder no longer exists."},
        {QByteArray("not a bookmark"),
         "Could not resolve destination folder: The bookmark data is damaged."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.bookmark.isEmpty())
            preferences->removeValue(bookmarkKey);
        else
            preferences->setValue(bookmarkKey, c.bookmark);
        const Outcome outcome = strip(input, environment(true));
        ASSERT_TRUE(outcome.finished);
        EXPECT_FALSE(outcome.success);
        EXPECT_EQ(outcome.errors, QStringList{failureLine(QStringLiteral("flac_tags.flac"),
                                                          QString::fromLatin1(c.message))});
        EXPECT_EQ(outcome.tempFilePath, QString()) << "nothing was made";
        EXPECT_EQ(readFile(input), inputBytes);
        EXPECT_EQ(namesIn(folder), QStringList{"flac_tags.flac"});
        EXPECT_FALSE(QFileInfo::exists(gone));
    }
}

TEST_F(StripJobTest, SandboxedJobIsRefusedAFolderItCannotWrite)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = place(QStringLiteral("flac_tags.flac"), folder);
    const QString locked = folderAt(QStringLiteral("locked"));
    // Root may write anywhere the file system allows; a read-only file system refuses even root.
    const ScopedMount mount(locked, "size=64k", true);
    if (!mount.ok())
        GTEST_SKIP() << mount.error();
    preferences->setValue(bookmarkKey, FolderBookmark::create(locked).value_or(QByteArray()));
    setDestination(locked);

    const Outcome outcome = strip(input, environment(true));
    EXPECT_FALSE(outcome.success);
    EXPECT_EQ(outcome.errors,
              QStringList{failureLine(QStringLiteral("flac_tags.flac"),
                                      QStringLiteral("Cleftone does not have access to the "
                                                     "destination folder. Please re-select it."))});
    EXPECT_EQ(readFile(input), readFile(fixture(QStringLiteral("flac_tags.flac"))));
}

TEST_F(StripJobTest, FileThatIsNotWritableAudioFailsWithTheFormatMessage)
{
    const QString folder = folderAt(QStringLiteral("music"));
    // An Ogg FLAC file: a container the service reads but the engine does not write back.
    const QString ogg = folder + QStringLiteral("/ogg.mp3");
    ASSERT_EQ(
        runTool(QStringLiteral("ffmpeg"), {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                           "sine=duration=1", "-c:a", "flac", "-f", "ogg", ogg})
            .exitCode,
        0);
    const struct {
        QString input;
        const char* code; // how the container type shows in the message
    } cases[] = {
        {place(QStringLiteral("bad/text.mp3"), folder), "0"},
        {place(QStringLiteral("bad/empty.mp3"), folder), "0"},
        {place(QStringLiteral("bad/random.flac"), folder), "0"},
        {ogg, "Oggf"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.toStdString());
        const QByteArray bytes = readFile(c.input);
        const Outcome outcome = strip(c.input, environment());
        EXPECT_FALSE(outcome.success);
        EXPECT_EQ(outcome.errors,
                  QStringList{failureLine(QFileInfo(c.input).fileName(),
                                          QStringLiteral("Core Audio cannot write this audio "
                                                         "format (%1).")
                                              .arg(QLatin1String(c.code)))});
        EXPECT_EQ(readFile(c.input), bytes);
        EXPECT_EQ(temporaryNamesIn(folder), QStringList());
    }
}

TEST_F(StripJobTest, FailureLineGoesToTheSharedErrorLog)
{
    ErrorLogStore& store = ErrorLogStore::sharedController();
    const qsizetype before = store.entries().size();
    const QString input = place(QStringLiteral("bad/text.mp3"), folderAt(QStringLiteral("m")));
    StripEnvironment shared = environment();
    shared.logError = nullptr;

    const Outcome outcome = strip(input, shared);
    EXPECT_FALSE(outcome.success);
    // Logged from the queue's thread, inserted on the main thread.
    QDeadlineTimer deadline(10000);
    while (store.entries().size() == before && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_EQ(store.entries().size(), before + 1);
    EXPECT_EQ(store.entries().last().log,
              failureLine(QStringLiteral("text.mp3"),
                          QStringLiteral("Core Audio cannot write this audio format (0).")));
}

TEST_F(StripJobTest, JobCancelledBeforeItStartsTouchesNothing)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = place(QStringLiteral("mp3_id3v1.mp3"), folder);
    StripEnvironment env = environment();
    env.journalDirectory = tempPath(QStringLiteral("untouched-journal"));
    auto job = std::make_shared<CleftoneOperation>(input, env);
    job->setDefaultsOverride(preferences.get());
    job->cancel();
    job->start();

    EXPECT_TRUE(job->isFinished());
    EXPECT_TRUE(job->success());
    EXPECT_EQ(logged, QStringList());
    EXPECT_EQ(job->outFilePath(), QString());
    EXPECT_EQ(job->tempFilePath(), QString());
    EXPECT_EQ(readFile(input), readFile(fixture(QStringLiteral("mp3_id3v1.mp3"))));
    EXPECT_EQ(namesIn(folder), QStringList{"mp3_id3v1.mp3"});
    EXPECT_FALSE(QFileInfo::exists(env.journalDirectory));
}

TEST_F(StripJobTest, CancelSeenBetweenBlocksStopsTheCopyAndKeepsTheInput)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = folder + QStringLiteral("/long.wav");
    ASSERT_TRUE(makeTaggedWav(input, 3)); // about 16 blocks
    const QByteArray bytes = readFile(input);

    HookedService service;
    CleftoneOperation* running = nullptr;
    service.afterRead = [&running](int reads) {
        if (reads == 3)
            running->cancel();
    };
    StripEnvironment env = environment();
    env.service = &service;
    const Outcome outcome =
        strip(input, env, [&running](CleftoneOperation& job) { running = &job; });
    ASSERT_TRUE(outcome.finished);
    EXPECT_EQ(service.reads(), 3) << "no block is read after the cancel";
    EXPECT_FALSE(outcome.success);
    EXPECT_EQ(outcome.errors, QStringList());
    EXPECT_NE(outcome.tempFilePath, QString());
    EXPECT_FALSE(exists(outcome.tempFilePath));
    EXPECT_EQ(readFile(input), bytes);
    EXPECT_EQ(namesIn(folder), QStringList{"long.wav"});
    EXPECT_EQ(journalRecords(journalDirectoryForTests()), QStringList());
}

TEST_F(StripJobTest, CancelAfterTheLastBlockStillCommits)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = place(QStringLiteral("wav_info_bext_id3.wav"), folder);
    const QStringList packets = digest(input).packetHashes;

    HookedService service;
    CleftoneOperation* running = nullptr;
    service.beforeOutputClose = [&running] {
        running->cancel();
    };
    StripEnvironment env = environment();
    env.service = &service;
    const Outcome outcome =
        strip(input, env, [&running](CleftoneOperation& job) { running = &job; });
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(outcome.errors, QStringList());
    EXPECT_EQ(digest(input).packetHashes, packets);
    EXPECT_EQ(
        problemsOf(inspect(fixture(QStringLiteral("wav_info_bext_id3.wav")), input), "output"),
        QString());
}

TEST_F(StripJobTest, RepairToolRunsOnlyOnOutputThatIsReallyMP3)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString record = tempPath(QStringLiteral("mp3val-arguments"));
    StripEnvironment env = environment();
    env.repairToolDirectory = fakeRepairTool(tempPath(QStringLiteral("tool")), record, "exit 0");

    // A WAV file named .mp3 is stripped as the WAV it is; mp3val would have emptied it.
    const QString wave = place(QStringLiteral("bad/wav_named.mp3"), folder);
    const QStringList wavePackets = digest(wave).packetHashes;
    const Outcome wav = strip(wave, env);
    EXPECT_TRUE(wav.success);
    EXPECT_EQ(wav.errors, QStringList());
    EXPECT_FALSE(QFileInfo::exists(record)) << "the repair tool ran on a WAV file";
    EXPECT_EQ(reopen(wave).type, AudioFileType::WAVE);
    EXPECT_EQ(digest(wave).packetHashes, wavePackets);

    // The extension is compared lower-cased.
    const QString mp3 = place(QStringLiteral("mp3_cbr_info.mp3"), folder, "LOUD.MP3");
    const Outcome repaired = strip(mp3, env);
    EXPECT_TRUE(repaired.success);
    EXPECT_EQ(QString::fromUtf8(readFile(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
              (QStringList{"-f", "-nb", "-si", repaired.tempFilePath}));
    EXPECT_TRUE(repaired.tempFilePath.contains(QLatin1String("/.cleftone-replace-")));
}

TEST_F(StripJobTest, MissingRepairToolIsNotedAndTheFileStillCommitted)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = place(QStringLiteral("mp3_id3v23_apic.mp3"), folder);
    StripEnvironment env = environment();
    env.repairToolDirectory = folderAt(QStringLiteral("empty-tool-folder"));

    SystemLogCapture systemLog;
    const Outcome outcome = strip(input, env);
    EXPECT_TRUE(outcome.success);
    EXPECT_EQ(outcome.errors, QStringList());
    ASSERT_EQ(systemLog.lines().size(), 1)
        << systemLog.lines().join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(systemLog.lines().first().startsWith(QLatin1String("mp3val launch failed: ")));
    EXPECT_EQ(problemsOf(inspect(fixture(QStringLiteral("mp3_id3v23_apic.mp3")), input), "output"),
              QString());
}

TEST_F(StripJobTest, RepairToolThatLeavesNoFileFailsTheJob)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = place(QStringLiteral("mp3_id3v24_apic.mp3"), folder, "song.mp3");
    const QByteArray bytes = readFile(input);
    for (const QByteArray& body : {QByteArray(R"(: > "$4")"), QByteArray(R"(rm -f "$4")")}) {
        SCOPED_TRACE(body.toStdString());
        StripEnvironment env = environment();
        env.repairToolDirectory = fakeRepairTool(tempPath(QStringLiteral("tool")),
                                                 tempPath(QStringLiteral("record")), body);
        const Outcome outcome = strip(input, env);
        EXPECT_FALSE(outcome.success);
        EXPECT_EQ(outcome.errors,
                  QStringList{failureLine(QStringLiteral("song.mp3"),
                                          QStringLiteral("The MP3 repair tool left no usable "
                                                         "file."))});
        EXPECT_EQ(readFile(input), bytes);
        EXPECT_EQ(namesIn(folder), QStringList{"song.mp3"});
        EXPECT_EQ(journalRecords(journalDirectoryForTests()), QStringList());
    }
}

TEST_F(StripJobTest, NoTagFallbackNeverOverwritesNorDeletesAFileOfTheUser)
{
    // No temporary file can be made anywhere: the destination's path is so long that no
    // "cleftone.XXXXXX" fits in it (while "song.mp3" still does), and the temporary folder is
    // missing. The new file is then made beside the input.
    QString deep = folderAt(QStringLiteral("deep"));
    const qsizetype target = 4084; // PATH_MAX is 4096 with its terminating byte
    while (target - deep.size() > 201)
        deep += QLatin1Char('/') + QString(200, QLatin1Char('d'));
    deep += QLatin1Char('/') + QString(target - deep.size() - 1, QLatin1Char('d'));
    ASSERT_EQ(deep.size(), target);
    ASSERT_TRUE(QDir().mkpath(deep));
    const ScopedEnv noTemp("TMPDIR", QFile::encodeName(tempPath(QStringLiteral("no-such-tmp"))));

    const QString folder = folderAt(QStringLiteral("music"));
    const QString input = place(QStringLiteral("mp3_id3v23_apic.mp3"), folder, "song.mp3");
    writeFile(folder + QStringLiteral("/song_NoTag.mp3"), "the user's own file", 0644);
    writeFile(folder + QStringLiteral("/song_NoTag-2.mp3.bak"), "the user's backup", 0644);
    const QStringList userFiles{"song.mp3", "song_NoTag-2.mp3.bak", "song_NoTag.mp3"};
    setDestination(deep);

    SystemLogCapture systemLog;
    const Outcome outcome = strip(input, environment());
    EXPECT_TRUE(outcome.success) << outcome.errors.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(systemLog.lines(), QStringList{"Cleftone Could Not Create Temporary File!  Creating "
                                             "New Audio File Instead!"});
    EXPECT_EQ(outcome.tempFilePath, folder + QStringLiteral("/song_NoTag-3.mp3"));
    EXPECT_EQ(namesIn(folder), userFiles);
    EXPECT_EQ(readFile(folder + QStringLiteral("/song_NoTag.mp3")), "the user's own file");
    EXPECT_EQ(readFile(folder + QStringLiteral("/song_NoTag-2.mp3.bak")), "the user's backup");
    EXPECT_EQ(digest(deep + QStringLiteral("/song.mp3")).packetHashes, digest(input).packetHashes);

    // A commit that fails removes only the fallback file the job made itself.
    ASSERT_TRUE(QFile::remove(deep + QStringLiteral("/song.mp3")));
    ASSERT_TRUE(QDir().mkdir(deep + QStringLiteral("/song.mp3")));
    const Outcome failed = strip(input, environment());
    EXPECT_FALSE(failed.success);
    EXPECT_EQ(failed.errors,
              QStringList{failureLine(
                  QStringLiteral("song.mp3"),
                  QStringLiteral("Could not write the output file: The file “song.mp3” could not "
                                 "be replaced: Is a directory [CTFileSwapErrorDomain 1; "
                                 "underlying NSPOSIXErrorDomain 21]"))});
    EXPECT_EQ(namesIn(folder), userFiles);
    EXPECT_EQ(readFile(folder + QStringLiteral("/song_NoTag.mp3")), "the user's own file");
    EXPECT_EQ(readFile(input), readFile(fixture(QStringLiteral("mp3_id3v23_apic.mp3"))));
    EXPECT_EQ(journalRecords(journalDirectoryForTests()), QStringList());
}

} // namespace
} // namespace cleftone::test
