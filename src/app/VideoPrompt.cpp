#include "app/VideoPrompt.h"

#include "platform/MainThread.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"
#include "ui/PlatformTools.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

namespace cleftone {

namespace {

// Answers of the video confirmation, in the toolkit's numbering of an alert's first and
// second button.
constexpr int kFirstButtonResponse = 1000;
constexpr int kSecondButtonResponse = 1001;

/// A label that toggles its checkbox when clicked, so a long checkbox text can wrap: Qt's
/// checkboxes draw their text on one line.
class ToggleLabel : public QLabel {
public:
    ToggleLabel(const QString& text, QCheckBox* box, QWidget* parent)
        : QLabel(text, parent), box_(box)
    {
        setWordWrap(true);
        setBuddy(box);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && box_->isEnabled())
            box_->click();
        QLabel::mouseReleaseEvent(event);
    }

private:
    QCheckBox* box_;
};

/// A sheet whose Escape key and close button count as its second button, never its first.
class ConfirmationDialog : public QDialog {
public:
    using QDialog::QDialog;
    void reject() override { done(kSecondButtonResponse); }
};

} // namespace

VideoPrompt::VideoPrompt(QWidget* window, PlatformTools& tools, Preferences& preferences,
                         QObject* parent)
    : QObject(parent), window_(window), tools_(tools), preferences_(preferences)
{}

void VideoPrompt::promptAboutSkippedVideoFiles(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const auto count = paths.size();
    AlertSpec spec;
    spec.messageText = QStringLiteral("Skipped %1 file%2 that contain video.")
                           .arg(count)
                           .arg(count == 1 ? QString() : QStringLiteral("s"));
    spec.informativeText = QStringLiteral("Cleftone is designed for audio files. Stripping a "
                                          "video file will discard its video track.");
    spec.buttonTitles = {QStringLiteral("OK"), QStringLiteral("Add Anyway")};
    spec.defaultButton = 0;
    tools_.beginSheet(window_, spec, [this, paths](int button, bool) {
        if (button == 1)
            confirmAddVideoFiles(paths);
    });
}

void VideoPrompt::confirmAddVideoFiles(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const QString shownKey = QString::fromLatin1(kVideoConfirmAlertHasBeenShownKey);
    const bool shownBefore = preferences_.boolForKey(shownKey);
    preferences_.setValue(shownKey, true);

    auto* dialog = new ConfirmationDialog(window_);
    dialog->setWindowTitle(QStringLiteral("Cleftone"));
    auto* layout = new QVBoxLayout(dialog);
    auto* message = new QLabel(QStringLiteral("Add video files anyway?"), dialog);
    message->setObjectName(QStringLiteral("messageLabel"));
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    layout->addWidget(message);

    auto* accessory = new QWidget(dialog);
    accessory->setObjectName(QStringLiteral("accessoryView"));
    auto* accessoryLayout = new QVBoxLayout(accessory);
    accessoryLayout->setContentsMargins(0, 0, 0, 0);
    accessoryLayout->setSpacing(8);

    auto* acknowledgementRow = new QWidget(accessory);
    auto* rowLayout = new QHBoxLayout(acknowledgementRow);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    auto* acknowledgement = new QCheckBox(acknowledgementRow);
    acknowledgement->setObjectName(QStringLiteral("acknowledgementCheckBox"));
    auto* acknowledgementText = new ToggleLabel(
        QStringLiteral("I understand Cleftone is designed for audio files, and that processing a "
                       "video will result in the video track being removed."),
        acknowledgement, acknowledgementRow);
    acknowledgementText->setObjectName(QStringLiteral("acknowledgementLabel"));
    rowLayout->addWidget(acknowledgement, 0, Qt::AlignTop);
    rowLayout->addWidget(acknowledgementText, 1);
    acknowledgementRow->setFixedSize(360, 48);
    accessoryLayout->addWidget(acknowledgementRow);

    QCheckBox* dontAskAgain = nullptr;
    if (shownBefore) {
        dontAskAgain = new QCheckBox(QStringLiteral("Don't ask again"), accessory);
        dontAskAgain->setObjectName(QStringLiteral("dontAskAgainCheckBox"));
        dontAskAgain->adjustSize();
        accessoryLayout->addWidget(dontAskAgain, 0, Qt::AlignLeft);
        accessory->setFixedSize(360, 80);
    }
    layout->addWidget(accessory);

    auto* buttons = new QDialogButtonBox(dialog);
    auto* addAnyway = new QPushButton(QStringLiteral("Add Anyway"), buttons);
    addAnyway->setObjectName(QStringLiteral("addAnywayButton"));
    addAnyway->setDefault(true);
    addAnyway->setEnabled(false);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), buttons);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    buttons->addButton(addAnyway, QDialogButtonBox::AcceptRole);
    buttons->addButton(cancel, QDialogButtonBox::RejectRole);
    connect(addAnyway, &QPushButton::clicked, dialog,
            [dialog] { dialog->done(kFirstButtonResponse); });
    connect(cancel, &QPushButton::clicked, dialog,
            [dialog] { dialog->done(kSecondButtonResponse); });
    layout->addWidget(buttons);

    connect(acknowledgement, &QCheckBox::toggled, this,
            [this, acknowledgement] { videoConfirmCheckboxChanged(acknowledgement); });
    videoConfirmAddButton_ = addAnyway;

    tools_.beginDialogSheet(
        window_, dialog, [this, acknowledgement, dontAskAgain, paths](int response) {
            videoConfirmAddButton_ = nullptr;
            if (response != kFirstButtonResponse)
                return;
            if (!acknowledgement->isChecked())
                return;
            if (dontAskAgain && dontAskAgain->isChecked())
                preferences_.setValue(QString::fromLatin1(kSuppressVideoFileWarningKey), true);
            emit confirmed(paths);
        });
}

void VideoPrompt::videoConfirmCheckboxChanged(QCheckBox* sender)
{
    if (videoConfirmAddButton_)
        videoConfirmAddButton_->setEnabled(sender && sender->isChecked());
}

} // namespace cleftone
