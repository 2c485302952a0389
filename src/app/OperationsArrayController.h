#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QString>
#include <QStringList>

#include <deque>

namespace cleftone {

/// The list of files waiting to be stripped: absolute path strings in the order they were added,
/// shown one row per file. No sorting or filtering is applied, so row i is arrangedObjects()[i].
///
/// The list does not keep paths unique by itself: intake asks containsFile() before every
/// addObject(), and nothing else adds.
///
/// Cost, for n listed paths: containsFile() O(1); addObject() O(1) amortised; removeObject()
/// O(log n) to find the row plus the erase, which is O(1) at either end of the list (a run
/// removes files from the front, one by one) and O(min(row, n - row)) in the middle;
/// removeAll() and arrangedObjects() O(n); data() O(1).
///
/// Threads: main thread only, like every item model.
class OperationsArrayController : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        /// The full path of the row's file, as a QString.
        PathRole = Qt::UserRole + 1,
    };

    explicit OperationsArrayController(QObject* parent = nullptr);

    /// True when exactly this path text is listed (case-sensitive, no normalisation).
    bool containsFile(const QString& path) const;

    /// Appends a path as the last row. Adding a path that is already listed is a caller error:
    /// it asserts in debug builds and is ignored otherwise.
    void addObject(const QString& path);

    /// Appends, in order, each path that is not listed yet (nor earlier in `paths`), as one
    /// insertion for the views.
    void addObjects(const QStringList& paths);

    /// Removes the row of this path; does nothing when the path is not listed.
    void removeObject(const QString& path);

    /// Removes the rows of these paths; paths not listed are ignored. Neighbouring rows go as one
    /// removal for the views, so a run that removes its finished files from the front of the
    /// list in bursts costs one view update per burst.
    void removeObjects(const QStringList& paths);

    /// Removes every row, whatever is selected in a view.
    void removeAll();

    /// The listed paths in row order (a copy).
    QStringList arrangedObjects() const;

    int count() const { return static_cast<int>(m_entries.size()); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    /// DisplayRole: the file name with its extension; ToolTipRole and PathRole: the full path.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    /// The first column's title comes from headerTitle(); there is one column.
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    /// The title shown above the list ("Files To Strip: 3").
    QString headerTitle() const { return m_headerTitle; }
    void setHeaderTitle(const QString& title);

private:
    struct Entry {
        QString path;
        // Rises with every addition, so the entries stay sorted by it and a path's row can be
        // found by binary search without renumbering the rows after a removal.
        quint64 serial;
    };

    int rowOfSerial(quint64 serial) const;

    QString m_headerTitle;
    std::deque<Entry> m_entries;
    QHash<QString, quint64> m_serialByPath;
    quint64 m_nextSerial = 0;
};

} // namespace cleftone
