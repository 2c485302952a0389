#include "platform/SystemLog.h"

#include <QFile>
#include <QTemporaryFile>
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace cleftone;

TEST(SystemLog, CapturesEveryLineOfConcurrentWritersInOrderAndWritesPrefixedLinesToStandardError)
{
    {
        SystemLogCapture capture;
        auto writer = [](char name) {
            for (int i = 0; i < 50; ++i)
                systemLog(QStringLiteral("%1 %2").arg(name).arg(i));
        };
        std::thread a(writer, 'a'), b(writer, 'b');
        a.join();
        b.join();
        ASSERT_EQ(capture.lines().size(), 100);
        int next[2] = {0, 0};
        for (const QString& line : capture.lines())
            EXPECT_EQ(line.section(' ', 1).toInt(), next[line.startsWith('b')]++);
    }
    QTemporaryFile sink;
    ASSERT_TRUE(sink.open());
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(sink.handle(), STDERR_FILENO);
    systemLog(QStringLiteral("mp3val exited with status 2 for \"/t/ü.mp3\""));
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    QFile written(sink.fileName());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), "cleftone: mp3val exited with status 2 for \"/t/ü.mp3\"\n");
}
