#include "engine/TemporaryFile.h"

#include "CommitTestSupport.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace cleftone::test {
namespace {

class TemporaryOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        folder = dir.filePath("music");
        ASSERT_TRUE(QDir().mkpath(folder));
        // A regular file: no folder inside it can be written, not even by root.
        blocker = dir.filePath("not-a-folder");
        writeFile(blocker, "x");
    }

    QTemporaryDir dir;
    QString folder;
    QString blocker;
};

TEST_F(TemporaryOutputTest, CreateTemporaryFileNamesItAndKeepsItOpenAndPrivate)
{
    QString path = "unchanged";
    const int fd = CTCreateTemporaryFile(folder, &path);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(path.startsWith(folder + "/cleftone."));
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

TEST_F(TemporaryOutputTest, DestroyedWithoutCommitLeavesOutputUntouchedAndNothingBehind)
{
    const QString song = folder + "/song.flac";
    writeFile(song, "original");
    QString tempPath;
    QString replacement;
    {
        TemporaryOutput output;
        output.acquire(song, song);
        tempPath = output.tempFilePath();
        replacement = output.replacementDirectory().value_or(QString());
        writeFile(tempPath, "partial");
    }
    EXPECT_FALSE(tempPath.isEmpty());
    EXPECT_FALSE(exists(tempPath));
    EXPECT_FALSE(exists(replacement));
    EXPECT_EQ(readAll(song), "original");
    EXPECT_EQ(namesIn(folder), QStringList{"song.flac"});
    EXPECT_EQ(namesIn(leftoverJournalDirectory()), QStringList());
}

TEST_F(TemporaryOutputTest, WithoutAReplacementDirectoryUsesTheOutputsFolder)
{
    TemporaryOutput output(QString(), [](const QString&) { return std::optional<QString>(); });
    output.acquire(folder + "/out.m4a", folder + "/song.m4a");
    EXPECT_FALSE(output.replacementDirectory());
    EXPECT_EQ(QFileInfo(output.tempFilePath()).path(), folder);
    EXPECT_GE(output.descriptor(), 0);
    output.cleanUp(folder + "/out.m4a");
    EXPECT_EQ(namesIn(folder), QStringList());

    // The fallback name goes before the extension of the file name only.
    EXPECT_EQ(fallbackPathForInputPath("/a.b/song.x.wav"), "/a.b/song.x_NoTag.wav");
    EXPECT_EQ(fallbackPathForInputPath("/a.b/song"), "/a.b/song_NoTag");
}

} // namespace
} // namespace cleftone::test
