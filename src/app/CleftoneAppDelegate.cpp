#include "app/CleftoneAppDelegate.h"

#include "ui_MainWindow.h"

#include "app/UpdateConsent.h"
#include "engine/CapabilitySets.h"
#include "engine/CleftoneOperation.h"
#include "engine/ReplacementFolders.h"
#include "errorlog/ErrorLogWindowController.h"
#include "intake/DropPaths.h"
#include "intake/DroppedFilesParser.h"
#include "intake/FileScreening.h"
#include "platform/BuildConfig.h"
#include "platform/DisplayName.h"
#include "platform/FolderBookmark.h"
#include "platform/MainThread.h"
#include "platform/PathBytes.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"
#include "platform/UpdateChecker.h"
#include "ui/PlatformTools.h"
#include "ui/SettingsWindowController.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace cleftone {

namespace {

const QString kOverwrite = QString::fromLatin1(kOverwriteExistingFile);
const QString kDestinationKey = QString::fromLatin1(kDestinationDirectoryKey);
const QString kBookmarkKey = QString::fromLatin1(kDestinationFolderBookmarkKey);

constexpr int kOverwriteItemIndex = 0;
constexpr int kChooseFolderItemIndex = 2;
constexpr int kFolderItemIndex = 3;
constexpr int kPathRole = Qt::UserRole + 1;
constexpr int kStatusMessageMs = 8000;

// Answers of the video confirmation, in the toolkit's numbering of an alert's first and
// second button.
constexpr int kFirstButtonResponse = 1000;
constexpr int kSecondButtonResponse = 1001;

/// The last component of a path, ignoring trailing separators ("/a/Out/" gives "Out").
QString lastPathComponent(const QString& path)
{
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    if (trimmed == QLatin1String("/"))
        return trimmed;
    return trimmed.section(QLatin1Char('/'), -1);
}

QIcon folderIcon(const QString& path)
{
    static QFileIconProvider provider;
    const QIcon icon = provider.icon(QFileInfo(path));
    const QPixmap pixmap = icon.pixmap(QSize(16, 16));
    return pixmap.isNull() ? icon : QIcon(pixmap);
}

/// The run summary's texts are the only ones looked up in the translations; the call sites
/// mark them for lupdate.
QString summaryText(const char* text)
{
    return QCoreApplication::translate("CleftoneAppDelegate", text);
}

/// A label that toggles its checkbox when clicked, so a long checkbox text can wrap: Qt's
/// checkboxes draw their text on one line.
class ToggleLabel : public QLabel {
public:
    ToggleLabel(const QString& text, QCheckBox* box, QWidget* parent)
        : QLabel(text, parent), box_(box)
    {
        setWordWrap(true);
        setBuddy(box);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::LeftButton && box_->isEnabled())
            box_->click();
        QLabel::mouseReleaseEvent(event);
    }

private:
    QCheckBox* box_;
};

/// A sheet whose Escape key and close button count as its second button, never its first.
class ConfirmationDialog : public QDialog {
public:
    using QDialog::QDialog;
    void reject() override { done(kSecondButtonResponse); }
};

} // namespace

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
    // Designer cannot describe a separator item; the pop-up's fixed items are overwrite,
    // separator, choose folder.
    ui_->writeMethodPopUp->insertSeparator(1);
    ui_->tableView->setModel(&operationsController_);
    ui_->tableView->horizontalHeader()->setSectionsClickable(false);
    ui_->tableView->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    ui_->tableView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    operationsController_.setHeaderTitle(ui_->tableView->property("initialHeaderTitle").toString());
    ui_->progressPanel->hide();

    connect(ui_->stripButton, &QPushButton::clicked, this, [this] {
        if (stripButtonStops_)
            stopButtonPressed();
        else
            stripButtonPressed();
    });
    connect(ui_->clearButton, &QPushButton::clicked, this, [this] { clearButtonPressed(); });
    connect(ui_->writeMethodPopUp, &QComboBox::activated, this,
            [this] { writeMethodPopUpChanged(); });
    connect(ui_->addFilesAction, &QAction::triggered, this, [this] { addFiles(); });
    connect(ui_->quitAction, &QAction::triggered, qApp, &QCoreApplication::quit,
            Qt::QueuedConnection);
    connect(ui_->copyAction, &QAction::triggered, this, [this] { copySelectedPaths(); });
    connect(ui_->removeSelectedAction, &QAction::triggered, this,
            [this] { removeSelectedFiles(); });
    connect(ui_->clearAction, &QAction::triggered, this, [this] { clearButtonPressed(); });
    connect(ui_->selectAllAction, &QAction::triggered, ui_->tableView, &QTableView::selectAll);
    connect(ui_->showErrorLogAction, &QAction::triggered, this, [this] { showErrorLog(); });
    connect(ui_->visitWebsiteAction, &QAction::triggered, this, [this] { visitWebsite(); });
    connect(ui_->emailDeveloperAction, &QAction::triggered, this, [this] { emailDeveloper(); });
    connect(ui_->aboutAction, &QAction::triggered, this, [this] { showAbout(); });
    for (QMenu* menu : window_->findChildren<QMenu*>())
        connect(menu, &QMenu::aboutToShow, this, [this] { updateMenuItems(); });
    connect(ui_->tableView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { updateMenuItems(); });

    // The Strip/Stop button's keys.
    for (const QKeySequence& keys :
         {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)}) {
        auto* shortcut = new QShortcut(keys, window_.get());
        connect(shortcut, &QShortcut::activated, this, [this] {
            if (ui_->stripButton->isEnabled())
                ui_->stripButton->click();
        });
    }
    auto* stopShortcut = new QShortcut(QKeySequence(Qt::Key_Escape), window_.get());
    connect(stopShortcut, &QShortcut::activated, this, [this] {
        if (stripButtonStops_ && ui_->stripButton->isEnabled())
            stopButtonPressed();
    });

    // Drops land on the viewport; the delegate answers them in eventFilter().
    ui_->tableView->viewport()->setAcceptDrops(true);
    ui_->tableView->viewport()->installEventFilter(this);
    window_->installEventFilter(this);

    applicationDidFinishLaunching();
}

