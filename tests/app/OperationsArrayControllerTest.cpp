#include "app/OperationsArrayController.h"

#include <QAbstractItemModelTester>
#include <QItemSelectionModel>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

using cleftone::OperationsArrayController;

namespace {

QString tooltipAt(const OperationsArrayController& list, int row)
{
    return list.data(list.index(row), Qt::ToolTipRole).toString();
}

QString nameAt(const OperationsArrayController& list, int row)
{
    return list.data(list.index(row), Qt::DisplayRole).toString();
}

// Collects what QAbstractItemModelTester complains about instead of aborting.
QStringList g_modelTestWarnings;

void recordModelTestWarning(QtMsgType, const QMessageLogContext& context, const QString& message)
{
    if (context.category && QByteArray(context.category) == "qt.modeltest") {
        g_modelTestWarnings.append(message);
    }
}

} // namespace

TEST(OperationsArrayControllerTest, ContainsFileComparesTheExactPathText)
{
    OperationsArrayController list;
    EXPECT_FALSE(list.containsFile(QStringLiteral("/music/Song.mp3")));
    list.addObject(QStringLiteral("/music/Song.mp3"));

    EXPECT_TRUE(list.containsFile(QStringLiteral("/music/Song.mp3")));
    EXPECT_FALSE(list.containsFile(QStringLiteral("/music/song.mp3")));
    EXPECT_FALSE(list.containsFile(QStringLiteral("/Music/Song.mp3")));
    EXPECT_FALSE(list.containsFile(QStringLiteral("/music/Song.MP3")));
    EXPECT_FALSE(list.containsFile(QStringLiteral("/music//Song.mp3")));
    EXPECT_FALSE(list.containsFile(QStringLiteral("/music/Song.mp3 ")));
    EXPECT_FALSE(list.containsFile(QStringLiteral("Song.mp3")));

    list.removeObject(QStringLiteral("/music/Song.mp3"));
    EXPECT_FALSE(list.containsFile(QStringLiteral("/music/Song.mp3")));
    EXPECT_EQ(list.count(), 0);
}

TEST(OperationsArrayControllerTest, SameNameInTwoFoldersGivesTwoRowsToldApartByPath)
{
    OperationsArrayController list;
    list.addObject(QStringLiteral("/a/Track 01.flac"));
    list.addObject(QStringLiteral("/b/Track 01.flac"));
    list.addObject(QStringLiteral("/b/c.d/noextension"));

    ASSERT_EQ(list.rowCount(), 3);
    EXPECT_EQ(nameAt(list, 0), QStringLiteral("Track 01.flac"));
    EXPECT_EQ(nameAt(list, 1), QStringLiteral("Track 01.flac"));
    EXPECT_EQ(nameAt(list, 2), QStringLiteral("noextension"));
    EXPECT_EQ(tooltipAt(list, 0), QStringLiteral("/a/Track 01.flac"));
    EXPECT_EQ(tooltipAt(list, 1), QStringLiteral("/b/Track 01.flac"));
    EXPECT_EQ(list.data(list.index(1), OperationsArrayController::PathRole).toString(),
              QStringLiteral("/b/Track 01.flac"));

    list.removeObject(QStringLiteral("/a/Track 01.flac"));
    EXPECT_EQ(list.arrangedObjects(), QStringList({QStringLiteral("/b/Track 01.flac"),
                                                   QStringLiteral("/b/c.d/noextension")}));
    EXPECT_TRUE(list.containsFile(QStringLiteral("/b/Track 01.flac")));
}

TEST(OperationsArrayControllerTest, RemoveObjectSignalsTheRowOfThatPath)
{
    OperationsArrayController list;
    for (const char* path : {"/x/a", "/x/b", "/x/c", "/x/d"}) {
        list.addObject(QString::fromUtf8(path));
    }
    QSignalSpy aboutToRemove(&list, &QAbstractItemModel::rowsAboutToBeRemoved);

    list.removeObject(QStringLiteral("/x/c"));
    ASSERT_EQ(aboutToRemove.count(), 1);
    EXPECT_EQ(aboutToRemove.at(0).at(1).toInt(), 2);
    EXPECT_EQ(aboutToRemove.at(0).at(2).toInt(), 2);
    EXPECT_EQ(nameAt(list, 2), QStringLiteral("d"));

    // Unknown paths and paths that only differ in case leave the list alone, silently.
    list.removeObject(QStringLiteral("/x/C"));
    list.removeObject(QStringLiteral("/x/c"));
    EXPECT_EQ(aboutToRemove.count(), 1);
    EXPECT_EQ(list.arrangedObjects(), QStringList({QStringLiteral("/x/a"), QStringLiteral("/x/b"),
                                                   QStringLiteral("/x/d")}));

    // A removed path can be listed again, as the last row.
    list.addObject(QStringLiteral("/x/c"));
    EXPECT_EQ(list.arrangedObjects().last(), QStringLiteral("/x/c"));
    list.removeObject(QStringLiteral("/x/a"));
    EXPECT_EQ(aboutToRemove.last().at(1).toInt(), 0);
}

