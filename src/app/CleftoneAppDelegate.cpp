#include "app/CleftoneAppDelegate.h"

#include "ui_MainWindow.h"

#include "app/AppMenus.h"
#include "app/BatchRun.h"
#include "app/DestinationControl.h"
#include "app/FileDropFilter.h"
#include "app/FileTable.h"
#include "app/InspectionService.h"
#include "app/IntakeController.h"
#include "app/LeftOutReport.h"
#include "app/MetadataInspector.h"
#include "app/RunPanel.h"
#include "app/RunSummary.h"
#include "app/VideoPrompt.h"
#include "engine/CleftoneOperation.h"
#include "errorlog/ErrorLogWindowController.h"
#include "intake/DropPaths.h"
#include "platform/BuildConfig.h"
#include "platform/MainThread.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"
#include "ui/PlatformTools.h"

#include <QApplication>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

namespace cleftone {

AppDelegateEnvironment::AppDelegateEnvironment()
    : sandboxed(CTIsSandboxedBuild()), updateFeed(QString::fromUtf8(updateFeedUrl()))
{}

CleftoneAppDelegate::CleftoneAppDelegate(AppDelegateEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)),
      tools_(environment_.tools ? *environment_.tools : PlatformTools::defaultTools()),
      preferences_(environment_.preferences ? *environment_.preferences : Preferences::standard()),
      errorLog_(environment_.errorLog ? *environment_.errorLog
                                      : ErrorLogWindowController::sharedController()),
      ui_(std::make_unique<Ui::MainWindow>()), window_(std::make_unique<QMainWindow>())
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    registerDefaultPreferences(preferences_);

    ui_->setupUi(window_.get());
    videoPrompt_ = std::make_unique<VideoPrompt>(window_.get(), tools_, preferences_);
    connect(videoPrompt_.get(), &VideoPrompt::confirmed, this,
            [this](const QStringList& paths) { addConfirmedVideoFiles(paths); });
    destination_ = std::make_unique<DestinationControl>(
        ui_->writeMethodPopUp, window_.get(), tools_, preferences_, environment_.sandboxed);
    fileTable_ = std::make_unique<FileTable>(ui_->tableView, window_.get(), ui_->viewMenu,
                                             operationsController_);
    ui_->tableView->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ui_->tableView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    operationsController_.setHeaderTitle(ui_->tableView->property("initialHeaderTitle").toString());

    runPanel_ = std::make_unique<RunPanel>(RunPanel::Widgets{window_.get(), ui_->stripButton,
                                                             ui_->clearButton, ui_->progressPanel,
                                                             ui_->progressBar, ui_->progressLabel});
    connect(runPanel_.get(), &RunPanel::stripRequested, this, [this] { stripButtonPressed(); });
    connect(runPanel_.get(), &RunPanel::stopRequested, this, [this] { stopButtonPressed(); });
    connect(runPanel_.get(), &RunPanel::clearRequested, this, [this] { clearButtonPressed(); });
    connect(ui_->addFilesAction, &QAction::triggered, this, [this] { addFiles(); });
    connect(ui_->quitAction, &QAction::triggered, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    connect(ui_->copyAction, &QAction::triggered, this, [this] { copySelectedPaths(); });
    connect(ui_->removeSelectedAction, &QAction::triggered, this,
            [this] { removeSelectedFiles(); });
    connect(ui_->clearAction, &QAction::triggered, this, [this] { clearButtonPressed(); });
    connect(ui_->selectAllAction, &QAction::triggered, ui_->tableView, &QTableView::selectAll);
    connect(ui_->tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { updateMenuItems(); });
    inspector_ = std::make_unique<MetadataInspector>(window_.get());
    ui_->viewMenu->insertAction(ui_->showErrorLogAction, inspector_->toggleAction());
    connect(fileTable_.get(), &FileTable::inspectRequested, inspector_.get(),
            [this](bool toggle) { toggle ? inspector_->toggle() : inspector_->show(); });
    connect(fileTable_.get(), &FileTable::currentPathChanged, inspector_.get(),
            &MetadataInspector::setPath);
    leftOut_ = std::make_unique<LeftOutReport>(ui_->mainLayout, 1, window_.get(), tools_);

    // Drops land on the viewport.
    dropFilter_ = std::make_unique<FileDropFilter>(
        ui_->tableView->viewport(),
        [this](const QMimeData* data) { return tableViewValidateDrop(data); },
        [this](const QMimeData* data) { return tableViewAcceptDrop(data); });
    window_->installEventFilter(this);

    applicationDidFinishLaunching();
}