CleftoneAppDelegate::~CleftoneAppDelegate()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // Quitting never waits for the batch: waiting jobs are dropped, the running one stops at
    // its next cancellation check (its file stays as it was), and a walk stops at its next path.
    operationsWereCancelled_ = true;
    operationQueue_.cancelAllOperations();
    if (refreshTimer_)
        refreshTimer_->stop();
    ui_->tableView->viewport()->removeEventFilter(this);
    window_->removeEventFilter(this);
}

void CleftoneAppDelegate::registerDefaultPreferences(Preferences& preferences)
{
    preferences.registerDefaults({
        {kDestinationKey, kOverwrite},
        {QString::fromLatin1(kSuppressVideoFileWarningKey), false},
        {QString::fromLatin1(kVideoConfirmAlertHasBeenShownKey), false},
    });
}

// ---- Start-up -------------------------------------------------------------------------------

void CleftoneAppDelegate::applicationDidFinishLaunching()
{
    // The table accepts the drag types of dropTypes(); see eventFilter().

    operationQueue_.setMaxConcurrentOperationCount(1);
    operationQueue_.setName(QString::fromLatin1(bundleIdentifier()) + QStringLiteral(".queue"));

    {
        std::lock_guard lock(skippedVideoPathsLock_);
        skippedVideoPathsAccumulator_.clear();
    }

    droppedFilesParser_ = std::make_unique<CTDroppedFilesParser>();
    // The walker is owned here and joins its thread before this object goes, so its callbacks
    // may use `this`; tasks they post are tied to this object and dropped with it.
    droppedFilesParser_->setOnWalkStart([this] { droppedFilesWalkDidStart(); });
    droppedFilesParser_->setWalkBatch(
        [this](const QStringList& batch) { walkDroppedFilesBatch(batch); });
    droppedFilesParser_->setOnAllWalksFinished([this] { droppedFilesWalksDidFinish(); });

    // Where the distribution delivers updates there is no feed, and nothing to check.
    if (!environment_.updateFeed.isEmpty()) {
        updater_ = std::make_unique<UpdateChecker>(preferences_);
        updater_->setFeedUrl(environment_.updateFeed);
        connect(updater_.get(), &UpdateChecker::checkFinished, this,
                [this](const UpdateCheckResult& result) { showUpdateResult(result); });
        if (environment_.automaticUpdateChecks) {
            updateConsent_ =
                std::make_unique<UpdateConsent>(*updater_, preferences_, tools_, window_.get());
            updateConsent_->start();
        }
    }

    insertStartupMenuItems();
    restoreWriteMethodPopUp();

    refreshActionButtons();
    operationsRunning_ = false;
    processingFiles_ = false;
    updateMenuItems();
}

void CleftoneAppDelegate::insertStartupMenuItems()
{
    QMenu* menu = cleftoneMenu();

    if (updater_) {
        checkForUpdatesAction_ = new QAction(QStringLiteral("Check For Updates"), menu);
        connect(checkForUpdatesAction_, &QAction::triggered, updater_.get(),
                &UpdateChecker::checkForUpdates);
        const QList<QAction*> before = menu->actions();
        menu->insertAction(before.value(1, nullptr), checkForUpdatesAction_);
    }

    settingsAction_ = new QAction(QStringLiteral("Settings\u2026"), menu);
    settingsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settingsAction_->setMenuRole(QAction::PreferencesRole);
    connect(settingsAction_, &QAction::triggered, this, [this] { showSettings(); });
    const QList<QAction*> actions = menu->actions();
    const auto separator =
        std::find_if(actions.cbegin(), actions.cend(), [](QAction* a) { return a->isSeparator(); });
    menu->insertAction(separator == actions.cend() ? nullptr : *separator, settingsAction_);
}

