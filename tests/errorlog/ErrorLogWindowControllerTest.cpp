#include "errorlog/ErrorLogWindowController.h"

#include "errorlog/ErrorLogStore.h"
#include "platform/BuildConfig.h"
#include "ui/RecordingPlatformTools.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLocale>
#include <QMainWindow>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <deque>

namespace cleftone {
namespace {

QDateTime utc(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

class ErrorLogWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        ErrorLogStore::setClockForTesting([this] {
            if (stamps.empty())
                return utc(2026, 12, 5, 9, 51, 14);
            const QDateTime next = stamps.front();
            stamps.pop_front();
            return next;
        });
    }
    void TearDown() override
    {
        ErrorLogStore::setClockForTesting({});
        QLocale::setDefault(QLocale::c());
    }

    void select(int row)
    {
        QTableView* table = controller.tableView();
        table->selectionModel()->select(store.index(row, 0),
                                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    std::deque<QDateTime> stamps;
    ErrorLogStore store;
    test::RecordingPlatformTools tools;
    ErrorLogWindowController controller{store, tools};
};

TEST_F(ErrorLogWindowTest, WindowIsLoadedLazilyAsErrorLogOverTheStore)
{
    EXPECT_FALSE(controller.isWindowLoaded());
    store.logMessage(QStringLiteral("before the window"));
    EXPECT_FALSE(controller.isWindowLoaded());

    EXPECT_EQ(controller.window()->windowTitle(), QStringLiteral("Error Log"));
    EXPECT_EQ(controller.tableView()->model(), &store);
    EXPECT_EQ(controller.tableView()->model()->rowCount(), 1);
    controller.showWindow();
    EXPECT_TRUE(controller.window()->isVisible());
    controller.window()->close();
}

TEST_F(ErrorLogWindowTest, CopyPutsSelectedRowsInTableOrderWithShortLocalDates)
{
    stamps = {utc(2026, 12, 5, 9, 51, 14), utc(2026, 12, 5, 10, 2, 3), utc(2026, 1, 2, 23, 59, 59)};
    store.logMessage(QStringLiteral("first\tpart"));
    store.logMessage(QStringLiteral("not selected"));
    store.logMessage(QStringLiteral("third & 100%\nsecond line"));

    // Nothing selected: Copy is disabled and does nothing.
    EXPECT_FALSE(controller.copyAction()->isEnabled());
    EXPECT_FALSE(controller.validateMenuItem(controller.copyAction()));
    EXPECT_TRUE(controller.validateMenuItem(controller.saveAction()));
    EXPECT_TRUE(controller.validateMenuItem(controller.clearAction()));
    controller.copy();
    EXPECT_TRUE(tools.calls.isEmpty());

    select(2);
    select(0);
    EXPECT_TRUE(controller.copyAction()->isEnabled());
    controller.copyAction()->trigger();
    ASSERT_EQ(tools.clipboardTexts.size(), 1);
    EXPECT_EQ(tools.clipboardTexts.first(),
              QStringLiteral("05.12.26 09:51\tfirst\tpart\n"
                             "02.01.26 23:59\tthird & 100%\nsecond line\n"));

    controller.tableView()->clearSelection();
    EXPECT_FALSE(controller.copyAction()->isEnabled());
}

TEST_F(ErrorLogWindowTest, CtrlCInTheTableCopiesWholeSelectedEntries)
{
    store.logMessage(QStringLiteral("only"));
    controller.showWindow();
    QApplication::setActiveWindow(controller.window());
    select(0);
    controller.tableView()->setCurrentIndex(store.index(0, 1));
    QTest::keyClick(controller.tableView(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(tools.clipboardTexts, QStringList{QStringLiteral("05.12.26 09:51\tonly\n")});
    controller.window()->close();
}

TEST_F(ErrorLogWindowTest, CopyOfAnEntryWithoutDateLeavesTheDateEmpty)
{
    ErrorLogStore::setClockForTesting([] { return QDateTime(); });
    store.logMessage(QStringLiteral("undated"));
    select(0);
    controller.copy();
    ASSERT_EQ(tools.clipboardTexts.size(), 1);
    EXPECT_EQ(tools.clipboardTexts.first(), QStringLiteral("\tundated\n"));
}

TEST_F(ErrorLogWindowTest, SaveWritesTheReportAsUtf8OnlyWhenConfirmed)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    store.logMessage(QStringLiteral("Ünïcødé ✓\tand a tab"));
    store.logMessage(QString());

    // Cancelled: nothing written.
    controller.save();
    ASSERT_EQ(tools.savePanels.size(), 1);
    EXPECT_EQ(tools.savePanels.first().requiredExtension, QStringLiteral("log"));
    EXPECT_EQ(tools.savePanels.first().parent, controller.window());
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());

    // An older, longer file at the path is replaced whole.
    const QString path = dir.filePath(QStringLiteral("report.log"));
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(500, 'x'));
    }
    tools.savePanelAnswers.push_back(path);
    controller.saveAction()->trigger();
    QFile saved(path);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QByteArray expected = QByteArray("2026-12-05 09:51:14 +0000\t"
                                           "\xC3\x9Cn\xC3\xAF"
                                           "c\xC3\xB8"
                                           "d\xC3\xA9 \xE2\x9C\x93\tand a tab\n"
                                           "2026-12-05 09:51:14 +0000\t\n");
    EXPECT_EQ(saved.readAll(), expected);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("report.log")});
}

