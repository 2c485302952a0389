#include "../intake/QStringPrinter.h"
#include "DelegateTestSupport.h"

#include "platform/PreferenceKeys.h"

#include <QCheckBox>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>

namespace cleftone::test {
namespace {

constexpr int kAddAnyway = 1; // the skipped-files sheet's second button
const QString kAcknowledge = QStringLiteral("acknowledgementCheckBox");
const QString kDontAsk = QStringLiteral("dontAskAgainCheckBox");

/// Answers a confirmation sheet as the user would: ticks the named boxes, then presses the named
/// button (a disabled one does nothing); gives the sheet's result.
std::function<int(QDialog*)> answer(const QStringList& boxes, const QString& button)
{
    return [boxes, button](QDialog* dialog) {
        for (const QString& name : boxes) {
            auto* box = dialog->findChild<QCheckBox*>(name);
            EXPECT_NE(box, nullptr) << name.toStdString();
            if (box)
                box->click();
        }
        if (auto* pressed = dialog->findChild<QPushButton*>(button))
            pressed->click();
        return dialog->result();
    };
}

/// The delegate with a video probe that finds video in every name containing "video".
class VideoPromptTest : public DelegateTest {
protected:
    CleftoneAppDelegate& make()
    {
        return makeDelegate([this](AppDelegateEnvironment& environment) {
            environment.hasVideoTrack = [this](const QString& path) {
                ++probes;
                return QFileInfo(path).fileName().contains("video");
            };
        });
    }

    /// Walks `paths` and answers the skipped-files sheet with `button`.
    bool walkAnswering(const QStringList& paths, int button)
    {
        tools.alertAnswers.push_back({button, false});
        return walk(paths);
    }

    bool pref(const char* key) const { return preferences->boolForKey(QString::fromLatin1(key)); }
    QStringList listed() const { return delegate->operationsController()->arrangedObjects(); }

