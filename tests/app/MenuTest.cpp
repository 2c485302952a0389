#include "DelegateTestSupport.h"

#include "platform/BuildConfig.h"
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
        for (const QAction* always : {delegate->settingsAction(), delegate->visitWebsiteAction(),
                                      delegate->emailDeveloperAction()})
            EXPECT_TRUE(delegate->validateMenuItem(always) && always->isEnabled());
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

    // Settings and the web actions use their services; neither reports a failure.
    d.settingsAction()->trigger();
    EXPECT_EQ(settingsShown, 1);
    tools.openUrlAnswer = false;
    d.visitWebsiteAction()->trigger();
    d.emailDeveloperAction()->trigger();
    ASSERT_EQ(tools.openedUrls.size(), 2);
    EXPECT_EQ(tools.openedUrls[0], QUrl(QString::fromUtf8(productWebPage())));
    EXPECT_EQ(tools.openedUrls[1].toEncoded(),
              QByteArray("mailto:") + supportEmailAddress() + "?subject=Cleftone%20Feedback");
    EXPECT_TRUE(tools.alerts.isEmpty());
}

TEST_F(MenuTest, UpdatesNeedAFeedAndAreCheckedOnTheirOwnOnlyWithConsent)
{
    // Without a feed (the distribution delivers updates): no checker and no menu item.
    CleftoneAppDelegate& bare =
        makeDelegate([](AppDelegateEnvironment& e) { e.updateFeed = QUrl(); });
    EXPECT_EQ(bare.updater(), nullptr);
    EXPECT_EQ(bare.checkForUpdatesAction(), nullptr);
    for (const QAction* item : bare.cleftoneMenu()->actions())
        EXPECT_NE(item->text(), "Check For Updates");

    // The first launch asks nothing; the second asks once; the answer and Settings decide.
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
    EXPECT_TRUE(preferences->value(key).isValid());
    EXPECT_FALSE(preferences->boolForKey(key) || d->updater()->automaticallyChecksForUpdates());
    preferences->setValue(key, true);
    EXPECT_TRUE(d->updater()->automaticallyChecksForUpdates());
    preferences->setValue(key, false);
    d = launch();
    EXPECT_EQ(tools.alerts.size(), 1);

    // Check For Updates asks at once and shows the result; Download opens the release.
    d->updater()->setAllowsLoopbackFeedForTesting(true);
    for (const QByteArray& version : {QByteArray("99.0"), QByteArray(applicationVersion())}) {
        ASSERT_TRUE(feed.open(QIODevice::WriteOnly | QIODevice::Truncate));
        feed.write(R"({"version": ")" + version + R"(", "url": "file:///get"})");
        feed.close();
        const qsizetype before = tools.alerts.size();
        tools.alertAnswers.push_back({0, false}); // "Download", or "OK"
        d->checkForUpdatesAction()->trigger();
        ASSERT_TRUE(waitFor([&] { return tools.alerts.size() > before; }));
    }
    EXPECT_EQ(tools.alerts[1].window, static_cast<QWidget*>(d->window()));
    EXPECT_EQ(tools.alerts[1].spec.buttonTitles, (QStringList{"Download", "Later"}));
    EXPECT_EQ(tools.alerts[2].spec.buttonTitles, QStringList{"OK"});
    EXPECT_EQ(tools.openedUrls, QList<QUrl>{QUrl("file:///get")});
}

} // namespace
} // namespace cleftone::test
