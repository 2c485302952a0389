#pragma once

#include <QObject>
#include <QString>

class QAbstractItemModel;
class QAction;
class QActionGroup;
class QLabel;
class QMainWindow;
class QMenu;
class QTableView;
class QTimer;

namespace cleftone {

class FileListProxy;
class OperationsArrayController;

/// The file list as the window shows it: the name and Metadata columns (the metadata a role of
/// the list, drawn quietly while a file waits for its inspection), sorting by name, folder or
/// metadata size (View › Sort By, or a click on a column's header; natural order, the order
/// the files were added in, is the default and is one menu item away), the line in the status
/// bar that says what a run would remove, and the keys that ask for the inspector (Space, or a
/// double-click on a row). The table and the column carry names for screen readers.
///
/// Threads: main thread only.
class FileTable : public QObject {
    Q_OBJECT

public:
    enum class SortKey { Natural, Name, Folder, MetadataSize };

    /// Shows `list` in `table`, adds "Sort By" to `viewMenu` and the status line to `window`'s
    /// status bar. All must outlive this object.
    FileTable(QTableView* table, QMainWindow* window, QMenu* viewMenu,
              OperationsArrayController& list, QObject* parent = nullptr);
    ~FileTable() override;

    /// Sorts the rows; Natural gives them back in the order they were added.
    void sortBy(SortKey key, Qt::SortOrder order = Qt::AscendingOrder);
    SortKey sortKey() const;
    /// The full path of the table's current row; empty when there is none.
    QString currentPath() const;
    /// "12 files, 3.4 MB of metadata to remove", or how far the inspection got; empty for an
    /// empty list.
    QString statusText() const;
    QLabel* statusLabel() const { return statusLabel_; }
    /// The model the table shows (sorted over the list).
    QAbstractItemModel* model() const;

signals:
    /// Space was pressed on the table (`toggle`), or a row was double-clicked.
    void inspectRequested(bool toggle);
    /// The table's current row now shows another file (or none).
    void currentPathChanged(const QString& path);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void addSortMenu(QMenu* viewMenu);
    void showSortKey();
    void scheduleStatus();
    void metadataChanged();

    QTableView* table_;
    OperationsArrayController& list_;
    FileListProxy* proxy_;
    QLabel* statusLabel_;
    QTimer* statusTimer_;
    QTimer* resortTimer_;
    QActionGroup* sortActions_;
    QString currentPath_;
};

} // namespace cleftone
