#include "platform/SystemLog.h"

#include <QFile>
#include <QTemporaryFile>
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

using namespace cleftone;

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
    EXPECT_EQ(written.readAll(), "cleftone: mp3val exited with status 2 for \"/t/ü.mp3\"\n");
}
