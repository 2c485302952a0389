#pragma once

#include "app/OperationsArrayController.h"
#include "platform/OperationQueue.h"

#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMainWindow;
class QMenu;
class QMimeData;
class QProgressBar;
class QTableView;
class QTimer;

namespace Ui {
class MainWindow;
}

namespace cleftone {

class CTDroppedFilesParser;
class CleftoneOperation;
class ReplacementFolders;
class ErrorLogWindowController;
class PlatformTools;
class Preferences;
class UpdateChecker;
class UpdateConsent;
struct UpdateCheckResult;

/// What the delegate uses from its surroundings. The defaults are the application's own; tests
/// put their own prompts, preferences, strip jobs or video probe in.
struct AppDelegateEnvironment {
    PlatformTools* tools = nullptr;               ///< null: PlatformTools::defaultTools()
    Preferences* preferences = nullptr;           ///< null: Preferences::standard()
    ErrorLogWindowController* errorLog = nullptr; ///< null: the shared error log window
    bool sandboxed;                               ///< defaults to CTIsSandboxedBuild()
    /// Makes the strip job for one listed path. Empty: a CleftoneOperation of the application's
    /// own environment (reading `preferences` when they are not the standard ones).
    std::function<std::shared_ptr<CleftoneOperation>(const QString& path)> makeOperation;
    /// The video test of intake. Empty: CTFileHasVideoTrack.
    std::function<bool(const QString& path)> hasVideoTrack;
    /// Opens the settings window. Empty: the shared settings window.
    std::function<void()> showSettings;
    /// The update feed. Empty: no update checker, no "Check For Updates" item, no network.
    QUrl updateFeed; ///< defaults to updateFeedUrl()
    /// False: never checks on its own nor asks about it (tests, benchmarks, screenshots).
    bool automaticUpdateChecks = true;
    AppDelegateEnvironment();
};

/// The hub of the application: builds the main window from its interface file and owns the
/// file list, the serial strip queue, the dropped-files walker and the update checker. It runs
/// batches (Strip and Stop), admits dropped, opened and chosen files, asks about video files,
/// keeps the write-method pop-up and the destination folder, and answers the menus.
///
/// States of the window: idle, running (a strip run), stopping (Stop pressed during a run) and
/// walking (an intake walk). operationsRunning() is true in all but idle.
///
/// Threads: every member is for the main thread only, except walkDroppedFilesBatch(), which the
/// walker calls on its background thread, and the two atomic flags' getters.
class CleftoneAppDelegate : public QObject {
    Q_OBJECT

public:
    explicit CleftoneAppDelegate(AppDelegateEnvironment environment = AppDelegateEnvironment(),
                                 QObject* parent = nullptr);
    /// Cancels a run in progress and waits only for the running job to notice.
    ~CleftoneAppDelegate() override;

    /// Registers the default preferences. Called once at program start, before any delegate
    /// exists, so that stored user values take precedence over them.
    static void registerDefaultPreferences(Preferences& preferences);

    // Objects of the main window.
    QMainWindow* window() const;
    OperationsArrayController* operationsController() { return &operationsController_; }
    QTableView* tableView() const;
    QPushButton* stripButton() const;
    QPushButton* clearButton() const;
    QComboBox* writeMethodPopUp() const;
    QProgressBar* progressBar() const;
    QLabel* progressLabel() const;
    /// The application menu, which gains "Check For Updates" (with an update feed) and
    /// "Settings…" at start-up.
    QMenu* cleftoneMenu() const;
    QAction* addFilesAction() const;
    QAction* clearAction() const;
    QAction* copyAction() const;
    QAction* removeSelectedAction() const;
    /// Null in a build without an update feed.
    QAction* checkForUpdatesAction() const { return checkForUpdatesAction_; }
    QAction* settingsAction() const { return settingsAction_; }
    QAction* visitWebsiteAction() const;
    QAction* emailDeveloperAction() const;
    QAction* showErrorLogAction() const;

    OperationQueue& operationQueue() { return operationQueue_; }
    CTDroppedFilesParser& droppedFilesParser() { return *droppedFilesParser_; }
    /// Null in a build without an update feed.
    UpdateChecker* updater() { return updater_.get(); }

    // Run state.
    bool operationsRunning() const { return operationsRunning_.load(); }
    bool operationsWereCancelled() const { return operationsWereCancelled_.load(); }
    bool processingFiles() const { return processingFiles_; }
    /// True while the Strip/Stop button's action is Stop (during a run or a walk).
    bool stripButtonActionIsStop() const { return stripButtonStops_; }
    qint64 failedOperations() const { return failedOperations_; }
    qint64 successfulOperations() const { return successfulOperations_; }
    std::shared_ptr<Operation> currentFinalizer() const { return currentFinalizer_; }
    /// The confirmation's "Add Anyway" button while that sheet is up; null otherwise.
    QPushButton* videoConfirmAddButton() const { return videoConfirmAddButton_; }
    /// Held-back video paths of the walk in progress.
    QStringList skippedVideoPaths() const;

    // File list and table.
    void refreshTableHeader();
    void setTableHeaderText(const QString& text);
    void refreshActionButtons();
    void setWriteMethodPopUpEnabled(bool enabled);
    void setClearButtonEnabled(bool enabled);
    /// One tick of the refresh timer that runs during an intake walk.
    void updateUI();
    void clearButtonPressed();
    /// Removes the selected rows (the Delete key), while idle.
    void removeSelectedFiles();
    /// Puts the full paths of the selected rows on the clipboard, one per line.
    void copySelectedPaths();

