#include "app/FileTable.h"

#include "app/OperationsArrayController.h"
#include "platform/MainThread.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCollator>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMainWindow>
#include <QMenu>
#include <QPalette>
#include <QSortFilterProxyModel>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>

namespace cleftone {

namespace {

constexpr int kMetadataColumnWidth = 190;
// How often a list sorted by metadata size follows results that arrive meanwhile.
constexpr int kResortIntervalMs = 1000;
constexpr int kStatusIntervalMs = 150;

QString folderOf(const QString& path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')));
}

} // namespace

/// The list's rows in the order the user chose: natural (the list's own), by name or folder as
/// a person reads them (case ignored, numbers by value), or by the metadata a strip removes
/// (files still waiting last). Waiting rows' metadata is drawn in the placeholder colour.
class FileListProxy : public QSortFilterProxyModel {
public:
    explicit FileListProxy(QObject* parent) : QSortFilterProxyModel(parent)
    {
        // Re-sorted on a timer instead: a sorted list of thousands of rows would otherwise move
        // rows for every batch of results.
        setDynamicSortFilter(false);
        QLocale locale;
        if (locale.language() == QLocale::C)
            locale = QLocale(QLocale::English, QLocale::UnitedStates);
        collator_ = QCollator(locale);
        collator_.setNumericMode(true);
        collator_.setCaseSensitivity(Qt::CaseInsensitive);
    }

    FileTable::SortKey key = FileTable::SortKey::Natural;

    void sort(int column, Qt::SortOrder order) override
    {
        // A click on a header sorts by that column; Folder keeps the name column's indicator.
        if (column < 0)
            key = FileTable::SortKey::Natural;
        else if (column == OperationsArrayController::MetadataColumn)
            key = FileTable::SortKey::MetadataSize;
        else if (key != FileTable::SortKey::Folder)
            key = FileTable::SortKey::Name;
        QSortFilterProxyModel::sort(column, order);
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == Qt::ForegroundRole &&
            index.column() == OperationsArrayController::MetadataColumn &&
            index.data(OperationsArrayController::MetadataStateRole).toInt() ==
                int(FileMetadata::State::Waiting))
            return QApplication::palette().brush(QPalette::PlaceholderText);
        return QSortFilterProxyModel::data(index, role);
    }

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override
    {
        if (key == FileTable::SortKey::MetadataSize) {
            const qint64 a = left.data(OperationsArrayController::MetadataBytesRole).toLongLong();
            const qint64 b = right.data(OperationsArrayController::MetadataBytesRole).toLongLong();
            return a != b ? a < b : left.row() < right.row();
        }
        const QString a = left.data(OperationsArrayController::PathRole).toString();
        const QString b = right.data(OperationsArrayController::PathRole).toString();
        if (key == FileTable::SortKey::Folder) {
            if (const int order = collator_.compare(folderOf(a), folderOf(b)))
                return order < 0;
        }
        const int order = collator_.compare(a.mid(a.lastIndexOf(QLatin1Char('/')) + 1),
                                            b.mid(b.lastIndexOf(QLatin1Char('/')) + 1));
        return order != 0 ? order < 0 : left.row() < right.row();
    }

private:
    QCollator collator_;
};

FileTable::FileTable(QTableView* table, QMainWindow* window, QMenu* viewMenu,
                     OperationsArrayController& list, QObject* parent)
    : QObject(parent), table_(table), list_(list), proxy_(new FileListProxy(this)),
      statusLabel_(new QLabel(window)), statusTimer_(new QTimer(this)),
      resortTimer_(new QTimer(this)), sortActions_(new QActionGroup(this))
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    proxy_->setSourceModel(&list_);
    table_->setModel(proxy_);
    QHeaderView* header = table_->horizontalHeader();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(OperationsArrayController::NameColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(OperationsArrayController::MetadataColumn,
                                 QHeaderView::Interactive);
    header->resizeSection(OperationsArrayController::MetadataColumn, kMetadataColumnWidth);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    table_->setSortingEnabled(true);
    table_->setAccessibleName(tr("Files to strip"));
    table_->setAccessibleDescription(
        tr("The files a strip run works on, with the metadata each carries. Press Space to "
           "show the metadata of the current file."));
    table_->installEventFilter(this);
    connect(table_, &QTableView::doubleClicked, this, [this] { emit inspectRequested(false); });
    connect(table_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                const QString path = current.data(OperationsArrayController::PathRole).toString();
                if (path == currentPath_)
                    return;
                currentPath_ = path;
                emit currentPathChanged(path);
            });
    connect(header, &QHeaderView::sortIndicatorChanged, this, [this] { showSortKey(); });

    statusLabel_->setObjectName(QStringLiteral("metadataStatusLabel"));
    statusLabel_->setAccessibleName(tr("What a run would do"));
    window->statusBar()->addWidget(statusLabel_, 1);
    statusTimer_->setSingleShot(true);
    statusTimer_->setInterval(kStatusIntervalMs);
    connect(statusTimer_, &QTimer::timeout, this, [this] { statusLabel_->setText(statusText()); });
    resortTimer_->setSingleShot(true);
    resortTimer_->setInterval(kResortIntervalMs);
    connect(resortTimer_, &QTimer::timeout, this, [this] {
        if (sortKey() == SortKey::MetadataSize)
            proxy_->invalidate();
    });
    connect(&list_, &QAbstractItemModel::rowsInserted, this, &FileTable::scheduleStatus);
    connect(&list_, &QAbstractItemModel::rowsRemoved, this, &FileTable::scheduleStatus);
    connect(&list_, &QAbstractItemModel::dataChanged, this, &FileTable::metadataChanged);
    addSortMenu(viewMenu);
}

