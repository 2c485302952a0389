#include "platform/MainThread.h"

#include <QObject>
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace cleftone;

TEST(MainThread, TasksFromAWorkerRunOnTheMainThreadInPostingOrder)
{
    std::vector<int> order;
    bool allOnMain = true;
    std::thread worker([&] {
        EXPECT_FALSE(isMainThread());
        for (int i = 0; i < 200; ++i) {
            postToMainThread([&, i] {
                allOnMain = allOnMain && isMainThread();
                order.push_back(i);
            });
        }
    });
    worker.join();
    EXPECT_TRUE(order.empty()); // nothing runs before the main thread's loop turns
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 200; }, 5000));
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_TRUE(allOnMain);
    EXPECT_TRUE(isMainThread());
}

TEST(MainThread, TasksWithAContextKeepTheCommonOrderAndDieWithIt)
{
    std::vector<char> order;
    QObject context;
    auto* doomed = new QObject;
    std::thread worker([&] {
        postToMainThread([&] { order.push_back('a'); });
        postToMainThread(&context, [&] { order.push_back('b'); });
        postToMainThread(doomed, [&] { order.push_back('x'); });
        postToMainThread([&] { order.push_back('c'); });
    });
    worker.join();
    delete doomed;
    ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() >= 3; }, 5000));
    EXPECT_EQ(order, (std::vector<char>{'a', 'b', 'c'}));
}
