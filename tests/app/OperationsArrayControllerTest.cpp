#include "app/OperationsArrayController.h"

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <random>

using cleftone::OperationsArrayController;

namespace {

QString dataAt(const OperationsArrayController& list, int row, int role = Qt::DisplayRole)
{
    return list.data(list.index(row), role).toString();
}

// Collects what QAbstractItemModelTester complains about instead of aborting.
QStringList g_modelTestWarnings;

void recordModelTestWarning(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    if (context.category && QByteArray(context.category) == "qt.modeltest")
        g_modelTestWarnings.append(message);
}

} // namespace

TEST(OperationsArrayControllerTest, PathsAreKeptByTheirExactTextAndShownByName)
{
    OperationsArrayController list;
    for (const char* path : {"/a/Track 01.flac", "/b/Track 01.flac", "/b/c.d/noextension"})
        list.addObject(QString::fromUtf8(path));
    for (const char* other : {"/a/track 01.flac", "/A/Track 01.flac", "/a/Track 01.FLAC",
                              "/a//Track 01.flac", "/a/Track 01.flac ", "Track 01.flac"})
        EXPECT_FALSE(list.containsFile(QString::fromUtf8(other))) << other;

    ASSERT_EQ(list.rowCount(), 3);
    EXPECT_EQ(dataAt(list, 0), "Track 01.flac");
    EXPECT_EQ(dataAt(list, 1), "Track 01.flac");
    EXPECT_EQ(dataAt(list, 2), "noextension");
    EXPECT_EQ(dataAt(list, 0, Qt::ToolTipRole), "/a/Track 01.flac");
    EXPECT_EQ(dataAt(list, 1, Qt::ToolTipRole), "/b/Track 01.flac");
    EXPECT_EQ(dataAt(list, 1, OperationsArrayController::PathRole), "/b/Track 01.flac");

    // Paths that only differ in case leave the list alone, silently.
    QSignalSpy aboutToRemove(&list, &QAbstractItemModel::rowsAboutToBeRemoved);
    list.removeObject("/b/track 01.flac");
    EXPECT_EQ(aboutToRemove.count(), 0);
    list.removeObject("/b/Track 01.flac");
    ASSERT_EQ(aboutToRemove.count(), 1);
    EXPECT_EQ(aboutToRemove.at(0).at(1).toInt(), 1);
    EXPECT_EQ(aboutToRemove.at(0).at(2).toInt(), 1);
    EXPECT_FALSE(list.containsFile("/b/Track 01.flac"));
    EXPECT_TRUE(list.containsFile("/a/Track 01.flac"));

    // A removed path can be listed again, as the last row.
    list.addObject("/b/Track 01.flac");
    EXPECT_EQ(list.arrangedObjects(),
              QStringList({"/a/Track 01.flac", "/b/c.d/noextension", "/b/Track 01.flac"}));
}

TEST(OperationsArrayControllerTest, BatchesAddOnceEachAndRemoveNeighbouringRowsTogether)
{
    g_modelTestWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordModelTestWarning);
    {
        OperationsArrayController list;
        QAbstractItemModelTester tester(&list,
                                        QAbstractItemModelTester::FailureReportingMode::Warning);
        list.addObject("/m/0.mp3");
        QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
        list.addObjects({"/m/1.mp3", "/m/0.mp3", "/m/2.mp3", "/m/1.mp3", "/m/3.mp3", "/m/4.mp3",
                         "/m/5.mp3", "/m/6.mp3"});
        EXPECT_EQ(inserted.size(), 1);
        EXPECT_EQ(list.arrangedObjects(),
                  (QStringList{"/m/0.mp3", "/m/1.mp3", "/m/2.mp3", "/m/3.mp3", "/m/4.mp3",
                               "/m/5.mp3", "/m/6.mp3"}));

        QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
        list.removeObjects(
            {"/m/5.mp3", "/m/0.mp3", "/m/2.mp3", "/m/1.mp3", "/m/not-listed.mp3", "/m/1.mp3"});
        // Rows 0-2 and row 5: two removals, the later rows first.
        EXPECT_EQ(removed.size(), 2);
        EXPECT_EQ(removed.value(0).value(1).toInt(), 5);
        EXPECT_EQ(removed.value(1).value(1).toInt(), 0);
        EXPECT_EQ(removed.value(1).value(2).toInt(), 2);
        EXPECT_EQ(list.arrangedObjects(), (QStringList{"/m/3.mp3", "/m/4.mp3", "/m/6.mp3"}));
        EXPECT_FALSE(list.containsFile("/m/2.mp3"));
        EXPECT_TRUE(list.containsFile("/m/6.mp3"));
        list.removeObject("/m/6.mp3");
        EXPECT_EQ(list.arrangedObjects(), (QStringList{"/m/3.mp3", "/m/4.mp3"}));

        // Remove All takes every row, not only the selected ones; an empty list stays quiet.
        QItemSelectionModel selection(&list);
        selection.select(list.index(1), QItemSelectionModel::Select);
        QSignalSpy aboutToRemove(&list, &QAbstractItemModel::rowsAboutToBeRemoved);
        list.removeAll();
        list.removeAll();
        EXPECT_TRUE(list.arrangedObjects().isEmpty());
        EXPECT_FALSE(list.containsFile("/m/3.mp3") || list.containsFile("/m/4.mp3"));
        EXPECT_FALSE(selection.hasSelection());
        EXPECT_EQ(aboutToRemove.size(), 1);
        EXPECT_EQ(aboutToRemove.value(0).value(1).toInt(), 0);
        EXPECT_EQ(aboutToRemove.value(0).value(2).toInt(), 1);
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
    for (int i = 0; i < 2000; ++i) {
        const QString path = QStringLiteral("/s/%1/file.m4a").arg(i);
        list.addObject(path);
        expected.append(path);
    }
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
    EXPECT_EQ(list.count(), 0);
}