    // Write method and destination folder.
    void writeMethodPopUpChanged();
    /// True when the destination folder can be written now, possibly after asking the user to
    /// grant access again. For sandboxed builds.
    bool ensureSandboxAccessForDestinationFolder(const QString& folderPath);

    // Batch run.
    void stripButtonPressed();
    void stopButtonPressed();
    void handleFinishedOperation(const std::shared_ptr<CleftoneOperation>& operation);
    /// handleFinishedOperation() for several operations, in order, with one refresh of the list
    /// and the header at the end.
    void
    handleFinishedOperations(const std::vector<std::shared_ptr<CleftoneOperation>>& operations);
    void stripDidComplete();

    // Intake.
    void droppedFilesWalkDidStart();
    /// Expands and screens one batch. Background thread (the walker's).
    void walkDroppedFilesBatch(const QStringList& batch);
    void droppedFilesWalksDidFinish();
    /// The platform asks to open files (command line, a second launch). Returns whether they
    /// were taken: false, after a beep, while a strip run holds the queue.
    bool applicationOpenFiles(const QStringList& paths);
    /// Whether a drag may be dropped on the table: always, as a copy.
    bool tableViewValidateDrop(const QMimeData* data) const;
    /// Takes a drop on the table. False while busy; true otherwise, also when nothing in the
    /// drag was usable. The paths are submitted on a later turn of the event loop.
    bool tableViewAcceptDrop(const QMimeData* data);
    /// The Add Files panel, as a sheet on the main window.
    void addFiles();

    // Video prompts.
    void promptAboutSkippedVideoFiles(const QStringList& paths);
    void confirmAddVideoFiles(const QStringList& paths);
    void videoConfirmCheckboxChanged(QCheckBox* sender);

    // Menus and application actions.
    /// Whether a menu item of the main window is enabled now.
    bool validateMenuItem(const QAction* item) const;
    /// Applies validateMenuItem() to every action of the main window.
    void updateMenuItems();
    void showSettings();
    void visitWebsite();
    void emailDeveloper();
    void showErrorLog();
    void showAbout();

    /// The main thread's longest single task spent in the delegate's own handlers since the last
    /// reset; read by benchmarks.
    std::chrono::nanoseconds longestMainThreadTask() const { return longestTask_; }
    void resetLongestMainThreadTask() { longestTask_ = {}; }

signals:
    /// A run ended (after stripDidComplete()); for tests and benchmarks.
    void runDidFinish();
    /// A walk ended (after droppedFilesWalksDidFinish()); for tests and benchmarks.
    void walkDidFinish();

private:
    void applicationDidFinishLaunching();
    void insertStartupMenuItems();
    void restoreWriteMethodPopUp();
    void showFolderItem(const QString& folderPath);
    void resetToOverwrite();
    void showBookmarkFailureAlert(const QString& errorDescription);
    /// Strip/Stop button, pop-up and Clear for a run or walk (busy) or for the idle state.
    void setControlsBusy(bool busy);
    void updateProgress();
    void showUpdateResult(const UpdateCheckResult& result);
    void queueRunFrom(qsizetype first);
    bool finishedOperationsPending();
    void postFinishedOperation(std::shared_ptr<CleftoneOperation> operation);
    void drainFinishedOperations();
    void postAdmission(const QString& path);
    void drainAdmissions();
    std::shared_ptr<CleftoneOperation> makeOperation(const QString& path) const;
    void noteTask(std::chrono::steady_clock::time_point start);
    bool eventFilter(QObject* watched, QEvent* event) override;

    AppDelegateEnvironment environment_;
    PlatformTools& tools_;
    Preferences& preferences_;
    ErrorLogWindowController& errorLog_;

    // The widgets outlive the interface's pointer table: ~QMainWindow still sends events that
    // the filter reads through ui_.
    std::unique_ptr<Ui::MainWindow> ui_;
    std::unique_ptr<QMainWindow> window_;
    OperationsArrayController operationsController_;
    QAction* checkForUpdatesAction_ = nullptr;
    QAction* settingsAction_ = nullptr;
    QTimer* refreshTimer_ = nullptr;

    qint64 failedOperations_ = 0;
    qint64 successfulOperations_ = 0;
    qint64 bytesRemoved_ = 0; ///< by the successful jobs of the current run
    bool processingFiles_ = false;
    bool stripButtonStops_ = false;
    QPointer<QPushButton> videoConfirmAddButton_;
    mutable std::recursive_mutex skippedVideoPathsLock_;
    QStringList skippedVideoPathsAccumulator_;
    std::atomic<bool> operationsRunning_{false};
    std::atomic<bool> operationsWereCancelled_{false};
    std::shared_ptr<Operation> currentFinalizer_;
    /// The running batch's shared replacement folders; finished by the finaliser on the worker.
    std::shared_ptr<ReplacementFolders> runFolders_;
    QStringList runSnapshot_;
    // Hand-over from the worker threads: results and admitted paths wait here, and one task
    // posted when the first of them arrives takes all that have gathered by the time it runs.
    // A burst of thousands of quick results or admissions is then a few short main-thread
    // tasks instead of thousands that the event loop would work off in one long stretch.
    std::mutex handOverLock_;
    std::vector<std::shared_ptr<CleftoneOperation>> finishedOperations_;
    QStringList admittedPaths_;
    std::chrono::nanoseconds longestTask_{};

    std::unique_ptr<UpdateChecker> updater_;
    std::unique_ptr<UpdateConsent> updateConsent_;
    // Declared last so that they go first: the walker's thread and the queue's worker still
    // post to this object while they wind down.
    std::unique_ptr<CTDroppedFilesParser> droppedFilesParser_;
    OperationQueue operationQueue_;
};

} // namespace cleftone
