#include "platform/FolderBookmark.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace cleftone;

namespace {

class FolderBookmarkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        root_ = QDir(dir_.path()).canonicalPath();
        folder_ = root_ + "/Out";
        ASSERT_TRUE(QDir().mkpath(folder_));
    }
    QTemporaryDir dir_;
    QString root_;
    QString folder_;
};

} // namespace

TEST_F(FolderBookmarkTest, ResolvesToTheCanonicalFolder)
{
    ASSERT_TRUE(QFile::link(folder_, root_ + "/link"));
    for (const QString& chosen : {folder_, root_ + "/link", folder_ + "/../Out/"}) {
        const auto bookmark = FolderBookmark::create(chosen);
        ASSERT_TRUE(bookmark) << chosen.toStdString();
        const auto resolved = FolderBookmark::resolve(*bookmark);
        ASSERT_TRUE(resolved);
        EXPECT_EQ(resolved->path, folder_);
        EXPECT_FALSE(resolved->isStale);
    }
}

TEST_F(FolderBookmarkTest, IsStaleWhenTheFolderWasReplaced)
{
    const auto bookmark = FolderBookmark::create(folder_);
    ASSERT_TRUE(bookmark);
    // Keep the old folder so that the new one cannot get its inode back.
    ASSERT_TRUE(QDir().rename(folder_, root_ + "/Old"));
    ASSERT_TRUE(QDir().mkdir(folder_));

    const auto resolved = FolderBookmark::resolve(*bookmark);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->path, folder_);
    EXPECT_TRUE(resolved->isStale);
    const auto renewed = FolderBookmark::resolve(*FolderBookmark::create(resolved->path));
    ASSERT_TRUE(renewed);
    EXPECT_FALSE(renewed->isStale);
}

TEST_F(FolderBookmarkTest, FailsReadablyWhenTheFolderIsGone)
{
    const auto bookmark = FolderBookmark::create(folder_);
    ASSERT_TRUE(bookmark);
    ASSERT_TRUE(QDir().rmdir(folder_));
    QString error;
    EXPECT_FALSE(FolderBookmark::resolve(*bookmark, &error));
    EXPECT_EQ(error, "The folder no longer exists.");

    // A file in the folder's place is no folder either.
    QFile file(folder_);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    error.clear();
    EXPECT_FALSE(FolderBookmark::resolve(*bookmark, &error));
    EXPECT_EQ(error, "The folder no longer exists.");
    EXPECT_FALSE(FolderBookmark::create(folder_, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(FolderBookmark::create(root_ + "/missing"));
}

TEST_F(FolderBookmarkTest, RejectsDamagedData)
{
    const QByteArray good = *FolderBookmark::create(folder_);
    QByteArray flipped = good;
    flipped[flipped.size() - 3] = char(flipped.at(flipped.size() - 3) ^ 0x01);
    QByteArray newerVersion = good;
    newerVersion[4] = 2;

    for (const QByteArray& bad : {QByteArray(), QByteArray("CTbm"), good.left(good.size() - 1),
                                  good + "x", flipped, newerVersion, QByteArray(64, 'A')}) {
        QString error;
        EXPECT_FALSE(FolderBookmark::resolve(bad, &error)) << bad.toHex().toStdString();
        EXPECT_EQ(error, "The bookmark data is damaged.");
    }
}

TEST_F(FolderBookmarkTest, AccessNeedsAnExistingFolder)
{
    EXPECT_TRUE(FolderBookmark::startAccessing(folder_));
    FolderBookmark::stopAccessing(folder_);
    EXPECT_FALSE(FolderBookmark::startAccessing(root_ + "/missing"));
    EXPECT_FALSE(FolderBookmark::startAccessing(QString()));
    QFile file(root_ + "/plain");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    EXPECT_FALSE(FolderBookmark::startAccessing(file.fileName()));
}

TEST_F(FolderBookmarkTest, AccessIsRefusedForAReadOnlyFolder)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write into any folder, so there is nothing to refuse";
    ASSERT_EQ(::chmod(QFile::encodeName(folder_).constData(), 0555), 0);
    EXPECT_FALSE(FolderBookmark::startAccessing(folder_));
    ::chmod(QFile::encodeName(folder_).constData(), 0755);
}