void CleftoneAppDelegate::restoreWriteMethodPopUp()
{
    const QString destination = preferences_.stringForKey(kDestinationKey);
    if (destination == kOverwrite || destination.isEmpty()) {
        ui_->writeMethodPopUp->setCurrentIndex(kOverwriteItemIndex);
        return;
    }
    if (!environment_.sandboxed && !QFileInfo::exists(destination)) {
        // The folder went away since the last launch: forget it quietly.
        preferences_.setValue(kDestinationKey, kOverwrite);
        preferences_.removeValue(kBookmarkKey);
        ui_->writeMethodPopUp->setCurrentIndex(kOverwriteItemIndex);
        return;
    }
    showFolderItem(destination);
}

// ---- Objects of the main window -------------------------------------------------------------

QMainWindow* CleftoneAppDelegate::window() const
{
    return window_.get();
}
QTableView* CleftoneAppDelegate::tableView() const
{
    return ui_->tableView;
}
QPushButton* CleftoneAppDelegate::stripButton() const
{
    return ui_->stripButton;
}
QPushButton* CleftoneAppDelegate::clearButton() const
{
    return ui_->clearButton;
}
QComboBox* CleftoneAppDelegate::writeMethodPopUp() const
{
    return ui_->writeMethodPopUp;
}
QProgressBar* CleftoneAppDelegate::progressBar() const
{
    return ui_->progressBar;
}
QLabel* CleftoneAppDelegate::progressLabel() const
{
    return ui_->progressLabel;
}
QMenu* CleftoneAppDelegate::cleftoneMenu() const
{
    return ui_->fileMenu;
}
QAction* CleftoneAppDelegate::addFilesAction() const
{
    return ui_->addFilesAction;
}
QAction* CleftoneAppDelegate::clearAction() const
{
    return ui_->clearAction;
}
QAction* CleftoneAppDelegate::copyAction() const
{
    return ui_->copyAction;
}
QAction* CleftoneAppDelegate::removeSelectedAction() const
{
    return ui_->removeSelectedAction;
}
QAction* CleftoneAppDelegate::visitWebsiteAction() const
{
    return ui_->visitWebsiteAction;
}
QAction* CleftoneAppDelegate::emailDeveloperAction() const
{
    return ui_->emailDeveloperAction;
}
QAction* CleftoneAppDelegate::showErrorLogAction() const
{
    return ui_->showErrorLogAction;
}

QStringList CleftoneAppDelegate::skippedVideoPaths() const
{
    std::lock_guard lock(skippedVideoPathsLock_);
    return skippedVideoPathsAccumulator_;
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
    ui_->stripButton->setEnabled(hasFiles);
    ui_->clearButton->setEnabled(hasFiles);
    updateMenuItems();
}

void CleftoneAppDelegate::setWriteMethodPopUpEnabled(bool enabled)
{
    ui_->writeMethodPopUp->setEnabled(enabled);
}

void CleftoneAppDelegate::setClearButtonEnabled(bool enabled)
{
    ui_->clearButton->setEnabled(enabled);
}

void CleftoneAppDelegate::updateUI()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const auto start = std::chrono::steady_clock::now();
    if (!processingFiles_ && refreshTimer_)
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
    if (operationsRunning_)
        return;
    operationsController_.removeAll();
    refreshTableHeader();
    ui_->tableView->viewport()->update();
    refreshActionButtons();
}

void CleftoneAppDelegate::removeSelectedFiles()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (operationsRunning_)
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

// ---- Write method and destination folder ----------------------------------------------------

void CleftoneAppDelegate::showFolderItem(const QString& folderPath)
{
    QComboBox* popUp = ui_->writeMethodPopUp;
    const QIcon icon = folderIcon(folderPath);
    const QString title = lastPathComponent(folderPath);
    if (popUp->count() < kFolderItemIndex + 1)
        popUp->insertItem(kFolderItemIndex, title);
    else
        popUp->setItemText(kFolderItemIndex, title);
    popUp->setItemIcon(kFolderItemIndex, icon);
    popUp->setItemData(kFolderItemIndex, folderPath, kPathRole);
    popUp->setItemData(kFolderItemIndex, folderPath, Qt::ToolTipRole);
    popUp->setCurrentIndex(kFolderItemIndex);
}

void CleftoneAppDelegate::resetToOverwrite()
{
    ui_->writeMethodPopUp->setCurrentIndex(kOverwriteItemIndex);
    preferences_.setValue(kDestinationKey, kOverwrite);
    preferences_.removeValue(kBookmarkKey);
}

void CleftoneAppDelegate::showBookmarkFailureAlert(const QString& errorDescription)
{
    AlertSpec spec;
    spec.messageText = QStringLiteral("Couldn't save folder access");
    spec.informativeText =
        errorDescription.isEmpty()
            ? QStringLiteral("Cleftone could not remember access to the selected folder.")
            : errorDescription;
    spec.buttonTitles = {QStringLiteral("OK")};
    tools_.runAlert(spec);
}

