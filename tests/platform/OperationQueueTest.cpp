#include "platform/OperationQueue.h"

#include "platform/MainThread.h"
#include "platform/SystemLog.h"

#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>

using namespace cleftone;
using namespace std::chrono_literals;

namespace {

// Names in the order things happen; written by the worker, read once the queue is done with it.
using Journal = std::vector<std::string>;

std::shared_ptr<BlockOperation> recording(Journal& journal, const std::string& name,
                                          std::function<void()> body = {})
{
    auto operation = std::make_shared<BlockOperation>([&journal, name, body] {
        journal.push_back(name);
        if (body)
            body();
    });
    operation->setCompletionBlock([&journal, name] { journal.push_back(name + " done"); });
    return operation;
}

// Runs until cancelled, as a strip job checks between blocks, and gives up after five seconds.
class RunUntilCancelled : public Operation {
public:
    std::promise<void> started;
    std::atomic<bool> sawCancel{false};

protected:
    void main() override
    {
        started.set_value();
        for (int i = 0; !isCancelled() && i < 5000; ++i)
            std::this_thread::sleep_for(1ms);
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
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(runs[i], std::make_pair(i, runs.front().second));
    EXPECT_NE(runs.front().second, std::this_thread::get_id());
    EXPECT_EQ(delivered, 0); // posted, not yet run: the main thread was waiting
    EXPECT_TRUE(QTest::qWaitFor([&] { return delivered == 30; }, 5000));
}

TEST(OperationQueue, CancelledBeforeStartOnlyCompletesDependentsWaitAndExceptionsAreLogged)
{
    SystemLogCapture capture;
    OperationQueue queue("throwing");
    Journal journal;
    std::promise<void> gate;
    auto held = recording(journal, "gate", [open = gate.get_future().share()] {
        open.wait_for(5s);
        throw std::runtime_error("disk on fire");
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
    EXPECT_THROW(queue.addOperation(second), std::invalid_argument); // queued already
    first->cancel();
    EXPECT_TRUE(first->isCancelled());
    gate.set_value();
    queue.waitUntilAllOperationsAreFinished();

    EXPECT_EQ(journal, (Journal{"gate", "gate done", "first done", "second", "second done",
                                "finaliser", "finaliser done"}));
    EXPECT_TRUE(first->isFinished());
    second->cancel(); // finished: changes nothing
    EXPECT_FALSE(second->isCancelled());
    ASSERT_EQ(capture.lines().size(), 1);
    EXPECT_TRUE(capture.lines()[0].contains("throwing") && capture.lines()[0].contains("on fire"));
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
            auto returned = std::async(std::launch::async, [&] { queue.reset(); });
            ASSERT_EQ(returned.wait_for(5s), std::future_status::ready);
        } else {
            EXPECT_EQ(queue->operationCount(), 3u);
            queue->cancelAllOperations();
            queue->waitUntilAllOperationsAreFinished();
            EXPECT_TRUE(queue->operations().empty());
        }
        EXPECT_TRUE(running->sawCancel);
        EXPECT_TRUE(waiting2->isFinished());
        EXPECT_EQ(journal, (Journal{"waiting1 done", "waiting2 done"}));
    }
}
