#include "platform/UpdateChecker.h"

#include "platform/Preferences.h"
#include "platform/SystemLog.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace cleftone;
using namespace std::chrono_literals;
using Status = UpdateCheckResult::Status;
using Failure = UpdateCheckResult::Failure;

namespace {

qint64 secondsFromNow(const QDateTime& time)
{
    return QDateTime::currentDateTimeUtc().secsTo(time);
}

// Serves `response` to every request on 127.0.0.1, or, while it is empty, never answers.
class UpdateCheckerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* socket = server_.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] {
                while (socket->canReadLine())
                    if (socket->readLine() == "\r\n" && !response_.isEmpty()) {
                        ++requests_;
                        socket->write(response_);
                        socket->disconnectFromHost();
                    }
            });
        });
        checker_.setFeedUrl(
            url_ = QUrl(QStringLiteral("http://127.0.0.1:%1/feed").arg(server_.serverPort())));
        checker_.setAllowsLoopbackFeedForTesting(true);
        checker_.setTransferTimeout(500ms);
        checker_.setCurrentVersion(QVersionNumber(1, 4, 2));
    }

    void serve(const QByteArray& body, const QByteArray& status = "200 OK")
    {
        response_ = "HTTP/1.1 " + status +
                    "\r\nContent-Length: " + QByteArray::number(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + body;
    }
    void serveFeed(const QByteArray& version)
    {
        serve("{\"version\": \"" + version + "\", \"url\": \"" + download().toEncoded() +
              "\", \"notes\": \"Faster.\"}");
    }
    QUrl download() const { return url_.resolved(QUrl("/get")); }

    UpdateCheckResult checkNow()
    {
        QSignalSpy finished(&checker_, &UpdateChecker::checkFinished);
        checker_.checkForUpdates();
        if (!finished.wait(5000) || finished.size() != 1)
            return {};
        return finished.at(0).at(0).value<UpdateCheckResult>();
    }

    void setLastCheck(const QDateTime& time)
    {
        preferences_.setValue(kLastUpdateCheckKey, time.toString(Qt::ISODateWithMs));
    }

    QTcpServer server_;
    QUrl url_;
    QByteArray response_;
    int requests_ = 0;
    QTemporaryDir dir_;
    Preferences preferences_{dir_.filePath("prefs.conf")};
    UpdateChecker checker_{preferences_};
};

} // namespace

TEST_F(UpdateCheckerTest, ComparesVersionsByNumberAndReportsANewerOneWithItsAddress)
{
    serveFeed("1.10"); // newer by number, older as text
    const UpdateCheckResult result = checkNow();
    EXPECT_EQ(result.status, Status::UpdateAvailable);
    EXPECT_TRUE(result.userInitiated);
    EXPECT_EQ(result.latestVersion, QVersionNumber(1, 10));
    EXPECT_EQ(result.downloadUrl, download());
    EXPECT_EQ(result.releaseNotes, "Faster.");
    EXPECT_TRUE(result.informativeText.contains("1.10")) << result.informativeText.toStdString();
    EXPECT_LE(std::abs(secondsFromNow(checker_.lastUpdateCheckTime())), 5);

    for (const char* version : {"1.4.2", "1.4.2.0", "1.4", "0.99.99"}) {
        serveFeed(version);
        EXPECT_EQ(checkNow().message, "You're up to date.") << version;
    }
}