void CleftoneAppDelegate::writeMethodPopUpChanged()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    switch (ui_->writeMethodPopUp->currentIndex()) {
    case kChooseFolderItemIndex: {
        const QString path = tools_.runFolderPanel(window_.get(), FolderPanelSpec());
        if (path.isEmpty()) {
            resetToOverwrite();
            return;
        }
        QString error;
        const std::optional<QByteArray> bookmark = FolderBookmark::create(path, &error);
        if (!bookmark) {
            showBookmarkFailureAlert(error);
            resetToOverwrite();
            return;
        }
        showFolderItem(path);
        preferences_.setValue(kDestinationKey, path);
        preferences_.setValue(kBookmarkKey, *bookmark);
        return;
    }
    case kOverwriteItemIndex:
        preferences_.setValue(kDestinationKey, kOverwrite);
        return;
    case kFolderItemIndex: {
        // The item shows a folder, so files must go there: choosing it again after the
        // overwrite item must not leave the originals to be replaced in place.
        const QString path =
            ui_->writeMethodPopUp->itemData(kFolderItemIndex, kPathRole).toString();
        if (path.isEmpty())
            return;
        preferences_.setValue(kDestinationKey, path);
        const std::optional<ResolvedFolder> stored =
            FolderBookmark::resolve(preferences_.dataForKey(kBookmarkKey));
        if (!stored || stored->path != QFileInfo(path).canonicalFilePath() || stored->isStale) {
            if (const std::optional<QByteArray> fresh = FolderBookmark::create(path))
                preferences_.setValue(kBookmarkKey, *fresh);
        }
        return;
    }
    default:
        return;
    }
}

bool CleftoneAppDelegate::ensureSandboxAccessForDestinationFolder(const QString& folderPath)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const QByteArray bookmark = preferences_.dataForKey(kBookmarkKey);
    if (!bookmark.isEmpty()) {
        const std::optional<ResolvedFolder> resolved = FolderBookmark::resolve(bookmark);
        if (resolved && FolderBookmark::startAccessing(resolved->path)) {
            const bool exists = QFileInfo::exists(resolved->path);
            FolderBookmark::stopAccessing(resolved->path);
            if (exists) {
                if (resolved->isStale) {
                    if (const std::optional<QByteArray> fresh =
                            FolderBookmark::create(resolved->path))
                        preferences_.setValue(kBookmarkKey, *fresh);
                }
                return true;
            }
        }
    }

    FolderPanelSpec spec;
    spec.message = QStringLiteral("Cleftone needs your permission to write stripped files to "
                                  "\u201C%1\u201D. Click Grant Access to confirm, or choose a "
                                  "different folder.")
                       .arg(lastPathComponent(folderPath));
    spec.prompt = QStringLiteral("Grant Access");
    spec.directory = folderPath;
    const QString chosen = tools_.runFolderPanel(window_.get(), spec);
    if (chosen.isEmpty())
        return false;
    QString error;
    const std::optional<QByteArray> fresh = FolderBookmark::create(chosen, &error);
    if (!fresh) {
        showBookmarkFailureAlert(error);
        return false;
    }
    preferences_.setValue(kDestinationKey, chosen);
    preferences_.setValue(kBookmarkKey, *fresh);
    showFolderItem(chosen);
    return true;
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
    strip.replacementFolders = runFolders_;
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

    const QString destination = preferences_.stringForKey(kDestinationKey);
    if (destination != kOverwrite) {
        if (environment_.sandboxed) {
            if (!ensureSandboxAccessForDestinationFolder(destination))
                return;
        } else if (!QFileInfo(destination).isDir()) {
            AlertSpec spec;
            spec.messageText = QStringLiteral("Destination Folder Unavailable");
            spec.informativeText = QStringLiteral("Cleftone can no longer access the destination "
                                                  "folder. Please re-select it from the popup.");
            spec.buttonTitles = {QStringLiteral("OK")};
            tools_.runAlert(spec);
            return;
        }
    }

    setControlsBusy(true);

    operationsRunning_ = true;
    failedOperations_ = 0;
    successfulOperations_ = 0;
    bytesRemoved_ = 0;
    operationsWereCancelled_ = false;

    runSnapshot_ = operationsController_.arrangedObjects();
    runFolders_ = std::make_shared<ReplacementFolders>();
    // The run's folders are flushed and removed here, on the worker, not in the window.
    auto finalizer = std::make_shared<BlockOperation>([this, folders = runFolders_] {
        folders->finish();
        postToMainThread(this, [this] { stripDidComplete(); });
    });
    currentFinalizer_ = finalizer;

    ui_->progressBar->setRange(0, int(runSnapshot_.size()));
    ui_->progressBar->setValue(0);
    ui_->progressPanel->show();
    updateProgress();
    updateMenuItems();

    queueRunFrom(0);
    noteTask(start);
}

