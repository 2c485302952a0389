#include "app/SingleInstance.h"

#include "platform/BuildConfig.h"
#include "platform/PathBytes.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <unistd.h>

namespace cleftone {

namespace {

// Request: magic, version, body size, then the body: path count and each path as UTF-8 bytes
// (QDataStream's byte-array form: a 32-bit length, then the bytes).
// Answer: magic, version, reply code. Everything big-endian, as QDataStream writes it.
constexpr quint32 requestMagic = 0x434C4F46; // "CLOF"
constexpr quint32 answerMagic = 0x434C4F41;  // "CLOA"
constexpr quint32 protocolVersion = 1;
constexpr qint64 headerSize = 3 * sizeof(quint32);
constexpr qint64 answerSize = 3 * sizeof(quint32);
constexpr QDataStream::Version streamVersion = QDataStream::Qt_6_0;

// The platform's reply codes for an open-files request.
constexpr quint32 replyAccepted = 0;
constexpr quint32 replyRefused = 2;

// A well-behaved sender writes its whole request at once; anything slower is stuck or hostile.
constexpr int connectionDeadlineMs = 10000;
// Bounds the memory a flood of half-finished requests can pin (each up to maxPayloadBytes).
constexpr int maxConnections = 16;
// listen() waits this long for a rival start-up to finish its own listen().
constexpr int lockWaitMs = 5000;
// A live instance accepts a connection at once (the kernel queues it), so this only matters
// when its queue is full.
constexpr int probeWaitMs = 1000;

int remainingMs(const QDeadlineTimer& deadline)
{
    if (deadline.isForever())
        return -1;
    return static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 0, INT_MAX));
}

QByteArray encodeRequest(const QStringList& paths)
{
    QByteArray body;
    {
        QDataStream out(&body, QIODevice::WriteOnly);
        out.setVersion(streamVersion);
        out << static_cast<quint32>(paths.size());
        for (const QString& path : paths)
            out << pathBytes(path);
    }
    QByteArray message;
    {
        QDataStream out(&message, QIODevice::WriteOnly);
        out.setVersion(streamVersion);
        out << requestMagic << protocolVersion << static_cast<quint32>(body.size());
    }
    return message + body;
}

// False for anything our own sender would not produce; the whole request is then ignored.
bool decodePaths(const QByteArray& body, QStringList& paths)
{
    QDataStream in(body);
    in.setVersion(streamVersion);
    quint32 count = 0;
    in >> count;
    // Every path takes at least its 4-byte length, so a larger count cannot be honest; checking
    // it first keeps reserve() from trusting the sender.
    if (in.status() != QDataStream::Ok || count > SingleInstance::maxPathCount ||
        count > static_cast<quint64>(body.size()) / sizeof(quint32))
        return false;
    paths.reserve(count);
    for (quint32 i = 0; i < count; ++i) {
        QByteArray bytes;
        in >> bytes;
        if (in.status() != QDataStream::Ok || bytes.isEmpty())
            return false;
        QString path = pathFromBytes(bytes);
        if (!QDir::isAbsolutePath(path))
            return false;
        paths.append(std::move(path));
    }
    return in.atEnd();
}

} // namespace

SingleInstance::SingleInstance(const QString& serverName, QObject* parent)
    : QObject(parent), m_serverName(serverName), m_server(new QLocalServer(this))
{
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
}

SingleInstance::~SingleInstance()
{
    // The sockets die with the server, after this object's members are gone: cut them loose
    // first so their last signals reach nothing.
    for (QLocalSocket* socket : m_connections.keys())
        socket->disconnect(this);
    m_connections.clear();
    delete m_server; // closing removes the socket file
}

QString SingleInstance::defaultServerName()
{
    const QString name = QString::fromUtf8(bundleIdentifier()) + u'-' + QString::number(::getuid());
    // The runtime folder belongs to the user alone (Qt checks its owner and mode), so nobody
    // else can put a socket of their own under our name there, as they could in /tmp.
    const QString runtimeDir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return runtimeDir.isEmpty() ? name : runtimeDir + u'/' + name;
}

QString SingleInstance::socketPath() const
{
    // The same rule QLocalServer applies to a bare name.
    if (QDir::isAbsolutePath(m_serverName))
        return m_serverName;
    return QDir::cleanPath(QDir::tempPath()) + u'/' + m_serverName;
}

