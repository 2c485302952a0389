#include "app/DestinationControl.h"

#include "platform/FolderBookmark.h"
#include "platform/MainThread.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"
#include "ui/PlatformTools.h"

#include <QComboBox>
#include <QFileIconProvider>
#include <QFileInfo>

namespace cleftone {

namespace {

const QString kOverwrite = QString::fromLatin1(kOverwriteExistingFile);
const QString kDestinationKey = QString::fromLatin1(kDestinationDirectoryKey);
const QString kBookmarkKey = QString::fromLatin1(kDestinationFolderBookmarkKey);

constexpr int kOverwriteItemIndex = 0;
constexpr int kChooseFolderItemIndex = 2;
constexpr int kFolderItemIndex = 3;
constexpr int kPathRole = Qt::UserRole + 1;

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

} // namespace

DestinationControl::DestinationControl(QComboBox* popUp, QWidget* window, PlatformTools& tools,
                                       Preferences& preferences, bool sandboxed, QObject* parent)
    : QObject(parent), popUp_(popUp), window_(window), tools_(tools), preferences_(preferences),
      sandboxed_(sandboxed)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // Designer cannot describe a separator item; the pop-up's fixed items are overwrite,
    // separator, choose folder.
    popUp_->insertSeparator(1);
    connect(popUp_, &QComboBox::activated, this, [this] { popUpChanged(); });
}

void DestinationControl::restore()
{
    const QString destination = preferences_.stringForKey(kDestinationKey);
    if (destination == kOverwrite || destination.isEmpty()) {
        popUp_->setCurrentIndex(kOverwriteItemIndex);
        return;
    }
    if (!sandboxed_ && !QFileInfo::exists(destination)) {
        // The folder went away since the last launch: forget it quietly.
        preferences_.setValue(kDestinationKey, kOverwrite);
        preferences_.removeValue(kBookmarkKey);
        popUp_->setCurrentIndex(kOverwriteItemIndex);
        return;
    }
    showFolderItem(destination);
}

void DestinationControl::showFolderItem(const QString& folderPath)
{
    const QIcon icon = folderIcon(folderPath);
    const QString title = lastPathComponent(folderPath);
    if (popUp_->count() < kFolderItemIndex + 1)
        popUp_->insertItem(kFolderItemIndex, title);
    else
        popUp_->setItemText(kFolderItemIndex, title);
    popUp_->setItemIcon(kFolderItemIndex, icon);
    popUp_->setItemData(kFolderItemIndex, folderPath, kPathRole);
    popUp_->setItemData(kFolderItemIndex, folderPath, Qt::ToolTipRole);
    popUp_->setCurrentIndex(kFolderItemIndex);
}

void DestinationControl::resetToOverwrite()
{
    popUp_->setCurrentIndex(kOverwriteItemIndex);
    preferences_.setValue(kDestinationKey, kOverwrite);
    preferences_.removeValue(kBookmarkKey);
}

void DestinationControl::showBookmarkFailureAlert(const QString& errorDescription)
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

void DestinationControl::popUpChanged()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    switch (popUp_->currentIndex()) {
    case kChooseFolderItemIndex: {
        const QString path = tools_.runFolderPanel(window_, FolderPanelSpec());
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
        const QString path = popUp_->itemData(kFolderItemIndex, kPathRole).toString();
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

bool DestinationControl::ensureSandboxAccess(const QString& folderPath)
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
    const QString chosen = tools_.runFolderPanel(window_, spec);
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

bool DestinationControl::ensureUsableForRun()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const QString destination = preferences_.stringForKey(kDestinationKey);
    if (destination == kOverwrite)
        return true;
    if (sandboxed_)
        return ensureSandboxAccess(destination);
    if (!QFileInfo(destination).isDir()) {
        AlertSpec spec;
        spec.messageText = QStringLiteral("Destination Folder Unavailable");
        spec.informativeText = QStringLiteral("Cleftone can no longer access the destination "
                                              "folder. Please re-select it from the popup.");
        spec.buttonTitles = {QStringLiteral("OK")};
        tools_.runAlert(spec);
        return false;
    }
    return true;
}

void DestinationControl::setEnabled(bool enabled)
{
    popUp_->setEnabled(enabled);
}

} // namespace cleftone