    std::atomic<int> probes{0};
};

TEST_F(VideoPromptTest, SkippedSheetCountsFilesAndOkForgetsThem)
{
    CleftoneAppDelegate& d = make();
    ASSERT_TRUE(walkAnswering({touch("video-1.mp4")}, 0));
    ASSERT_EQ(tools.alerts.size(), 1);
    const AlertSpec& spec = tools.alerts[0].spec;
    EXPECT_EQ(spec.messageText, "Skipped 1 file that contain video.");
    EXPECT_EQ(spec.informativeText, "Cleftone is designed for audio files. Stripping a video "
                                    "file will discard its video track.");
    EXPECT_EQ(spec.buttonTitles, QStringList({"OK", "Add Anyway"}));
    EXPECT_EQ(spec.defaultButton, 0);
    EXPECT_EQ(tools.alerts[0].window, static_cast<QWidget*>(d.window()));

    ASSERT_TRUE(
        walkAnswering({touch("video-2.mp4"), touch("video-3.3g2"), touch("video-4.3gp")}, 0));
    ASSERT_EQ(tools.alerts.size(), 2);
    EXPECT_EQ(tools.alerts[1].spec.messageText, "Skipped 3 files that contain video.");

    // OK adds nothing and does not go on to the confirmation.
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_FALSE(tools.calls.contains("beginDialogSheet"));
    EXPECT_FALSE(pref(kVideoConfirmAlertHasBeenShownKey));
}

TEST_F(VideoPromptTest, AddAnywayFollowsTheAcknowledgementAndDontAskAgainComesSecondTime)
{
    CleftoneAppDelegate& d = make();
    const QString video = touch("video.mp4");
    EXPECT_EQ(d.videoConfirmAddButton(), nullptr);
    ASSERT_TRUE(walkAnswering({video}, kAddAnyway));
    ASSERT_EQ(tools.pendingDialogs.size(), 1);
    QDialog* dialog = tools.pendingDialogs[0].dialog;
    EXPECT_TRUE(pref(kVideoConfirmAlertHasBeenShownKey)) << "recorded as the sheet is shown";
    EXPECT_EQ(dialog->findChild<QCheckBox*>(kDontAsk), nullptr);
    const auto* message = dialog->findChild<QLabel*>("messageLabel");
    const auto* acknowledgementText = dialog->findChild<QLabel*>("acknowledgementLabel");
    ASSERT_TRUE(message && acknowledgementText);
    EXPECT_EQ(message->text(), "Add video files anyway?");
    EXPECT_EQ(acknowledgementText->text(),
              "I understand Cleftone is designed for audio files, and that processing a video "
              "will result in the video track being removed.");

    auto* addAnyway = dialog->findChild<QPushButton*>("addAnywayButton");
    auto* acknowledgement = dialog->findChild<QCheckBox*>(kAcknowledge);
    ASSERT_TRUE(addAnyway && acknowledgement);
    EXPECT_EQ(d.videoConfirmAddButton(), addAnyway);
    EXPECT_TRUE(addAnyway->isDefault());
    EXPECT_FALSE(addAnyway->isEnabled());
    EXPECT_FALSE(acknowledgement->isChecked());
    acknowledgement->click();
    EXPECT_TRUE(addAnyway->isEnabled());
    acknowledgement->click();
    EXPECT_FALSE(addAnyway->isEnabled());
    addAnyway->click(); // disabled: does nothing
    EXPECT_EQ(dialog->result(), 0);
    dialog->findChild<QPushButton*>("cancelButton")->click();
    tools.finishPendingDialog(dialog->result());
    EXPECT_EQ(d.videoConfirmAddButton(), nullptr);
    EXPECT_TRUE(listed().isEmpty());

    // The second confirmation offers "Don't ask again"; Escape (reject) counts as Cancel.
    ASSERT_TRUE(walkAnswering({video}, kAddAnyway));
    ASSERT_EQ(tools.pendingDialogs.size(), 1);
    dialog = tools.pendingDialogs[0].dialog;
    answer({kAcknowledge, kDontAsk}, "none")(dialog);
    EXPECT_TRUE(d.videoConfirmAddButton()->isEnabled());
    dialog->reject();
    tools.finishPendingDialog(dialog->result());
    EXPECT_EQ(d.videoConfirmAddButton(), nullptr);
    EXPECT_TRUE(listed().isEmpty());
    EXPECT_FALSE(pref(kSuppressVideoFileWarningKey));
}

TEST_F(VideoPromptTest, DontAskAgainTakesEffectOnlyWithAddAnyway)
{
    preferences->setValue(QString::fromLatin1(kVideoConfirmAlertHasBeenShownKey), true);
    make();
    const QString video = touch("video.mp4");
    tools.dialogAnswers.push_back(answer({kAcknowledge, kDontAsk}, "cancelButton"));
    ASSERT_TRUE(walkAnswering({video}, kAddAnyway));
    EXPECT_TRUE(tools.dialogAnswers.empty());
    EXPECT_FALSE(pref(kSuppressVideoFileWarningKey));
    EXPECT_TRUE(listed().isEmpty());

    tools.dialogAnswers.push_back(answer({kAcknowledge, kDontAsk}, "addAnywayButton"));
    ASSERT_TRUE(walkAnswering({video}, kAddAnyway));
    EXPECT_TRUE(pref(kSuppressVideoFileWarningKey));
    EXPECT_EQ(listed(), QStringList{video});

    // Later walks list video without probing or asking.
    const int probesBefore = probes;
    const QString later = touch("video-later.3gp");
    ASSERT_TRUE(walk({later}));
    EXPECT_EQ(listed(), QStringList({video, later}));
    EXPECT_EQ(probes, probesBefore);
    EXPECT_EQ(tools.alerts.size(), 2);
    EXPECT_EQ(tools.calls.count("beginDialogSheet"), 2);
}

TEST_F(VideoPromptTest, ConfirmedPathsJoinTheListOnceAndRefreshItAtOnce)
{
    CleftoneAppDelegate& d = make();
    const QString song = touch("song.mp3");
    const QString first = touch("video-1.mp4");
    const QString second = touch("video-2.mp4");
    ASSERT_TRUE(walk({song}));

    // An "Add Anyway" answer without the acknowledgement (a default-button press) adds nothing.
    tools.dialogAnswers.push_back([](QDialog*) { return 1000; });
    d.confirmAddVideoFiles({first});
    EXPECT_EQ(listed(), QStringList{song});

    tools.dialogAnswers.push_back(answer({kAcknowledge}, "addAnywayButton"));
    d.confirmAddVideoFiles({first, song, second});
    EXPECT_EQ(listed(), QStringList({song, first, second}));
    // No event loop turn in between: header, buttons and menu items follow the list at once.
    EXPECT_EQ(d.operationsController()->headerTitle(), "Files To Strip: 3");

    d.clearButtonPressed();
    EXPECT_FALSE(d.stripButton()->isEnabled());
    tools.dialogAnswers.push_back(answer({kAcknowledge}, "addAnywayButton"));
    d.confirmAddVideoFiles({second});
    EXPECT_EQ(d.operationsController()->headerTitle(), "Files To Strip: 1");
    EXPECT_TRUE(d.stripButton()->isEnabled());
    EXPECT_TRUE(d.clearButton()->isEnabled());
    EXPECT_TRUE(d.clearAction()->isEnabled());
}

} // namespace
} // namespace cleftone::test