FileTable::~FileTable() = default;

void FileTable::addSortMenu(QMenu* viewMenu)
{
    QMenu* menu = viewMenu->addMenu(tr("&Sort By"));
    const std::pair<SortKey, QString> keys[] = {
        {SortKey::Natural, tr("&Order Added")},
        {SortKey::Name, tr("&Name")},
        {SortKey::Folder, tr("&Folder")},
        {SortKey::MetadataSize, tr("&Metadata Size")},
    };
    for (const auto& [key, title] : keys) {
        QAction* action = menu->addAction(title);
        action->setCheckable(true);
        action->setData(int(key));
        sortActions_->addAction(action);
        // Metadata size comes largest first: the files with most to lose.
        connect(action, &QAction::triggered, this, [this, key = key] {
            sortBy(key, key == SortKey::MetadataSize ? Qt::DescendingOrder : Qt::AscendingOrder);
        });
    }
    showSortKey();
}

void FileTable::sortBy(SortKey key, Qt::SortOrder order)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    proxy_->key = key;
    const int column = key == SortKey::Natural ? -1
                       : key == SortKey::MetadataSize
                           ? int(OperationsArrayController::MetadataColumn)
                           : int(OperationsArrayController::NameColumn);
    table_->sortByColumn(column, order);
    showSortKey();
}

FileTable::SortKey FileTable::sortKey() const
{
    return proxy_->key;
}

void FileTable::showSortKey()
{
    for (QAction* action : sortActions_->actions())
        action->setChecked(action->data().toInt() == int(proxy_->key));
}

QString FileTable::currentPath() const
{
    return currentPath_;
}

QAbstractItemModel* FileTable::model() const
{
    return proxy_;
}

bool FileTable::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == table_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
            emit inspectRequested(true);
            return true;
        }
    }
    return QObject::eventFilter(watched, event);
}

void FileTable::scheduleStatus()
{
    if (!statusTimer_->isActive())
        statusTimer_->start();
}

void FileTable::metadataChanged()
{
    scheduleStatus();
    if (sortKey() == SortKey::MetadataSize && !resortTimer_->isActive())
        resortTimer_->start();
}

QString FileTable::statusText() const
{
    const int files = list_.count();
    if (files == 0)
        return QString();
    // SI units, as the desktop's file manager shows sizes.
    const QString size =
        QLocale().formattedDataSize(list_.metadataBytes(), 1, QLocale::DataSizeSIFormat);
    if (list_.waitingCount() > 0)
        return files == 1
                   //: Status line while the files' metadata is still being read; %1 a size.
                   ? tr("1 file, %1 of metadata found so far").arg(size)
                   //: Status line while the files' metadata is still being read; %1 the number
                   //: of files, %2 a size.
                   : tr("%1 files, %2 of metadata found so far").arg(files).arg(size);
    if (list_.metadataBytes() == 0)
        return files == 1 ? tr("1 file, no metadata to remove")
                          : tr("%1 files, no metadata to remove").arg(files);
    return files == 1
               //: Status line before a run; %1 a size, such as "3.4 MB".
               ? tr("1 file, %1 of metadata to remove").arg(size)
               //: Status line before a run; %1 the number of files, %2 a size, such as "3.4 MB".
               : tr("%1 files, %2 of metadata to remove").arg(files).arg(size);
}

} // namespace cleftone
