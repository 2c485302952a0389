#include "platform/OperationQueue.h"

#include "platform/MainThread.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace cleftone;
using namespace std::chrono_literals;

namespace {

// Records names in the order things happen, from any thread.
class Journal {
public:
    void add(const std::string& entry)
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    std::vector<std::string> entries() const
    {
        std::lock_guard lock(mutex_);
        return entries_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

std::shared_ptr<BlockOperation> recording(Journal& journal, const std::string& name)
{
    auto operation = std::make_shared<BlockOperation>([&journal, name] { journal.add(name); });
    operation->setCompletionBlock([&journal, name] { journal.add(name + " done"); });
    return operation;
}

// Runs until cancelled, as a strip job checks between blocks; gives up after a few seconds so
// that a broken cancel fails the test instead of hanging it.
class RunUntilCancelled : public Operation {
public:
    std::promise<void> started;
    std::atomic<bool> sawCancel{false};

protected:
    void main() override
    {
        started.set_value();
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!isCancelled() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        sawCancel = isCancelled();
    }
};

// Holds the queue's worker until open() is called.
struct Gate {
    std::promise<void> promise;
    std::shared_future<void> future = promise.get_future().share();
    std::shared_ptr<BlockOperation> operation(Journal& journal)
    {
        auto f = future;
        return std::make_shared<BlockOperation>([f, &journal] {
            journal.add("gate");
            f.wait_for(5s);
        });
    }
    void open() { promise.set_value(); }
};

// Runs `work` on a thread of its own; false when it has not returned within the limit.
bool returnsWithin(std::function<void()> work, std::chrono::seconds limit)
{
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    std::thread([work = std::move(work), done] {
        work();
        done->set_value();
    }).detach();
    return future.wait_for(limit) == std::future_status::ready;
}

} // namespace

TEST(OperationQueue, RunsOperationsOneAtATimeInOrderOnItsOwnThread)
{
    OperationQueue queue("org.example.test.queue");
    queue.setMaxConcurrentOperationCount(1);
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;

    std::vector<std::shared_ptr<Operation>> operations;
    for (int i = 0; i < 30; ++i) {
        operations.push_back(std::make_shared<BlockOperation>([&, i] {
            if (++running > 1)
                overlapped = true;
            std::this_thread::yield();
            {
                std::lock_guard lock(mutex);
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            }
            --running;
        }));
    }
    queue.addOperations(operations, true);

    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 30u);
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(order[i], i);
    for (const auto& id : threads) {
        EXPECT_EQ(id, threads.front());
        EXPECT_NE(id, std::this_thread::get_id());
    }
    EXPECT_EQ(queue.operationCount(), 0u);
    EXPECT_TRUE(operations.back()->isFinished());
}

TEST(OperationQueue, CancelledBeforeStartSkipsMainButFinishesAndCompletes)
{
    OperationQueue queue;
    Journal journal;
    Gate gate;
    auto cancelled = recording(journal, "cancelled");
    auto after = recording(journal, "after");
    queue.addOperation(gate.operation(journal));
    queue.addOperations({cancelled, after}, false);

    cancelled->cancel();
    EXPECT_TRUE(cancelled->isCancelled());
    gate.open();
    queue.waitUntilAllOperationsAreFinished();

    EXPECT_EQ(journal.entries(),
              (std::vector<std::string>{"gate", "cancelled done", "after", "after done"}));
    EXPECT_TRUE(cancelled->isFinished());
    EXPECT_FALSE(cancelled->isExecuting());
    // Cancelling a finished operation changes nothing.
    after->cancel();
    EXPECT_FALSE(after->isCancelled());
}

TEST(OperationQueue, DependentWaitsForDependenciesEvenCancelledOnesAndTheirCompletions)
{
    OperationQueue queue;
    Journal journal;
    Gate gate;
    auto first = recording(journal, "first");
    auto second = recording(journal, "second");
    auto finaliser = recording(journal, "finaliser");
    finaliser->addDependency(first);
    finaliser->addDependency(second);
    EXPECT_FALSE(finaliser->isReady());

    // The finaliser is queued before `second` but must not overtake it.
    queue.addOperation(gate.operation(journal));
    queue.addOperations({first, finaliser, second}, false);
    first->cancel();
    gate.open();
    queue.waitUntilAllOperationsAreFinished();

    EXPECT_EQ(journal.entries(),
              (std::vector<std::string>{"gate", "first done", "second", "second done", "finaliser",
                                        "finaliser done"}));
}

TEST(OperationQueue, CancelAllReachesTheRunningOperationAndFinishesTheWaitingOnes)
{
    OperationQueue queue;
    Journal journal;
    auto running = std::make_shared<RunUntilCancelled>();
    auto started = running->started.get_future();
    auto waiting1 = recording(journal, "waiting1");
    auto waiting2 = recording(journal, "waiting2");
    queue.addOperations({running, waiting1, waiting2}, false);
    ASSERT_EQ(started.wait_for(5s), std::future_status::ready);

    const auto listed = queue.operations();
    EXPECT_EQ(listed, (std::vector<std::shared_ptr<Operation>>{running, waiting1, waiting2}));
    EXPECT_TRUE(running->isExecuting());
    EXPECT_EQ(queue.operationCount(), 3u);

    queue.cancelAllOperations();
    queue.waitUntilAllOperationsAreFinished();

    EXPECT_TRUE(running->sawCancel);
    EXPECT_TRUE(running->isFinished());
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"waiting1 done", "waiting2 done"}));
    EXPECT_EQ(queue.operationCount(), 0u);
    EXPECT_TRUE(queue.operations().empty());
}

