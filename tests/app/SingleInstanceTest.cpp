#include "app/SingleInstance.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace cleftone;
using Result = SingleInstance::ForwardResult;

namespace {

// A second process would forward on its own main thread while ours serves.
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
    QDataStream out(&body, QIODevice::WriteOnly);
    out << claimedCount;
    for (const QByteArray& path : paths)
        out << path;
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

    // Waits for the server to close the connection; its answer code, or -1 without one.
    static int answerOf(QLocalSocket& socket)
    {
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return socket.state() == QLocalSocket::UnconnectedState; }, 5000));
        QDataStream in(socket.readAll());
        quint32 magic = 0, version = 0, code = 0;
        in >> magic >> version >> code;
        return magic == 0x434C4F41 && version == 1 && in.atEnd() ? int(code) : -1;
    }
    void connectTo(QLocalSocket& socket, const QByteArray& bytes)
    {
        socket.connectToServer(name);
        EXPECT_TRUE(socket.waitForConnected(5000));
        socket.write(bytes);
        socket.waitForBytesWritten(5000);
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
    EXPECT_FALSE(SingleInstance(name).listen()) << "a second listener stole the name";

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

TEST_F(SingleInstanceTest, SocketLeftByAKilledInstanceIsReplaced)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(name).constData(), sizeof(address.sun_path));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd); // bound, never listening: the file stays behind
    ASSERT_TRUE(QFile::exists(name));
    EXPECT_EQ(forwardFromThread(name, {"/a"}), Result::NoInstance);
    ASSERT_TRUE(primary.listen());
    EXPECT_EQ(forwardFromThread(name, {"/a"}), Result::Accepted);
}

TEST_F(SingleInstanceTest, MalformedAndInterleavedPartialRequests)
{
    ASSERT_TRUE(primary.listen());
    for (const QByteArray& bad : {
             QByteArray(64, 'x'), request({"/a"}, 1, 0xFFFFFFF0), // oversized length prefix
             request({"/a"}, 0x7FFFFFFF),                         // count the body cannot hold
             request({"/a"}, 2),                                  // count larger than sent
             request({"relative"}, 1),                            // not absolute
         }) {
        QLocalSocket socket;
        connectTo(socket, bad);
        EXPECT_EQ(answerOf(socket), -1) << bad.toHex().toStdString();
    }
    QLocalSocket quitter; // vanishes mid-request
    connectTo(quitter, request({"/gone"}, 1).left(17));
    quitter.abort();
    EXPECT_TRUE(received.isEmpty());
    EXPECT_EQ(activations, 0);

    const QByteArray slow = request({"/slow/1", "/slow/2"}, 2);
    QLocalSocket slowClient, fast;
    connectTo(slowClient, slow.left(5)); // not even a whole header
    connectTo(fast, request({"/fast"}, 1));
    EXPECT_EQ(answerOf(fast), 0);
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
