#pragma once

#include <QAbstractTableModel>
#include <QDateTime>
#include <QList>
#include <QRecursiveMutex>
#include <QString>

#include <functional>

namespace cleftone {

/// One line of the error log.
struct ErrorLogEntry {
    /// When the entry was inserted on the main thread.
    QDateTime date;
    /// The message exactly as given: tabs and line breaks included, nothing trimmed.
    QString log;
};

/// The process's list of failure messages, oldest first, and its report text.
///
/// It is also the table model of the error log window: column 0 is the "date" (DisplayRole gives
/// the QDateTime), column 1 the "log" text; EntryRole gives the whole ErrorLogEntry in any
/// column. Rows are entries in insertion order.
///
/// Threads: logMessage() and log() may be called from any thread and never block. Everything
/// else, the model interface included, belongs to the main thread, which alone changes the list.
class ErrorLogStore : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { DateColumn = 0, LogColumn = 1, ColumnCount = 2 };
    enum Role { EntryRole = Qt::UserRole + 1 };

    /// Create on the main thread. The application uses sharedController(); separate objects
    /// are for tests.
    explicit ErrorLogStore(QObject* parent = nullptr);
    ~ErrorLogStore() override;

    /// The process's store: made on first call (from any thread; it is handed to the main
    /// thread, so a QCoreApplication must exist by then) and never destroyed.
    static ErrorLogStore& sharedController();

    /// sharedController().logMessage(text).
    static void log(const QString& text);

    /// Adds {now, text} at the end of the list. On the main thread the entry is there when this
    /// returns; from any other thread the insertion is posted to the main thread, after whatever
    /// is already waiting there, and the caller returns at once. The time stamp is taken when
    /// the entry is inserted.
    void logMessage(const QString& text);

    /// The report: one "<date>\t<log>\n" per entry, dates in UTC as "yyyy-MM-dd HH:mm:ss +0000".
    /// Empty for an empty log.
    QString errorLogAsString() const;

    /// Empties the log as one whole-list change (a model reset).
    void clear();

    QList<ErrorLogEntry> entries() const { return entries_; }

    /// Replaces the clock that stamps new entries; an empty function restores the system clock.
    /// Main thread only.
    static void setClockForTesting(std::function<QDateTime()> clock);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    /// Removal by index, for views that let the user delete rows.
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;

signals:
    /// A message was added to the list (main thread, after the insertion).
    void messageLogged(const QString& text);

private:
    void insertEntry(const QString& text);

    QList<ErrorLogEntry> entries_;
    mutable QRecursiveMutex mutex_;
};

} // namespace cleftone

Q_DECLARE_METATYPE(cleftone::ErrorLogEntry)
