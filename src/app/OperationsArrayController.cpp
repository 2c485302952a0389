#include "app/OperationsArrayController.h"

#include "platform/MainThread.h"
#include "platform/PathBytes.h"

#include <QCoreApplication>
#include <QLocale>
#include <QSet>

#include <algorithm>
#include <vector>

namespace cleftone {

namespace {

QString lastPathComponent(const QString& path)
{
    // Paths are absolute and never end in a separator, so the name follows the last '/'.
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString columnText(const char* text)
{
    return QCoreApplication::translate("OperationsArrayController", text);
}

// SI units, as the desktop's file manager shows sizes; whole units up to 10 MB.
QString sizeText(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, bytes < 10'000'000 ? 0 : 1,
                                       QLocale::DataSizeSIFormat);
}

} // namespace

QString metadataSummaryText(const FileMetadata& metadata)
{
    switch (metadata.state) {
    case FileMetadata::State::Waiting:
        //: The metadata column of a file not inspected yet.
        return columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "Checking\u2026"));
    case FileMetadata::State::Unreadable:
        //: The metadata column of a file that is not readable as audio.
        return columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "Cannot read"));
    case FileMetadata::State::Inspected:
        break;
    }
    QStringList parts;
    if (metadata.tags == 1)
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "1 tag"));
    else if (metadata.tags > 1)
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "%1 tags"))
                     .arg(metadata.tags);
    if (metadata.pictures == 1)
        //: The size of the file's cover art, such as "412 kB".
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "cover %1"))
                     .arg(sizeText(metadata.pictureBytes));
    else if (metadata.pictures > 1)
        //: %1 pictures of %2 bytes together, such as "3 covers 1.2 MB".
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "%1 covers %2"))
                     .arg(metadata.pictures)
                     .arg(sizeText(metadata.pictureBytes));
    if (metadata.chapters == 1)
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "1 chapter"));
    else if (metadata.chapters > 1)
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "%1 chapters"))
                     .arg(metadata.chapters);
    if (parts.isEmpty() && metadata.metadataBytes > 0)
        //: Metadata other than tags, covers and chapters, such as extra chunks; %1 a size.
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "%1 of other metadata"))
                     .arg(sizeText(metadata.metadataBytes));
    if (parts.isEmpty())
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "No metadata"));
    if (metadata.kept == 1)
        //: Metadata stored inside the audio stream, which a strip cannot remove without
        //: changing the audio.
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "1 item kept"));
    else if (metadata.kept > 1)
        parts << columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "%1 items kept"))
                     .arg(metadata.kept);
    QString text = parts.join(QStringLiteral(", "));
    text[0] = text[0].toUpper();
    return text;
}

OperationsArrayController::OperationsArrayController(QObject* parent) : QAbstractListModel(parent)
{}

bool OperationsArrayController::containsFile(const QString& path) const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    return m_serialByPath.contains(path);
}

void OperationsArrayController::addObject(const QString& path)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    Q_ASSERT_X(!m_serialByPath.contains(path), Q_FUNC_INFO, "path is already listed");
    if (m_serialByPath.contains(path)) {
        return;
    }
    const int row = count();
    beginInsertRows(QModelIndex(), row, row);
    const quint64 serial = m_nextSerial++;
    m_entries.push_back(Entry{path, serial, FileMetadata()});
    m_serialByPath.insert(path, serial);
    ++m_waiting;
    endInsertRows();
}

QStringList OperationsArrayController::addObjects(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    QStringList fresh;
    QSet<QString> seen;
    for (const QString& path : paths) {
        if (!m_serialByPath.contains(path) && !seen.contains(path)) {
            seen.insert(path);
            fresh.append(path);
        }
    }
    if (fresh.isEmpty()) {
        return fresh;
    }
    const int first = count();
    beginInsertRows(QModelIndex(), first, first + int(fresh.size()) - 1);
    for (const QString& path : std::as_const(fresh)) {
        const quint64 serial = m_nextSerial++;
        m_entries.push_back(Entry{path, serial, FileMetadata()});
        m_serialByPath.insert(path, serial);
    }
    m_waiting += int(fresh.size());
    endInsertRows();
    return fresh;
}

quint64 OperationsArrayController::serialOf(const QString& path) const
{
    return m_serialByPath.value(path, 0);
}

void OperationsArrayController::tally(const FileMetadata& metadata, int sign)
{
    if (metadata.state == FileMetadata::State::Waiting)
        m_waiting += sign;
    m_metadataBytes += sign * metadata.metadataBytes;
}

void OperationsArrayController::setMetadata(const std::vector<MetadataResult>& results)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    int top = count();
    int bottom = -1;
    for (const MetadataResult& result : results) {
        const auto found = m_serialByPath.constFind(result.path);
        if (found == m_serialByPath.cend() || found.value() != result.serial)
            continue;
        const int row = rowOfSerial(result.serial);
        FileMetadata& metadata = m_entries[std::size_t(row)].metadata;
        tally(metadata, -1);
        metadata = result.metadata;
        tally(metadata, +1);
        top = std::min(top, row);
        bottom = std::max(bottom, row);
    }
    // One span for the views, however the results were spread.
    if (bottom >= 0)
        emit dataChanged(index(top, NameColumn), index(bottom, MetadataColumn),
                         {Qt::DisplayRole, MetadataTextRole, MetadataStateRole, MetadataBytesRole});
}