CleftoneAppDelegate::~CleftoneAppDelegate()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // Quitting never waits for the batch: waiting jobs are dropped, the running one stops at
    // its next cancellation check (its file stays as it was), and a walk stops at its next path.
    activity_.cancelled = true;
    batchRun_->cancelAll();
    if (refreshTimer_)
        refreshTimer_->stop();
    dropFilter_.reset();
    window_->removeEventFilter(this);
}

void CleftoneAppDelegate::registerDefaultPreferences(Preferences& preferences)
{
    preferences.registerDefaults({
        {QString::fromLatin1(kDestinationDirectoryKey),
         QString::fromLatin1(kOverwriteExistingFile)},
        {QString::fromLatin1(kSuppressVideoFileWarningKey), false},
        {QString::fromLatin1(kVideoConfirmAlertHasBeenShownKey), false},
        {QString::fromLatin1(kLeaveCleanFilesUntouchedKey), false},
    });
}

// ---- Start-up -------------------------------------------------------------------------------

void CleftoneAppDelegate::applicationDidFinishLaunching()
{
    // The table accepts the drag types of dropTypes(); see FileDropFilter.
    wireRun();
    wireIntake();
    wireMenus();
    destination_->restore();

    refreshActionButtons();
    activity_.running = false;
    updateMenuItems();
}

void CleftoneAppDelegate::wireRun()
{
    batchRun_ =
        std::make_unique<BatchRun>(operationsController_, activity_, meter_,
                                   [this](const QString& path) { return makeOperation(path); });
    connect(batchRun_.get(), &BatchRun::started, this,
            [this](qsizetype total) { runDidStart(total); });
    connect(batchRun_.get(), &BatchRun::listChanged, this, [this] {
        refreshTableHeader();
        ui_->tableView->viewport()->update();
    });
    connect(batchRun_.get(), &BatchRun::progressed, this, [this] { updateProgress(); });
    connect(batchRun_.get(), &BatchRun::finished, this, [this] { runDidEnd(); });
}

void CleftoneAppDelegate::wireIntake()
{
    inspections_ = std::make_unique<InspectionService>(operationsController_, meter_);
    intake_ = std::make_unique<IntakeController>(operationsController_, *inspections_, activity_,
                                                 meter_, preferences_, environment_.hasVideoTrack);
    connect(intake_.get(), &IntakeController::walkStarted, this, [this] { walkDidStart(); });
    connect(intake_.get(), &IntakeController::walkFinished, this,
            [this](const QStringList& heldBack, const QStringList& leftOut) {
                walkDidEnd(heldBack, leftOut);
            });
}

void CleftoneAppDelegate::wireMenus()
{
    AppMenus::Actions actions;
    actions.applicationMenu = ui_->fileMenu;
    actions.addFiles = ui_->addFilesAction;
    actions.clear = ui_->clearAction;
    actions.removeSelected = ui_->removeSelectedAction;
    actions.copy = ui_->copyAction;
    actions.showErrorLog = ui_->showErrorLogAction;
    actions.visitWebsite = ui_->visitWebsiteAction;
    actions.emailDeveloper = ui_->emailDeveloperAction;
    actions.about = ui_->aboutAction;
    AppMenus::WindowState state;
    state.busy = [this] {
        return activity_.running.load();
    };
    state.hasFiles = [this] {
        return operationsController_.count() > 0;
    };
    state.hasSelection = [this] {
        return ui_->tableView->selectionModel() && ui_->tableView->selectionModel()->hasSelection();
    };
    AppMenus::Services services;
    services.updateFeed = environment_.updateFeed;
    services.automaticUpdateChecks = environment_.automaticUpdateChecks;
    services.showSettings = environment_.showSettings;
    menus_ = std::make_unique<AppMenus>(window_.get(), actions, std::move(state),
                                        std::move(services), tools_, preferences_, errorLog_);
}

