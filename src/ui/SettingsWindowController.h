#pragma once

#include "platform/BuildConfig.h"
#include "platform/Preferences.h"

#include <QFont>
#include <QObject>
#include <QSize>
#include <QString>
#include <QVariant>

#include <memory>
#include <vector>

class QCheckBox;
class QLabel;
class QWidget;

namespace cleftone {

/// The Settings window: a column of checkboxes, each bound to a boolean preference, each with an
/// explanatory note beneath it:
///
/// - "Move originals to the Trash" (kMoveOriginalsToTrashKey);
/// - "Leave files without metadata untouched" (kLeaveCleanFilesUntouchedKey);
/// - "Don't warn me about video files" (kSuppressVideoFileWarningKey);
/// - "Check for updates automatically" (kAutomaticallyChecksForUpdatesKey), only in a build with
///   an update feed.
///
/// The binding runs both ways with no OK or Apply step: toggling a box writes its preference at
/// once, and a change made through any Preferences object on the same file moves the box, whether
/// or not the window is showing. The window is built when the controller is made, centred on the
/// primary screen then, and kept (closing only hides it), so later showings keep wherever the user
/// moved it. Its size is fixed: the width below, and the height its content needs.
///
/// The notes are set in smallSystemFont() and the palette's placeholder-text colour.
///
/// Threads: main thread only.
class SettingsWindowController : public QObject {
    Q_OBJECT

public:
    /// Width of the window's content area. Fixed: the window cannot be resized.
    static constexpr int kContentWidth = 380;
    /// Distance of the checkbox from the content's left, top and (at least) right edge.
    static constexpr int kMargin = 20;
    /// How much further right than the checkbox the note starts.
    static constexpr int kNoteIndent = 20;
    /// Gap between the checkbox's bottom and the note's top.
    static constexpr int kNoteGap = 4;
    /// Gap between one note's bottom and the next checkbox's top.
    static constexpr int kRowGap = 12;

    /// Builds the window over `preferences`, which must outlive this controller. `updateChecks`:
    /// whether to offer automatic update checks (by default, when the build has an update feed).
    explicit SettingsWindowController(Preferences& preferences = Preferences::standard(),
                                      bool updateChecks = *updateFeedUrl() != '\0',
                                      QObject* parent = nullptr);
    ~SettingsWindowController() override;

    /// The application's controller over Preferences::standard(), made on the first call (which
    /// must come from the main thread) and never destroyed.
    static SettingsWindowController& sharedController();

    /// Shows the window, brings it to the front and gives it the keyboard focus.
    void showWindow();

    QWidget* window() const { return window_.get(); }
    /// One row of the window: a checkbox, its note and the preference it shows.
    struct Row {
        QCheckBox* checkBox;
        QLabel* note;
        QString key;
    };
    /// The rows, top to bottom.
    const std::vector<Row>& rows() const { return rows_; }
    /// The row of `key`; null when the window has none.
    QCheckBox* checkBoxForKey(const QString& key) const;

    /// The font for small secondary text: the desktop's own small font when its theme defines
    /// one smaller than the general font (KDE does), otherwise the general font scaled down by
    /// 11/13, the ratio of small to regular text in classic desktop guidelines.
    static QFont smallSystemFont();

private:
    void buildContentView(bool updateChecks);
    void addRow(const char* key, const QString& title, const QString& note);
    void preferenceChanged(const QString& key, const QVariant& value);
    void showPreference(const Row& row, bool value);

    Preferences& preferences_;
    std::unique_ptr<QWidget> window_;
    std::vector<Row> rows_;
    bool showingPreference_ = false;
};

} // namespace cleftone
