#pragma once

#include <QObject>
#include <QUrl>

#include <functional>
#include <memory>

class QAction;
class QMainWindow;
class QMenu;

namespace cleftone {

class ErrorLogWindowController;
class PlatformTools;
class Preferences;
class UpdateChecker;
class UpdateConsent;
struct UpdateCheckResult;

/// The menus of the main window and the application's own actions: adds "Check For Updates"
/// (with an update feed) and "Settings…" to the application menu, enables each item for the
/// window's state, and answers Settings, the website, e-mail, the error log, About and the
/// update checker's results. Owns the update checker and its consent.
///
/// Threads: main thread only.
class AppMenus : public QObject {
    Q_OBJECT

public:
    /// The items whose enabling depends on the window, and the application's own actions.
    struct Actions {
        QMenu* applicationMenu = nullptr;
        QAction* addFiles = nullptr;
        QAction* clear = nullptr;
        QAction* removeSelected = nullptr;
        QAction* copy = nullptr;
        QAction* showErrorLog = nullptr;
        QAction* visitWebsite = nullptr;
        QAction* emailDeveloper = nullptr;
        QAction* about = nullptr;
    };
    /// What the enabling rules read from the window.
    struct WindowState {
        std::function<bool()> busy;         ///< a run or a walk holds the window
        std::function<bool()> hasFiles;     ///< the list is not empty
        std::function<bool()> hasSelection; ///< rows of the list are selected
    };
    /// The services behind the actions.
    struct Services {
        QUrl updateFeed; ///< empty: no update checker and no "Check For Updates"
        bool automaticUpdateChecks = true;
        std::function<void()> showSettings; ///< empty: the shared settings window
    };

    /// All references must outlive this object; `window`'s actions are the ones kept enabled.
    AppMenus(QMainWindow* window, Actions actions, WindowState state, Services services,
             PlatformTools& tools, Preferences& preferences, ErrorLogWindowController& errorLog,
             QObject* parent = nullptr);
    ~AppMenus() override;

    /// Whether a menu item of the main window is enabled now.
    bool validateMenuItem(const QAction* item) const;
    /// Applies validateMenuItem() to every action of the main window.
    void updateMenuItems();

    /// Null in a build without an update feed.
    UpdateChecker* updater() { return updater_.get(); }

    void showSettings();
    void visitWebsite();
    void emailDeveloper();
    void showErrorLog();
    void showAbout();

private:
    void insertStartupMenuItems();
    void showUpdateResult(const UpdateCheckResult& result);

    QMainWindow* window_;
    Actions actions_;
    WindowState state_;
    Services services_;
    PlatformTools& tools_;
    Preferences& preferences_;
    ErrorLogWindowController& errorLog_;
    QAction* checkForUpdatesAction_ = nullptr;
    QAction* settingsAction_ = nullptr;
    std::unique_ptr<UpdateChecker> updater_;
    std::unique_ptr<UpdateConsent> updateConsent_;
};

} // namespace cleftone