// ---- File list and table --------------------------------------------------------------------

void CleftoneAppDelegate::refreshTableHeader()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    setTableHeaderText(QStringLiteral("Files To Strip: %1").arg(operationsController_.count()));
}

void CleftoneAppDelegate::setTableHeaderText(const QString& text)
{
    operationsController_.setHeaderTitle(text);
}

void CleftoneAppDelegate::refreshActionButtons()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const bool hasFiles = operationsController_.count() > 0;
    runPanel_->setHasFiles(hasFiles);
    updateMenuItems();
}

void CleftoneAppDelegate::setWriteMethodPopUpEnabled(bool enabled)
{
    destination_->setEnabled(enabled);
}

void CleftoneAppDelegate::setClearButtonEnabled(bool enabled)
{
    runPanel_->setClearEnabled(enabled);
}

void CleftoneAppDelegate::updateUI()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const auto start = std::chrono::steady_clock::now();
    if (!intake_->processingFiles() && refreshTimer_)
        refreshTimer_->stop();
    refreshTableHeader();
    ui_->tableView->viewport()->update();
    noteTask(start);
}

void CleftoneAppDelegate::clearButtonPressed()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // The menu item is disabled while busy; its shortcut is checked here as well, since the
    // list must not change under a run.
    if (activity_.running)
        return;
    operationsController_.removeAll();
    leftOut_->setPaths({});
    refreshTableHeader();
    ui_->tableView->viewport()->update();
    refreshActionButtons();
}

void CleftoneAppDelegate::removeSelectedFiles()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (activity_.running)
        return;
    const QModelIndexList rows = ui_->tableView->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    QStringList paths;
    paths.reserve(rows.size());
    for (const QModelIndex& index : rows)
        paths << index.data(OperationsArrayController::PathRole).toString();
    for (const QString& path : paths)
        operationsController_.removeObject(path);
    refreshTableHeader();
    refreshActionButtons();
}

void CleftoneAppDelegate::copySelectedPaths()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    QModelIndexList rows = ui_->tableView->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QString text;
    for (const QModelIndex& index : rows)
        text += index.data(OperationsArrayController::PathRole).toString() + QLatin1Char('\n');
    tools_.setClipboardText(text);
}

// ---- Batch run ------------------------------------------------------------------------------

std::shared_ptr<CleftoneOperation> CleftoneAppDelegate::makeOperation(const QString& path) const
{
    if (environment_.makeOperation)
        return environment_.makeOperation(path);
    StripEnvironment strip;
    strip.sandboxed = environment_.sandboxed;
    if (environment_.errorLog) {
        // Failures go to the log that "Show Report" opens.
        ErrorLogStore* store = &errorLog_.store();
        strip.logError = [store](const QString& text) {
            store->logMessage(text);
        };
    }
    strip.replacementFolders = batchRun_->replacementFolders();
    auto operation = std::make_shared<CleftoneOperation>(path, strip);
    if (environment_.preferences)
        operation->setDefaultsOverride(&preferences_);
    return operation;
}

void CleftoneAppDelegate::stripButtonPressed()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const auto start = std::chrono::steady_clock::now();
    if (operationsController_.count() == 0) {
        tools_.beep();
        return;
    }

    if (!destination_->ensureUsableForRun())
        return;

    setControlsBusy(true);
    batchRun_->start();
    noteTask(start);
}

void CleftoneAppDelegate::stopButtonPressed()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    batchRun_->stop();
    runPanel_->showStopping(intake_->processingFiles());
}

