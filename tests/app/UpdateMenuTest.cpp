#include "DelegateTestSupport.h"

#include "platform/UpdateChecker.h"

#include <QAction>
#include <QMainWindow>
#include <QTcpServer>
#include <QTcpSocket>

namespace cleftone::test {
namespace {

/// Serves one fixed feed document to every request, on loopback.
class OneFeedServer : public QObject {
public:
    explicit OneFeedServer(const QByteArray& body)
    {
        server_.listen(QHostAddress::LocalHost, 0);
        response_ = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                    QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    if (!socket->readAll().isEmpty()) {
                        socket->write(response_);
                        socket->disconnectFromHost();
                    }
                });
            }
        });
    }
    QUrl url() const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/feed").arg(server_.serverPort()));
    }

private:
    QTcpServer server_;
    QByteArray response_;
};

using UpdateMenuTest = DelegateTest;

TEST_F(UpdateMenuTest, CheckForUpdatesShowsTheResultAndDownloadOpensTheRelease)
{
    CleftoneAppDelegate& app = makeDelegate();
    OneFeedServer newer(R"({"version": "99.0", "url": "https://example.org/get", "notes": "x"})");
    app.updater().setFeedUrl(newer.url());
    tools.alertAnswers.push_back({0, false}); // "Download"

    app.checkForUpdatesAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return !tools.alerts.isEmpty(); }));
    const AlertSpec& offer = tools.alerts.last().spec;
    EXPECT_EQ(tools.alerts.last().window, static_cast<QWidget*>(app.window()));
    EXPECT_EQ(offer.buttonTitles, (QStringList{"Download", "Later"}));
    EXPECT_FALSE(offer.messageText.isEmpty());
    ASSERT_EQ(tools.openedUrls.size(), 1);
    EXPECT_EQ(tools.openedUrls.first(), QUrl("https://example.org/get"));

    // The same version: one "OK", nothing opened.
    OneFeedServer same(QByteArray(R"({"version": ")") + QByteArray(applicationVersion()) +
                       R"(", "url": "https://example.org/get"})");
    app.updater().setFeedUrl(same.url());
    app.checkForUpdatesAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return tools.alerts.size() == 2; }));
    EXPECT_EQ(tools.alerts.last().spec.buttonTitles, QStringList{"OK"});
    EXPECT_EQ(tools.openedUrls.size(), 1);
}

} // namespace
} // namespace cleftone::test
