#include "platform/OperationQueue.h"

#include "platform/MainThread.h"
#include "platform/SystemLog.h"

#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace cleftone;
using namespace std::chrono_literals;

namespace {

// Names in the order things happen; written by the worker, read once the queue is done with it.
using Journal = std::vector<std::string>;

std::shared_ptr<BlockOperation> recording(Journal& journal, const std::string& name)
{
    auto operation =
        std::make_shared<BlockOperation>([&journal, name] { journal.push_back(name); });
    operation->setCompletionBlock([&journal, name] { journal.push_back(name + " done"); });
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

} // namespace

TEST(OperationQueue, RunsOperationsInOrderOnOneThreadOfItsOwnWhileTheMainThreadWaits)
{
    OperationQueue queue("org.example.test.queue");
    std::vector<std::pair<int, std::thread::id>> runs; // written by the worker alone
    int delivered = 0;
    std::vector<std::shared_ptr<Operation>> operations;
    for (int i = 0; i < 30; ++i)
        operations.push_back(std::make_shared<BlockOperation>([&, i] {
            runs.emplace_back(i, std::this_thread::get_id());
            postToMainThread([&delivered] { ++delivered; });
        }));
    queue.addOperations(operations, false);
    queue.waitUntilAllOperationsAreFinished(); // not blocked by the posts

    ASSERT_EQ(runs.size(), 30u);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(runs[i].first, i);
        EXPECT_EQ(runs[i].second, runs.front().second);
    }
    EXPECT_NE(runs.front().second, std::this_thread::get_id());
    EXPECT_EQ(queue.operationCount(), 0u);
    EXPECT_TRUE(operations.back()->isFinished());
    EXPECT_EQ(delivered, 0); // posted, not yet run: the main thread was waiting
    EXPECT_TRUE(QTest::qWaitFor([&] { return delivered == 30; }, 5000));
}

TEST(OperationQueue, CancelledBeforeStartOnlyCompletesAndDependentsWaitForEveryDependency)
{
    OperationQueue queue;
    Journal journal;
    std::promise<void> gate;
    auto held = std::make_shared<BlockOperation>([&, open = gate.get_future().share()] {
        journal.push_back("gate");
        open.wait_for(5s);
    });
    auto first = recording(journal, "first");
    auto second = recording(journal, "second");
    auto finaliser = recording(journal, "finaliser");
    finaliser->addDependency(first);
    finaliser->addDependency(second);
    EXPECT_FALSE(finaliser->isReady());

    // The finaliser is queued before `second` but must not overtake it.
    queue.addOperation(held);
    queue.addOperations({first, finaliser, second}, false);
    first->cancel();
    EXPECT_TRUE(first->isCancelled());
    gate.set_value();
    queue.waitUntilAllOperationsAreFinished();

    EXPECT_EQ(journal, (Journal{"gate", "first done", "second", "second done", "finaliser",
                                "finaliser done"}));
    EXPECT_TRUE(first->isFinished());
    EXPECT_FALSE(first->isExecuting());
    second->cancel(); // finished: changes nothing
    EXPECT_FALSE(second->isCancelled());
}

TEST(OperationQueue, CancelAllAndTheDestructorReachTheRunningOperationAndFinishTheWaitingOnes)
{
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destructor" : "cancelAllOperations");
        auto queue = std::make_unique<OperationQueue>("doomed");
        Journal journal;
        auto running = std::make_shared<RunUntilCancelled>();
        auto started = running->started.get_future();
        auto waiting1 = recording(journal, "waiting1");
        auto waiting2 = recording(journal, "waiting2");
        queue->addOperations({running, waiting1, waiting2}, false);
        ASSERT_EQ(started.wait_for(5s), std::future_status::ready);

        if (destroy) {
            auto returned = std::make_shared<std::promise<void>>();
            std::thread([queue = queue.release(), returned] {
                delete queue;
                returned->set_value();
            }).detach();
            ASSERT_EQ(returned->get_future().wait_for(5s), std::future_status::ready);
        } else {
            EXPECT_EQ(queue->operations(),
                      (std::vector<std::shared_ptr<Operation>>{running, waiting1, waiting2}));
            EXPECT_TRUE(running->isExecuting());
            EXPECT_EQ(queue->operationCount(), 3u);
            queue->cancelAllOperations();
            queue->waitUntilAllOperationsAreFinished();
            EXPECT_EQ(queue->operationCount(), 0u);
            EXPECT_TRUE(queue->operations().empty());
        }
        EXPECT_TRUE(running->sawCancel);
        EXPECT_TRUE(running->isFinished());
        EXPECT_TRUE(waiting2->isFinished());
        EXPECT_EQ(journal, (Journal{"waiting1 done", "waiting2 done"}));
    }
}

TEST(OperationQueue, ExceptionFromAnOperationIsLoggedAndTheQueueGoesOn)
{
    SystemLogCapture capture;
    OperationQueue queue("throwing");
    Journal journal;
    auto throwing =
        std::make_shared<BlockOperation>([] { throw std::runtime_error("disk on fire"); });
    throwing->setCompletionBlock([&journal] { journal.push_back("throwing done"); });
    queue.addOperations({throwing, recording(journal, "next")}, true);

    EXPECT_EQ(journal, (Journal{"throwing done", "next", "next done"}));
    ASSERT_EQ(capture.lines().size(), 1);
    EXPECT_TRUE(capture.lines().first().contains("throwing"));
    EXPECT_TRUE(capture.lines().first().contains("disk on fire"));
}
