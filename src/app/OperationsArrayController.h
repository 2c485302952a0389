#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QString>
#include <QStringList>

#include <deque>
#include <vector>

namespace cleftone {

/// What the metadata column knows of one listed file.
struct FileMetadata {
    enum class State : quint8 {
        Waiting,    ///< not inspected yet
        Inspected,  ///< the counts below are the file's
        Unreadable, ///< not readable as audio
    };
    State state = State::Waiting;
    int tags = 0;
    int pictures = 0;
    int chapters = 0;
    qint64 pictureBytes = 0;  ///< of all pictures together
    qint64 metadataBytes = 0; ///< what a strip removes
    int kept = 0;             ///< metadata inside the audio stream that a strip keeps
};

/// An inspection's result for the file listed under `path` as entry `serial`.
struct MetadataResult {
    QString path;
    quint64 serial = 0;
    FileMetadata metadata;
};

/// The metadata column's text: "14 tags, cover 412 kB", "2 tags", "No metadata", "Cannot read",
/// "No metadata, 1 item kept", or "Checking…" while the file waits for its inspection. Translated
/// (context OperationsArrayController).
QString metadataSummaryText(const FileMetadata& metadata);

/// The list of files waiting to be stripped: absolute path strings in the order they were added,
/// shown one row per file. No sorting or filtering is applied, so row i is arrangedObjects()[i].
/// Column 0 shows the file's name, column 1 what it carries (MetadataColumn); both are roles of
/// the row, which a view may show however it likes.
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
        /// The metadata column's text, metadataSummaryText().
        MetadataTextRole,
        /// FileMetadata::State of the row, as an int.
        MetadataStateRole,
        /// The bytes a strip removes, as a qint64; -1 while waiting, -2 when unreadable.
        MetadataBytesRole,
    };
    enum Column { NameColumn = 0, MetadataColumn = 1, ColumnCount = 2 };

    explicit OperationsArrayController(QObject* parent = nullptr);

    /// True when exactly this path text is listed (case-sensitive, no normalisation).
    bool containsFile(const QString& path) const;

    /// Appends a path as the last row. Adding a path that is already listed is a caller error:
    /// it asserts in debug builds and is ignored otherwise.
    void addObject(const QString& path);

    /// Appends, in order, each path that is not listed yet (nor earlier in `paths`), as one
    /// insertion for the views. Returns the paths it appended.
    QStringList addObjects(const QStringList& paths);

    /// The entry number of a listed path (it changes when the path is removed and listed
    /// again); 0 when the path is not listed.
    quint64 serialOf(const QString& path) const;
    /// Shows inspection results. A result whose path is no longer listed, or is listed again
    /// since (another serial), is dropped; results may come in any order.
    void setMetadata(const std::vector<MetadataResult>& results);
    FileMetadata metadataOf(const QString& path) const;
    /// Rows still waiting for their inspection.
    int waitingCount() const { return m_waiting; }
    /// The bytes a strip would remove from the inspected rows together.
    qint64 metadataBytes() const { return m_metadataBytes; }

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
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    /// DisplayRole: the file name with its extension in column 0, metadataSummaryText() in
    /// column 1; ToolTipRole and PathRole: the full path; the metadata roles in every column.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    /// The first column's title comes from headerTitle(), the second's is "Metadata".
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    /// The title shown above the list ("Files To Strip: 3").
    QString headerTitle() const { return m_headerTitle; }
    void setHeaderTitle(const QString& title);

signals:
    /// Listed paths went (removeObject(), removeObjects()); after the rows were removed.
    void pathsRemoved(const QStringList& paths);
    /// Every path went (removeAll()).
    void allRemoved();

private:
    struct Entry {
        QString path;
        // Rises with every addition, so the entries stay sorted by it and a path's row can be
        // found by binary search without renumbering the rows after a removal.
        quint64 serial;
        FileMetadata metadata;
    };

    int rowOfSerial(quint64 serial) const;
    void tally(const FileMetadata& metadata, int sign);

    QString m_headerTitle;
    std::deque<Entry> m_entries;
    QHash<QString, quint64> m_serialByPath;
    quint64 m_nextSerial = 1;
    int m_waiting = 0;
    qint64 m_metadataBytes = 0;
};

} // namespace cleftone
