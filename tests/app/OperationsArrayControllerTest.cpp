#include "app/OperationsArrayController.h"

#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <gtest/gtest.h>

using cleftone::OperationsArrayController;

// The model tester aborts the run on any inconsistency between rows and signals.
TEST(OperationsArrayControllerTest, PathsAreKeptByExactTextShownByNameAndRemovedInRuns)
{
    OperationsArrayController list;
    QAbstractItemModelTester tester(&list);
    list.addObject("/a/Track 01.flac");
    QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
    list.addObjects({"/b/Track 01.flac", "/a/Track 01.flac", "/b/c.d/noext", "/m/1", "/m/2",
                     "/b/c.d/noext", "/m/3"});
    EXPECT_EQ(inserted.size(), 1);
    for (const char* other : {"/a/track 01.flac", "/A/Track 01.flac", "/a/Track 01.FLAC",
                              "/a//Track 01.flac", "/a/Track 01.flac ", "Track 01.flac"})
        EXPECT_FALSE(list.containsFile(QString::fromUtf8(other))) << other;
    ASSERT_EQ(list.rowCount(), 6);
    EXPECT_EQ(list.index(1).data().toString(), "Track 01.flac");
    EXPECT_EQ(list.index(2).data().toString(), "noext");
    EXPECT_EQ(list.index(1).data(Qt::ToolTipRole).toString(), "/b/Track 01.flac");

    // Rows 0-2 and row 4: two removals, the later rows first; other case is another path.
    QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
    list.removeObjects(
        {"/m/2", "/a/Track 01.flac", "/b/c.d/noext", "/b/Track 01.flac", "/M/3", "/m/2"});
    ASSERT_EQ(removed.size(), 2);
    EXPECT_EQ(removed[0][1].toInt(), 4);
    EXPECT_EQ(removed[1][1].toInt(), 0);
    EXPECT_EQ(removed[1][2].toInt(), 2);
    EXPECT_FALSE(list.containsFile("/b/c.d/noext"));
    list.removeObject("/m/3");
    list.addObject("/a/Track 01.flac"); // listed again, as the last row
    EXPECT_EQ(list.arrangedObjects(), (QStringList{"/m/1", "/a/Track 01.flac"}));

    // Remove All takes every row at once; an empty list stays quiet.
    QSignalSpy aboutToRemove(&list, &QAbstractItemModel::rowsAboutToBeRemoved);
    list.removeAll();
    list.removeAll();
    EXPECT_TRUE(list.arrangedObjects().isEmpty());
    EXPECT_FALSE(list.containsFile("/m/1"));
    ASSERT_EQ(aboutToRemove.size(), 1);
    EXPECT_EQ(aboutToRemove[0][2].toInt(), 1);
    list.addObject("/m/again.mp3");
}

// Results come from several workers in any order; each lands on its row by path, and one for a
// row removed (or removed and listed again) meanwhile is dropped.
TEST(OperationsArrayControllerTest, MetadataLandsOnItsRowWhateverOrderItComesIn)
{
    using cleftone::FileMetadata;
    OperationsArrayController list;
    QAbstractItemModelTester tester(&list);
    const QStringList paths{"/m/a.mp3", "/m/b.flac", "/m/c.wav", "/m/d.m4a"};
    list.addObjects(paths);
    const quint64 stale = list.serialOf("/m/c.wav");
    list.removeObject("/m/c.wav");
    list.addObject("/m/c.wav"); // listed again: the old inspection no longer counts
    list.removeObject("/m/d.m4a");
    const auto inspected = [](int tags, int pictures, qint64 bytes) {
        return FileMetadata{FileMetadata::State::Inspected, tags, pictures, 0, bytes / 2, bytes};
    };
    QSignalSpy changed(&list, &QAbstractItemModel::dataChanged);
    list.setMetadata({{"/m/c.wav", stale, inspected(9, 0, 900)},
                      {"/m/b.flac",
                       list.serialOf("/m/b.flac"),
                       {FileMetadata::State::Inspected, 0, 0, 0, 0, 0, 1}}, // kept, not counted
                      {"/m/d.m4a", 7, inspected(3, 0, 30)},
                      {"/m/a.mp3", list.serialOf("/m/a.mp3"), inspected(14, 1, 824000)}});
    list.setMetadata({{"/m/c.wav", list.serialOf("/m/c.wav"), {FileMetadata::State::Unreadable}}});
    EXPECT_EQ(changed.size(), 2);
    QStringList column;
    for (int row = 0; row < list.rowCount(); ++row)
        column << list.index(row, OperationsArrayController::MetadataColumn).data().toString();
    EXPECT_EQ(column,
              (QStringList{"14 tags, cover 412 kB", "No metadata, 1 item kept", "Cannot read"}));
    EXPECT_EQ(list.metadataBytes(), 824000);
    EXPECT_EQ(list.waitingCount(), 0);
    list.addObject("/m/e.mp3");
    EXPECT_EQ(list.index(3, OperationsArrayController::MetadataColumn).data().toString(),
              QString::fromUtf8("Checking…"));
    EXPECT_EQ(list.waitingCount(), 1);
    list.removeAll();
    EXPECT_EQ(list.metadataBytes(), 0);
}
