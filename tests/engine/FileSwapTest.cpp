#include "engine/FileSwap.h"

#include "CommitTestSupport.h"

#include "engine/LeftoverJournal.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace cleftone::test {
namespace {

class FileSwapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        destination = dir.filePath("dest");
        ASSERT_TRUE(QDir().mkpath(destination));
        newItem = dir.filePath("cleftone.AbC123");
        writeFile(newItem, "stripped audio", 0640);
    }

    QTemporaryDir dir;
    QString destination;
    QString newItem;
};

TEST_F(FileSwapTest, AcrossFileSystemsCopiesBesideDestinationThenRenames)
{
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

    // A destination folder that refuses the sibling copy: the copy fails as a move failure.
    writeFile(item, "audio");
    FileError error;
    EXPECT_FALSE(CTFileSwap::swapItemAtURL(newItem + "/song.wav", item, &error));
    EXPECT_EQ(error.code, FileSwapMoveFailed);
    EXPECT_TRUE(exists(item));
}

} // namespace
} // namespace cleftone::test
