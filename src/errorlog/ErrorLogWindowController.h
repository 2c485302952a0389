#pragma once

#include "errorlog/ErrorLogStore.h"
#include "ui/PlatformTools.h"

#include <QObject>
#include <QString>

#include <memory>

class QAction;
class QMainWindow;
class QTableView;

namespace Ui {
class ErrorLogWindow;
}

namespace cleftone {

/// The "Error Log" window over the error log store: shows the entries and lets the user copy
/// the selected ones, save or e-mail the whole report, and clear the log.
///
/// The window is built from its interface file the first time it is needed and then kept for
/// the controller's life. Dialogs, the clipboard and URL opening go through PlatformTools.
///
/// Threads: main thread only. (Workers log through ErrorLogStore, which is thread-safe.)
class ErrorLogWindowController : public QObject {
    Q_OBJECT

public:
    /// Height of a row whose message measures nothing.
    static constexpr int kFallbackRowHeight = 16;
    /// Message texts are measured in a box this high; a row is never taller.
    static constexpr int kMeasuringBoxHeight = 1000;

    explicit ErrorLogWindowController(ErrorLogStore& store = ErrorLogStore::sharedController(),
                                      PlatformTools& tools = PlatformTools::defaultTools(),
                                      QObject* parent = nullptr);
    ~ErrorLogWindowController() override;

    /// The application's controller over ErrorLogStore::sharedController(), made on the first
    /// call (which must come from the main thread) and never destroyed.
    static ErrorLogWindowController& sharedController();

    ErrorLogStore& store() const { return store_; }

    /// Loads the window if needed, shows it and brings it to the front.
    void showWindow();

    /// The window, loaded on first call.
    QMainWindow* window();
    bool isWindowLoaded() const { return window_ != nullptr; }
    QTableView* tableView();
    QAction* copyAction();
    QAction* clearAction();
    QAction* saveAction();
    QAction* emailAction();

    /// Puts the selected entries on the clipboard, one "<short local date>\t<message>\n" per
    /// entry in table order. Does nothing when no row is selected.
    void copy();
    /// Empties the log, without asking.
    void clear();
    /// Asks for a ".log" file and writes the report to it as UTF-8, atomically. Cancelling
    /// writes nothing; a failed write leaves the target as it was and reports nothing.
    void save();
    /// Opens a new message to the support address with the report as its body.
    void emailReportToDeveloper();

    /// Whether a menu item or action of this window is enabled: Copy only while a row is
    /// selected, everything else always.
    bool validateMenuItem(const QAction* item) const;

    /// Height for `row`: the message's wrapped height at the message column's current width,
    /// at most kMeasuringBoxHeight, and kFallbackRowHeight when that measures nothing.
    int heightOfRow(int row) const;
    /// Measures every row again, after the message column's width changed.
    void tableViewColumnDidResize();

    /// The mailto link for `report`, percent-encoded as sent: the filled-in link with every
    /// character outside RFC 3986's query set replaced by its percent-encoded UTF-8 bytes.
    static QByteArray emailLink(const QString& recipient, const QString& report);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void loadWindow();
    void resizeRows(int first, int last);
    void updateActions();

    ErrorLogStore& store_;
    PlatformTools& tools_;
    std::unique_ptr<QMainWindow> window_;
    std::unique_ptr<Ui::ErrorLogWindow> ui_;
    // Width of the message column when the rows were last measured.
    int measuredWidth_ = -1;
};

} // namespace cleftone
