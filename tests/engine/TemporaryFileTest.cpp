#include "engine/TemporaryFile.h"

#include "CommitTestSupport.h"

#include "engine/FileSwap.h"
#include "platform/SystemLog.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace cleftone {
namespace {

using test::exists;
using test::modeOf;
using test::namesIn;
using test::readAll;
using test::writeFile;

const QString kFallbackLine =
    QStringLiteral("Cleftone Could Not Create Temporary File!  Creating New Audio File Instead!");

class TemporaryOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        folder = dir.path() + QStringLiteral("/music");
        ASSERT_TRUE(QDir().mkpath(folder));
        // A regular file: no folder inside it can be written, not even by root.
        blocker = dir.path() + QStringLiteral("/not-a-folder");
        writeFile(blocker, "x");
    }

    // What a strip job does between acquisition and commit, then commits and cleans up.
    bool stripInto(TemporaryOutput& output, const QString& in, const QString& out,
                   const QByteArray& audio)
    {
        output.acquire(out, in);
        writeFile(output.tempFilePath(), audio, 0600); // the audio file, created with erase
        output.fixPermissions(in);
        FileError error;
        const bool committed = CTFileSwap::swapItemAtURL(out, output.tempFilePath(), &error);
        output.cleanUp(out);
        return committed;
    }

    QTemporaryDir dir;
    QString folder;
    QString blocker;
};

TEST_F(TemporaryOutputTest, CreateTemporaryFileNamesItAndKeepsItOpenAndPrivate)
{
    QString path = QStringLiteral("unchanged");
    const int fd = CTCreateTemporaryFile(folder, &path);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(path.startsWith(folder + QStringLiteral("/cleftone.")));
    EXPECT_EQ(path.size(), folder.size() + 16);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(::write(fd, "ab", 2), 2);
    ::close(fd);
    EXPECT_EQ(readAll(path), "ab");

    EXPECT_EQ(CTCreateTemporaryFile(blocker, &path), -1);
    EXPECT_EQ(CTCreateTemporaryFile(QString(), &path), -1);
    EXPECT_EQ(path.size(), folder.size() + 16) << "left as it was on failure";
}

TEST_F(TemporaryOutputTest, InPlaceReplaceLeavesOnlyTheNewFileWithMaskedMode)
{
    struct Case {
        mode_t input;
        mode_t expected;
    };
    for (const Case c : {Case{0600, 0600}, Case{0755, 0644}, Case{0640, 0640}, Case{0664, 0644}}) {
        const QString song = folder + QStringLiteral("/song.mp3");
        writeFile(song, "old audio with tags", c.input);
        const auto inode = test::statOf(song)->st_ino;
        TemporaryOutput output;
        ASSERT_TRUE(stripInto(output, song, song, "new audio"));
        ASSERT_TRUE(output.replacementDirectory().has_value());
        EXPECT_TRUE(output.replacementDirectory()->startsWith(folder + "/.cleftone-replace-"));
        EXPECT_EQ(readAll(song), "new audio");
        EXPECT_NE(test::statOf(song)->st_ino, inode) << "renamed over, not written into";
        EXPECT_EQ(modeOf(song), c.expected) << "input mode " << std::oct << c.input;
        EXPECT_EQ(namesIn(folder), QStringList{QStringLiteral("song.mp3")});
        EXPECT_TRUE(namesIn(test::journalDirectoryForTests()).isEmpty());
    }
}

TEST_F(TemporaryOutputTest, FailedJobLeavesOutputUntouchedAndNothingBehind)
{
    const QString song = folder + QStringLiteral("/song.flac");
    writeFile(song, "original");
    QString tempPath;
    QString replacement;
    {
        TemporaryOutput output;
        output.acquire(song, song);
        tempPath = output.tempFilePath();
        replacement = output.replacementDirectory().value_or(QString());
        writeFile(tempPath, "partial");
        // no commit: the job failed; the destructor cleans up
    }
    EXPECT_FALSE(tempPath.isEmpty());
    EXPECT_FALSE(exists(tempPath));
    EXPECT_FALSE(exists(replacement));
    EXPECT_EQ(readAll(song), "original");
    EXPECT_EQ(namesIn(folder), QStringList{QStringLiteral("song.flac")});
    EXPECT_TRUE(namesIn(test::journalDirectoryForTests()).isEmpty());
}

