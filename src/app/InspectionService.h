#pragma once

#include "app/OperationsArrayController.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace cleftone {

struct MetadataReport;
class TaskMeter;

/// Fills the list's metadata column in the background. Intake hands it the paths it listed;
/// worker threads of its own inspect them in that order, several at a time, and the results go
/// to the list on the main thread in batches, where each lands on its row by path (results of
/// rows removed meanwhile are dropped). Removing rows forgets their waiting paths.
///
/// Threads: construct, destroy and call on the main thread; the workers only inspect.
class InspectionService : public QObject {
    Q_OBJECT

public:
    /// How one file is inspected; any thread.
    using Inspect = std::function<FileMetadata(const QString& path)>;

    /// `list` and `meter` must outlive this object. `inspect` empty: inspectFile(). `workers`
    /// 0: one per processor, at most two, so that the window and a walk keep a core.
    InspectionService(OperationsArrayController& list, TaskMeter& meter, Inspect inspect = {},
                      int workers = 0, QObject* parent = nullptr);
    /// Drops what waits and waits for the inspections in progress.
    ~InspectionService() override;

    /// Queues listed paths behind those waiting. Paths not listed are ignored.
    void inspect(const QStringList& paths);
    /// While paused no inspection starts; a strip run has the disk to itself.
    void setPaused(bool paused);
    /// Paths waiting for a worker.
    qsizetype waiting() const;

    /// The column's view of a report.
    static FileMetadata metadataFrom(const MetadataReport& report);
    /// inspectMetadata() of the file, as the column shows it. Any thread.
    static FileMetadata inspectFile(const QString& path);

private:
    void forget(const QStringList& paths);
    void forgetAll();
    void workerLoop();
    void postResult(MetadataResult result);
    void drainResults();

    OperationsArrayController& list_;
    TaskMeter& meter_;
    const Inspect inspect_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<QString> queue_;
    // The serial each waiting path is listed under; a path without one is no longer wanted.
    QHash<QString, quint64> wanted_;
    bool paused_ = false;
    bool stopping_ = false;

    // Hand-over to the main thread: one task posted for the first waiting result takes all
    // that gathered by the time it runs.
    std::mutex handOverLock_;
    std::vector<MetadataResult> results_;
    std::vector<std::thread> workers_;
};

} // namespace cleftone
