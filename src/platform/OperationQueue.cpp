#include "platform/OperationQueue.h"

#include "platform/SystemLog.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <optional>
#include <pthread.h>
#include <stdexcept>
#include <thread>

namespace cleftone {

// ---------------------------------------------------------------------------------------------
// Operation

Operation::~Operation() = default;

void Operation::start()
{
    unsigned state = state_.load();
    unsigned started;
    do {
        if (state & Started)
            return;
        started = state | Started;
        if (!(state & Cancelled))
            started |= Executing;
    } while (!state_.compare_exchange_weak(state, started));

    if (started & Executing) {
        try {
            main();
        } catch (...) {
            finish();
            throw;
        }
    }
    finish();
}

void Operation::finish()
{
    unsigned state = state_.load();
    while (!state_.compare_exchange_weak(state, (state & ~unsigned(Executing)) | Finished)) {
    }

    std::function<void()> completion;
    {
        std::lock_guard lock(mutex_);
        completion.swap(completionBlock_);
    }

    // Dependents must be released even when the completion block throws, or they would wait
    // for ever.
    struct Settle {
        Operation* operation;
        ~Settle()
        {
            {
                std::lock_guard lock(operation->mutex_);
                operation->state_.fetch_or(Done);
            }
            operation->doneCondition_.notify_all();
            operation->notifyObservers(true);
        }
    } settle{this};

    if (completion)
        completion();
}

void Operation::cancel()
{
    unsigned state = state_.load();
    do {
        if (state & (Cancelled | Finished))
            return;
    } while (!state_.compare_exchange_weak(state, state | Cancelled));
    notifyObservers(false);
}

bool Operation::isCancelled() const
{
    return state_.load() & Cancelled;
}

bool Operation::isExecuting() const
{
    return state_.load() & Executing;
}

bool Operation::isFinished() const
{
    return state_.load() & Finished;
}

bool Operation::isDone() const
{
    return state_.load() & Done;
}

bool Operation::isReady() const
{
    if (isCancelled())
        return true;
    std::lock_guard lock(mutex_);
    return std::all_of(dependencies_.begin(), dependencies_.end(),
                       [](const auto& dependency) { return dependency->isDone(); });
}

void Operation::setCompletionBlock(std::function<void()> block)
{
    std::lock_guard lock(mutex_);
    completionBlock_ = std::move(block);
}

void Operation::addDependency(std::shared_ptr<Operation> operation)
{
    if (!operation || operation.get() == this)
        return;
    std::lock_guard lock(mutex_);
    dependencies_.push_back(std::move(operation));
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const
{
    std::lock_guard lock(mutex_);
    return dependencies_;
}

void Operation::waitUntilFinished() const
{
    std::unique_lock lock(mutex_);
    doneCondition_.wait(lock, [this] { return isDone(); });
}

void Operation::addObserver(std::function<void()> observer)
{
    {
        std::lock_guard lock(mutex_);
        if (!isDone()) {
            observers_.push_back(std::move(observer));
            return;
        }
    }
    observer();
}

void Operation::notifyObservers(bool last)
{
    std::vector<std::function<void()>> observers;
    {
        std::lock_guard lock(mutex_);
        if (last)
            observers.swap(observers_);
        else
            observers = observers_;
    }
    for (const auto& observer : observers)
        observer();
}

void BlockOperation::main()
{
    if (block_)
        block_();
}

// ---------------------------------------------------------------------------------------------
// OperationQueue

struct OperationQueue::State {
    mutable std::mutex mutex;
    std::condition_variable workChanged;  // an operation was added or may have become ready
    std::condition_variable queueChanged; // an operation left the queue
    // Operations leave from the front as a serial queue works them off.
    std::deque<std::shared_ptr<Operation>> operations;
    std::thread worker;
    QString name;
    int maxConcurrentOperationCount = 1;
    bool stopping = false;

    void wake()
    {
        std::lock_guard lock(mutex);
        workChanged.notify_all();
    }
};

OperationQueue::OperationQueue(const QString& name) : state_(std::make_shared<State>())
{
    state_->name = name;
}

OperationQueue::~OperationQueue()
{
    {
        // From here on an operation added by a running one is cancelled as it arrives.
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    cancelAllOperations();
    std::thread worker;
    {
        std::lock_guard lock(state_->mutex);
        worker.swap(state_->worker);
        state_->workChanged.notify_all();
    }
    if (!worker.joinable())
        return;
    // The last owner may let go of the queue from inside one of its own operations; the worker
    // then finishes what is left on its own. It keeps the state alive by itself.
    if (worker.get_id() == std::this_thread::get_id())
        worker.detach();
    else
        worker.join();
}

void OperationQueue::setName(const QString& name)
{
    std::lock_guard lock(state_->mutex);
    state_->name = name;
}

QString OperationQueue::name() const
{
    std::lock_guard lock(state_->mutex);
    return state_->name;
}

void OperationQueue::setMaxConcurrentOperationCount(int count)
{
    std::lock_guard lock(state_->mutex);
    state_->maxConcurrentOperationCount = count;
}

int OperationQueue::maxConcurrentOperationCount() const
{
    std::lock_guard lock(state_->mutex);
    return state_->maxConcurrentOperationCount;
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation)
{
    if (!operation)
        return;
    enqueue({std::move(operation)});
}

void OperationQueue::enqueue(const std::vector<std::shared_ptr<Operation>>& operations)
{
    for (const auto& operation : operations) {
        if (operation && operation->isFinished())
            throw std::invalid_argument("operation has already finished");
    }
    std::vector<std::shared_ptr<Operation>> accepted;
    accepted.reserve(operations.size());
    for (const auto& operation : operations) {
        if (!operation)
            continue;
        if (operation->enqueued_.exchange(true))
            throw std::invalid_argument("operation is already in a queue");
        accepted.push_back(operation);
    }

    // The worker has to look again whenever an operation is cancelled or one of its
    // dependencies is done, wherever that happens. Observers are registered without the queue
    // lock, because an operation that is already done calls its observer at once.
    const std::weak_ptr<State> weakState = state_;
    const auto wake = [weakState] {
        if (auto state = weakState.lock())
            state->wake();
    };
    for (const auto& operation : accepted) {
        operation->addObserver(wake);
        for (const auto& dependency : operation->dependencies())
            dependency->addObserver(wake);
    }

    bool cancelNow = false;
    {
        // One lock and one wake-up for the whole batch: a run of many files is queued at once
        // without handing the lock back and forth with a worker that is already busy.
        std::lock_guard lock(state_->mutex);
        cancelNow = state_->stopping;
        state_->operations.insert(state_->operations.end(), accepted.begin(), accepted.end());
        if (!state_->worker.joinable() && !state_->stopping)
            state_->worker = std::thread(&OperationQueue::runWorker, state_);
        state_->workChanged.notify_all();
    }
    if (cancelNow) {
        for (const auto& operation : accepted)
            operation->cancel();
    }
}

void OperationQueue::addOperations(const std::vector<std::shared_ptr<Operation>>& operations,
                                   bool waitUntilFinished)
{
    enqueue(operations);
    if (!waitUntilFinished)
        return;
    // Wait until they have left the queue, not only until they are done, so that the caller
    // finds them gone from operations().
    std::unique_lock lock(state_->mutex);
    state_->queueChanged.wait(lock, [&] {
        const auto& queued = state_->operations;
        return std::none_of(operations.begin(), operations.end(), [&](const auto& operation) {
            return std::find(queued.begin(), queued.end(), operation) != queued.end();
        });
    });
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const
{
    std::lock_guard lock(state_->mutex);
    return {state_->operations.begin(), state_->operations.end()};
}

std::size_t OperationQueue::operationCount() const
{
    std::lock_guard lock(state_->mutex);
    return state_->operations.size();
}

void OperationQueue::cancelAllOperations()
{
    // Latest first: the running operation may return as soon as it sees its flag, and the
    // worker must not find an earlier one still uncancelled by then. Not under the queue lock,
    // because cancel() calls the queue's observer, which takes it.
    const auto queued = operations();
    for (auto it = queued.rbegin(); it != queued.rend(); ++it)
        (*it)->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished()
{
    std::unique_lock lock(state_->mutex);
    state_->queueChanged.wait(lock, [this] { return state_->operations.empty(); });
}

void OperationQueue::runWorker(const std::shared_ptr<State>& sharedState)
{
    // The worker owns a reference of its own, so that the state outlives a queue destroyed from
    // inside one of its operations.
    const std::shared_ptr<State> state = sharedState;
    std::unique_lock lock(state->mutex);
    if (!state->name.isEmpty()) {
        // Thread names are limited to 15 bytes.
        pthread_setname_np(pthread_self(), state->name.toUtf8().left(15).constData());
    }

    for (;;) {
        std::shared_ptr<Operation> next;
        for (const auto& operation : state->operations) {
            if (operation->isReady()) {
                next = operation;
                break;
            }
        }
        if (!next) {
            if (state->stopping && state->operations.empty())
                return;
            state->workChanged.wait(lock);
            continue;
        }

        lock.unlock();
        std::optional<QString> failure;
        try {
            next->start();
        } catch (const std::exception& error) {
            failure = QString::fromLocal8Bit(error.what());
        } catch (...) {
            failure = QStringLiteral("unknown exception");
        }
        lock.lock();
        if (failure) {
            systemLog(QStringLiteral("An operation of queue %1 ended with an exception: %2")
                          .arg(state->name, *failure));
        }

        auto& operations = state->operations;
        operations.erase(std::find(operations.begin(), operations.end(), next));
        state->queueChanged.notify_all();
        // The operation may be destroyed here; its destructor must not run under the lock.
        lock.unlock();
        next.reset();
        lock.lock();
    }
}

} // namespace cleftone