TEST_F(TemporaryOutputTest, FallsBackToOutputFolderThenUserTemporaryFolder)
{
    const QString in = folder + QStringLiteral("/song.m4a");
    writeFile(in, "input");
    const QString userTemp = dir.path() + QStringLiteral("/usertmp");
    ASSERT_TRUE(QDir().mkpath(userTemp));
    test::ScopedEnv tmpdir("TMPDIR", QFile::encodeName(userTemp));
    auto refuse = [](const QString&) {
        return std::optional<QString>();
    };

    {
        // No replacement directory: the output's own folder.
        const QString destination = dir.path() + QStringLiteral("/dest");
        ASSERT_TRUE(QDir().mkpath(destination));
        TemporaryOutput output(QString(), refuse);
        output.acquire(destination + QStringLiteral("/song.m4a"), in);
        EXPECT_FALSE(output.replacementDirectory());
        EXPECT_EQ(QFileInfo(output.tempFilePath()).path(), destination);
        EXPECT_GE(output.descriptor(), 0);
    }
    {
        // The output's folder refuses as well: the user's temporary folder. The move into a
        // folder that does not exist then fails.
        const QString out = blocker + QStringLiteral("/song.m4a");
        SystemLogCapture log;
        TemporaryOutput output;
        output.acquire(out, in);
        EXPECT_EQ(QFileInfo(output.tempFilePath()).path(), userTemp);
        writeFile(output.tempFilePath(), "audio");
        FileError error;
        EXPECT_FALSE(CTFileSwap::swapItemAtURL(out, output.tempFilePath(), &error));
        EXPECT_EQ(error.code, FileSwapMoveFailed);
        output.cleanUp(out);
        EXPECT_TRUE(log.lines().isEmpty());
    }
    EXPECT_TRUE(namesIn(userTemp).isEmpty());
}

TEST_F(TemporaryOutputTest, FallbackNameBesideInputNeverTouchesAnExistingFile)
{
    const QString in = folder + QStringLiteral("/song.mp3");
    writeFile(in, "input");
    const QString theirs = folder + QStringLiteral("/song_NoTag.mp3");
    writeFile(theirs, "someone else's file");
    const QString theirBackup = folder + QStringLiteral("/song_NoTag-2.mp3.bak");
    writeFile(theirBackup, "a backup the repair tool would delete");
    test::ScopedEnv tmpdir("TMPDIR", QFile::encodeName(blocker));
    const QString out = blocker + QStringLiteral("/song.mp3");

    for (const bool commits : {false, true}) {
        SystemLogCapture log;
        TemporaryOutput output;
        const QString destination = commits ? folder + QStringLiteral("/out.mp3") : out;
        output.acquire(out, in);
        EXPECT_EQ(log.lines(), QStringList{kFallbackLine});
        EXPECT_TRUE(output.usesFallbackFile());
        EXPECT_EQ(output.descriptor(), -1);
        EXPECT_EQ(output.tempFilePath(), folder + QStringLiteral("/song_NoTag-3.mp3"));
        EXPECT_EQ(test::statOf(output.tempFilePath())->st_size, 0);
        writeFile(output.tempFilePath(), "stripped");
        FileError error;
        EXPECT_EQ(CTFileSwap::swapItemAtURL(destination, output.tempFilePath(), &error), commits);
        output.cleanUp(destination);
        EXPECT_FALSE(exists(folder + QStringLiteral("/song_NoTag-3.mp3")));
        EXPECT_EQ(readAll(theirs), "someone else's file");
        EXPECT_TRUE(exists(theirBackup));
    }
    EXPECT_EQ(readAll(folder + QStringLiteral("/out.mp3")), "stripped");
    EXPECT_EQ(fallbackPathForInputPath(QStringLiteral("/a.b/song.x.wav")),
              QStringLiteral("/a.b/song.x_NoTag.wav"));
}

} // namespace
} // namespace cleftone