TEST_F(ErrorLogWindowTest, FailedSaveLeavesNothingBehind)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    store.logMessage(QStringLiteral("message"));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("taken.log")));

    tools.savePanelAnswers = {dir.filePath(QStringLiteral("taken.log")),
                              dir.filePath(QStringLiteral("missing/report.log"))};
    controller.save();
    controller.save();

    EXPECT_EQ(tools.calls,
              QStringList({QStringLiteral("runSavePanel"), QStringLiteral("runSavePanel")}))
        << "a failed write reports nothing";
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("taken.log")});
    EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("taken.log"))).isEmpty());
}

TEST_F(ErrorLogWindowTest, EmailLinkPercentEncodesAllButTheQueryCharacters)
{
    const QString prefix = QStringLiteral("mailto:%1?subject=Cleftone%20-%20Error%20Report&body=")
                               .arg(QString::fromUtf8(supportEmailAddress()));

    // An empty log still opens a message, with an empty body.
    controller.emailReportToDeveloper();
    ASSERT_EQ(tools.openedUrls.size(), 1);
    EXPECT_EQ(tools.openedUrls.at(0).toEncoded(), prefix.toUtf8());

    store.logMessage(QStringLiteral("a&b=c\td\ne é 100% #x?y/z:@!$'()*+,;~[]\"<>"));
    controller.emailAction()->trigger();
    ASSERT_EQ(tools.openedUrls.size(), 2);
    const QByteArray expected =
        prefix.toUtf8() +
        "2026-12-05%2009:51:14%20+0000%09"
        "a&b=c%09d%0Ae%20%C3%A9%20100%25%20%23x?y/z:@!$'()*+,;~%5B%5D%22%3C%3E%0A";
    EXPECT_EQ(tools.openedUrls.at(1).toEncoded(), expected);
    EXPECT_EQ(ErrorLogWindowController::emailLink(QStringLiteral("dev@example.org"),
                                                  QStringLiteral("x\ty\n")),
              QByteArray("mailto:dev@example.org?subject=Cleftone%20-%20Error%20Report"
                         "&body=x%09y%0A"));
}

TEST_F(ErrorLogWindowTest, ClearEmptiesTheTableAndLoggingStartsAgainAtTheTop)
{
    store.logMessage(QStringLiteral("one"));
    store.logMessage(QStringLiteral("two"));
    select(1);
    controller.clearAction()->trigger();
    EXPECT_EQ(store.rowCount(), 0);
    EXPECT_EQ(controller.tableView()->model()->rowCount(), 0);
    EXPECT_FALSE(controller.copyAction()->isEnabled());

    store.logMessage(QStringLiteral("three"));
    EXPECT_EQ(controller.tableView()->model()->index(0, 1).data().toString(),
              QStringLiteral("three"));
}

TEST_F(ErrorLogWindowTest, RowsAreAsTallAsTheirWrappedMessage)
{
    QTableView* table = controller.tableView();
    table->horizontalHeader()->setStretchLastSection(false);
    table->setColumnWidth(ErrorLogStore::LogColumn, 400);
    controller.window()->resize(700, 400);
    controller.showWindow();

    store.logMessage(QStringLiteral("one line"));
    store.logMessage(QStringLiteral("1\n2\n3\n4\n5"));
    store.logMessage(QStringLiteral("word ").repeated(40));
    store.logMessage(QStringLiteral("line\n").repeated(300));

    const int single = table->rowHeight(0);
    EXPECT_GT(single, 0);
    EXPECT_GE(table->rowHeight(1), 4 * single);
    for (int row = 0; row < 4; ++row)
        EXPECT_EQ(table->rowHeight(row), controller.heightOfRow(row)) << "row " << row;
    EXPECT_EQ(table->rowHeight(3), ErrorLogWindowController::kMeasuringBoxHeight);

    // Narrowing the message column wraps the long line more, at once.
    const int wide = table->rowHeight(2);
    table->setColumnWidth(ErrorLogStore::LogColumn, 120);
    EXPECT_GT(table->rowHeight(2), wide);
    EXPECT_EQ(table->rowHeight(1), controller.heightOfRow(1));
    controller.window()->close();
}

TEST_F(ErrorLogWindowTest, RowsFollowTheWindowWhenTheMessageColumnStretches)
{
    // Logged before the window exists, then shown and resized: the stretched message column
    // changes width with the window, and every row must be measured again for it.
    store.logMessage(QStringLiteral("word ").repeated(60));
    QTableView* table = controller.tableView();
    table->horizontalHeader()->setStretchLastSection(true);
    controller.window()->resize(900, 400);
    controller.showWindow();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return table->rowHeight(0) == controller.heightOfRow(0); }, 5000));
    const int wide = table->rowHeight(0);

    controller.window()->resize(420, 400);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return table->rowHeight(0) > wide && table->rowHeight(0) == controller.heightOfRow(0);
        },
        5000));
    controller.window()->resize(900, 400);
    EXPECT_TRUE(QTest::qWaitFor([&] { return table->rowHeight(0) == wide; }, 5000));
    controller.window()->close();
}

TEST(ErrorLogWindowSharedTest, OneControllerOverTheSharedStore)
{
    ErrorLogWindowController& shared = ErrorLogWindowController::sharedController();
    EXPECT_EQ(&shared, &ErrorLogWindowController::sharedController());
    EXPECT_EQ(&shared.store(), &ErrorLogStore::sharedController());
}

} // namespace
} // namespace cleftone
