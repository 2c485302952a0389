#include "app/SingleInstance.h"

#include <QDataStream>
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

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        primary.setOpenFilesHandler([this](const QStringList& paths) {
            received.append(paths);
            return accept;
        });
        QObject::connect(&primary, &SingleInstance::activationRequested, [this] { ++activations; });
    }

    // A second process would forward on its own main thread while ours serves.
    Result forward(const QStringList& paths)
    {
        auto result = std::async(std::launch::async, [this, paths] {
            return SingleInstance(name).forwardToRunningInstance(paths, std::chrono::seconds(5));
        });
        const bool done = QTest::qWaitFor(
            [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            10000);
        return done ? result.get() : Result::NoAnswer;
    }

    QTemporaryDir dir;
    QString name = dir.path() + QStringLiteral("/s");
    SingleInstance primary{name};
    QList<QStringList> received;
    bool accept = true;
    int activations = 0;
};

// The socket a killed instance left behind is replaced.
TEST_F(SingleInstanceTest, ReplacesAStaleSocketDeliversPathsAndCarriesTheAnswerBack)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(name).constData(), sizeof(address.sun_path));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd); // bound, never listening: the file stays behind
    EXPECT_EQ(forward({"/a"}), Result::NoInstance);
    ASSERT_TRUE(primary.listen());
    EXPECT_FALSE(QFile::permissions(name) &
                 (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther));
    EXPECT_FALSE(SingleInstance(name).listen()) << "a second listener stole the name";

    const QStringList paths{"/music/Été 1/01 Ünïcødé track.flac", "/b/a b.m4a", "/a"};
    EXPECT_EQ(forward(paths), Result::Accepted);
    accept = false;
    EXPECT_EQ(forward({"/busy.mp3"}), Result::Refused);
    EXPECT_EQ(received, (QList<QStringList>{paths, {"/busy.mp3"}}));

    // An empty list only raises the window; relative paths are resolved by the sender.
    EXPECT_EQ(forward({}), Result::Accepted);
    EXPECT_EQ(received.size(), 2);
    EXPECT_EQ(activations, 3);
    accept = true;
    EXPECT_EQ(forward({"sub dir/../x.ogg", ""}), Result::Accepted);
    EXPECT_EQ(received.value(2), QStringList{QDir::current().absoluteFilePath("x.ogg")});
}

// Requests written by hand pin the wire format; a slow client holds up no other.
TEST_F(SingleInstanceTest, MalformedOrPartialRequestsNeverReachTheHandler)
{
    const auto request = [](const QList<QByteArray>& paths, quint32 count, qint64 size = -1) {
        QByteArray body, message;
        QDataStream out(&body, QIODevice::WriteOnly);
        out << count;
        for (const QByteArray& path : paths)
            out << path;
        QDataStream(&message, QIODevice::WriteOnly)
            << quint32(0x434C4F46) << quint32(1) << quint32(size < 0 ? body.size() : size);
        return message + body;
    };
    const auto answer = [&](QLocalSocket& socket, const QByteArray& bytes) {
        socket.connectToServer(name);
        EXPECT_TRUE(socket.waitForConnected(5000) && socket.write(bytes) == bytes.size());
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return socket.state() == QLocalSocket::UnconnectedState; }, 5000));
        QDataStream in(socket.readAll());
        quint32 magic = 0, version = 0, code = 0;
        in >> magic >> version >> code;
        return magic == 0x434C4F41 && version == 1 && in.atEnd() ? int(code) : -1;
    };
    ASSERT_TRUE(primary.listen());
    QLocalSocket slow;
    slow.connectToServer(name);
    ASSERT_TRUE(slow.waitForConnected(5000));
    slow.write(request({"/slow"}, 1).left(5)); // not even a whole header
    for (const QByteArray& bad : {
             QByteArray(64, 'x'), request({"/a"}, 1, 0xFFFFFFF0), // oversized length prefix
             request({"/a"}, 0x7FFFFFFF),                         // count the body cannot hold
             request({"/a"}, 2),                                  // count larger than sent
             request({"relative"}, 1),                            // not absolute
         }) {
        QLocalSocket socket;
        EXPECT_EQ(answer(socket, bad), -1) << bad.toHex().toStdString();
    }
    EXPECT_TRUE(received.isEmpty());
    EXPECT_EQ(activations, 0);
    QLocalSocket fast;
    EXPECT_EQ(answer(fast, request({"/fast"}, 1)), 0);
    EXPECT_EQ(received, QList<QStringList>{{"/fast"}});
}

} // namespace
