#pragma once

#include "platform/Preferences.h"

#include <QFont>
#include <QObject>
#include <QSize>
#include <QString>
#include <QVariant>

#include <memory>

class QCheckBox;
class QLabel;
class QWidget;

namespace cleftone {

/// The Settings window: one checkbox, "Don't warn me about video files", bound to the
/// kSuppressVideoFileWarningKey preference, with an explanatory note beneath it.
///
/// The binding runs both ways with no OK or Apply step: toggling the box writes the preference at
/// once, and a change made through any Preferences object on the same file moves the box, whether
/// or not the window is showing. The window is built when the controller is made, centred on the
/// primary screen then, and kept (closing only hides it), so later showings keep wherever the user
/// moved it.
///
/// The note is set in smallSystemFont() and the palette's placeholder-text colour.
///
/// Threads: main thread only.
class SettingsWindowController : public QObject {
    Q_OBJECT

public:
    /// Size of the window's content area. Fixed: the window cannot be resized.
    static constexpr QSize kContentSize{380, 90};
    /// Distance of the checkbox from the content's left, top and (at least) right edge.
    static constexpr int kMargin = 20;
    /// How much further right than the checkbox the note starts.
    static constexpr int kNoteIndent = 20;
    /// Gap between the checkbox's bottom and the note's top.
    static constexpr int kNoteGap = 4;

    /// Builds the window over `preferences`, which must outlive this controller.
    explicit SettingsWindowController(Preferences& preferences = Preferences::standard(),
                                      QObject* parent = nullptr);
    ~SettingsWindowController() override;

    /// The application's controller over Preferences::standard(), made on the first call (which
    /// must come from the main thread) and never destroyed.
    static SettingsWindowController& sharedController();

    /// Shows the window, brings it to the front and gives it the keyboard focus.
    void showWindow();

    QWidget* window() const { return window_.get(); }
    QCheckBox* checkBox() const { return checkBox_; }
    QLabel* label() const { return label_; }

    /// The font for small secondary text: the desktop's own small font when its theme defines
    /// one smaller than the general font (KDE does), otherwise the general font scaled down by
    /// 11/13, the ratio of small to regular text in classic desktop guidelines.
    static QFont smallSystemFont();

private:
    void buildContentView();
    void preferenceChanged(const QString& key, const QVariant& value);
    void showPreference(bool suppressed);

    Preferences& preferences_;
    std::unique_ptr<QWidget> window_;
    QCheckBox* checkBox_ = nullptr;
    QLabel* label_ = nullptr;
    bool showingPreference_ = false;
};

} // namespace cleftone
