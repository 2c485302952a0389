#include "platform/FolderBookmark.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace cleftone;

TEST(FolderBookmarkTest, ResolvesToTheCanonicalFolderOrSaysWhyNot)
{
    QTemporaryDir dir;
    const QString root = QDir(dir.path()).canonicalPath();
    const QString folder = root + "/Out";
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::link(folder, root + "/link"));
    for (const QString& chosen : {folder, root + "/link", folder + "/../Out/"}) {
        const auto resolved = FolderBookmark::resolve(FolderBookmark::create(chosen).value());
        ASSERT_TRUE(resolved) << chosen.toStdString();
        EXPECT_EQ(resolved->path, folder);
        EXPECT_FALSE(resolved->isStale);
    }

    // Replaced (the old one kept, so that the new one cannot get its inode back): stale.
    const QByteArray good = FolderBookmark::create(folder).value();
    ASSERT_TRUE(QDir().rename(folder, root + "/Old"));
    ASSERT_TRUE(QDir().mkdir(folder));
    const auto resolved = FolderBookmark::resolve(good);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->path, folder);
    EXPECT_TRUE(resolved->isStale);
    EXPECT_FALSE(FolderBookmark::resolve(*FolderBookmark::create(folder))->isStale);

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

    // Gone, or a file in its place, is no folder either; and no folder can be bookmarked.
    ASSERT_TRUE(QDir().rmdir(folder));
    for (const bool file : {false, true}) {
        ASSERT_TRUE(!file || QFile(folder).open(QIODevice::WriteOnly));
        QString error;
        EXPECT_FALSE(FolderBookmark::resolve(good, &error));
        EXPECT_EQ(error, "The folder no longer exists.");
        error.clear();
        EXPECT_FALSE(FolderBookmark::create(folder, &error));
        EXPECT_FALSE(error.isEmpty());
    }
}