TEST(OperationsArrayControllerTest, RemoveAllClearsEveryRowNotOnlyTheSelection)
{
    OperationsArrayController list;
    for (int i = 0; i < 5; ++i) {
        list.addObject(QStringLiteral("/f/%1.mp3").arg(i));
    }
    QItemSelectionModel selection(&list);
    selection.select(list.index(1), QItemSelectionModel::Select);
    selection.select(list.index(3), QItemSelectionModel::Select);
    QSignalSpy aboutToRemove(&list, &QAbstractItemModel::rowsAboutToBeRemoved);

    list.removeAll();

    EXPECT_EQ(list.count(), 0);
    EXPECT_TRUE(list.arrangedObjects().isEmpty());
    EXPECT_FALSE(list.containsFile(QStringLiteral("/f/0.mp3")));
    EXPECT_FALSE(list.containsFile(QStringLiteral("/f/3.mp3")));
    EXPECT_FALSE(selection.hasSelection());
    ASSERT_EQ(aboutToRemove.count(), 1);
    EXPECT_EQ(aboutToRemove.at(0).at(1).toInt(), 0);
    EXPECT_EQ(aboutToRemove.at(0).at(2).toInt(), 4);

    list.removeAll(); // an empty list stays quiet
    EXPECT_EQ(aboutToRemove.count(), 1);
}

TEST(OperationsArrayControllerTest, ModelTesterAcceptsEveryChange)
{
    g_modelTestWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(recordModelTestWarning);
    {
        OperationsArrayController list;
        QAbstractItemModelTester tester(&list,
                                        QAbstractItemModelTester::FailureReportingMode::Warning);
        for (int i = 0; i < 20; ++i) {
            list.addObject(QStringLiteral("/t/%1.wav").arg(i));
        }
        list.removeObject(QStringLiteral("/t/0.wav"));
        list.removeObject(QStringLiteral("/t/19.wav"));
        list.removeObject(QStringLiteral("/t/7.wav"));
        list.removeAll();
        list.addObject(QStringLiteral("/t/again.wav"));
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

// A run removes the files front first; with 100,000 rows that must stay a linear amount of work.
TEST(OperationsArrayControllerTest, HundredThousandFilesAddedCheckedAndRemovedInOrder)
{
    constexpr int kFiles = 100000;
    OperationsArrayController list;
    QStringList paths;
    paths.reserve(kFiles);
    for (int i = 0; i < kFiles; ++i) {
        paths.append(QStringLiteral("/library/artist %1/track.mp3").arg(i));
    }
    for (const QString& path : paths) {
        ASSERT_FALSE(list.containsFile(path));
        list.addObject(path);
    }
    ASSERT_EQ(list.count(), kFiles);
    ASSERT_EQ(list.arrangedObjects(), paths);

    int rowsNotAtFront = 0;
    QObject::connect(&list, &QAbstractItemModel::rowsAboutToBeRemoved,
                     [&](const QModelIndex&, int first, int last) {
                         rowsNotAtFront += (first != 0 || last != 0);
                     });
    for (int i = 0; i < kFiles; ++i) {
        ASSERT_TRUE(list.containsFile(paths[i]));
        list.removeObject(paths[i]);
        if (i == kFiles / 2) {
            ASSERT_EQ(list.arrangedObjects(), paths.mid(i + 1));
            ASSERT_EQ(list.data(list.index(0), Qt::ToolTipRole).toString(), paths[i + 1]);
        }
    }
    EXPECT_EQ(rowsNotAtFront, 0);
    EXPECT_EQ(list.count(), 0);
    EXPECT_FALSE(list.containsFile(paths.last()));
}

TEST(OperationsArrayControllerTest, BatchesAddOnceEachAndRemoveNeighbouringRowsTogether)
{
    cleftone::OperationsArrayController list;
    QAbstractItemModelTester tester(&list, QAbstractItemModelTester::FailureReportingMode::Fatal);
    list.addObject(QStringLiteral("/m/0.mp3"));
    QSignalSpy inserted(&list, &QAbstractItemModel::rowsInserted);
    list.addObjects({"/m/1.mp3", "/m/0.mp3", "/m/2.mp3", "/m/1.mp3", "/m/3.mp3", "/m/4.mp3",
                     "/m/5.mp3", "/m/6.mp3"});
    ASSERT_EQ(inserted.size(), 1);
    EXPECT_EQ(list.arrangedObjects(), (QStringList{"/m/0.mp3", "/m/1.mp3", "/m/2.mp3", "/m/3.mp3",
                                                   "/m/4.mp3", "/m/5.mp3", "/m/6.mp3"}));

    QSignalSpy removed(&list, &QAbstractItemModel::rowsRemoved);
    list.removeObjects(
        {"/m/5.mp3", "/m/0.mp3", "/m/2.mp3", "/m/1.mp3", "/m/not-listed.mp3", "/m/1.mp3"});
    // Rows 0-2 and row 5: two removals, the later rows first.
    ASSERT_EQ(removed.size(), 2);
    EXPECT_EQ(removed.at(0).at(1).toInt(), 5);
    EXPECT_EQ(removed.at(1).at(1).toInt(), 0);
    EXPECT_EQ(removed.at(1).at(2).toInt(), 2);
    EXPECT_EQ(list.arrangedObjects(), (QStringList{"/m/3.mp3", "/m/4.mp3", "/m/6.mp3"}));
    EXPECT_FALSE(list.containsFile(QStringLiteral("/m/2.mp3")));
    EXPECT_TRUE(list.containsFile(QStringLiteral("/m/6.mp3")));
    list.removeObject(QStringLiteral("/m/6.mp3"));
    EXPECT_EQ(list.arrangedObjects(), (QStringList{"/m/3.mp3", "/m/4.mp3"}));
}