void CleftoneAppDelegate::queueRunFrom(qsizetype first)
{
    // A long list is queued a slice per turn of the event loop, so that pressing Strip never
    // holds the window for long. The worker starts on the first slice meanwhile; the finaliser
    // goes last. The queue is serial and starts its jobs in order, so the finaliser depends on
    // the last job only: a dependency on each of 100,000 jobs costs the window a long task.
    constexpr qsizetype kSlice = 1024;
    const auto finalizer = currentFinalizer_;
    if (!finalizer)
        return;
    const qsizetype end = std::min(first + kSlice, runSnapshot_.size());
    std::vector<std::shared_ptr<Operation>> operations;
    operations.reserve(size_t(end - first));
    for (qsizetype index = first; index < end; ++index) {
        std::shared_ptr<CleftoneOperation> operation = makeOperation(runSnapshot_.at(index));
        std::weak_ptr<CleftoneOperation> weakOperation = operation;
        // Runs on the queue's worker before the next job starts, so results reach the main
        // thread in list order and ahead of the finaliser's end-of-run task.
        operation->setCompletionBlock([this, weakOperation] {
            if (std::shared_ptr<CleftoneOperation> finished = weakOperation.lock())
                postFinishedOperation(std::move(finished));
        });
        // Stop came while the run was still being queued: the rest is queued cancelled, so
        // it finishes at once without touching its file.
        if (operationsWereCancelled_)
            operation->cancel();
        operations.push_back(std::move(operation));
    }
    operationQueue_.addOperations(operations, false);
    if (end < runSnapshot_.size()) {
        postToMainThread(this, [this, end] {
            const auto start = std::chrono::steady_clock::now();
            queueRunFrom(end);
            noteTask(start);
        });
        return;
    }
    if (!operations.empty())
        finalizer->addDependency(operations.back());
    operationQueue_.addOperation(finalizer);
}

void CleftoneAppDelegate::stopButtonPressed()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    ui_->stripButton->setEnabled(false);
    operationsWereCancelled_ = true;
    // From the back: the worker starts the next waiting job as soon as the running one returns,
    // and a running job may return as soon as it is cancelled.
    const std::vector<std::shared_ptr<Operation>> queued = operationQueue_.operations();
    for (auto it = queued.rbegin(); it != queued.rend(); ++it) {
        if (*it != currentFinalizer_)
            (*it)->cancel();
    }
    if (!processingFiles_)
        ui_->progressLabel->setText(QStringLiteral("Stopping\u2026"));
}

void CleftoneAppDelegate::postFinishedOperation(std::shared_ptr<CleftoneOperation> operation)
{
    bool first = false;
    {
        std::lock_guard lock(handOverLock_);
        first = finishedOperations_.empty();
        finishedOperations_.push_back(std::move(operation));
    }
    // The task is posted before anything the finaliser posts later, so every result of the run
    // is handled before the run ends.
    if (first)
        postToMainThread(this, [this] { drainFinishedOperations(); });
}

void CleftoneAppDelegate::drainFinishedOperations()
{
    // Jobs that finish at once (missing files, a fast disk) pile up by the thousand while the
    // window draws; handling a bounded share per turn of the event loop keeps it responsive.
    constexpr std::size_t kMostPerTask = 1024;
    std::vector<std::shared_ptr<CleftoneOperation>> finished;
    bool more = false;
    {
        std::lock_guard lock(handOverLock_);
        if (finishedOperations_.size() <= kMostPerTask) {
            finished.swap(finishedOperations_);
        } else {
            const auto end = finishedOperations_.begin() + std::ptrdiff_t(kMostPerTask);
            finished.assign(std::make_move_iterator(finishedOperations_.begin()),
                            std::make_move_iterator(end));
            finishedOperations_.erase(finishedOperations_.begin(), end);
            more = true;
        }
    }
    if (more)
        postToMainThread(this, [this] { drainFinishedOperations(); });
    handleFinishedOperations(finished);
}

bool CleftoneAppDelegate::finishedOperationsPending()
{
    std::lock_guard lock(handOverLock_);
    return !finishedOperations_.empty();
}

void CleftoneAppDelegate::setControlsBusy(bool busy)
{
    stripButtonStops_ = busy;
    ui_->writeMethodPopUp->setEnabled(!busy);
    if (busy) {
        // The button keeps its enabled state: it stays the way to stop.
        ui_->stripButton->setText(QStringLiteral("Stop"));
        ui_->clearButton->setEnabled(false);
        return;
    }
    ui_->stripButton->setText(QStringLiteral("Strip"));
    refreshActionButtons();
    ui_->progressPanel->hide();
    ui_->progressLabel->clear();
}

void CleftoneAppDelegate::handleFinishedOperation(
    const std::shared_ptr<CleftoneOperation>& operation)
{
    handleFinishedOperations({operation});
}

void CleftoneAppDelegate::handleFinishedOperations(
    const std::vector<std::shared_ptr<CleftoneOperation>>& operations)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const auto start = std::chrono::steady_clock::now();
    QStringList done;
    for (const std::shared_ptr<CleftoneOperation>& operation : operations) {
        // A cancelled job is not counted and its file stays listed, even when it had already
        // written its output.
        if (operation->isCancelled())
            continue;
        if (operation->success()) {
            ++successfulOperations_;
            bytesRemoved_ += operation->bytesRemoved();
        } else
            ++failedOperations_;
        done << operation->inFilePath();
    }
    if (done.isEmpty())
        return;
    operationsController_.removeObjects(done);
    refreshTableHeader();
    ui_->tableView->viewport()->update();
    updateProgress();
    noteTask(start);
}

