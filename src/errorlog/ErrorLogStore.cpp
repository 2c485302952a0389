#include "errorlog/ErrorLogStore.h"

#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QMutexLocker>
#include <QThread>

namespace cleftone {

namespace {

std::function<QDateTime()>& testClock()
{
    static std::function<QDateTime()> clock;
    return clock;
}

QDateTime now()
{
    const auto& clock = testClock();
    return clock ? clock() : QDateTime::currentDateTimeUtc();
}

} // namespace

ErrorLogStore::ErrorLogStore(QObject* parent) : QAbstractTableModel(parent)
{}

ErrorLogStore::~ErrorLogStore() = default;

ErrorLogStore& ErrorLogStore::sharedController()
{
    static ErrorLogStore* instance = [] {
        auto* store = new ErrorLogStore;
        // A worker may ask first; the list must still belong to the main thread, which alone
        // changes it and whose event loop runs the posted insertions.
        const QCoreApplication* app = QCoreApplication::instance();
        Q_ASSERT_X(app, Q_FUNC_INFO, "the error log needs a QCoreApplication");
        if (app)
            store->moveToThread(app->thread());
        return store;
    }();
    return *instance;
}

void ErrorLogStore::log(const QString& text)
{
    sharedController().logMessage(text);
}

void ErrorLogStore::logMessage(const QString& text)
{
    if (isMainThread()) {
        insertEntry(text);
        return;
    }
    postToMainThread(this, [this, text] { logMessage(text); });
}

void ErrorLogStore::insertEntry(const QString& text)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const int row = int(entries_.size());
    beginInsertRows(QModelIndex(), row, row);
    entries_.append(ErrorLogEntry{now(), text});
    endInsertRows();
    emit messageLogged(text);
}

QString ErrorLogStore::errorLogAsString() const
{
    QString report;
    for (const ErrorLogEntry& entry : entries_) {
        report += QStringLiteral("%1\t%2\n")
                      .arg(entry.date.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
                               QStringLiteral(" +0000"),
                           entry.log);
    }
    return report;
}

void ErrorLogStore::clear()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    QMutexLocker lock(&mutex_);
    beginResetModel();
    entries_.clear();
    endResetModel();
}

void ErrorLogStore::setClockForTesting(std::function<QDateTime()> clock)
{
    testClock() = std::move(clock);
}

int ErrorLogStore::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(entries_.size());
}

int ErrorLogStore::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ErrorLogStore::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return QVariant();
    const ErrorLogEntry& entry = entries_.at(index.row());
    if (role == EntryRole)
        return QVariant::fromValue(entry);
    if (role != Qt::DisplayRole)
        return QVariant();
    return index.column() == DateColumn ? QVariant(entry.date) : QVariant(entry.log);
}

QVariant ErrorLogStore::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case DateColumn:
        return tr("Date");
    case LogColumn:
        return tr("Message");
    default:
        return QVariant();
    }
}

bool ErrorLogStore::removeRows(int row, int count, const QModelIndex& parent)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    if (parent.isValid() || row < 0 || count <= 0 || row + count > entries_.size())
        return false;
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    entries_.remove(row, count);
    endRemoveRows();
    return true;
}

} // namespace cleftone