SingleInstance::ForwardResult
SingleInstance::forwardToRunningInstance(const QStringList& paths,
                                         std::chrono::milliseconds timeout) const
{
    const QDeadlineTimer deadline(timeout);

    QStringList absolutePaths;
    absolutePaths.reserve(paths.size());
    for (const QString& path : paths) {
        if (!path.isEmpty())
            absolutePaths.append(QFileInfo(path).absoluteFilePath());
    }

    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(remainingMs(deadline))) {
        const auto error = socket.error();
        if (error == QLocalSocket::ServerNotFoundError ||
            error == QLocalSocket::ConnectionRefusedError)
            return ForwardResult::NoInstance;
        return ForwardResult::NoAnswer;
    }

    const QByteArray request = encodeRequest(absolutePaths);
    if (request.size() - headerSize > maxPayloadBytes ||
        static_cast<quint64>(absolutePaths.size()) > maxPathCount)
        return ForwardResult::NoAnswer;

    socket.write(request);
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(remainingMs(deadline)))
            return ForwardResult::NoAnswer;
    }
    while (socket.bytesAvailable() < answerSize) {
        if (!socket.waitForReadyRead(remainingMs(deadline)))
            return ForwardResult::NoAnswer;
    }

    QDataStream in(socket.read(answerSize));
    in.setVersion(streamVersion);
    quint32 magic = 0, version = 0, code = 0;
    in >> magic >> version >> code;
    if (in.status() != QDataStream::Ok || magic != answerMagic || version != protocolVersion)
        return ForwardResult::NoAnswer;
    if (code == replyAccepted)
        return ForwardResult::Accepted;
    if (code == replyRefused)
        return ForwardResult::Refused;
    return ForwardResult::NoAnswer;
}

bool SingleInstance::listen()
{
    if (m_server->isListening())
        return true;
    const QString path = socketPath();

    // Testing the socket and then listening is not atomic: two launches could both find a
    // stale socket, and the second would remove the first one's fresh socket. The lock makes
    // the pair atomic among Cleftone processes. A lock left by a dead process is taken over.
    QLockFile lock(path + QStringLiteral(".lock"));
    lock.setStaleLockTime(0);
    if (!lock.tryLock(lockWaitMs))
        return false;

    // QLocalServer with access options binds elsewhere and renames over an existing file, so it
    // would silently take the name from a live instance: we must look first. Only a refused or
    // missing connection proves the socket stale.
    if (QFileInfo::exists(path)) {
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(probeWaitMs))
            return false;
        const auto error = probe.error();
        if (error != QLocalSocket::ServerNotFoundError &&
            error != QLocalSocket::ConnectionRefusedError)
            return false;
        QLocalServer::removeServer(path);
    }

    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    return m_server->listen(path);
}

bool SingleInstance::isListening() const
{
    return m_server->isListening();
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (m_connections.size() >= maxConnections) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        connect(deadline, &QTimer::timeout, this, [this, socket] { drop(socket); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { forget(socket); });
        m_connections.insert(socket, Connection{{}, -1, deadline});
        deadline->start(connectionDeadlineMs);
        readFrom(socket); // bytes may have arrived with the connection
    }
}

void SingleInstance::readFrom(QLocalSocket* socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    Connection& connection = it.value();

    if (connection.payloadSize < 0) {
        if (socket->bytesAvailable() < headerSize)
            return;
        QDataStream in(socket->read(headerSize));
        in.setVersion(streamVersion);
        quint32 magic = 0, version = 0, size = 0;
        in >> magic >> version >> size;
        if (magic != requestMagic || version != protocolVersion || size > maxPayloadBytes ||
            size < sizeof(quint32)) {
            drop(socket);
            return;
        }
        connection.payloadSize = size;
    }

    // Never read past the request: whatever follows it is not ours to buffer.
    connection.payload += socket->read(connection.payloadSize - connection.payload.size());
    if (connection.payload.size() < connection.payloadSize)
        return;

    const QByteArray payload = std::move(connection.payload);
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    handleRequest(socket, payload);
}

void SingleInstance::handleRequest(QLocalSocket* socket, const QByteArray& payload)
{
    QStringList paths;
    if (!decodePaths(payload, paths)) {
        drop(socket);
        return;
    }

    // The slot and the handler may spin an event loop (a message box), during which the sender
    // can go away.
    const QPointer<QLocalSocket> guard(socket);
    emit activationRequested();
    bool accepted = true;
    if (!paths.isEmpty())
        accepted = m_openFilesHandler ? m_openFilesHandler(paths) : false;
    if (!guard || !m_connections.contains(socket))
        return;

    QByteArray answer;
    QDataStream out(&answer, QIODevice::WriteOnly);
    out.setVersion(streamVersion);
    out << answerMagic << protocolVersion << (accepted ? replyAccepted : replyRefused);
    socket->write(answer);
    // Closes once the answer is written; disconnected() then forgets the socket.
    socket->disconnectFromServer();
}

void SingleInstance::forget(QLocalSocket* socket)
{
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->deadline->stop();
    m_connections.erase(it);
    socket->disconnect(this);
    socket->deleteLater();
}

void SingleInstance::drop(QLocalSocket* socket)
{
    if (!m_connections.contains(socket))
        return;
    forget(socket);
    socket->abort();
}

} // namespace cleftone