void CleftoneAppDelegate::updateProgress()
{
    const qint64 handled = failedOperations_ + successfulOperations_;
    ui_->progressBar->setValue(int(handled));
    if (operationsWereCancelled_)
        return;
    if (handled < runSnapshot_.size()) {
        const QString name = displayNameAtPath(runSnapshot_.at(handled));
        ui_->progressLabel->setText(QStringLiteral("Stripping \u201C%1\u201D").arg(name));
        ui_->progressLabel->setToolTip(displayPath(runSnapshot_.at(handled)));
    }
}

void CleftoneAppDelegate::stripDidComplete()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // Results still waiting are handled first: their drain task is already queued.
    if (finishedOperationsPending()) {
        postToMainThread(this, [this] { stripDidComplete(); });
        return;
    }
    currentFinalizer_.reset();
    runFolders_.reset();
    operationsRunning_ = false;
    runSnapshot_.clear();
    refreshTableHeader();
    ui_->tableView->viewport()->update();
    setControlsBusy(false);
    if (successfulOperations_ > 0) {
        // SI units, as the desktop's file manager shows sizes.
        const QString removed =
            QLocale().formattedDataSize(bytesRemoved_, 1, QLocale::DataSizeSIFormat);
        window_->statusBar()->showMessage(
            successfulOperations_ == 1
                //: Status line after a run. %1 is a size, such as "3.4 MB".
                ? summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate",
                                                "Stripped 1 file, %1 of metadata removed."))
                      .arg(removed)
                //: Status line after a run. %1 is the number of files, %2 a size, such as
                //: "3.4 MB".
                : summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate",
                                                "Stripped %1 files, %2 of metadata removed."))
                      .arg(successfulOperations_)
                      .arg(removed),
            kStatusMessageMs);
    }

    if (failedOperations_ > 0) {
        AlertSpec spec;
        spec.messageText =
            //: Run summary, shown when some files could not be stripped. %1 is the number of files
            //: that failed, %2 the number of files in the run.
            summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate", "Failed To Strip %1 of %2 Files."))
                .arg(failedOperations_)
                .arg(failedOperations_ + successfulOperations_);
        spec.buttonTitles = {summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate", "OK")),
                             summaryText(QT_TRANSLATE_NOOP("CleftoneAppDelegate", "Show Report"))};
        spec.defaultButton = 0;
        tools_.beginSheet(window_.get(), spec, [this](int button, bool) {
            if (button == 1)
                errorLog_.showWindow();
        });
    }
    emit runDidFinish();
}

// ---- Intake ---------------------------------------------------------------------------------

void CleftoneAppDelegate::droppedFilesWalkDidStart()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    processingFiles_ = true;
    if (!refreshTimer_) {
        refreshTimer_ = new QTimer(this);
        refreshTimer_->setInterval(100);
        connect(refreshTimer_, &QTimer::timeout, this, [this] { updateUI(); });
    }
    refreshTimer_->start();

    operationsRunning_ = true;
    operationsWereCancelled_ = false;

    ui_->stripButton->setEnabled(true);
    setControlsBusy(true);

    ui_->progressBar->setRange(0, 0);
    ui_->progressLabel->setText(QStringLiteral("Adding files\u2026"));
    ui_->progressLabel->setToolTip(QString());
    ui_->progressPanel->show();
    updateMenuItems();
}

void CleftoneAppDelegate::walkDroppedFilesBatch(const QStringList& batch)
{
    ScreeningRules rules;
    rules.supportedExtensions = CTWritableAudioFileExtensions();
    rules.suppressVideoFileWarning =
        preferences_.boolForKey(QString::fromLatin1(kSuppressVideoFileWarningKey));
    rules.isCancelled = [this] {
        return operationsWereCancelled_.load();
    };
    rules.hasVideoTrack = environment_.hasVideoTrack;

    ScreeningSink sink;
    sink.admit = [this](const QString& path) {
        postAdmission(path);
    };
    sink.holdBackVideo = [this](const QString& path) {
        std::lock_guard lock(skippedVideoPathsLock_);
        skippedVideoPathsAccumulator_.append(path);
    };
    screenBatch(batch, rules, sink);
}

void CleftoneAppDelegate::postAdmission(const QString& path)
{
    bool first = false;
    {
        std::lock_guard lock(handOverLock_);
        first = admittedPaths_.isEmpty();
        admittedPaths_.append(path);
    }
    // Posted before the walker's batch-done task, so every admitted path is listed before the
    // walk ends.
    if (first)
        postToMainThread(this, [this] { drainAdmissions(); });
}

void CleftoneAppDelegate::drainAdmissions()
{
    const auto start = std::chrono::steady_clock::now();
    QStringList paths;
    {
        std::lock_guard lock(handOverLock_);
        paths.swap(admittedPaths_);
    }
    // Paths already listed (also earlier in this walk) are dropped here, by exact text.
    operationsController_.addObjects(paths);
    noteTask(start);
}

void CleftoneAppDelegate::droppedFilesWalksDidFinish()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    refreshTableHeader();
    ui_->tableView->viewport()->update();
    operationsRunning_ = false;
    processingFiles_ = false;
    setControlsBusy(false);

    QStringList heldBack;
    {
        std::lock_guard lock(skippedVideoPathsLock_);
        heldBack.swap(skippedVideoPathsAccumulator_);
    }
    emit walkDidFinish();
    if (!heldBack.isEmpty())
        promptAboutSkippedVideoFiles(heldBack);
}

