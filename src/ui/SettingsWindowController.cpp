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

SettingsWindowController::SettingsWindowController(Preferences& preferences, bool updateChecks,
                                                   QObject* parent)
    : QObject(parent), preferences_(preferences)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // A titled window with a close button only: there is nothing to minimise or enlarge. The
    // dialog type also keeps tiling window managers from stretching it.
    window_ =
        std::make_unique<QWidget>(nullptr, Qt::Dialog | Qt::CustomizeWindowHint |
                                               Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window_->setWindowTitle(tr("Settings"));
    // Open settings alone must not keep the application running once its main window is gone.
    window_->setAttribute(Qt::WA_QuitOnClose, false);
    buildContentView(updateChecks);
    // As tall as the wrapped notes need at the fixed width, and no taller.
    const QSize size(kContentWidth, window_->layout()->totalHeightForWidth(kContentWidth));
    window_->setFixedSize(size);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window_->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size,
                                                 screen->availableGeometry()));
    }
}

SettingsWindowController::~SettingsWindowController() = default;

SettingsWindowController& SettingsWindowController::sharedController()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    static auto* instance = new SettingsWindowController;
    return *instance;
}

void SettingsWindowController::buildContentView(bool updateChecks)
{
    auto* column = new QVBoxLayout(window_.get());
    column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    column->setSpacing(0);

    addRow(kMoveOriginalsToTrashKey, tr("Move originals to the Trash"),
           tr("Before a file is replaced by its stripped copy, the original is put in the Trash, "
              "from where it can be restored."));
    addRow(kLeaveCleanFilesUntouchedKey, tr("Leave files without metadata untouched"),
           tr("A file that carries no metadata is not rewritten, so its dates stay as they were. "
              "MP3 files whose frames need repair are still rewritten."));
    addRow(kSuppressVideoFileWarningKey, tr("Don't warn me about video files"),
           tr("If you process a video file, Cleftone will remove the video and keep only the "
              "audio."));
    if (updateChecks)
        addRow(kAutomaticallyChecksForUpdatesKey, tr("Check for updates automatically"),
               tr("Cleftone asks its update server once a day whether a newer version is "
                  "available."));
    column->addStretch(1);

    connect(&preferences_, &Preferences::valueChanged, this,
            &SettingsWindowController::preferenceChanged);
}

void SettingsWindowController::addRow(const char* key, const QString& title, const QString& note)
{
    auto* column = static_cast<QVBoxLayout*>(window_->layout());
    if (!rows_.empty())
        column->addSpacing(kRowGap);
    Row row{new QCheckBox(title, window_.get()), new QLabel(note, window_.get()),
            QString::fromLatin1(key)};
    row.note->setTextFormat(Qt::PlainText);
    row.note->setWordWrap(true);
    row.note->setTextInteractionFlags(Qt::NoTextInteraction);
    row.note->setFont(smallSystemFont());
    // A role rather than a fixed colour, so the note follows palette and theme changes.
    row.note->setForegroundRole(QPalette::PlaceholderText);

    column->addWidget(row.checkBox, 0, Qt::AlignLeft | Qt::AlignTop);
    column->addSpacing(kNoteGap);
    auto* noteRow = new QHBoxLayout;
    noteRow->setContentsMargins(kNoteIndent, 0, 0, 0);
    noteRow->addWidget(row.note);
    column->addLayout(noteRow);

    showPreference(row, preferences_.boolForKey(row.key));
    connect(row.checkBox, &QCheckBox::toggled, this, [this, key = row.key](bool checked) {
        if (!showingPreference_)
            preferences_.setValue(key, checked);
    });
    rows_.push_back(row);
}

QCheckBox* SettingsWindowController::checkBoxForKey(const QString& key) const
{
    for (const Row& row : rows_)
        if (row.key == key)
            return row.checkBox;
    return nullptr;
}

void SettingsWindowController::showWindow()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // Another process may have edited the settings file meanwhile; nothing signals that.
    for (const Row& row : rows_)
        showPreference(row, preferences_.boolForKey(row.key));
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
    for (const Row& row : rows_)
        if (row.key == key)
            showPreference(row, value.toBool());
}

void SettingsWindowController::showPreference(const Row& row, bool value)
{
    if (row.checkBox->isChecked() == value)
        return;
    // Echoing the value just read back would rewrite the settings file for nothing.
    QScopedValueRollback<bool> guard(showingPreference_, true);
    row.checkBox->setChecked(value);
}

} // namespace cleftone
