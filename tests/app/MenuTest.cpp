#include "DelegateTestSupport.h"

#include "platform/UpdateChecker.h"

namespace cleftone::test {
namespace {

class MenuTest : public DelegateTest {
protected:
    /// Add Files and Clear as validation answers for them and as the menus show them.
    void expectItems(const char* state, bool addFiles, bool clear)
    {
        SCOPED_TRACE(state);
        EXPECT_EQ(delegate->validateMenuItem(delegate->addFilesAction()), addFiles);
        EXPECT_EQ(delegate->addFilesAction()->isEnabled(), addFiles);
        EXPECT_EQ(delegate->validateMenuItem(delegate->clearAction()), clear);
        EXPECT_EQ(delegate->clearAction()->isEnabled(), clear);
    }
};

TEST_F(MenuTest, AddFilesAndClearFollowTheWindowStateAndABusyQueueRefusesIntake)
{
    CleftoneAppDelegate& d = makeHeldJobsDelegate();
    expectItems("idle, empty list", true, false);
    const QString a = touch("a.mp3");
    const QString b = touch("b.mp3");
    ASSERT_TRUE(walk({a, b}));
    expectItems("idle, files listed", true, true);

    d.stripButtonPressed();
    ASSERT_TRUE(waitFor([this] { return gate.arrivals == 1; }));
    expectItems("running", false, false);
    // While the queue holds jobs nothing comes in, by any source, and the list stays.
    EXPECT_FALSE(d.applicationOpenFiles({touch("opened.mp3")}));
    EXPECT_EQ(tools.beeps, 1);
    QMimeData drag;
    drag.setUrls({QUrl::fromLocalFile(touch("dropped.mp3"))});
    EXPECT_FALSE(d.tableViewAcceptDrop(&drag));
    tools.openPanelAnswers = {{touch("chosen.mp3")}};
    d.addFiles();
    d.tableView()->selectAll();
    d.removeSelectedFiles();
    d.clearButtonPressed();
    QCoreApplication::processEvents();
    EXPECT_TRUE(tools.openPanels.isEmpty());
    EXPECT_FALSE(d.droppedFilesParser().walking());
    EXPECT_EQ(listed(), QStringList({a, b}));

    d.stopButtonPressed();
    EXPECT_FALSE(d.stripButton()->isEnabled());
    expectItems("stopping", false, false);
    EXPECT_FALSE(d.applicationOpenFiles({touch("opened.mp3")}));
    EXPECT_EQ(tools.beeps, 2);

    gate.open = true;
    ASSERT_TRUE(waitFor([this] { return runs == 1; }));
    expectItems("idle after Stop, both files still listed", true, true);
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(listed().isEmpty());
    expectItems("idle after a full run", true, false);
}

TEST_F(MenuTest, DeleteTakesTheSelectionAndClearEverything)
{
    makeDelegate();
    const QStringList files = {touch("a/song.mp3"), touch("b/song.mp3"), touch("c/other.flac")};
    const auto select = [this](int row) {
        delegate->tableView()->selectionModel()->select(
            delegate->tableView()->model()->index(row, 0),
            QItemSelectionModel::Select | QItemSelectionModel::Rows);
    };
    ASSERT_TRUE(walk(files));
    select(0);
    select(2);
    delegate->removeSelectedAction()->trigger();
    EXPECT_EQ(listed(), QStringList{files[1]});
    EXPECT_EQ(header(), "Files To Strip: 1");
    ASSERT_TRUE(walk(files));
    select(1);
    delegate->clearButton()->click();
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_EQ(header(), "Files To Strip: 0");
    EXPECT_FALSE(delegate->stripButton()->isEnabled() || delegate->clearButton()->isEnabled());
}

TEST_F(MenuTest, UpdatesAreCheckedOnTheirOwnOnlyWithConsent)
{
    // The first launch asks nothing; the second asks once, and the answer is kept.
    QFile feed(dir.filePath("feed.json"));
    const auto launch = [&] {
        CleftoneAppDelegate& d = makeDelegate([&](AppDelegateEnvironment& e) {
            e.updateFeed = QUrl::fromLocalFile(feed.fileName());
            e.automaticUpdateChecks = true;
        });
        QCoreApplication::processEvents();
        return &d;
    };
    const QString key = QString::fromLatin1(kAutomaticallyChecksForUpdatesKey);
    launch();
    EXPECT_TRUE(tools.alerts.isEmpty());
    tools.alertAnswers.push_back({1, false}); // "Don't Check"
    CleftoneAppDelegate* d = launch();
    ASSERT_TRUE(waitFor([&] { return !tools.alerts.isEmpty(); }));
    EXPECT_EQ(tools.alerts[0].spec.buttonTitles,
              (QStringList{"Check Automatically", "Don't Check"}));
    EXPECT_FALSE(preferences->boolForKey(key) || d->updater()->automaticallyChecksForUpdates());
    launch();
    EXPECT_EQ(tools.alerts.size(), 1);
}

} // namespace
} // namespace cleftone::test
