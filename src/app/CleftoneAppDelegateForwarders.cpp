// The delegate's public members that only hand a call to one of its parts or show one of its
// widgets: the window's surface for tests, benchmarks and the screenshot tool.
#include "ui_MainWindow.h"

#include "app/AppMenus.h"
#include "app/BatchRun.h"
#include "app/CleftoneAppDelegate.h"
#include "app/DestinationControl.h"
#include "app/IntakeController.h"
#include "app/RunPanel.h"
#include "app/VideoPrompt.h"

namespace cleftone {

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
FileTable* CleftoneAppDelegate::fileTable() const
{
    return fileTable_.get();
}
MetadataInspector* CleftoneAppDelegate::inspector() const
{
    return inspector_.get();
}
LeftOutReport* CleftoneAppDelegate::leftOutReport() const
{
    return leftOut_.get();
}
OperationQueue& CleftoneAppDelegate::operationQueue()
{
    return batchRun_->operationQueue();
}
qint64 CleftoneAppDelegate::failedOperations() const
{
    return batchRun_->failedOperations();
}
qint64 CleftoneAppDelegate::successfulOperations() const
{
    return batchRun_->successfulOperations();
}
std::shared_ptr<Operation> CleftoneAppDelegate::currentFinalizer() const
{
    return batchRun_->currentFinalizer();
}

CTDroppedFilesParser& CleftoneAppDelegate::droppedFilesParser()
{
    return intake_->droppedFilesParser();
}
bool CleftoneAppDelegate::stripButtonActionIsStop() const
{
    return runPanel_->stripButtonActionIsStop();
}
bool CleftoneAppDelegate::processingFiles() const
{
    return intake_->processingFiles();
}
QStringList CleftoneAppDelegate::skippedVideoPaths() const
{
    return intake_->skippedVideoPaths();
}

// ---- Parts ----------------------------------------------------------------------------------

void CleftoneAppDelegate::writeMethodPopUpChanged()
{
    destination_->popUpChanged();
}

bool CleftoneAppDelegate::ensureSandboxAccessForDestinationFolder(const QString& folderPath)
{
    return destination_->ensureSandboxAccess(folderPath);
}

void CleftoneAppDelegate::handleFinishedOperation(
    const std::shared_ptr<CleftoneOperation>& operation)
{
    batchRun_->handleFinishedOperations({operation});
}

void CleftoneAppDelegate::stripDidComplete()
{
    batchRun_->complete();
}

void CleftoneAppDelegate::droppedFilesWalkDidStart()
{
    intake_->droppedFilesWalkDidStart();
}

void CleftoneAppDelegate::walkDroppedFilesBatch(const QStringList& batch)
{
    intake_->walkDroppedFilesBatch(batch);
}

void CleftoneAppDelegate::droppedFilesWalksDidFinish()
{
    intake_->droppedFilesWalksDidFinish();
}

void CleftoneAppDelegate::promptAboutSkippedVideoFiles(const QStringList& paths)
{
    videoPrompt_->promptAboutSkippedVideoFiles(paths);
}

void CleftoneAppDelegate::confirmAddVideoFiles(const QStringList& paths)
{
    videoPrompt_->confirmAddVideoFiles(paths);
}

void CleftoneAppDelegate::videoConfirmCheckboxChanged(QCheckBox* sender)
{
    videoPrompt_->videoConfirmCheckboxChanged(sender);
}

QPushButton* CleftoneAppDelegate::videoConfirmAddButton() const
{
    return videoPrompt_->videoConfirmAddButton();
}

bool CleftoneAppDelegate::validateMenuItem(const QAction* item) const
{
    return menus_->validateMenuItem(item);
}

void CleftoneAppDelegate::updateMenuItems()
{
    menus_->updateMenuItems();
}

void CleftoneAppDelegate::showSettings()
{
    menus_->showSettings();
}

void CleftoneAppDelegate::visitWebsite()
{
    menus_->visitWebsite();
}

void CleftoneAppDelegate::emailDeveloper()
{
    menus_->emailDeveloper();
}

UpdateChecker* CleftoneAppDelegate::updater()
{
    return menus_->updater();
}

} // namespace cleftone
