// The strip job end to end on real files.

#include "StripTestSupport.h"

#include "engine/LeftoverJournal.h"
#include "engine/audiofile/ServiceFiles.h"
#include "platform/FolderBookmark.h"
#include "platform/PreferenceKeys.h"
#include "platform/SystemLog.h"

#include <QFileInfo>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

namespace cleftone::test {
namespace {

const QString bookmarkKey = QString::fromLatin1(kDestinationFolderBookmarkKey);

TEST_F(StripJobTest, InPlaceKeepsTypeModeAndPacketsAndDropsEveryTag)
{
    // Also on FAT through FUSE, where reads through a descriptor being written are stale.
    const QString local = folderAt("music");
    const QString fat = folderAt("fat");
    const ScopedMount fatMount(fat, ScopedMount::fat(tempPath("fat.img"), fat));
    // Trailing tags that ffmpeg reads as audio: compared with the fixture's tag-free source.
    const struct {
        const char* name;
        const char* packets;
        mode_t mode;
    } cases[] = {{"mp3_all_tags.mp3", "ref/mp3_vbr.mp3", 0644},
                 {"flac_tags.flac", "ref/flac.flac", 0600},
                 {"m4a_aac_tags.m4a", "m4a_aac_tags.m4a", 0755},
                 {"wav_info_bext_id3.wav", "wav_info_bext_id3.wav", 0444},
                 {"aiff_chunks_id3.aiff", "aiff_chunks_id3.aiff", 0666},
                 // The copy check takes the CHAN chunk's layout, which AIFF output drops, for
                 // no difference; the tag in front of the WAV goes and it stays plain RIFF.
                 {"aiff_chan_quad.aiff", "aiff_chan_quad.aiff", 0644},
                 {"wav_id3_front.wav", "wav_id3_front.wav", 0644},
                 {"opus_picture.opus", "opus_picture.opus", 0640},
                 {"wv_riff_list.wv", "ref/wavpack.wv", 0644},
                 {"dff_diin_comt.dff", "ref/dsd.dff", 0644},
                 {"dsf_id3.dsf", "ref/dsd.dsf", 0644},
                 {"wma_tags.wma", "ref/wma.wma", 0644},
                 {"mka_flac_mkvmerge.mka", "mka_flac_mkvmerge.mka", 0644}};
    for (const QString& folder : {local, fat}) {
        if (folder == fat && !fatMount.ok())
            GTEST_SKIP() << fatMount.error();
        for (const auto& [name, packets, mode] : cases) {
            SCOPED_TRACE((folder + ": " + name).toStdString());
            const QString input = place(QString::fromLatin1(name), folder, {}, mode);
            SystemLogCapture systemLog;
            const Outcome outcome = strip(input, environment());
            expectStripped(outcome, fixture(QString::fromLatin1(name)),
                           fixture(QString::fromLatin1(packets)));
            // mp3val (the real one, beside the test binary) found nothing to say.
            EXPECT_EQ(systemLog.lines(), QStringList());
            EXPECT_EQ(outcome.outFilePath, input);
            if (folder == local) { // FAT keeps no modes
                EXPECT_EQ(modeOf(input), mode);
            }
            EXPECT_EQ(temporaryNamesIn(folder), QStringList());
        }
    }
    EXPECT_EQ(namesIn(leftoverJournalDirectory()), QStringList());
}

TEST_F(StripJobTest, InPlaceTheFileKeepsItsOwnerGroupModeAndAclButLosesItsUserAttributes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the file another owner";
    const QString input = place("flac_tags.flac", folderAt("shared"), {}, 0664);
    const QByteArray path = QFile::encodeName(input);
    // An access ACL as the kernel stores it: owner rw, user 1000 rw, group rw, mask rw, other r.
    const std::uint32_t acl[] = {2,          0x00060001, 0xFFFFFFFF, 0x00060002,
                                 1000,       0x00060004, 0xFFFFFFFF, 0x00060010,
                                 0xFFFFFFFF, 0x00040020, 0xFFFFFFFF};
    const QByteArray aclBytes(reinterpret_cast<const char*>(acl), sizeof acl);
    const auto attribute = [&path](const char* name) {
        char value[256];
        const ssize_t size = ::getxattr(path.constData(), name, value, 256);
        return size < 0 ? QByteArray() : QByteArray(value, int(size));
    };
    ASSERT_EQ(::chown(path.constData(), 1234, 4321), 0);
    if (::setxattr(path.constData(), "system.posix_acl_access", aclBytes.constData(),
                   aclBytes.size(), 0) != 0 ||
        ::setxattr(path.constData(), "user.xdg.origin.url", "https://x", 9, 0) != 0)
        GTEST_SKIP() << "this file system keeps no ACLs or user attributes";
    EXPECT_TRUE(strip(input, environment()).success);
    struct stat info {};
    ASSERT_EQ(::stat(path.constData(), &info), 0);
    EXPECT_EQ(info.st_uid, 1234u);
    EXPECT_EQ(info.st_gid, 4321u);
    EXPECT_EQ(info.st_mode & 07777, 0664u);
    EXPECT_EQ(attribute("system.posix_acl_access"), aclBytes);
    EXPECT_EQ(attribute("user.xdg.origin.url"), QByteArray());
}

TEST_F(StripJobTest, DestinationFolderGetsACopyUnderTheInputsName)
{
    const QString source = folderAt("a/b");
    const QString destination = folderAt("c/d");
    const QString input = place("m4a_aac_tags.m4a", source, "song.m4a", 0640);
    writeFile(destination + "/song.m4a", "an older song.m4a", 0600);
    setDestination(destination);

    const Outcome replaced = strip(input, environment());
    expectStripped(replaced, input);
    EXPECT_EQ(replaced.outFilePath, destination + "/song.m4a");
    EXPECT_EQ(readAll(input), readAll(fixture("m4a_aac_tags.m4a")));
    EXPECT_EQ(modeOf(replaced.outFilePath), 0640u) << "nothing of the replaced file is kept";
    EXPECT_EQ(modeOf(input), 0640u);

    // No folder, or a relative one, would leave the output wherever the working directory is.
    for (const char* folder : {"", "c/d"}) {
        setDestination(QString::fromLatin1(folder));
        expectFailed(strip(input, environment()),
                     failureLine("song.m4a", "No destination folder is set. Please choose one "
                                             "from the destination popup."));
    }
}

// An MP4 file that libavformat reads (fragmented, another codec...) is written by its muxer; the
// check reads that copy through libavformat as well, though the service reads plain copies itself.
TEST_F(StripJobTest, CopyOfAnMp4ReadByLibavformatIsCheckedByTheSameReader)
{
    const QString input = place("m4a_aac_tags.m4a", folderAt("music"));
    audiofile::setMp4ThroughLibavformat(true);
    HookedService service;
    service.afterRead = [](int) {
        audiofile::setMp4ThroughLibavformat(false);
    };
    const Outcome outcome = strip(input, environment(false, &service));
    audiofile::setMp4ThroughLibavformat(false);
    expectStripped(outcome, fixture("m4a_aac_tags.m4a"));
}

TEST_F(StripJobTest, SandboxedJobWritesOnlyWhereAUsableBookmarkLeads)
{
    const QString folder = folderAt("music");
    const QString input = place("flac_tags.flac", folder);
    const QString gone = folderAt("gone");
    const QByteArray goneBookmark = FolderBookmark::create(gone).value_or(QByteArray());
    ASSERT_TRUE(QDir().rmdir(gone));
    // Root may write anywhere the file system allows; a read-only file system refuses even root.
    const QString locked = folderAt("locked");
    ScopedMount mount(locked, ScopedMount::tmpfs(locked, "size=64k,ro"));
    const QByteArray lockedBookmark = FolderBookmark::create(locked).value_or(QByteArray());
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
        {lockedBookmark,
         "Cleftone does not have access to the destination folder. Please re-select it."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        if (c.bookmark == lockedBookmark && !mount.ok())
            GTEST_SKIP() << mount.error();
        if (c.bookmark.isEmpty())
            preferences->removeValue(bookmarkKey);
        else
            preferences->setValue(bookmarkKey, c.bookmark);
        const Outcome outcome = strip(input, environment(true));
        expectFailed(outcome, failureLine("flac_tags.flac", QString::fromLatin1(c.message)));
        EXPECT_EQ(readAll(input), readAll(fixture("flac_tags.flac")));
        EXPECT_EQ(namesIn(folder), QStringList{"flac_tags.flac"});
        EXPECT_FALSE(exists(gone));
    }

    // A sound bookmark is kept, and the setting's text is not where the sandboxed build writes.
    const QString chosen = folderAt("chosen");
    const QString output = chosen + "/flac_tags.flac";
    const QByteArray bookmark = FolderBookmark::create(chosen).value_or(QByteArray());
    preferences->setValue(bookmarkKey, bookmark);
    setDestination(tempPath("typed-but-not-granted"));
    const Outcome outcome = strip(input, environment(true));
    expectStripped(outcome, input);
    EXPECT_EQ(outcome.outFilePath, output);
    EXPECT_FALSE(exists(tempPath("typed-but-not-granted")));
    EXPECT_EQ(preferences->dataForKey(bookmarkKey), bookmark);

    // "Overwrite Existing File" needs no bookmark at all.
    preferences->removeValue(bookmarkKey);
    setDestination(QString::fromLatin1(kOverwriteExistingFile));
    const Outcome inPlace = strip(input, environment(true));
    EXPECT_TRUE(inPlace.success);
    EXPECT_EQ(inPlace.outFilePath, input);
}

TEST_F(StripJobTest, BadInputsFailWithOneLineAndStayAsTheyWere)
{
    const QString folder = folderAt("music");
    // AAC in LOAS/LATM framing: audio, read but not written back.
    ASSERT_EQ(
        runTool("ffmpeg", {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "sine=duration=1",
                           "-c:a", "aac", "-f", "latm", folder + "/latm.mp3"})
            .exitCode,
        0);
    place("bad/asf_video.mp3", folder, "asf.mp3"); // its data packets interleave the video
    place("bad/empty.mp3", folder);
    place("bad/random.flac", folder);
    place("bad/truncated.dsf", folder);
    place("bad/truncated.wma", folder);
    place("bad/truncated.mka", folder);
    place("bad/two_segments.webm", folder);
    place("bad/ogg_truncated.ogg", folder);
    // One bit flipped inside an Ogg page: its checksum no longer holds.
    QByteArray damaged = readAll(fixture("ogg_vorbis_tags.ogg"));
    damaged[damaged.size() / 2] = char(damaged[damaged.size() / 2] ^ 0x04);
    writeFile(folder + "/damaged.ogg", damaged);
    // Root reads any file, so the unreadable inputs are not files; a mode-000 one comes below.
    ASSERT_TRUE(QDir().mkdir(folder + "/folder.mp3"));
    ASSERT_TRUE(QFile::link(folder + "/nowhere", folder + "/gone.mp3"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(folder + "/pipe.mp3").constData(), 0644), 0);
    const char* notAudio = "This file is not an audio file that Cleftone can read.";
    const char* cut =
        "The file ends before its audio does: it may be truncated or damaged. It was not changed.";
    const struct {
        const char* name;
        const char* message;
    } cases[] = {{"latm.mp3", "Cleftone cannot write AAC (LOAS/LATM) files."},
                 {"asf.mp3", "Cleftone cannot write Windows Media video files."},
                 {"empty.mp3", notAudio},
                 {"random.flac", notAudio},
                 {"truncated.dsf", cut},
                 {"truncated.wma", cut},
                 {"truncated.mka", cut},
                 {"two_segments.webm", "Cleftone cannot write multi-segment Matroska files."},
                 {"ogg_truncated.ogg", cut},
                 {"damaged.ogg",
                  "The file is damaged: Cleftone cannot read its structure. It was not changed."},
                 {"folder.mp3", "This is a folder, not an audio file."},
                 {"gone.mp3", "Could not open the file: no such file or directory."},
                 {"pipe.mp3", notAudio}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString input = folder + QLatin1Char('/') + QLatin1String(c.name);
        const QByteArray bytes = QFileInfo(input).isFile() ? readAll(input) : QByteArray();
        expectFailed(strip(input, environment()),
                     failureLine(QString::fromLatin1(c.name), QString::fromUtf8(c.message)));
        EXPECT_EQ(QFileInfo(input).isFile() ? readAll(input) : QByteArray(), bytes);
    }
    EXPECT_EQ(namesIn(folder), (QStringList{"asf.mp3", "damaged.ogg", "empty.mp3", "folder.mp3",
                                            "gone.mp3", "latm.mp3", "ogg_truncated.ogg", "pipe.mp3",
                                            "random.flac", "truncated.dsf", "truncated.mka",
                                            "truncated.wma", "two_segments.webm"}));
    EXPECT_EQ(namesIn(folder + "/folder.mp3"), QStringList());

    const QString locked = place("mp3_id3v1.mp3", folder, "locked.mp3", 0000);
    const QString lockedLine =
        failureLine("locked.mp3", "Could not open the file: permission denied.");
    if (::geteuid() != 0) {
        expectFailed(strip(locked, environment()), lockedLine);
    } else {
        // The child drops to "nobody", who must reach the folder but not the file.
        ::chmod(QFile::encodeName(tmp.path()).constData(), 0755);
        ::chmod(QFile::encodeName(folder).constData(), 0777);
        const ToolRun child = runTool(testExecutable(), childArguments(locked, {"--as-nobody"}));
        EXPECT_EQ(child.out, "error:" + lockedLine.toUtf8() + "\nsuccess:0\n");
    }
    EXPECT_EQ(modeOf(locked), 0000u);
    EXPECT_EQ(readAll(locked), readAll(fixture("mp3_id3v1.mp3")));
    EXPECT_EQ(temporaryNamesIn(folder), QStringList());
}

TEST_F(StripJobTest, CancelBetweenBlocksStopsTheCopyAndLeavesNothingBehind)
{
    const QString folder = folderAt("music");
    const QString input = folder + "/long.wav";
    ASSERT_TRUE(makeTaggedWav(input, 3)); // about 16 blocks
    const QByteArray bytes = readAll(input);

    CleftoneOperation* running = nullptr;
    const auto keep = [&running](CleftoneOperation& job) {
        running = &job;
    };
    HookedService cancelDuring;
    cancelDuring.afterRead = [&running](int reads) {
        if (reads == 3)
            running->cancel();
    };
    const Outcome cancelled = strip(input, environment(false, &cancelDuring), keep);
    ASSERT_TRUE(cancelled.finished);
    EXPECT_EQ(cancelDuring.reads(), 3) << "no block is read after the cancel";
    EXPECT_FALSE(cancelled.success);
    EXPECT_EQ(cancelled.errors, QStringList());
    EXPECT_NE(cancelled.tempFilePath, QString());
    EXPECT_EQ(readAll(input), bytes);
    EXPECT_EQ(namesIn(folder), QStringList{"long.wav"});
    EXPECT_EQ(namesIn(leftoverJournalDirectory()), QStringList());
}

TEST_F(StripJobTest, RepairPassRunsOnRealMP3OnlyAndFailsTheJobOnlyWhenNoFileIsLeft)
{
    const QString folder = folderAt("music");
    const QString record = tempPath("mp3val-arguments");
    // A stand-in for mp3val that writes its arguments, one a line, to `record`, then runs `body`.
    const auto withTool = [&](const QByteArray& body) {
        const QString tools = folderAt("tool");
        writeFile(tools + "/mp3val",
                  "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + QFile::encodeName(record) + "'\n" +
                      body + "\n",
                  0755);
        StripEnvironment env = environment();
        env.repairToolDirectory = tools;
        return env;
    };

    // A WAV file named .mp3 is stripped as the WAV it is; mp3val would have emptied it.
    const QString wave = place("bad/wav_named.mp3", folder);
    expectStripped(strip(wave, withTool("exit 0")), fixture("bad/wav_named.mp3"), {}, false);
    EXPECT_FALSE(exists(record)) << "the repair tool ran on a WAV file";
    EXPECT_EQ(reopen(wave).type, AudioFileType::WAVE);

    // The extension is compared lower-cased.
    const QString mp3 = place("mp3_cbr_info.mp3", folder, "LOUD.MP3");
    const Outcome repaired = strip(mp3, withTool("exit 0"));
    EXPECT_TRUE(repaired.success);
    EXPECT_EQ(QString::fromUtf8(readAll(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
              (QStringList{"-f", "-nb", "-si", repaired.tempFilePath}));
    EXPECT_TRUE(repaired.tempFilePath.contains("/.cleftone-replace-"));

    // A tool that empties or removes the file fails the job; a missing one does not.
    const QString input = place("mp3_id3v24_apic.mp3", folder, "song.mp3");
    for (const QByteArray& body : {QByteArray(R"(: > "$4")"), QByteArray(R"(rm -f "$4")")}) {
        SCOPED_TRACE(body.toStdString());
        expectFailed(strip(input, withTool(body)),
                     failureLine("song.mp3", "The MP3 repair tool left no usable file."));
        EXPECT_EQ(readAll(input), readAll(fixture("mp3_id3v24_apic.mp3")));
        EXPECT_EQ(namesIn(folder), (QStringList{"LOUD.MP3", "song.mp3", "wav_named.mp3"}));
    }
    // A tool that drops the last sound frame leaves a copy that no longer matches.
    const QString whole = place("mp3_no_xing.mp3", folder, "whole.mp3");
    const Outcome dropped = strip(
        whole, withTool("python3 -c 'import sys; p = sys.argv[1]; b = open(p, \"rb\").read(); "
                        "open(p, \"wb\").write(b[:b.rindex(b\"\\xff\\xf3\")])' \"$4\""));
    EXPECT_FALSE(dropped.success);
    EXPECT_TRUE(dropped.errors.value(0).contains("did not match the original audio"))
        << dropped.errors.join('\n').toStdString();
    EXPECT_EQ(readAll(whole), readAll(fixture("mp3_no_xing.mp3")));
    StripEnvironment missing = environment();
    missing.repairToolDirectory = folderAt("empty-tool-folder");
    SystemLogCapture systemLog;
    expectStripped(strip(input, missing), fixture("mp3_id3v24_apic.mp3"));
    ASSERT_EQ(systemLog.lines().size(), 1) << systemLog.lines().join('\n').toStdString();
    EXPECT_TRUE(systemLog.lines().first().startsWith("mp3val launch failed: "));
    EXPECT_GT(systemLog.lines().first().size(), 22) << "the reason is given";

    // The real tool drops or rebuilds broken frames and the one before, which the check allows.
    const QByteArray clean = readAll(fixture("mp3_no_xing.mp3"));
    const qsizetype middle = clean.indexOf(QByteArray("\xFF\xF3", 2), clean.size() / 2);
    ASSERT_GT(middle, 0);
    for (const QByteArray& bytes :
         {clean.left(clean.size() - 100), // a download cut off
          clean.left(middle) + QByteArray(120, 'J') + clean.mid(middle)}) {
        writeFile(folder + "/damaged.mp3", bytes);
        const Outcome outcome = strip(folder + "/damaged.mp3", environment());
        EXPECT_TRUE(outcome.success) << outcome.errors.join('\n').toStdString();
    }
}

TEST_F(StripJobTest, LeavingCleanFilesUntouchedSkipsNeitherTagsNorRepairsNorCopies)
{
    preferences->setValue(QString::fromLatin1(kLeaveCleanFilesUntouchedKey), true);
    const QString folder = folderAt("music");
    writeFile(folder + "/cut.mp3", readAll(fixture("ref/mp3_no_xing.mp3")).chopped(100));
    const struct {
        const char* fixture;
        const char* name;
        bool untouched;
    } cases[] = {
        {"ref/mp3_vbr.mp3", "clean.mp3", true},
        {"ref/mp3_vbri.mp3", "counts.mp3", false}, // its VBRI header counts wrongly
        {nullptr, "cut.mp3", false},               // a download cut off: repaired
        {"mp3_id3v1.mp3", "tagged.mp3", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString input =
            c.fixture ? place(QString::fromLatin1(c.fixture), folder, QString::fromLatin1(c.name))
                      : folder + "/" + QString::fromLatin1(c.name);
        const QByteArray bytes = readAll(input);
        const struct stat before = *statOf(input);
        const Outcome outcome = strip(input, environment());
        EXPECT_TRUE(outcome.success) << outcome.errors.join('\n').toStdString();
        EXPECT_EQ(outcome.leftUntouched, c.untouched);
        EXPECT_EQ(readAll(input) == bytes, c.untouched);
        const struct stat after = *statOf(input);
        EXPECT_EQ(after.st_ino == before.st_ino && after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                      after.st_mtim.tv_nsec == before.st_mtim.tv_nsec,
                  c.untouched);
    }
    // A destination folder still gets its copy.
    setDestination(folderAt("out"));
    EXPECT_TRUE(strip(folder + "/clean.mp3", environment()).success);
    EXPECT_EQ(readAll(tempPath("out/clean.mp3")), readAll(fixture("ref/mp3_vbr.mp3")));
}

TEST_F(StripJobTest, NoTagFallbackNeverOverwritesNorDeletesAFileOfTheUser)
{
    // No temporary file fits in the destination's long path (while "song.mp3" still does) nor
    // in the missing temporary folder: the new file is made beside the input.
    QString deep = folderAt("deep");
    const qsizetype target = 4084; // PATH_MAX is 4096 with its terminating byte
    while (target - deep.size() > 201)
        deep += QLatin1Char('/') + QString(200, QLatin1Char('d'));
    deep += QLatin1Char('/') + QString(target - deep.size() - 1, QLatin1Char('d'));
    ASSERT_TRUE(QDir().mkpath(deep));
    const ScopedEnv noTemp("TMPDIR", QFile::encodeName(tempPath("no-such-tmp")));

    const QString folder = folderAt("music");
    const QString input = place("mp3_id3v23_apic.mp3", folder, "song.mp3");
    writeFile(folder + "/song_NoTag.mp3", "the user's own file", 0644);
    writeFile(folder + "/song_NoTag-2.mp3.bak", "the user's backup", 0644);
    const auto expectUserFilesKept = [&] {
        EXPECT_EQ(namesIn(folder),
                  (QStringList{"song.mp3", "song_NoTag-2.mp3.bak", "song_NoTag.mp3"}));
        EXPECT_EQ(readAll(folder + "/song_NoTag.mp3"), "the user's own file");
        EXPECT_EQ(readAll(folder + "/song_NoTag-2.mp3.bak"), "the user's backup");
    };
    setDestination(deep);

    SystemLogCapture systemLog;
    const Outcome outcome = strip(input, environment());
    expectStripped(outcome, input);
    EXPECT_EQ(systemLog.lines(), QStringList{"Cleftone Could Not Create Temporary File!  Creating "
                                             "New Audio File Instead!"});
    EXPECT_EQ(outcome.tempFilePath, folder + "/song_NoTag-3.mp3");
    expectUserFilesKept();

    // A commit that fails removes only the fallback file the job made itself.
    ASSERT_TRUE(QFile::remove(deep + "/song.mp3"));
    ASSERT_TRUE(QDir().mkdir(deep + "/song.mp3"));
    expectFailed(strip(input, environment()),
                 failureLine("song.mp3",
                             QStringLiteral("Could not replace “song.mp3” in the folder “%1”: is "
                                            "a directory.")
                                 .arg(QFileInfo(deep).fileName())));
    expectUserFilesKept();
    EXPECT_EQ(readAll(input), readAll(fixture("mp3_id3v23_apic.mp3")));
}

} // namespace
} // namespace cleftone::test
