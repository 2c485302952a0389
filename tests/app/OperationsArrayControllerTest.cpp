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
