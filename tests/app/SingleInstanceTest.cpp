#include "app/SingleInstance.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <future>

using namespace cleftone;
using Result = SingleInstance::ForwardResult;

namespace {

// The other end of the connection: a second process would do this on its own main thread,
// while ours keeps the server's event loop running.
Result forwardFromThread(const QString& name, const QStringList& paths)
{
    auto result = std::async(std::launch::async, [name, paths] {
        return SingleInstance(name).forwardToRunningInstance(paths, std::chrono::seconds(5));
    });
    const bool done = QTest::qWaitFor(
        [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        10000);
    return done ? result.get() : Result::NoAnswer;
}

// Pins the wire format independently of the sender's code.
QByteArray request(const QList<QByteArray>& paths, quint32 claimedCount, qint64 claimedSize = -1)
{
    QByteArray body;
    QDataStream(&body, QIODevice::WriteOnly) << claimedCount;
    for (const QByteArray& path : paths) {
        QDataStream out(&body, QIODevice::Append);
        out << path;
    }
    QByteArray message;
    QDataStream(&message, QIODevice::WriteOnly)
        << quint32(0x434C4F46) << quint32(1)
        << quint32(claimedSize < 0 ? body.size() : claimedSize);
    return message + body;
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        primary.setOpenFilesHandler([this](const QStringList& paths) {
            received.append(paths);
            return accept;
        });
        QObject::connect(&primary, &SingleInstance::activationRequested, [this] { ++activations; });
    }

    // Sends bytes from a raw client; then as answerOf().
    int rawExchange(const QByteArray& bytes)
    {
        QLocalSocket socket;
        socket.connectToServer(name);
        EXPECT_TRUE(socket.waitForConnected(5000));
        socket.write(bytes);
        return answerOf(socket);
    }

    // Returns once the server has closed the connection, with the answer code, or -1 when it
    // closed without one.
    static int answerOf(QLocalSocket& socket)
    {
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return socket.state() == QLocalSocket::UnconnectedState; }, 5000));
        if (socket.bytesAvailable() != 12)
            return -1;
        QDataStream in(socket.readAll());
        quint32 magic, version, code;
        in >> magic >> version >> code;
        return magic == 0x434C4F41 && version == 1 ? int(code) : -1;
    }

    QTemporaryDir dir;
    QString name = dir.path() + QStringLiteral("/s");
    SingleInstance primary{name};
    QList<QStringList> received;
    bool accept = true;
    int activations = 0;
};

TEST_F(SingleInstanceTest, DeliversPathsAndCarriesTheAnswerBack)
{
    EXPECT_EQ(forwardFromThread(name, {"/a"}), Result::NoInstance);
    ASSERT_TRUE(primary.listen());
    EXPECT_FALSE(QFile::permissions(name) &
                 (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther));
    // A second listener neither succeeds nor steals the name.
    EXPECT_FALSE(SingleInstance(name).listen());

    const QStringList paths{"/music/Été 1/01 Ünïcødé track.flac", "/b/a b.m4a", "/a"};
    EXPECT_EQ(forwardFromThread(name, paths), Result::Accepted);
    accept = false;
    EXPECT_EQ(forwardFromThread(name, {"/busy.mp3"}), Result::Refused);
    EXPECT_EQ(received, (QList<QStringList>{paths, {"/busy.mp3"}}));

    // An empty list only raises the window; relative paths are resolved by the sender.
    EXPECT_EQ(forwardFromThread(name, {}), Result::Accepted);
    EXPECT_EQ(received.size(), 2);
    EXPECT_EQ(activations, 3);
    accept = true;
    EXPECT_EQ(forwardFromThread(name, {"sub dir/../x.ogg", ""}), Result::Accepted);
    EXPECT_EQ(received.value(2), QStringList{QDir::current().absoluteFilePath("x.ogg")});
}

TEST_F(SingleInstanceTest, SecondProcessForwardsAndInstanceKilledMidRunIsReplaced)
{
    QProcess crashed;
    crashed.start(CLEFTONE_SINGLE_INSTANCE_HELPER, {"listen", name});
    ASSERT_TRUE(crashed.waitForReadyRead(10000));
    crashed.kill(); // SIGKILL: the socket file stays behind
    ASSERT_TRUE(crashed.waitForFinished(10000));
    ASSERT_TRUE(QFile::exists(name));
    EXPECT_EQ(forwardFromThread(name, {"/a"}), Result::NoInstance);
    ASSERT_TRUE(primary.listen());

    QProcess second;
    second.setWorkingDirectory(dir.path());
    second.start(CLEFTONE_SINGLE_INSTANCE_HELPER, {"forward", name, "café 2.flac", "/abs/y.wav"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(second.readAllStandardOutput().trimmed(), "Accepted");
    EXPECT_EQ(received, (QList<QStringList>{{dir.path() + "/café 2.flac", "/abs/y.wav"}}));
}

TEST_F(SingleInstanceTest, MalformedRequestsAreDroppedWithoutReachingTheHandler)
{
    ASSERT_TRUE(primary.listen());
    const QList<QByteArray> bad{
        QByteArray(64, 'x'),         request({"/a"}, 1, 0xFFFFFFF0), // oversized length prefix
        request({"/a"}, 0x7FFFFFFF),                                 // count the body cannot hold
        request({"/a"}, 2),                                          // count larger than sent
        request({"relative"}, 1),                                    // not absolute
    };
    for (int i = 0; i < bad.size(); ++i)
        EXPECT_EQ(rawExchange(bad[i]), -1) << i;
    // A client that vanishes mid-request.
    QLocalSocket quitter;
    quitter.connectToServer(name);
    ASSERT_TRUE(quitter.waitForConnected(5000));
    quitter.write(request({"/gone"}, 1).left(17));
    quitter.waitForBytesWritten(5000);
    quitter.abort();

    EXPECT_TRUE(received.isEmpty());
    EXPECT_EQ(activations, 0);
    EXPECT_EQ(forwardFromThread(name, {"/ok"}), Result::Accepted);
}

TEST_F(SingleInstanceTest, InterleavedPartialRequestsFromSeveralClients)
{
    ASSERT_TRUE(primary.listen());
    const QByteArray slow = request({"/slow/1", "/slow/2"}, 2);
    QLocalSocket slowClient;
    slowClient.connectToServer(name);
    ASSERT_TRUE(slowClient.waitForConnected(5000));
    slowClient.write(slow.left(5)); // not even a whole header

    EXPECT_EQ(rawExchange(request({"/fast"}, 1)), 0);
    EXPECT_EQ(received, QList<QStringList>{{"/fast"}});

    for (qsizetype at = 5; at < slow.size(); at += 7) {
        slowClient.write(slow.mid(at, 7));
        ASSERT_TRUE(slowClient.waitForBytesWritten(5000));
        QTest::qWait(1); // let each piece arrive on its own
    }
    EXPECT_EQ(answerOf(slowClient), 0); // accepted
    EXPECT_EQ(received.value(1), (QStringList{"/slow/1", "/slow/2"}));
}

} // namespace