void CleftoneAppDelegate::setControlsBusy(bool busy)
{
    destination_->setEnabled(!busy);
    runPanel_->setBusy(busy);
    if (!busy)
        refreshActionButtons();
}

void CleftoneAppDelegate::runDidStart(qsizetype total)
{
    // The run has the disk to itself; the files it strips leave the list anyway.
    inspections_->setPaused(true);
    runPanel_->showRunStarted(total);
    updateProgress();
    updateMenuItems();
}

void CleftoneAppDelegate::updateProgress()
{
    runPanel_->showProgress(batchRun_->handled(), batchRun_->nextPath());
}

void CleftoneAppDelegate::runDidEnd()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    refreshTableHeader();
    ui_->tableView->viewport()->update();
    setControlsBusy(false);
    inspections_->setPaused(false);
    showRunSummary(window_.get(), tools_, errorLog_,
                   {batchRun_->successfulOperations(), batchRun_->failedOperations(),
                    batchRun_->alreadyClean(), batchRun_->bytesRemoved()});
    emit runDidFinish();
}

// ---- Intake ---------------------------------------------------------------------------------

void CleftoneAppDelegate::walkDidStart()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (!refreshTimer_) {
        refreshTimer_ = new QTimer(this);
        refreshTimer_->setInterval(100);
        connect(refreshTimer_, &QTimer::timeout, this, [this] { updateUI(); });
    }
    refreshTimer_->start();

    setControlsBusy(true);
    runPanel_->showWalking();
    updateMenuItems();
}

void CleftoneAppDelegate::walkDidEnd(const QStringList& heldBack, const QStringList& leftOut)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    refreshTableHeader();
    ui_->tableView->viewport()->update();
    activity_.running = false;
    setControlsBusy(false);
    leftOut_->setPaths(leftOut);
    emit walkDidFinish();
    if (!heldBack.isEmpty())
        promptAboutSkippedVideoFiles(heldBack);
}

bool CleftoneAppDelegate::applicationOpenFiles(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // A run may be between two slices of its jobs with the queue empty for a moment; the
    // finaliser marks it as running until it ends.
    if (batchRun_->holdsQueue()) {
        tools_.beep();
        return false;
    }
    intake_->submit(paths);
    return true;
}

bool CleftoneAppDelegate::tableViewValidateDrop(const QMimeData*) const
{
    return true;
}

bool CleftoneAppDelegate::tableViewAcceptDrop(const QMimeData* data)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (activity_.running)
        return false;
    const QStringList paths = data ? pathsFromMimeData(*data) : QStringList();
    if (!paths.isEmpty()) {
        // Submitted after the drop has been answered, so the drag ends before the walk starts.
        postToMainThread(intake_.get(), [this, paths] { intake_->submit(paths); });
    }
    return true;
}

void CleftoneAppDelegate::addFiles()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (activity_.running)
        return;
    OpenPanelSpec spec;
    spec.title = QStringLiteral("Add Files");
    spec.prompt = QStringLiteral("Add");
    tools_.beginOpenPanel(window_.get(), spec, [this](const QStringList& paths) {
        QStringList files;
        for (const QString& path : paths) {
            if (!path.isEmpty())
                files << path;
        }
        if (!files.isEmpty())
            intake_->submit(files);
    });
}

// ---- Video prompts --------------------------------------------------------------------------

void CleftoneAppDelegate::addConfirmedVideoFiles(const QStringList& paths)
{
    inspections_->inspect(operationsController_.addObjects(paths));
    refreshTableHeader();
    ui_->tableView->viewport()->update();
    refreshActionButtons();
}

// ---- Events ---------------------------------------------------------------------------------

bool CleftoneAppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_.get() && event->type() == QEvent::Close) {
        // Closing the main window quits, also while other windows are open or a run goes on.
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void CleftoneAppDelegate::noteTask(std::chrono::steady_clock::time_point start)
{
    meter_.note(start);
}

} // namespace cleftone
