#include "intake/DroppedFilesParser.h"

#include "QStringPrinter.h"

#include "platform/MainThread.h"

#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

using namespace cleftone;
using namespace std::chrono_literals;

namespace {

// What the owner sees, in order; batch entries are written on the walker's thread.
struct Recorder {
    std::mutex mutex;
    QStringList events;
    std::atomic<int> finished{0};

    void add(const QString& event)
    {
        std::lock_guard lock(mutex);
        events << event;
    }
    QStringList snapshot()
    {
        std::lock_guard lock(mutex);
        return events;
    }
    void attach(CTDroppedFilesParser& parser)
    {
        parser.setOnWalkStart([this] { add(isMainThread() ? "start" : "start off main"); });
        parser.setWalkBatch([this](const QStringList& batch) {
            add((isMainThread() ? "batch on main:" : "batch:") + batch.join(','));
        });
        parser.setOnAllWalksFinished([this] {
            add(isMainThread() ? "finish" : "finish off main");
            ++finished;
        });
    }
};

// Holds batch callbacks until the test opens it, and never longer than a few seconds.
struct Gate {
    std::promise<void> promise;
    std::shared_future<void> opened = promise.get_future().share();
    std::atomic<int> entered{0};

    void pass()
    {
        ++entered;
        opened.wait_for(5s);
    }
    void open() { promise.set_value(); }
};

// Runs the main loop until every task posted before this call has run.
bool drainMainQueue()
{
    bool reached = false;
    postToMainThread([&] { reached = true; });
    return QTest::qWaitFor([&] { return reached; }, 5000);
}

} // namespace

TEST(DroppedFilesParser, EachWalkIsAnnouncedInsideSubmitWorkedOffTheMainThreadAndFinished)
{
    Recorder recorder;
    CTDroppedFilesParser parser;
    recorder.attach(parser);

    parser.submit({});
    EXPECT_FALSE(parser.walking());
    parser.submit({"/a.mp3", "/b.flac"});
    EXPECT_EQ(recorder.snapshot().value(0), "start");
    EXPECT_TRUE(parser.walking());
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.finished == 1; }, 5000));
    EXPECT_FALSE(parser.walking());

    parser.setWalkBatch({}); // an absent callback is skipped, the walk still ends
    parser.submit({"/two.mp3"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.finished == 2; }, 5000));
    ASSERT_TRUE(drainMainQueue());
    EXPECT_EQ(recorder.snapshot(),
              (QStringList{"start", "batch:/a.mp3,/b.flac", "finish", "start", "finish"}));
}

TEST(DroppedFilesParser, ListsSubmittedDuringABatchBecomeOneNextBatchAndItsTasksRunBeforeTheEnd)
{
    constexpr int tasksPerBatch = 500;
    Recorder recorder;
    Gate gate;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    int delivered = 0; // main thread only
    int deliveredAtFinish = -1;
    CTDroppedFilesParser parser;
    recorder.attach(parser);
    parser.setWalkBatch([&](const QStringList& batch) {
        if (++inside > 1)
            overlapped = true;
        recorder.add("batch:" + batch.join(','));
        gate.pass();
        for (int i = 0; i < tasksPerBatch; ++i)
            postToMainThread([&] { ++delivered; });
        --inside;
    });
    parser.setOnAllWalksFinished([&] {
        recorder.add(isMainThread() ? "finish" : "finish off main");
        deliveredAtFinish = delivered;
    });

    parser.submit({"/a"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return gate.entered == 1; }, 5000));
    parser.submit({"/b1", "/b2"});
    parser.submit({});
    parser.submit({"/c", "/b1"}); // duplicates are the batch callback's business
    EXPECT_EQ(parser.pending(), (QStringList{"/b1", "/b2", "/c", "/b1"}));
    gate.open();

    ASSERT_TRUE(QTest::qWaitFor([&] { return deliveredAtFinish >= 0; }, 5000));
    EXPECT_EQ(deliveredAtFinish, 2 * tasksPerBatch);
    EXPECT_EQ(recorder.snapshot(),
              (QStringList{"start", "batch:/a", "batch:/b1,/b2,/c,/b1", "finish"}));
    EXPECT_TRUE(parser.pending().isEmpty());
    EXPECT_FALSE(overlapped);
}

TEST(DroppedFilesParser, DestroyedDuringOrJustAfterABatchCallsNothingAfterwards)
{
    for (const bool duringBatch : {true, false}) {
        SCOPED_TRACE(duringBatch ? "during the batch" : "with its batch-done task queued");
        Recorder recorder;
        Gate gate;
        std::atomic<bool> returned{false};
        auto parser = std::make_unique<CTDroppedFilesParser>();
        recorder.attach(*parser);
        parser->setWalkBatch([&](const QStringList& batch) {
            recorder.add("batch:" + batch.join(','));
            if (duringBatch)
                gate.pass();
            returned = true;
        });

        parser->submit({"/a"});
        std::thread opener;
        if (duringBatch) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return gate.entered == 1; }, 5000));
            parser->submit({"/b"}); // never started
            opener = std::thread([&] {
                std::this_thread::sleep_for(50ms);
                gate.open();
            });
        } else {
            // Without turning the main loop, so the batch-done task stays queued.
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (!returned && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(1ms);
            ASSERT_TRUE(returned);
        }
        parser.reset(); // waits for the batch
        EXPECT_TRUE(returned);
        if (opener.joinable())
            opener.join();

        ASSERT_TRUE(drainMainQueue());
        EXPECT_EQ(recorder.snapshot(), (QStringList{"start", "batch:/a"}));
    }
}
