#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace cleftone {

/// A unit of work run once, normally by an OperationQueue on its worker thread.
///
/// Life of an operation: waiting → executing (main() runs) → finished. An operation cancelled
/// before it starts never runs main() but still finishes, and its completion block still runs.
/// Cancelling a running operation only raises the flag: main() is expected to look at
/// isCancelled() and stop early. Cancelling a finished operation has no effect.
///
/// Threads: cancel(), isCancelled(), isExecuting(), isFinished(), isReady(), dependencies() and
/// waitUntilFinished() may be called from any thread at any time. setCompletionBlock() and
/// addDependency() configure the operation and belong before it is queued or started.
class Operation : public std::enable_shared_from_this<Operation> {
public:
    Operation() = default;
    virtual ~Operation();
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    /// Runs the operation on the calling thread: main() unless the operation is already
    /// cancelled, then marks it finished and runs the completion block. Only the first call has
    /// an effect. If main() throws, the operation still finishes (completion block included)
    /// and the exception is passed on. A queue calls this; do not call it on a queued operation.
    void start();

    /// Raises the cancellation flag, unless the operation has finished. Also makes a waiting
    /// operation ready at once: a cancelled operation no longer waits for its dependencies.
    void cancel();

    bool isCancelled() const;
    /// True while main() runs.
    bool isExecuting() const;
    /// True once main() returned (or was skipped because of cancellation).
    bool isFinished() const;
    /// True when the operation is cancelled or every dependency is done, that is finished with
    /// its completion block run, whether it succeeded or was cancelled.
    bool isReady() const;

    /// Called on the thread that ran the operation, after it finished, also when it was
    /// cancelled before it started. It is released after it ran, so it may capture the
    /// operation strongly without keeping it alive for ever.
    void setCompletionBlock(std::function<void()> block);

    /// This operation will not start before `operation` is done. Dependencies are kept.
    void addDependency(std::shared_ptr<Operation> operation);
    std::vector<std::shared_ptr<Operation>> dependencies() const;

    /// Blocks until the operation is done (finished and its completion block run). Must not be
    /// called from the thread that is to run it.
    void waitUntilFinished() const;

protected:
    /// The work. The default does nothing.
    virtual void main() {}

private:
    friend class OperationQueue;

    enum StateBit : unsigned {
        Started = 1u << 0,
        Cancelled = 1u << 1,
        Executing = 1u << 2,
        Finished = 1u << 3,
        Done = 1u << 4, // finished and completion block run: dependents may start
    };

    bool isDone() const;
    void finish();
    /// `observer` is called (on an arbitrary thread, without locks of this operation held) each
    /// time the operation may have become ready or done: after cancel() and once it is done.
    void addObserver(std::function<void()> observer);
    void notifyObservers(bool last);

    std::atomic<unsigned> state_{0};
    std::atomic<bool> enqueued_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable doneCondition_;
    std::function<void()> completionBlock_;
    std::vector<std::shared_ptr<Operation>> dependencies_;
    std::vector<std::function<void()>> observers_;
};

/// An operation whose work is one function.
class BlockOperation : public Operation {
public:
    explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}

protected:
    void main() override;

private:
    std::function<void()> block_;
};

/// A serial queue of operations with one worker thread of its own, started when the first
/// operation arrives.
///
/// Operations run one at a time. The next one is the earliest added that is ready (all its
/// dependencies done, or itself cancelled). An operation's completion block runs on the worker
/// before the next operation starts, so anything it posts to the main thread is posted before
/// anything a later operation of this queue posts.
///
/// An exception escaping an operation is written to the system log; the queue goes on.
///
/// Threads: every member may be called from any thread, except that
/// waitUntilAllOperationsAreFinished() and addOperations(…, true) must not be called from the
/// worker (an operation or completion block of this queue) nor from a thread that a queued
/// operation waits for — for example the main thread while an operation blocks until the main
/// thread answers. Operations that only post to the main thread without waiting are fine.
class OperationQueue {
public:
    explicit OperationQueue(const QString& name = QString());
    /// Cancels every operation, lets the running one return (it should see isCancelled()),
    /// finishes the waiting ones without running them, and joins the worker thread.
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    void setName(const QString& name);
    QString name() const;

    /// The queue is serial: the count is kept and reported, but operations always run one at a
    /// time whatever it is set to.
    void setMaxConcurrentOperationCount(int count);
    int maxConcurrentOperationCount() const;

    /// Queues `operation`. An operation belongs to one queue once; adding it again, or adding a
    /// finished one, throws std::invalid_argument.
    void addOperation(std::shared_ptr<Operation> operation);
    /// Queues `operations` in order, then, when `waitUntilFinished`, blocks until each is done
    /// and has left the queue.
    void addOperations(const std::vector<std::shared_ptr<Operation>>& operations,
                       bool waitUntilFinished);

    /// The operations waiting and the one running, in the order they were added. To cancel
    /// several of them, cancel from the back: the worker starts the next ready operation as
    /// soon as the running one returns, and a running one may return as soon as it is cancelled.
    std::vector<std::shared_ptr<Operation>> operations() const;
    std::size_t operationCount() const;

    /// Cancels every queued operation, the running one last.
    void cancelAllOperations();
    /// Blocks until the queue is empty. See the class comment for the threads it must not be
    /// called from.
    void waitUntilAllOperationsAreFinished();

private:
    struct State;
    void enqueue(const std::vector<std::shared_ptr<Operation>>& operations);
    static void runWorker(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
};

} // namespace cleftone
