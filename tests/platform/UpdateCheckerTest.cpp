#include "platform/UpdateChecker.h"

#include "platform/Preferences.h"
#include "platform/SystemLog.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace cleftone;
using namespace std::chrono_literals;
using Status = UpdateCheckResult::Status;
using Failure = UpdateCheckResult::Failure;

namespace {

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
    EXPECT_EQ(result.downloadUrl, download());
    EXPECT_TRUE(result.informativeText.contains("1.10")) << result.informativeText.toStdString();

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

    for (const char* body :
         {"{\"version\": \"2.0\", ", R"({"version": "v2.0", "url": "https://example.org/"})",
          R"({"version": "2.0", "url": "get.zip"})",
          R"({"version": "2.0", "url": "https://example.org/get"})"}) {
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
    EXPECT_NEAR(QDateTime::currentDateTimeUtc().secsTo(*checker_.nextCheckTime()), 86400, 5);

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
