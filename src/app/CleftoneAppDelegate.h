#pragma once

#include "app/ActivityState.h"
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
class AppMenus;
class BatchRun;
class CleftoneOperation;
class DestinationControl;
class FileDropFilter;
class FileTable;
class InspectionService;
class IntakeController;
class LeftOutReport;
class MetadataInspector;
class RunPanel;
class VideoPrompt;
class ErrorLogWindowController;
class PlatformTools;
class Preferences;
class UpdateChecker;

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

/// The hub of the application: builds the main window from its interface file, owns the file
/// list and the parts with one job each, and wires them:
/// - BatchRun: a strip run (queue, slices, finaliser, counts); RunSummary tells how it went;
/// - IntakeController: the walker, screening and admission of dropped, opened and chosen files;
/// - VideoPrompt: the questions about held-back video files;
/// - DestinationControl: the write-method pop-up, the destination folder and its access;
/// - AppMenus: enabling the menus, the application actions and the update checker;
/// - FileTable: the list's columns, sorting and the status line of what a run would remove;
///   InspectionService fills its Metadata column, driven by intake;
/// - MetadataInspector: the side panel with the current file's metadata;
/// - LeftOutReport: the line about files a walk left out because they cannot be stripped.
/// The hub keeps the list's edits, the Strip/Stop button, the progress panel, drops and the
/// two order-sensitive endings (of a run and of a walk). Its other public members forward to
/// the parts, for tests, benchmarks and the screenshot tool.
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
    FileTable* fileTable() const;
    MetadataInspector* inspector() const;
    LeftOutReport* leftOutReport() const;

    OperationQueue& operationQueue();
    CTDroppedFilesParser& droppedFilesParser();
    /// Null in a build without an update feed.
    UpdateChecker* updater();

    // Run state.
    bool operationsRunning() const { return activity_.running.load(); }
    bool operationsWereCancelled() const { return activity_.cancelled.load(); }
    bool processingFiles() const;
    /// True while the Strip/Stop button's action is Stop (during a run or a walk).
    bool stripButtonActionIsStop() const;
    qint64 failedOperations() const;
    qint64 successfulOperations() const;
    std::shared_ptr<Operation> currentFinalizer() const;
    /// The confirmation's "Add Anyway" button while that sheet is up; null otherwise.
    QPushButton* videoConfirmAddButton() const;
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

    /// The main thread's longest single task spent in the delegate's own handlers since the last
    /// reset; read by benchmarks.
    std::chrono::nanoseconds longestMainThreadTask() const { return meter_.longest(); }
    void resetLongestMainThreadTask() { meter_.reset(); }

signals:
    /// A run ended (after stripDidComplete()); for tests and benchmarks.
    void runDidFinish();
    /// A walk ended (after droppedFilesWalksDidFinish()); for tests and benchmarks.
    void walkDidFinish();

private:
    void applicationDidFinishLaunching();
    void wireRun();
    void wireIntake();
    void wireMenus();
    /// Strip/Stop button, pop-up and Clear for a run or walk (busy) or for the idle state.
    void setControlsBusy(bool busy);
    void updateProgress();
    void addConfirmedVideoFiles(const QStringList& paths);
    void runDidStart(qsizetype total);
    /// The end of a run, in this order: the header, the idle controls (and with them the
    /// menus), the summary, then runDidFinish().
    void runDidEnd();
    void walkDidStart();
    /// The end of a walk, in this order: the header, idle, the idle controls, the left-out
    /// line, walkDidFinish(), then the question about the held-back video files.
    void walkDidEnd(const QStringList& heldBack, const QStringList& leftOut);
    std::shared_ptr<CleftoneOperation> makeOperation(const QString& path) const;
    void noteTask(std::chrono::steady_clock::time_point start);
    bool eventFilter(QObject* watched, QEvent* event) override;

    AppDelegateEnvironment environment_;
    PlatformTools& tools_;
    Preferences& preferences_;
    ErrorLogWindowController& errorLog_;
    ActivityState activity_;
    TaskMeter meter_;

    // The widgets outlive the interface's pointer table: ~QMainWindow still sends events that
    // the filter reads through ui_.
    std::unique_ptr<Ui::MainWindow> ui_;
    std::unique_ptr<QMainWindow> window_;
    std::unique_ptr<DestinationControl> destination_;
    std::unique_ptr<VideoPrompt> videoPrompt_;
    OperationsArrayController operationsController_;
    QTimer* refreshTimer_ = nullptr;
    std::unique_ptr<RunPanel> runPanel_;
    std::unique_ptr<FileDropFilter> dropFilter_;
    std::unique_ptr<AppMenus> menus_;
    std::unique_ptr<FileTable> fileTable_;
    std::unique_ptr<MetadataInspector> inspector_;
    std::unique_ptr<LeftOutReport> leftOut_;
    // The owners of threads, declared last so that they go first: their walker and workers
    // still use the list, the shared state and the environment while they wind down. Intake
    // hands work to the inspection service, so it goes before it.
    std::unique_ptr<InspectionService> inspections_;
    std::unique_ptr<IntakeController> intake_;
    std::unique_ptr<BatchRun> batchRun_;
};

} // namespace cleftone
