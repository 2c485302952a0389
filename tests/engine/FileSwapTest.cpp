#include "engine/FileSwap.h"

#include "CommitTestSupport.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/xattr.h>

namespace cleftone {
namespace {

using test::exists;
using test::modeOf;
using test::namesIn;
using test::readAll;
using test::writeFile;

TEST(FileErrorTest, MessageHasSuffixOnlyWithUnderlyingError)
{
    FileError error{QStringLiteral("The file “50%1.mp3” could not be replaced: Oops"),
                    QStringLiteral("D"), 4, std::nullopt};
    EXPECT_EQ(error.message(), QStringLiteral("Could not write the output file: The file "
                                              "“50%1.mp3” could not be replaced: Oops [D 4]"));
    error.underlying = std::make_pair(QStringLiteral("P"), qint64(13));
    EXPECT_EQ(error.message(), QStringLiteral("Could not write the output file: The file "
                                              "“50%1.mp3” could not be replaced: Oops "
                                              "[D 4; underlying P 13]"));
}

class FileSwapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        work = dir.path() + QStringLiteral("/work");
        destination = dir.path() + QStringLiteral("/dest");
        ASSERT_TRUE(QDir().mkpath(work) && QDir().mkpath(destination));
        newItem = work + QStringLiteral("/cleftone.AbC123");
        writeFile(newItem, "stripped audio", 0640);
    }

    QTemporaryDir dir;
    QString work;
    QString destination;
    QString newItem;
};

TEST_F(FileSwapTest, MovesIntoFolderWithoutThatFile)
{
    const QString out = destination + QStringLiteral("/song.mp3");
    FileError error;
    ASSERT_TRUE(CTFileSwap::swapItemAtURL(out, newItem, &error));
    EXPECT_EQ(readAll(out), "stripped audio");
    EXPECT_EQ(modeOf(out), 0640u);
    EXPECT_FALSE(exists(newItem));
}

TEST_F(FileSwapTest, ReplacesExistingFileKeepingOnlyNewMetadata)
{
    const QString out = destination + QStringLiteral("/song.mp3");
    writeFile(out, "old audio with a much longer tag block", 0600);
    const bool xattrs =
        ::setxattr(QFile::encodeName(out).constData(), "user.cleftone.test", "old", 3, 0) == 0;
    FileError error;
    ASSERT_TRUE(CTFileSwap::swapItemAtURL(out, newItem, &error));
    EXPECT_EQ(readAll(out), "stripped audio");
    EXPECT_EQ(modeOf(out), 0640u);
    EXPECT_FALSE(exists(newItem));
    EXPECT_EQ(namesIn(destination), QStringList{QStringLiteral("song.mp3")});
    if (xattrs) {
        EXPECT_LT(::getxattr(QFile::encodeName(out).constData(), "user.cleftone.test", nullptr, 0),
                  0);
    }
}

TEST_F(FileSwapTest, FailuresNameTheFileAndTheSystemError)
{
    FileError error;
    const QString missing = dir.path() + QStringLiteral("/missing/song.mp3");
    EXPECT_FALSE(CTFileSwap::swapItemAtURL(missing, newItem, &error));
    EXPECT_EQ(error.message(),
              QStringLiteral("Could not write the output file: The file “song.mp3” could not be "
                             "saved in the folder “missing”: No such file or directory "
                             "[CTFileSwapErrorDomain 2; underlying NSPOSIXErrorDomain 2]"));

    // Something that a file cannot replace: a folder with contents.
    const QString folder = destination + QStringLiteral("/song.mp3");
    ASSERT_TRUE(QDir().mkpath(folder + QStringLiteral("/inner")));
    EXPECT_FALSE(CTFileSwap::swapItemAtURL(folder, newItem, &error));
    EXPECT_EQ(error.message(),
              QStringLiteral("Could not write the output file: The file “song.mp3” could not be "
                             "replaced: Is a directory "
                             "[CTFileSwapErrorDomain 1; underlying NSPOSIXErrorDomain 21]"));
    EXPECT_EQ(readAll(newItem), "stripped audio") << "left for the job's clean-up";

    // The repair tool removed the new item.
    ::unlink(QFile::encodeName(newItem).constData());
    writeFile(destination + QStringLiteral("/other.mp3"), "kept");
    EXPECT_FALSE(
        CTFileSwap::swapItemAtURL(destination + QStringLiteral("/other.mp3"), newItem, &error));
    EXPECT_EQ(error.code, FileSwapReplaceFailed);
    EXPECT_EQ(error.underlying->second, ENOENT);
    EXPECT_EQ(readAll(destination + QStringLiteral("/other.mp3")), "kept");
}

TEST_F(FileSwapTest, AcrossFileSystemsCopiesBesideDestinationThenRenames)
{
    QTemporaryDir shm(QStringLiteral("/dev/shm/cleftone-test-XXXXXX"));
    if (!shm.isValid() || test::statOf(shm.path())->st_dev == test::statOf(work)->st_dev)
        GTEST_SKIP() << "no second file system (tmpfs at /dev/shm) beside the test folder";

    for (const bool replacing : {true, false}) {
        const QString item = shm.path() + QStringLiteral("/cleftone.XyZ789");
        QByteArray audio(300000, 'a');
        audio[299999] = 'z';
        writeFile(item, audio, 0644);
        const QString out = destination + QStringLiteral("/song.wav");
        if (replacing)
            writeFile(out, "old", 0600);
        else
            QFile::remove(out);
        FileError error;
        ASSERT_TRUE(CTFileSwap::swapItemAtURL(out, item, &error)) << qPrintable(error.message());
        EXPECT_EQ(readAll(out), audio);
        EXPECT_EQ(modeOf(out), 0644u);
        EXPECT_FALSE(exists(item));
        EXPECT_EQ(namesIn(destination), QStringList{QStringLiteral("song.wav")});
        EXPECT_TRUE(namesIn(test::journalDirectoryForTests()).isEmpty());
    }

    // A destination folder that refuses the sibling copy: the copy fails as a move failure.
    const QString item = shm.path() + QStringLiteral("/cleftone.XyZ790");
    writeFile(item, "audio");
    writeFile(dir.path() + QStringLiteral("/file"), "x");
    FileError error;
    EXPECT_FALSE(
        CTFileSwap::swapItemAtURL(dir.path() + QStringLiteral("/file/song.wav"), item, &error));
    EXPECT_EQ(error.code, FileSwapMoveFailed);
    EXPECT_TRUE(exists(item));
}

} // namespace
} // namespace cleftone
