#include "../intake/QStringPrinter.h"
#include "DelegateTestSupport.h"

#include "engine/CleftoneOperation.h"
#include "intake/DroppedFilesParser.h"
#include "platform/BuildConfig.h"

#include <QMimeData>
#include <QUrl>

#include <atomic>
#include <future>

namespace cleftone::test {
namespace {

/// A strip job that only holds the queue until its gate opens (ten seconds at most).
struct HeldOperation : CleftoneOperation {
    HeldOperation(const QString& path, std::shared_future<void> gate, std::atomic<int>& started)
        : CleftoneOperation(path), gate(std::move(gate)), started(started)
    {}
    void main() override
    {
        ++started;
        gate.wait_for(std::chrono::seconds(10));
    }
    std::shared_future<void> gate;
    std::atomic<int>& started;
};

class MenuTest : public DelegateTest {
protected:
    void TearDown() override
    {
        if (!gateIsOpen.exchange(true))
            gate.set_value();
        DelegateTest::TearDown();
    }

    CleftoneAppDelegate& make()
    {
        return makeDelegate([this](AppDelegateEnvironment& environment) {
            environment.makeOperation = [this](const QString& path) {
                return std::make_shared<HeldOperation>(path, gateOpened, started);
            };
        });
    }

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

    std::promise<void> gate;
    std::shared_future<void> gateOpened = gate.get_future().share();
    std::atomic<bool> gateIsOpen{false};
    std::atomic<int> started{0};
};

TEST_F(MenuTest, AddFilesAndClearFollowTheWindowStateAndABusyQueueRefusesIntake)
{
    CleftoneAppDelegate& d = make();
    expectItems("idle, empty list", true, false);
    const QString a = touch("a.mp3");
    const QString b = touch("b.mp3");
    ASSERT_TRUE(walk({a, b}));
    expectItems("idle, files listed", true, true);

    bool finished = false;
    QObject::connect(&d, &CleftoneAppDelegate::runDidFinish, [&finished] { finished = true; });
    d.stripButtonPressed();
    ASSERT_TRUE(waitFor([this] { return started.load() == 1; }));
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
    EXPECT_EQ(d.operationsController()->arrangedObjects(), QStringList({a, b}));

    d.stopButtonPressed();
    EXPECT_FALSE(d.stripButton()->isEnabled());
    expectItems("stopping", false, false);
    EXPECT_FALSE(d.applicationOpenFiles({touch("opened.mp3")}));
    EXPECT_EQ(tools.beeps, 2);

    gateIsOpen = true;
    gate.set_value();
    ASSERT_TRUE(waitFor([&finished] { return finished; }));
    EXPECT_EQ(d.operationsController()->count(), 2);
    expectItems("idle after Stop, both files still listed", true, true);
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(d.operationsController()->count(), 0);
    expectItems("idle after a full run", true, false);
}

TEST_F(MenuTest, SettingsAndWebActionsUseTheirServices)
{
    CleftoneAppDelegate& d = make();
    QAction* settings = d.settingsAction();
    ASSERT_NE(settings, nullptr);
    settings->trigger();
    settings->trigger();
    EXPECT_EQ(settingsShown, 2);

    tools.openUrlAnswer = false; // neither action reports a failure
    d.visitWebsiteAction()->trigger();
    d.emailDeveloperAction()->trigger();
    ASSERT_EQ(tools.openedUrls.size(), 2);
    EXPECT_EQ(tools.openedUrls[0], QUrl(QString::fromUtf8(productWebPage())));
    EXPECT_EQ(tools.openedUrls[1].toEncoded(),
              QByteArray("mailto:") + supportEmailAddress() + "?subject=Cleftone%20Feedback");
    EXPECT_TRUE(tools.alerts.isEmpty());
}

} // namespace
} // namespace cleftone::test
