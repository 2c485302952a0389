#include "platform/SystemLog.h"

#include <QFile>
#include <QTemporaryFile>
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace cleftone;

TEST(SystemLog, CapturesEveryLineOfConcurrentWritersInEachWritersOrder)
{
    SystemLogCapture capture;
    auto writer = [](const QString& name) {
        for (int i = 0; i < 50; ++i)
            systemLog(QStringLiteral("%1 %2").arg(name).arg(i));
    };
    std::thread a(writer, QStringLiteral("a"));
    std::thread b(writer, QStringLiteral("b"));
    a.join();
    b.join();

    const QStringList lines = capture.lines();
    ASSERT_EQ(lines.size(), 100);
    int nextA = 0;
    int nextB = 0;
    for (const QString& line : lines) {
        int& next = line.startsWith('a') ? nextA : nextB;
        EXPECT_EQ(line.section(' ', 1).toInt(), next++);
    }
    EXPECT_EQ(nextA, 50);
    EXPECT_EQ(nextB, 50);
}

TEST(SystemLog, WritesPrefixedLinesToStandardError)
{
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
    EXPECT_EQ(QString::fromUtf8(written.readAll()),
              QStringLiteral("cleftone: mp3val exited with status 2 for \"/t/ü.mp3\"\n"));
}