bool CleftoneAppDelegate::applicationOpenFiles(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // A run may be between two slices of its jobs with the queue empty for a moment; the
    // finaliser marks it as running until it ends.
    if (operationQueue_.operationCount() > 0 || currentFinalizer_) {
        tools_.beep();
        return false;
    }
    droppedFilesParser_->submit(paths);
    return true;
}

bool CleftoneAppDelegate::tableViewValidateDrop(const QMimeData*) const
{
    return true;
}

bool CleftoneAppDelegate::tableViewAcceptDrop(const QMimeData* data)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (operationsRunning_)
        return false;
    const QStringList paths = data ? pathsFromMimeData(*data) : QStringList();
    if (!paths.isEmpty()) {
        // Submitted after the drop has been answered, so the drag ends before the walk starts.
        postToMainThread(this, [this, paths] { droppedFilesParser_->submit(paths); });
    }
    return true;
}

void CleftoneAppDelegate::addFiles()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (operationsRunning_)
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
            droppedFilesParser_->submit(files);
    });
}

// ---- Video prompts --------------------------------------------------------------------------

void CleftoneAppDelegate::promptAboutSkippedVideoFiles(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const auto count = paths.size();
    AlertSpec spec;
    spec.messageText = QStringLiteral("Skipped %1 file%2 that contain video.")
                           .arg(count)
                           .arg(count == 1 ? QString() : QStringLiteral("s"));
    spec.informativeText = QStringLiteral("Cleftone is designed for audio files. Stripping a "
                                          "video file will discard its video track.");
    spec.buttonTitles = {QStringLiteral("OK"), QStringLiteral("Add Anyway")};
    spec.defaultButton = 0;
    tools_.beginSheet(window_.get(), spec, [this, paths](int button, bool) {
        if (button == 1)
            confirmAddVideoFiles(paths);
    });
}

void CleftoneAppDelegate::confirmAddVideoFiles(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const QString shownKey = QString::fromLatin1(kVideoConfirmAlertHasBeenShownKey);
    const bool shownBefore = preferences_.boolForKey(shownKey);
    preferences_.setValue(shownKey, true);

    auto* dialog = new ConfirmationDialog(window_.get());
    dialog->setWindowTitle(QStringLiteral("Cleftone"));
    auto* layout = new QVBoxLayout(dialog);
    auto* message = new QLabel(QStringLiteral("Add video files anyway?"), dialog);
    message->setObjectName(QStringLiteral("messageLabel"));
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    layout->addWidget(message);

    auto* accessory = new QWidget(dialog);
    accessory->setObjectName(QStringLiteral("accessoryView"));
    auto* accessoryLayout = new QVBoxLayout(accessory);
    accessoryLayout->setContentsMargins(0, 0, 0, 0);
    accessoryLayout->setSpacing(8);

    auto* acknowledgementRow = new QWidget(accessory);
    auto* rowLayout = new QHBoxLayout(acknowledgementRow);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    auto* acknowledgement = new QCheckBox(acknowledgementRow);
    acknowledgement->setObjectName(QStringLiteral("acknowledgementCheckBox"));
    auto* acknowledgementText = new ToggleLabel(
        QStringLiteral("I understand Cleftone is designed for audio files, and that processing a "
                       "video will result in the video track being removed."),
        acknowledgement, acknowledgementRow);
    acknowledgementText->setObjectName(QStringLiteral("acknowledgementLabel"));
    rowLayout->addWidget(acknowledgement, 0, Qt::AlignTop);
    rowLayout->addWidget(acknowledgementText, 1);
    acknowledgementRow->setFixedSize(360, 48);
    accessoryLayout->addWidget(acknowledgementRow);

    QCheckBox* dontAskAgain = nullptr;
    if (shownBefore) {
        dontAskAgain = new QCheckBox(QStringLiteral("Don't ask again"), accessory);
        dontAskAgain->setObjectName(QStringLiteral("dontAskAgainCheckBox"));
        dontAskAgain->adjustSize();
        accessoryLayout->addWidget(dontAskAgain, 0, Qt::AlignLeft);
        accessory->setFixedSize(360, 80);
    }
    layout->addWidget(accessory);

    auto* buttons = new QDialogButtonBox(dialog);
    auto* addAnyway = new QPushButton(QStringLiteral("Add Anyway"), buttons);
    addAnyway->setObjectName(QStringLiteral("addAnywayButton"));
    addAnyway->setDefault(true);
    addAnyway->setEnabled(false);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), buttons);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    buttons->addButton(addAnyway, QDialogButtonBox::AcceptRole);
    buttons->addButton(cancel, QDialogButtonBox::RejectRole);
    connect(addAnyway, &QPushButton::clicked, dialog,
            [dialog] { dialog->done(kFirstButtonResponse); });
    connect(cancel, &QPushButton::clicked, dialog,
            [dialog] { dialog->done(kSecondButtonResponse); });
    layout->addWidget(buttons);

    connect(acknowledgement, &QCheckBox::toggled, this,
            [this, acknowledgement] { videoConfirmCheckboxChanged(acknowledgement); });
    videoConfirmAddButton_ = addAnyway;

    tools_.beginDialogSheet(
        window_.get(), dialog, [this, acknowledgement, dontAskAgain, paths](int response) {
            videoConfirmAddButton_ = nullptr;
            if (response != kFirstButtonResponse)
                return;
            if (!acknowledgement->isChecked())
                return;
            if (dontAskAgain && dontAskAgain->isChecked())
                preferences_.setValue(QString::fromLatin1(kSuppressVideoFileWarningKey), true);
            for (const QString& path : paths) {
                if (!operationsController_.containsFile(path))
                    operationsController_.addObject(path);
            }
            refreshTableHeader();
            ui_->tableView->viewport()->update();
            refreshActionButtons();
        });
}

