#include "ui/SettingsWindowController.h"

#include "platform/MainThread.h"
#include "platform/PreferenceKeys.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QScopedValueRollback>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace cleftone {

namespace {

const QString& suppressKey()
{
    static const QString key = QString::fromLatin1(kSuppressVideoFileWarningKey);
    return key;
}

} // namespace

SettingsWindowController::SettingsWindowController(Preferences& preferences, QObject* parent)
    : QObject(parent), preferences_(preferences)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // A titled window with a close button only: there is nothing to minimise or enlarge. The
    // dialog type also keeps tiling window managers from stretching it.
    window_ =
        std::make_unique<QWidget>(nullptr, Qt::Dialog | Qt::CustomizeWindowHint |
                                               Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window_->setWindowTitle(tr("Settings"));
    window_->setFixedSize(kContentSize);
    // Open settings alone must not keep the application running once its main window is gone.
    window_->setAttribute(Qt::WA_QuitOnClose, false);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window_->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, kContentSize,
                                                 screen->availableGeometry()));
    }
    buildContentView();
}

SettingsWindowController::~SettingsWindowController() = default;

SettingsWindowController& SettingsWindowController::sharedController()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    static auto* instance = new SettingsWindowController;
    return *instance;
}

void SettingsWindowController::buildContentView()
{
    checkBox_ = new QCheckBox(tr("Don't warn me about video files"), window_.get());

    label_ = new QLabel(
        tr("If you process a video file, Cleftone will remove the video and keep only the audio."),
        window_.get());
    label_->setTextFormat(Qt::PlainText);
    label_->setWordWrap(true);
    label_->setTextInteractionFlags(Qt::NoTextInteraction);
    label_->setFont(smallSystemFont());
    // A role rather than a fixed colour, so the note follows palette and theme changes.
    label_->setForegroundRole(QPalette::PlaceholderText);

    // No bottom margin: the window keeps its height, and a note that needs more lines than fit
    // is cut at the bottom edge rather than squeezed.
    auto* column = new QVBoxLayout(window_.get());
    column->setContentsMargins(kMargin, kMargin, kMargin, 0);
    column->setSpacing(kNoteGap);
    column->addWidget(checkBox_, 0, Qt::AlignLeft | Qt::AlignTop);
    auto* noteRow = new QHBoxLayout;
    noteRow->setContentsMargins(kNoteIndent, 0, 0, 0);
    noteRow->addWidget(label_);
    column->addLayout(noteRow);
    column->addStretch(1);

    showPreference(preferences_.boolForKey(suppressKey()));
    connect(checkBox_, &QCheckBox::toggled, this, [this](bool checked) {
        if (!showingPreference_)
            preferences_.setValue(suppressKey(), checked);
    });
    connect(&preferences_, &Preferences::valueChanged, this,
            &SettingsWindowController::preferenceChanged);
}

void SettingsWindowController::showWindow()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // Another process may have edited the settings file meanwhile; nothing signals that.
    showPreference(preferences_.boolForKey(suppressKey()));
    window_->show();
    window_->raise();
    window_->activateWindow();
}

QFont SettingsWindowController::smallSystemFont()
{
    const QFont general = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    const QFont small = QFontDatabase::systemFont(QFontDatabase::SmallestReadableFont);
    // Themes without a small font of their own answer with the general font.
    if (QFontMetricsF(small).height() < QFontMetricsF(general).height())
        return small;

    constexpr double kSmallToRegular = 11.0 / 13.0;
    QFont reduced = general;
    if (general.pointSizeF() > 0)
        reduced.setPointSizeF(general.pointSizeF() * kSmallToRegular);
    else if (general.pixelSize() > 0)
        reduced.setPixelSize(std::max(1, int(std::lround(general.pixelSize() * kSmallToRegular))));
    return reduced;
}

void SettingsWindowController::preferenceChanged(const QString& key, const QVariant& value)
{
    if (key == suppressKey())
        showPreference(value.toBool());
}

void SettingsWindowController::showPreference(bool suppressed)
{
    if (checkBox_->isChecked() == suppressed)
        return;
    // Echoing the value just read back would rewrite the settings file for nothing.
    QScopedValueRollback<bool> guard(showingPreference_, true);
    checkBox_->setChecked(suppressed);
}

} // namespace cleftone
