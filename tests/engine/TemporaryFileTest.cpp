#include "engine/TemporaryFile.h"

#include "CommitTestSupport.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace cleftone::test {
namespace {

TEST(TemporaryOutput, CreateTemporaryFileNamesItAndKeepsItOpenAndPrivate)
{
    QTemporaryDir dir;
    QString path = "unchanged";
    const int fd = CTCreateTemporaryFile(dir.path(), &path);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(path.startsWith(dir.path() + "/cleftone."));
    EXPECT_EQ(path.size(), dir.path().size() + 16);
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(::write(fd, "ab", 2), 2);
    ::close(fd);
    EXPECT_EQ(readAll(path), "ab");

    // A regular file: no folder inside it can be written, not even by root.
    EXPECT_EQ(CTCreateTemporaryFile(path, &path), -1);
    EXPECT_EQ(CTCreateTemporaryFile(QString(), &path), -1);
    EXPECT_EQ(path.size(), dir.path().size() + 16) << "left as it was on failure";
}

TEST(TemporaryOutput, WithoutAReplacementDirectoryUsesTheOutputsFolder)
{
    QTemporaryDir dir;
    TemporaryOutput output(QString(), [](const QString&) { return std::optional<QString>(); });
    output.acquire(dir.filePath("out.m4a"), dir.filePath("song.m4a"));
    EXPECT_FALSE(output.replacementDirectory());
    EXPECT_EQ(QFileInfo(output.tempFilePath()).path(), dir.path());
    EXPECT_GE(output.descriptor(), 0);
    output.cleanUp(dir.filePath("out.m4a"));
    EXPECT_EQ(namesIn(dir.path()), QStringList());

    // The fallback name goes before the extension of the file name only.
    EXPECT_EQ(fallbackPathForInputPath("/a.b/song.x.wav"), "/a.b/song.x_NoTag.wav");
    EXPECT_EQ(fallbackPathForInputPath("/a.b/song"), "/a.b/song_NoTag");
}

} // namespace
} // namespace cleftone::test