TEST_F(UpdateCheckerTest, FailuresSayWhatWentWrong)
{
    serve("no such feed", "404 Not Found");
    UpdateCheckResult result = checkNow();
    EXPECT_EQ(result.failure, Failure::HttpError);
    EXPECT_EQ(result.message, "Could not check for updates.");
    EXPECT_TRUE(result.informativeText.contains("404 Not Found"));

    for (const char* body : {"{\"version\": \"2.0\", ", "[\"2.0\"]",
                             R"({"version": "v2.0", "url": "https://example.org/"})",
                             R"({"version": "2.0-beta", "url": "https://example.org/"})",
                             R"({"version": "2.0"})", R"({"version": "2.0", "url": "get.zip"})",
                             R"({"version": "2.0", "url": "ftp://example.org/a"})",
                             R"({"version": "2.0", "url": "https://example.org/get"})",
                             R"({"version": "2.0", "url": "http://example.org/get"})"}) {
        serve(body);
        EXPECT_EQ(checkNow().failure, Failure::MalformedFeed) << body;
    }

    // Only https feeds are read, bar the tests' own on loopback; others are not even asked.
    const int requests = requests_;
    checker_.setAllowsLoopbackFeedForTesting(false);
    EXPECT_EQ(checkNow().failure, Failure::InsecureAddress);
    checker_.setAllowsLoopbackFeedForTesting(true);
    checker_.setFeedUrl(QUrl("http://example.org/feed"));
    EXPECT_EQ(checkNow().failure, Failure::InsecureAddress);
    EXPECT_EQ(requests_, requests);

    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    checker_.setFeedUrl(QUrl(QStringLiteral("http://127.0.0.1:%1/feed").arg(closed.serverPort())));
    closed.close();
    result = checkNow();
    EXPECT_EQ(result.failure, Failure::Unreachable);
    EXPECT_TRUE(result.informativeText.contains("could not be reached"));

    // A silent server times out; the user's check takes over the automatic one, reported once.
    checker_.setFeedUrl(url_);
    response_.clear();
    QSignalSpy finished(&checker_, &UpdateChecker::checkFinished);
    preferences_.removeValue(kLastUpdateCheckKey);
    checker_.setAutomaticallyChecksForUpdates(true); // never checked: starts at once
    QTest::qWait(50);
    ASSERT_TRUE(checker_.isChecking());
    checker_.checkForUpdates();
    ASSERT_TRUE(finished.wait(5000));
    QTest::qWait(100);
    ASSERT_EQ(finished.size(), 1);
    result = finished.at(0).at(0).value<UpdateCheckResult>();
    EXPECT_EQ(result.failure, Failure::Timeout);
    EXPECT_TRUE(result.userInitiated);
}

TEST_F(UpdateCheckerTest, OverdueAutomaticCheckRunsAtStartAndStaysQuietUnlessThereIsAnUpdate)
{
    serveFeed("1.4.2");
    setLastCheck(QDateTime::currentDateTimeUtc().addDays(-3));
    QSignalSpy stored(&preferences_, &Preferences::valueChanged);
    QSignalSpy finished(&checker_, &UpdateChecker::checkFinished);
    checker_.setAutomaticallyChecksForUpdates(true);
    ASSERT_TRUE(stored.wait(5000));
    EXPECT_EQ(requests_, 1);
    EXPECT_NEAR(secondsFromNow(*checker_.nextCheckTime()), 24 * 3600, 5);

    SystemLogCapture log;
    serve("", "500 Internal Server Error");
    setLastCheck(QDateTime::currentDateTimeUtc().addDays(-3));
    checker_.resetUpdateCycle();
    ASSERT_TRUE(stored.wait(5000));
    EXPECT_EQ(finished.size(), 0);
    EXPECT_EQ(log.lines().size(), 1);
    serveFeed("1.5");
    preferences_.removeValue(kLastUpdateCheckKey);
    checker_.resetUpdateCycle();
    ASSERT_TRUE(finished.wait(5000));
    EXPECT_FALSE(finished.at(0).at(0).value<UpdateCheckResult>().userInitiated);
}

TEST_F(UpdateCheckerTest, ScheduleCountsFromTheStoredLastCheck)
{
    const QDateTime fourMinutesAgo = QDateTime::currentDateTimeUtc().addSecs(-240);
    setLastCheck(fourMinutesAgo);
    checker_.setUpdateCheckInterval(10min);
    checker_.setAutomaticallyChecksForUpdates(true);
    EXPECT_EQ(*checker_.nextCheckTime(), fourMinutesAgo.addSecs(600));
    EXPECT_NEAR(checker_.timeUntilNextCheck()->count(), 360'000, 5'000);

    // A day's wait wakes at least hourly to follow the wall clock across sleep; a last check
    // "in the future" (clock set back) postpones checks by one interval at most.
    checker_.setUpdateCheckInterval(24h);
    setLastCheck(QDateTime::currentDateTimeUtc().addYears(2));
    checker_.resetUpdateCycle();
    EXPECT_NEAR(secondsFromNow(*checker_.nextCheckTime()), 24 * 3600, 5);
    EXPECT_LE(*checker_.timeUntilNextCheck(), 1h);

    checker_.setAutomaticallyChecksForUpdates(false);
    EXPECT_FALSE(checker_.nextCheckTime() || checker_.timeUntilNextCheck());
    EXPECT_EQ(requests_, 0);
}
