#include "errorlog/ErrorLogWindowController.h"

#include "errorlog/ErrorLogStore.h"
#include "platform/BuildConfig.h"
#include "ui/RecordingPlatformTools.h"

#include <QAction>
#include <QLocale>
#include <QMainWindow>
#include <QTableView>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <deque>

namespace cleftone {
namespace {

QDateTime utc(int y, int mo, int d, int h, int mi, int s)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

// Entries are stamped from `stamps`, then at 2026-12-05 09:51:14 UTC; short dates are German.
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
        controller.tableView()->selectionModel()->select(
            store.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    std::deque<QDateTime> stamps;
    ErrorLogStore store;
    test::RecordingPlatformTools tools;
    ErrorLogWindowController controller{store, tools};
};

TEST_F(ErrorLogWindowTest, CopyPutsSelectedRowsInTableOrderWithShortLocalDatesUntilCleared)
{
    stamps = {utc(2026, 12, 5, 9, 51, 14), utc(2026, 12, 5, 10, 2, 3), utc(2026, 1, 2, 23, 59, 59),
              QDateTime()};
    for (const char* message :
         {"first\tpart", "not selected", "third & 100%\nsecond line", "undated"})
        store.logMessage(message);

    // Nothing selected: Copy is disabled and does nothing.
    EXPECT_FALSE(controller.copyAction()->isEnabled());
    controller.copy();
    EXPECT_TRUE(tools.calls.isEmpty());

    select(3);
    select(2);
    select(0);
    EXPECT_TRUE(controller.copyAction()->isEnabled());
    controller.copyAction()->trigger();
    EXPECT_EQ(tools.clipboardTexts, QStringList{"05.12.26 09:51\tfirst\tpart\n"
                                                "02.01.26 23:59\tthird & 100%\nsecond line\n"
                                                "\tundated\n"});

    controller.clearAction()->trigger();
    EXPECT_EQ(store.rowCount(), 0);
    EXPECT_FALSE(controller.copyAction()->isEnabled());
}

TEST_F(ErrorLogWindowTest, SaveWritesTheReportAsUtf8OnlyWhenConfirmedAndWholly)
{
    QTemporaryDir dir;
    const auto files = [&] {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    };
    store.logMessage("Ünïcødé ✓\tand a tab");
    store.logMessage(QString());
    controller.save(); // cancelled
    ASSERT_EQ(tools.savePanels.size(), 1);
    EXPECT_EQ(tools.savePanels[0].suggestedName, "Error Log.log");
    EXPECT_EQ(tools.savePanels[0].requiredExtension, "log");
    EXPECT_EQ(tools.savePanels[0].parent, controller.window());
    EXPECT_TRUE(files().isEmpty());

    // An older, longer file at the path is replaced whole.
    QFile old(dir.filePath("report.log"));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly) && old.write(QByteArray(500, 'x')) == 500);
    old.close();
    tools.savePanelAnswers.push_back(old.fileName());
    controller.saveAction()->trigger();
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), "2026-12-05 09:51:14 +0000\tÜnïcødé ✓\tand a tab\n"
                             "2026-12-05 09:51:14 +0000\t\n");

    // Failed writes leave nothing behind and report nothing.
    ASSERT_TRUE(QDir(dir.path()).mkdir("taken.log"));
    tools.savePanelAnswers = {dir.filePath("taken.log"), dir.filePath("missing/report.log")};
    tools.calls.clear();
    controller.save();
    controller.save();
    EXPECT_EQ(tools.calls, QStringList({"runSavePanel", "runSavePanel"}));
    EXPECT_EQ(files(), (QStringList{"report.log", "taken.log"}));
    EXPECT_TRUE(QDir(dir.filePath("taken.log")).isEmpty());
}

TEST_F(ErrorLogWindowTest, EmailLinkPercentEncodesAllButTheQueryCharacters)
{
    const QByteArray prefix = "mailto:" + QByteArray(supportEmailAddress()) +
                              "?subject=Cleftone%20-%20Error%20Report&body=";
    controller.emailReportToDeveloper(); // an empty log still opens a message
    store.logMessage("a&b=c\td\ne é 100% #x?y/z:@!$'()*+,;~[]\"<>");
    controller.emailAction()->trigger();
    ASSERT_EQ(tools.openedUrls.size(), 2);
    EXPECT_EQ(tools.openedUrls[0].toEncoded(), prefix);
    EXPECT_EQ(tools.openedUrls[1].toEncoded(),
              prefix + "2026-12-05%2009:51:14%20+0000%09"
                       "a&b=c%09d%0Ae%20%C3%A9%20100%25%20%23x?y/z:@!$'()*+,;~%5B%5D%22%3C%3E%0A");
}

} // namespace
} // namespace cleftone