void CleftoneAppDelegate::videoConfirmCheckboxChanged(QCheckBox* sender)
{
    if (videoConfirmAddButton_)
        videoConfirmAddButton_->setEnabled(sender && sender->isChecked());
}

// ---- Menus and application actions ----------------------------------------------------------

bool CleftoneAppDelegate::validateMenuItem(const QAction* item) const
{
    if (item == ui_->addFilesAction)
        return !operationsRunning_;
    if (item == ui_->clearAction)
        return !operationsRunning_ && operationsController_.count() > 0;
    const bool hasSelection =
        ui_->tableView->selectionModel() && ui_->tableView->selectionModel()->hasSelection();
    if (item == ui_->removeSelectedAction)
        return !operationsRunning_ && hasSelection;
    if (item == ui_->copyAction)
        return hasSelection;
    if (updater_ && item == checkForUpdatesAction_)
        return !updater_->isChecking();
    return true;
}

void CleftoneAppDelegate::updateMenuItems()
{
    for (QAction* action : window_->findChildren<QAction*>()) {
        if (!action->menu() && !action->isSeparator())
            action->setEnabled(validateMenuItem(action));
    }
}

void CleftoneAppDelegate::showSettings()
{
    if (environment_.showSettings) {
        environment_.showSettings();
        return;
    }
    SettingsWindowController::sharedController().showWindow();
}

void CleftoneAppDelegate::visitWebsite()
{
    tools_.openUrl(QUrl(QString::fromUtf8(productWebPage())));
}

void CleftoneAppDelegate::emailDeveloper()
{
    tools_.openUrl(QUrl(QStringLiteral("mailto:") + QString::fromUtf8(supportEmailAddress()) +
                        QStringLiteral("?subject=Cleftone%20Feedback")));
}

void CleftoneAppDelegate::showErrorLog()
{
    errorLog_.showWindow();
}

void CleftoneAppDelegate::showAbout()
{
    AlertSpec spec;
    spec.style = AlertSpec::Style::Informational;
    spec.messageText = QStringLiteral("Cleftone %1").arg(QString::fromUtf8(applicationVersion()));
    spec.informativeText = QStringLiteral("Removes tags, extra chunks and cover art from audio "
                                          "files without re-encoding them.\n\n%1")
                               .arg(QString::fromUtf8(productWebPage()));
    spec.buttonTitles = {QStringLiteral("OK")};
    tools_.beginSheet(window_.get(), spec, nullptr);
}

void CleftoneAppDelegate::showUpdateResult(const UpdateCheckResult& result)
{
    AlertSpec spec;
    spec.style = result.status == UpdateCheckResult::Status::Failed
                     ? AlertSpec::Style::Warning
                     : AlertSpec::Style::Informational;
    spec.messageText = result.message;
    spec.informativeText = result.informativeText;
    const bool offersDownload =
        result.status == UpdateCheckResult::Status::UpdateAvailable && result.downloadUrl.isValid();
    spec.buttonTitles = offersDownload
                            ? QStringList{QStringLiteral("Download"), QStringLiteral("Later")}
                            : QStringList{QStringLiteral("OK")};
    const QUrl url = result.downloadUrl;
    tools_.beginSheet(window_.get(), spec, [this, offersDownload, url](int button, bool) {
        if (offersDownload && button == 0)
            tools_.openUrl(url);
    });
}

// ---- Events ---------------------------------------------------------------------------------

bool CleftoneAppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui_->tableView->viewport()) {
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDropEvent*>(event);
            if (tableViewValidateDrop(drag->mimeData())) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            if (tableViewAcceptDrop(drop->mimeData())) {
                drop->setDropAction(Qt::CopyAction);
                drop->accept();
            } else {
                drop->ignore();
            }
            return true;
        }
        default:
            break;
        }
    } else if (watched == window_.get() && event->type() == QEvent::Close) {
        // Closing the main window quits, also while other windows are open or a run goes on.
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    }
    return QObject::eventFilter(watched, event);
}

void CleftoneAppDelegate::noteTask(std::chrono::steady_clock::time_point start)
{
    const auto elapsed = std::chrono::steady_clock::now() - start;
    longestTask_ =
        std::max(longestTask_, std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed));
}

} // namespace cleftone
