#include "app/OperationsArrayController.h"

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <random>

using cleftone::OperationsArrayController;

namespace {

QStringList g_modelTestWarnings;

void recordModelTestWarning(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    if (context.category && QByteArray(context.category) == "qt.modeltest")
        g_modelTestWarnings.append(message);
}

} // namespace

TEST(OperationsArrayControllerTest, PathsAreKeptByExactTextShownByNameAndRemovedInRuns)
{
    const QtMessageHandler previous = qInstallMessageHandler(recordModelTestWarning);
    {
        OperationsArrayController list;
        QAbstractItemModelTester tester(&list,
                                        QAbstractItemModelTester::FailureReportingMode::Warning);
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
        EXPECT_EQ(list.index(1).data(OperationsArrayController::PathRole).toString(),
                  "/b/Track 01.flac");

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

        // Remove All takes every row, not only the selected ones; an empty list stays quiet.
        QItemSelectionModel selection(&list);
        selection.select(list.index(1), QItemSelectionModel::Select);
        QSignalSpy aboutToRemove(&list, &QAbstractItemModel::rowsAboutToBeRemoved);
        list.removeAll();
        list.removeAll();
        EXPECT_TRUE(list.arrangedObjects().isEmpty());
        EXPECT_FALSE(list.containsFile("/m/1"));
        EXPECT_FALSE(selection.hasSelection());
        ASSERT_EQ(aboutToRemove.size(), 1);
        EXPECT_EQ(aboutToRemove[0][2].toInt(), 1);
        list.addObject("/m/again.mp3");
    }
    qInstallMessageHandler(previous);
    EXPECT_TRUE(g_modelTestWarnings.isEmpty()) << g_modelTestWarnings.join(u'\n').toStdString();
}

// Removal in any order must keep rows, signals and the index in step with a plain list.
TEST(OperationsArrayControllerTest, RemovalInShuffledOrderMatchesAPlainList)
{
    OperationsArrayController list;
    QStringList expected;
    for (int i = 0; i < 2000; ++i)
        expected.append(QStringLiteral("/s/%1/file.m4a").arg(i));
    list.addObjects(expected);
    QStringList order = expected;
    std::shuffle(order.begin(), order.end(), std::mt19937(20240611));

    int signalledRow = -1;
    QObject::connect(&list, &QAbstractItemModel::rowsAboutToBeRemoved,
                     [&](const QModelIndex&, int first, int) { signalledRow = first; });
    for (int step = 0; step < order.size(); ++step) {
        const int row = static_cast<int>(expected.indexOf(order[step]));
        list.removeObject(order[step]);
        expected.removeAt(row);
        ASSERT_EQ(signalledRow, row) << "step " << step;
        ASSERT_FALSE(list.containsFile(order[step]));
        if (step % 97 == 0) {
            ASSERT_EQ(list.arrangedObjects(), expected) << "step " << step;
        }
    }
}
