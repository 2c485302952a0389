#include "platform/MainThread.h"

#include <QObject>
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace cleftone;

TEST(MainThread, TasksFromAWorkerRunOnTheMainThreadInPostingOrderUnlessTheirContextDied)
{
    std::vector<int> order, expected;
    bool allOnMain = true;
    QObject context;
    auto* doomed = new QObject;
    std::thread([&] {
        EXPECT_FALSE(isMainThread());
        for (int i = 0; i < 200; ++i) {
            auto task = [&, i] {
                allOnMain = allOnMain && isMainThread();
                order.push_back(i);
            };
            if (i % 3 == 0)
                postToMainThread(task);
            else
                postToMainThread(i % 3 == 1 ? &context : doomed, task);
            if (i % 3 != 2)
                expected.push_back(i);
        }
    }).join();
    delete doomed;
    EXPECT_TRUE(order.empty()); // nothing runs before the main thread's loop turns
    ASSERT_TRUE(QTest::qWaitFor([&] { return !order.empty() && order.back() == 199; }, 5000));
    EXPECT_EQ(order, expected);
    EXPECT_TRUE(allOnMain && isMainThread());
}
