#pragma once

#include <QObject>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;
class QWidget;

namespace cleftone {

/// The Strip/Stop button with its keys (Ctrl+Return presses it, Escape stops), the Clear button
/// and the progress panel under the list. Shows what a run or a walk is doing; the hub decides
/// what the buttons do through the signals.
///
/// Threads: main thread only.
class RunPanel : public QObject {
    Q_OBJECT

public:
    /// The panel's widgets, all in `window`, which must outlive this object.
    struct Widgets {
        QWidget* window = nullptr;
        QPushButton* stripButton = nullptr;
        QPushButton* clearButton = nullptr;
        QWidget* progressPanel = nullptr;
        QProgressBar* progressBar = nullptr;
        QLabel* progressLabel = nullptr;
    };

    explicit RunPanel(const Widgets& widgets, QObject* parent = nullptr);

    /// True while the Strip/Stop button's action is Stop (during a run or a walk).
    bool stripButtonActionIsStop() const { return stripButtonStops_; }
    /// While idle, Strip and Clear are enabled when files are listed.
    void setHasFiles(bool hasFiles);
    void setClearEnabled(bool enabled);
    /// The button becomes Stop (keeping its enabled state: it stays the way to stop) and Clear
    /// is disabled; or, back to idle, Strip and the progress panel goes.
    void setBusy(bool busy);
    /// A run over `total` files started.
    void showRunStarted(qsizetype total);
    /// `handled` files of the run are done; `nextPath` is worked on next, when not empty.
    void showProgress(qint64 handled, const QString& nextPath);
    /// A walk started: an endless bar, and Stop enabled.
    void showWalking();
    /// Stop was pressed; `walking` keeps the walk's text.
    void showStopping(bool walking);

signals:
    void stripRequested();
    void stopRequested();
    void clearRequested();

private:
    Widgets widgets_;
    bool stripButtonStops_ = false;
};

} // namespace cleftone