TEST(OperationQueue, DestructorCancelsAndReturnsWhileWorkIsPending)
{
    auto* queue = new OperationQueue("doomed");
    auto journal = std::make_shared<Journal>();
    auto running = std::make_shared<RunUntilCancelled>();
    auto started = running->started.get_future();
    auto pending = recording(*journal, "pending");
    queue->addOperations({running, pending}, false);
    ASSERT_EQ(started.wait_for(5s), std::future_status::ready);

    ASSERT_TRUE(returnsWithin([queue] { delete queue; }, 5s));
    EXPECT_TRUE(running->sawCancel);
    EXPECT_TRUE(pending->isFinished());
    EXPECT_EQ(journal->entries(), std::vector<std::string>{"pending done"});
}

TEST(OperationQueue, WaitingOnTheMainThreadDoesNotBlockOperationsThatPostToIt)
{
    OperationQueue queue;
    int delivered = 0;
    std::vector<std::shared_ptr<Operation>> operations;
    for (int i = 0; i < 5; ++i) {
        operations.push_back(std::make_shared<BlockOperation>(
            [&delivered] { postToMainThread([&delivered] { ++delivered; }); }));
    }
    queue.addOperations(operations, false);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(delivered, 0); // posted, not yet run: the main thread was waiting
    EXPECT_TRUE(QTest::qWaitFor([&] { return delivered == 5; }, 5000));
}

TEST(OperationQueue, ExceptionFromAnOperationIsLoggedAndTheQueueGoesOn)
{
    SystemLogCapture capture;
    OperationQueue queue("throwing");
    Journal journal;
    auto throwing =
        std::make_shared<BlockOperation>([] { throw std::runtime_error("disk on fire"); });
    throwing->setCompletionBlock([&journal] { journal.add("throwing done"); });
    queue.addOperations({throwing, recording(journal, "next")}, true);

    EXPECT_EQ(journal.entries(), (std::vector<std::string>{"throwing done", "next", "next done"}));
    ASSERT_EQ(capture.lines().size(), 1);
    EXPECT_TRUE(capture.lines().first().contains("throwing"));
    EXPECT_TRUE(capture.lines().first().contains("disk on fire"));
}
