#pragma once

#include "platform/OperationQueue.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace cleftone {

struct ActivityState;
class CleftoneOperation;
class ReplacementFolders;
class OperationsArrayController;
class TaskMeter;

/// One strip run over the listed files: snapshots the list, queues a job per file on the serial
/// queue (a slice per turn of the event loop) followed by a finaliser, takes the finished jobs
/// back on the main thread, removes the handled files from the list and counts them, and ends
/// when the finaliser has run. Stop cancels the waiting jobs from the back. Presents nothing:
/// the window follows its signals.
///
/// Threads: main thread only. The queue's worker runs the jobs and their completion blocks,
/// which hand the jobs over through a lock.
class BatchRun : public QObject {
    Q_OBJECT

public:
    using MakeOperation = std::function<std::shared_ptr<CleftoneOperation>(const QString& path)>;

    /// All references must outlive this object.
    BatchRun(OperationsArrayController& list, ActivityState& activity, TaskMeter& meter,
             MakeOperation makeOperation, QObject* parent = nullptr);
    /// Drops the waiting jobs and waits only for the running job to notice.
    ~BatchRun() override;

    /// Starts a run over the files listed now; emits started() before queueing anything.
    void start();
    /// Cancels the run's waiting and running jobs, from the back; never the finaliser.
    void stop();
    /// Cancels everything on the queue (quitting).
    void cancelAll();
    /// Counts the finished jobs, in order, and removes the handled files from the list.
    /// Cancelled jobs are not counted and their files stay listed.
    void
    handleFinishedOperations(const std::vector<std::shared_ptr<CleftoneOperation>>& operations);
    /// Ends the run: the finaliser's task. Emits finished().
    void complete();

    /// True while the queue holds jobs or a run has not ended (it may be between two slices
    /// with the queue empty for a moment).
    bool holdsQueue() const;
    OperationQueue& operationQueue() { return operationQueue_; }
    std::shared_ptr<Operation> currentFinalizer() const { return currentFinalizer_; }
    qint64 failedOperations() const { return failedOperations_; }
    qint64 successfulOperations() const { return successfulOperations_; }
    /// By the successful jobs of the current (or last) run.
    qint64 bytesRemoved() const { return bytesRemoved_; }
    /// Successful jobs of the current (or last) run that left a clean file as it was.
    qint64 alreadyClean() const { return alreadyClean_; }
    /// Jobs of the run handled so far.
    qint64 handled() const { return failedOperations_ + successfulOperations_; }
    /// The file the run works on next; empty once stopping or when none is left.
    QString nextPath() const;
    /// The running batch's shared replacement folders, for its jobs; null between runs.
    const std::shared_ptr<ReplacementFolders>& replacementFolders() const { return runFolders_; }

signals:
    /// A run started over `total` files.
    void started(qsizetype total);
    /// Handled files left the list.
    void listChanged();
    /// handled() or nextPath() changed.
    void progressed();
    /// The run ended; the counts are final.
    void finished();

private:
    void queueRunFrom(qsizetype first);
    void postFinishedOperation(std::shared_ptr<CleftoneOperation> operation);
    void drainFinishedOperations();
    bool finishedOperationsPending();

    OperationsArrayController& list_;
    ActivityState& activity_;
    TaskMeter& meter_;
    MakeOperation makeOperation_;

    qint64 failedOperations_ = 0;
    qint64 successfulOperations_ = 0;
    qint64 bytesRemoved_ = 0;
    qint64 alreadyClean_ = 0;
    std::shared_ptr<Operation> currentFinalizer_;
    /// The running batch's shared replacement folders; finished by the finaliser on the worker.
    std::shared_ptr<ReplacementFolders> runFolders_;
    QStringList runSnapshot_;
    // Hand-over from the worker: results wait here, and one task posted when the first of them
    // arrives takes all that have gathered by the time it runs. A burst of thousands of quick
    // results is then a few short main-thread tasks instead of thousands that the event loop
    // would work off in one long stretch.
    std::mutex handOverLock_;
    std::vector<std::shared_ptr<CleftoneOperation>> finishedOperations_;
    // Declared last so that it goes first: its worker still posts to this object while it
    // winds down.
    OperationQueue operationQueue_;
};

} // namespace cleftone
