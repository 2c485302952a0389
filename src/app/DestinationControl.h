#pragma once

#include <QObject>
#include <QString>

class QComboBox;
class QWidget;

namespace cleftone {

class PlatformTools;
class Preferences;

/// The write-method pop-up and the destination folder behind it: "Overwrite Existing File",
/// "Choose Folder…" and, once one was chosen, the folder itself. Keeps the destination and its
/// bookmark in the preferences, asks for the folder again when access to it was lost, and
/// tells a run whether it may start.
///
/// Threads: main thread only.
class DestinationControl : public QObject {
    Q_OBJECT

public:
    /// Takes over `popUp` (adds its separator and answers its choices). All arguments must
    /// outlive this object; `window` parents the folder panel.
    DestinationControl(QComboBox* popUp, QWidget* window, PlatformTools& tools,
                       Preferences& preferences, bool sandboxed, QObject* parent = nullptr);

    /// Shows the stored destination; a folder that went away is forgotten (unsandboxed builds).
    void restore();
    /// Answers a choice in the pop-up.
    void popUpChanged();
    /// True when the destination folder can be written now, possibly after asking the user to
    /// grant access again. For sandboxed builds.
    bool ensureSandboxAccess(const QString& folderPath);
    /// True when a run may start with the stored destination; otherwise the user was told why
    /// (or declined to grant access again).
    bool ensureUsableForRun();
    /// The pop-up is disabled while a run or a walk holds the window.
    void setEnabled(bool enabled);

private:
    void showFolderItem(const QString& folderPath);
    void resetToOverwrite();
    void showBookmarkFailureAlert(const QString& errorDescription);

    QComboBox* popUp_;
    QWidget* window_;
    PlatformTools& tools_;
    Preferences& preferences_;
    const bool sandboxed_;
};

} // namespace cleftone
