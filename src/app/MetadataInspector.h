#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <memory>

class QAction;
class QDockWidget;
class QLabel;
class QMainWindow;
class QTreeWidget;

namespace cleftone {

struct MetadataReport;

/// The metadata inspector: a side panel of the main window (which the user may also float as a
/// window of its own) that shows what one file carries: its tags with their values, its cover
/// art as a thumbnail with type, size and pixel dimensions, its chapters, the other chunks,
/// boxes or blocks with their sizes, and the bytes of metadata in all. Read-only. It follows
/// the file it is given (the window gives it the current row) and reads it on a thread of its
/// own, only while it is shown.
///
/// Threads: main thread only.
class MetadataInspector : public QObject {
    Q_OBJECT

public:
    /// Docks the panel, hidden, on the right of `window`, which must outlive this object.
    explicit MetadataInspector(QMainWindow* window, QObject* parent = nullptr);
    /// Waits for a read in progress.
    ~MetadataInspector() override;

    /// View › Show Metadata: shows and hides the panel.
    QAction* toggleAction() const;
    QDockWidget* dock() const { return dock_; }
    void show();
    void toggle();

    /// The file to show; empty for none.
    void setPath(const QString& path);
    QString path() const { return path_; }
    /// True while the current file is being read.
    bool isLoading() const { return loading_; }

    // The panel's parts, for tests and the screenshot tool.
    QLabel* titleLabel() const { return title_; }
    QLabel* coverLabel() const { return cover_; }
    QLabel* coverCaption() const { return coverCaption_; }
    QTreeWidget* items() const { return items_; }
    QLabel* totalLabel() const { return total_; }

signals:
    /// The panel now shows the report of path().
    void loaded();

private:
    struct Loaded;
    void load();
    void showReport(const QString& path, const MetadataReport& report, const QImage& thumbnail);
    void showMessage(const QString& title, const QString& message);

    QDockWidget* dock_;
    QLabel* title_;
    QLabel* subtitle_;
    QLabel* cover_;
    QLabel* coverCaption_;
    QTreeWidget* items_;
    QLabel* total_;
    QString path_;
    QString shownPath_;
    bool loading_ = false;
    quint64 request_ = 0;
    // One read at a time; a newer request makes an older result stale.
    QThreadPool reader_;
};

} // namespace cleftone
