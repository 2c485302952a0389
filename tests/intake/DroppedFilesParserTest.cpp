#include "intake/DroppedFilesParser.h"

#include "QStringPrinter.h"

#include "platform/MainThread.h"

#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

using namespace cleftone;
using namespace std::chrono_literals;

namespace {

// What the owner sees, in order, and on which thread; batches arrive on the walker's thread.
struct Recorder {
    std::mutex mutex;
    QStringList events;

    void add(const QString& event)
    {
        std::lock_guard lock(mutex);
        events << (isMainThread() ? "main " : "") + event;
    }
    QStringList snapshot()
    {
        std::lock_guard lock(mutex);
        return events;
    }
    void attach(CTDroppedFilesParser& parser)
    {
        parser.setOnWalkStart([this] { add("start"); });
        parser.setOnAllWalksFinished([this] { add("finish"); });
    }
};

// Runs the main loop until every task posted before this call has run.
bool drainMainQueue()
{
    bool reached = false;
    postToMainThread([&] { reached = true; });
    return QTest::qWaitFor([&] { return reached; }, 5000);
}

} // namespace

TEST(DroppedFilesParser, ListsSubmittedDuringABatchBecomeOneNextBatchAndItsTasksRunBeforeTheEnd)
{
    Recorder recorder;
    std::promise<void> open;
    std::atomic<int> entered{0}, inside{0};
    std::atomic<bool> overlapped{false};
    int delivered = 0; // main thread only
    int deliveredAtFinish = -1;
    CTDroppedFilesParser parser;
    recorder.attach(parser);
    parser.setWalkBatch([&, opened = open.get_future().share()](const QStringList& batch) {
        overlapped = overlapped || ++inside > 1;
        recorder.add("batch:" + batch.join(','));
        ++entered;
        opened.wait_for(5s);
        for (int i = 0; i < 500; ++i)
            postToMainThread([&] { ++delivered; });
        --inside;
    });
    parser.setOnAllWalksFinished([&] {
        recorder.add("finish");
        deliveredAtFinish = delivered;
    });

    parser.submit({"/a"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return entered == 1; }, 5000));
    parser.submit({"/b1", "/b2"});
    parser.submit({});
    parser.submit({"/c", "/b1"}); // duplicates are the batch callback's business
    EXPECT_EQ(parser.pending(), (QStringList{"/b1", "/b2", "/c", "/b1"}));
    open.set_value();

    ASSERT_TRUE(QTest::qWaitFor([&] { return deliveredAtFinish >= 0; }, 5000));
    EXPECT_EQ(deliveredAtFinish, 1000);
    EXPECT_EQ(recorder.snapshot(),
              (QStringList{"main start", "batch:/a", "batch:/b1,/b2,/c,/b1", "main finish"}));
    EXPECT_FALSE(overlapped);
}

TEST(DroppedFilesParser, DestroyedDuringOrJustAfterABatchCallsNothingAfterwards)
{
    for (const bool duringBatch : {true, false}) {
        SCOPED_TRACE(duringBatch ? "during the batch" : "with its batch-done task queued");
        Recorder recorder;
        std::atomic<bool> entered{false}, open{false}, returned{false};
        auto parser = std::make_unique<CTDroppedFilesParser>();
        recorder.attach(*parser);
        parser->setWalkBatch([&](const QStringList& batch) {
            recorder.add("batch:" + batch.join(','));
            entered = true;
            for (int i = 0; duringBatch && !open && i < 5000; ++i)
                std::this_thread::sleep_for(1ms);
            returned = true;
        });

        parser->submit({"/a"});
        // Without turning the main loop, so the batch-done task stays queued.
        for (int i = 0; !(duringBatch ? entered : returned) && i < 5000; ++i)
            std::this_thread::sleep_for(1ms);
        if (duringBatch)
            parser->submit({"/b"}); // never started
        std::thread opener([&] {
            std::this_thread::sleep_for(50ms);
            open = true;
        });
        parser.reset(); // waits for the batch
        EXPECT_TRUE(returned);
        opener.join();
        ASSERT_TRUE(drainMainQueue());
        EXPECT_EQ(recorder.snapshot(), (QStringList{"main start", "batch:/a"}));
    }
}
