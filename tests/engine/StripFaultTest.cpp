// The strip job against a hostile world: output folders that refuse, vanish or fill up, and
// damaged writes. The output path holds a whole file or nothing new.

#include "StripTestSupport.h"

#include "platform/PreferenceKeys.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace cleftone::test {
namespace {

using StripFaultTest = StripJobTest;

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
        EXPECT_EQ(temporaryNamesIn(folder) + temporaryNamesIn(tmpFolder), QString());
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
        "original audio \\((packet \\d+ differs|it holds \\d+ packets instead of \\d+)\\)\\. "
        "The original was not changed\\.$");
    const struct {
        const char* name;
        bool inPlace;
    } cases[] = {{"mp3_all_tags.mp3", true},     {"wav_info_bext_id3.wav", true},
                 {"m4a_aac_tags.m4a", true},     {"flac_tags.flac", true},
                 {"aiff_chunks_id3.aiff", true}, {"m4a_aac_tags.m4a", false},
                 {"mp3_all_tags.mp3", false}};
    for (const auto& [name, inPlace] : cases) {
        SCOPED_TRACE(name);
        setDestination(inPlace ? QString::fromLatin1(kOverwriteExistingFile) : destination);
        const QString input = place(QString::fromLatin1(name), folder);
        HookedService service;
        service.corruptWrite = 1;
        const Outcome outcome = strip(input, environment(false, &service));
        EXPECT_FALSE(outcome.success);
        ASSERT_EQ(outcome.errors.size(), 1);
        EXPECT_TRUE(message.match(outcome.errors[0]).hasMatch()) << outcome.errors[0].toStdString();
        EXPECT_EQ(readAll(input), readAll(fixture(QString::fromLatin1(name))));
        EXPECT_EQ(temporaryNamesIn(folder), QString());
        EXPECT_EQ(namesIn(destination), QStringList());
    }
}

} // namespace
} // namespace cleftone::test