FileMetadata OperationsArrayController::metadataOf(const QString& path) const
{
    const auto found = m_serialByPath.constFind(path);
    return found == m_serialByPath.cend()
               ? FileMetadata()
               : m_entries[std::size_t(rowOfSerial(found.value()))].metadata;
}

void OperationsArrayController::removeObjects(const QStringList& paths)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    std::vector<int> rows;
    rows.reserve(std::size_t(paths.size()));
    for (const QString& path : paths) {
        const auto found = m_serialByPath.constFind(path);
        if (found != m_serialByPath.cend()) {
            rows.push_back(rowOfSerial(found.value()));
        }
    }
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    // From the back, so that the rows still to be removed keep their numbers.
    auto end = rows.end();
    while (end != rows.begin()) {
        auto start = end - 1;
        while (start != rows.begin() && *(start - 1) == *start - 1) {
            --start;
        }
        const int first = *start;
        const int last = *(end - 1);
        beginRemoveRows(QModelIndex(), first, last);
        for (int row = first; row <= last; ++row) {
            m_serialByPath.remove(m_entries[std::size_t(row)].path);
            tally(m_entries[std::size_t(row)].metadata, -1);
        }
        m_entries.erase(m_entries.begin() + first, m_entries.begin() + last + 1);
        endRemoveRows();
        end = start;
    }
    if (!rows.empty())
        emit pathsRemoved(paths);
}

void OperationsArrayController::removeObject(const QString& path)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const auto found = m_serialByPath.constFind(path);
    if (found == m_serialByPath.cend()) {
        return;
    }
    const int row = rowOfSerial(found.value());
    Q_ASSERT(row >= 0);
    beginRemoveRows(QModelIndex(), row, row);
    m_serialByPath.erase(found);
    tally(m_entries[std::size_t(row)].metadata, -1);
    m_entries.erase(m_entries.begin() + row);
    endRemoveRows();
    emit pathsRemoved({path});
}

void OperationsArrayController::removeAll()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (m_entries.empty()) {
        return;
    }
    beginRemoveRows(QModelIndex(), 0, count() - 1);
    m_entries.clear();
    m_serialByPath.clear();
    m_waiting = 0;
    m_metadataBytes = 0;
    endRemoveRows();
    emit allRemoved();
}

QStringList OperationsArrayController::arrangedObjects() const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    QStringList paths;
    paths.reserve(count());
    for (const Entry& entry : m_entries) {
        paths.append(entry.path);
    }
    return paths;
}

int OperationsArrayController::rowCount(const QModelIndex& parent) const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    return parent.isValid() ? 0 : count();
}

int OperationsArrayController::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant OperationsArrayController::data(const QModelIndex& index, int role) const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const Entry& entry = m_entries[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return index.column() == MetadataColumn ? metadataSummaryText(entry.metadata)
                                                : displayPath(lastPathComponent(entry.path));
    case Qt::ToolTipRole:
        return displayPath(entry.path);
    case PathRole:
        return entry.path;
    case MetadataTextRole:
        return metadataSummaryText(entry.metadata);
    case MetadataStateRole:
        return int(entry.metadata.state);
    case MetadataBytesRole:
        return entry.metadata.state == FileMetadata::State::Waiting ? qint64(-1)
               : entry.metadata.state == FileMetadata::State::Unreadable
                   ? qint64(-2)
                   : entry.metadata.metadataBytes;
    default:
        return {};
    }
}

QHash<int, QByteArray> OperationsArrayController::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert(PathRole, QByteArrayLiteral("path"));
    names.insert(MetadataTextRole, QByteArrayLiteral("metadata"));
    names.insert(MetadataStateRole, QByteArrayLiteral("metadataState"));
    names.insert(MetadataBytesRole, QByteArrayLiteral("metadataBytes"));
    return names;
}

int OperationsArrayController::rowOfSerial(quint64 serial) const
{
    const auto it =
        std::lower_bound(m_entries.cbegin(), m_entries.cend(), serial,
                         [](const Entry& entry, quint64 wanted) { return entry.serial < wanted; });
    if (it == m_entries.cend() || it->serial != serial) {
        return -1;
    }
    return static_cast<int>(it - m_entries.cbegin());
}

QVariant OperationsArrayController::headerData(int section, Qt::Orientation orientation,
                                               int role) const
{
    if (section == NameColumn && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_headerTitle;
    if (section == MetadataColumn && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        //: The title of the list's second column, what each file carries.
        return columnText(QT_TRANSLATE_NOOP("OperationsArrayController", "Metadata"));
    return QAbstractListModel::headerData(section, orientation, role);
}

void OperationsArrayController::setHeaderTitle(const QString& title)
{
    if (title == m_headerTitle)
        return;
    m_headerTitle = title;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

} // namespace cleftone
