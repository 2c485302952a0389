#include "app/OperationsArrayController.h"

#include "platform/MainThread.h"
#include "platform/PathBytes.h"

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

} // namespace

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
    m_entries.push_back(Entry{path, serial});
    m_serialByPath.insert(path, serial);
    endInsertRows();
}

void OperationsArrayController::addObjects(const QStringList& paths)
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
        return;
    }
    const int first = count();
    beginInsertRows(QModelIndex(), first, first + int(fresh.size()) - 1);
    for (const QString& path : std::as_const(fresh)) {
        const quint64 serial = m_nextSerial++;
        m_entries.push_back(Entry{path, serial});
        m_serialByPath.insert(path, serial);
    }
    endInsertRows();
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
        }
        m_entries.erase(m_entries.begin() + first, m_entries.begin() + last + 1);
        endRemoveRows();
        end = start;
    }
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
    m_entries.erase(m_entries.begin() + row);
    endRemoveRows();
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
    endRemoveRows();
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

QVariant OperationsArrayController::data(const QModelIndex& index, int role) const
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const QString& path = m_entries[static_cast<std::size_t>(index.row())].path;
    switch (role) {
    case Qt::DisplayRole:
        return displayPath(lastPathComponent(path));
    case Qt::ToolTipRole:
        return displayPath(path);
    case PathRole:
        return path;
    default:
        return {};
    }
}

QHash<int, QByteArray> OperationsArrayController::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert(PathRole, QByteArrayLiteral("path"));
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
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_headerTitle;
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
