#include "engine/TemporaryFile.h"

#include "CommitTestSupport.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace cleftone::test {
namespace {

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
