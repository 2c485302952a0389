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
    void SetUp() override { ASSERT_TRUE(QDir().mkpath(folder_)); }

    static bool touch(const QString& path) { return QFile(path).open(QIODevice::WriteOnly); }

    QTemporaryDir dir_;
    const QString root_ = QDir(dir_.path()).canonicalPath();
    const QString folder_ = root_ + "/Out";
};

} // namespace

TEST_F(FolderBookmarkTest, ResolvesToTheCanonicalFolderAndIsStaleOnceItWasReplaced)
{
    ASSERT_TRUE(QFile::link(folder_, root_ + "/link"));
    for (const QString& chosen : {folder_, root_ + "/link", folder_ + "/../Out/"}) {
        const auto resolved = FolderBookmark::resolve(FolderBookmark::create(chosen).value());
        ASSERT_TRUE(resolved) << chosen.toStdString();
        EXPECT_EQ(resolved->path, folder_);
        EXPECT_FALSE(resolved->isStale);
    }

    const QByteArray bookmark = FolderBookmark::create(folder_).value();
    // Keep the old folder so that the new one cannot get its inode back.
    ASSERT_TRUE(QDir().rename(folder_, root_ + "/Old"));
    ASSERT_TRUE(QDir().mkdir(folder_));
    const auto resolved = FolderBookmark::resolve(bookmark);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->path, folder_);
    EXPECT_TRUE(resolved->isStale);
    EXPECT_FALSE(FolderBookmark::resolve(*FolderBookmark::create(resolved->path))->isStale);
}

TEST_F(FolderBookmarkTest, FailsReadablyWhenTheFolderIsGoneOrTheDataDamaged)
{
    const QByteArray good = FolderBookmark::create(folder_).value();
    QString error;
    ASSERT_TRUE(QDir().rmdir(folder_));
    EXPECT_FALSE(FolderBookmark::resolve(good, &error));
    EXPECT_EQ(error, "The folder no longer exists.");
    // A file in the folder's place is no folder either.
    ASSERT_TRUE(touch(folder_));
    error.clear();
    EXPECT_FALSE(FolderBookmark::resolve(good, &error));
    EXPECT_EQ(error, "The folder no longer exists.");
    error.clear();
    EXPECT_FALSE(FolderBookmark::create(folder_, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(FolderBookmark::create(root_ + "/missing"));

    QByteArray flipped = good;
    flipped[flipped.size() - 3] = char(flipped.at(flipped.size() - 3) ^ 0x01);
    QByteArray newerVersion = good;
    newerVersion[4] = 2;
    for (const QByteArray& bad : {QByteArray(), QByteArray("CTbm"), good.left(good.size() - 1),
                                  good + "x", flipped, newerVersion, QByteArray(64, 'A')}) {
        QString why;
        EXPECT_FALSE(FolderBookmark::resolve(bad, &why)) << bad.toHex().toStdString();
        EXPECT_EQ(why, "The bookmark data is damaged.");
    }
}

TEST_F(FolderBookmarkTest, AccessNeedsAnExistingWritableFolder)
{
    EXPECT_TRUE(FolderBookmark::startAccessing(folder_));
    FolderBookmark::stopAccessing(folder_);
    ASSERT_TRUE(touch(root_ + "/plain"));
    for (const QString& path : {root_ + "/missing", QString(), root_ + "/plain"})
        EXPECT_FALSE(FolderBookmark::startAccessing(path)) << path.toStdString();
    // Root may write into any folder, so there is nothing to refuse.
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(QFile::encodeName(folder_).constData(), 0555), 0);
        EXPECT_FALSE(FolderBookmark::startAccessing(folder_));
        ::chmod(QFile::encodeName(folder_).constData(), 0755);
    }
}
