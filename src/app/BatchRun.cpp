#include "app/BatchRun.h"

#include "app/ActivityState.h"
#include "app/OperationsArrayController.h"
#include "engine/CleftoneOperation.h"
#include "engine/ReplacementFolders.h"
#include "platform/BuildConfig.h"
#include "platform/MainThread.h"

#include <algorithm>
#include <iterator>

namespace cleftone {

BatchRun::BatchRun(OperationsArrayController& list, ActivityState& activity, TaskMeter& meter,
                   MakeOperation makeOperation, QObject* parent)
    : QObject(parent), list_(list), activity_(activity), meter_(meter),
      makeOperation_(std::move(makeOperation))
{
    operationQueue_.setMaxConcurrentOperationCount(1);
    operationQueue_.setName(QString::fromLatin1(bundleIdentifier()) + QStringLiteral(".queue"));
}

BatchRun::~BatchRun()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // Quitting never waits for the batch: waiting jobs are dropped and the running one stops at
    // its next cancellation check (its file stays as it was).
    cancelAll();
}

void BatchRun::start()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    activity_.running = true;
    failedOperations_ = 0;
    successfulOperations_ = 0;
    bytesRemoved_ = 0;
    alreadyClean_ = 0;
    activity_.cancelled = false;

    runSnapshot_ = list_.arrangedObjects();
    runFolders_ = std::make_shared<ReplacementFolders>();
    // The run's folders are flushed and removed here, on the worker, not in the window.
    auto finalizer = std::make_shared<BlockOperation>([this, folders = runFolders_] {
        folders->finish();
        postToMainThread(this, [this] { complete(); });
    });
    currentFinalizer_ = finalizer;

    emit started(runSnapshot_.size());

    queueRunFrom(0);
}

void BatchRun::queueRunFrom(qsizetype first)
{
    // A long list is queued a slice per turn of the event loop, so that pressing Strip never
    // holds the window for long. The worker starts on the first slice meanwhile; the finaliser
    // goes last. The queue is serial and starts its jobs in order, so the finaliser depends on
    // the last job only: a dependency on each of 100,000 jobs costs the window a long task.
    constexpr qsizetype kSlice = 1024;
    const auto finalizer = currentFinalizer_;
    if (!finalizer)
        return;
    const qsizetype end = std::min(first + kSlice, runSnapshot_.size());
    std::vector<std::shared_ptr<Operation>> operations;
    operations.reserve(size_t(end - first));
    for (qsizetype index = first; index < end; ++index) {
        std::shared_ptr<CleftoneOperation> operation = makeOperation_(runSnapshot_.at(index));
        std::weak_ptr<CleftoneOperation> weakOperation = operation;
        // Runs on the queue's worker before the next job starts, so results reach the main
        // thread in list order and ahead of the finaliser's end-of-run task.
        operation->setCompletionBlock([this, weakOperation] {
            if (std::shared_ptr<CleftoneOperation> finished = weakOperation.lock())
                postFinishedOperation(std::move(finished));
        });
        // Stop came while the run was still being queued: the rest is queued cancelled, so
        // it finishes at once without touching its file.
        if (activity_.cancelled)
            operation->cancel();
        operations.push_back(std::move(operation));
    }
    operationQueue_.addOperations(operations, false);
    if (end < runSnapshot_.size()) {
        postToMainThread(this, [this, end] {
            const auto start = std::chrono::steady_clock::now();
            queueRunFrom(end);
            meter_.note(start);
        });
        return;
    }
    if (!operations.empty())
        finalizer->addDependency(operations.back());
    operationQueue_.addOperation(finalizer);
}

void BatchRun::stop()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    activity_.cancelled = true;
    // From the back: the worker starts the next waiting job as soon as the running one returns,
    // and a running job may return as soon as it is cancelled.
    const std::vector<std::shared_ptr<Operation>> queued = operationQueue_.operations();
    for (auto it = queued.rbegin(); it != queued.rend(); ++it) {
        if (*it != currentFinalizer_)
            (*it)->cancel();
    }
}

void BatchRun::cancelAll()
{
    operationQueue_.cancelAllOperations();
}

bool BatchRun::holdsQueue() const
{
    return operationQueue_.operationCount() > 0 || currentFinalizer_;
}

void BatchRun::postFinishedOperation(std::shared_ptr<CleftoneOperation> operation)
{
    bool first = false;
    {
        std::lock_guard lock(handOverLock_);
        first = finishedOperations_.empty();
        finishedOperations_.push_back(std::move(operation));
    }
    // The task is posted before anything the finaliser posts later, so every result of the run
    // is handled before the run ends.
    if (first)
        postToMainThread(this, [this] { drainFinishedOperations(); });
}

void BatchRun::drainFinishedOperations()
{
    // Jobs that finish at once (missing files, a fast disk) pile up by the thousand while the
    // window draws; handling a bounded share per turn of the event loop keeps it responsive.
    constexpr std::size_t kMostPerTask = 1024;
    std::vector<std::shared_ptr<CleftoneOperation>> finished;
    bool more = false;
    {
        std::lock_guard lock(handOverLock_);
        if (finishedOperations_.size() <= kMostPerTask) {
            finished.swap(finishedOperations_);
        } else {
            const auto end = finishedOperations_.begin() + std::ptrdiff_t(kMostPerTask);
            finished.assign(std::make_move_iterator(finishedOperations_.begin()),
                            std::make_move_iterator(end));
            finishedOperations_.erase(finishedOperations_.begin(), end);
            more = true;
        }
    }
    if (more)
        postToMainThread(this, [this] { drainFinishedOperations(); });
    handleFinishedOperations(finished);
}

bool BatchRun::finishedOperationsPending()
{
    std::lock_guard lock(handOverLock_);
    return !finishedOperations_.empty();
}

void BatchRun::handleFinishedOperations(
    const std::vector<std::shared_ptr<CleftoneOperation>>& operations)
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    const auto start = std::chrono::steady_clock::now();
    QStringList done;
    for (const std::shared_ptr<CleftoneOperation>& operation : operations) {
        // A cancelled job is not counted and its file stays listed, even when it had already
        // written its output.
        if (operation->isCancelled())
            continue;
        if (operation->success()) {
            ++successfulOperations_;
            bytesRemoved_ += operation->bytesRemoved();
            alreadyClean_ += operation->leftUntouched() ? 1 : 0;
        } else
            ++failedOperations_;
        done << operation->inFilePath();
    }
    if (done.isEmpty())
        return;
    list_.removeObjects(done);
    emit listChanged();
    emit progressed();
    meter_.note(start);
}

QString BatchRun::nextPath() const
{
    if (activity_.cancelled)
        return QString();
    const qint64 index = handled();
    return index < runSnapshot_.size() ? runSnapshot_.at(index) : QString();
}

void BatchRun::complete()
{
    CLEFTONE_ASSERT_MAIN_THREAD();
    // Results still waiting are handled first: their drain task is already queued.
    if (finishedOperationsPending()) {
        postToMainThread(this, [this] { complete(); });
        return;
    }
    currentFinalizer_.reset();
    runFolders_.reset();
    activity_.running = false;
    runSnapshot_.clear();
    emit finished();
}

} // namespace cleftone
