#include "errorlog/ErrorLogStore.h"

#include <QCoreApplication>
#include <QtCore/qtestsupport_core.h>
#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

using namespace cleftone;

namespace {

const QDateTime kFirstInstant(QDate(2026, 12, 5), QTime(9, 51, 14), Qt::UTC);

// Stamps entries one second apart from kFirstInstant, given as local time one hour east of UTC.
class ErrorLogStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ErrorLogStore::setClockForTesting(
            [this] { return kFirstInstant.addSecs(ticks_++).toOffsetFromUtc(3600); });
    }
    void TearDown() override { ErrorLogStore::setClockForTesting({}); }

    int ticks_ = 0;
    ErrorLogStore store_;
};

} // namespace

// First, so that the shared store does not exist yet when the workers ask for it.
TEST(SharedErrorLogStore, IsOneMainThreadObjectWhoeverAsksFirst)
{
    std::vector<ErrorLogStore*> seen(4);
    std::latch go(4);
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back([&, i] {
            go.arrive_and_wait();
            seen[i] = &ErrorLogStore::sharedController();
        });
    for (auto& worker : workers)
        worker.join();
    ErrorLogStore& shared = ErrorLogStore::sharedController();
    EXPECT_EQ(seen, std::vector<ErrorLogStore*>(4, &shared));
    EXPECT_EQ(shared.thread(), QCoreApplication::instance()->thread());

    std::thread([] { ErrorLogStore::log("from a worker"); }).join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return shared.rowCount() == 1; }, 5000));
    EXPECT_EQ(shared.entries().last().log, "from a worker");
}

TEST_F(ErrorLogStoreTest, MainThreadMessagesAreListedAtOnceReportedInUtcAndCleared)
{
    QStringList announced;
    QObject::connect(&store_, &ErrorLogStore::messageLogged,
                     [&](const QString& text) { announced << text; });
    EXPECT_EQ(store_.errorLogAsString(), QString());
    store_.logMessage("Cleftone Failed To Strip File: a.mp3.  Error:Unable to create Parser");
    ASSERT_EQ(store_.rowCount(), 1);
    EXPECT_EQ(store_.data(store_.index(0, ErrorLogStore::DateColumn)).toDateTime(), kFirstInstant);
    store_.logMessage("tab\there\nsecond line\n");
    EXPECT_EQ(store_.errorLogAsString(),
              "2026-12-05 09:51:14 +0000\tCleftone Failed To Strip File: a.mp3.  Error:Unable to "
              "create Parser\n"
              "2026-12-05 09:51:15 +0000\ttab\there\nsecond line\n\n");
    EXPECT_EQ(announced.size(), 2);
    EXPECT_EQ(announced[1], "tab\there\nsecond line\n");

    store_.clear();
    EXPECT_EQ(store_.rowCount(), 0);
    store_.logMessage("three");
    EXPECT_EQ(store_.entries().at(0).log, "three");
}
