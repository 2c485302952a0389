#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

class QLocalServer;
class QLocalSocket;
class QTimer;

namespace cleftone {

/// Keeps Cleftone to one running instance per user: a later launch hands its command-line paths
/// to the running instance over a local socket and exits, so the files join the first window.
///
/// Start-up sequence of the program:
///   1. forwardToRunningInstance(arguments); on Accepted or Refused, exit.
///   2. Otherwise listen(); if it returns false another launch won the race: forward again.
///   3. Set the open-files handler and connect activationRequested, then run the event loop.
///
/// Each connection carries one request. Every well-formed request emits activationRequested()
/// (the window comes to the front, also for an empty path list); a non-empty one is then passed
/// to the open-files handler, whose answer goes back to the sender. Malformed or oversized
/// requests, and connections that stall, are dropped without an answer.
///
/// Threads: an object that listens must be created, used and destroyed on the main thread (its
/// server needs the event loop; the handler and the signal run there). forwardToRunningInstance()
/// blocks and needs no event loop; it may be called from any thread on an object that does not
/// listen.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    /// How a forwarding attempt ended.
    enum class ForwardResult {
        /// Nothing listens under the name: this process should become the primary instance.
        NoInstance,
        /// The running instance took the paths (or, for an empty list, raised its window).
        Accepted,
        /// The running instance is busy and dropped the paths; it has already told the user.
        Refused,
        /// An instance accepted the connection but gave no valid answer in time (it hangs), or
        /// the request was too large to send.
        NoAnswer,
    };

    /// Answers one open-files request: true when the paths were taken, false when busy.
    using OpenFilesHandler = std::function<bool(const QStringList& paths)>;

    /// Largest request body accepted, in bytes, and the most paths one request may carry.
    static constexpr quint32 maxPayloadBytes = 16u * 1024u * 1024u;
    static constexpr quint32 maxPathCount = 1024u * 1024u;

    /// A serverName that is not an absolute path is placed in the system's temporary folder.
    explicit SingleInstance(const QString& serverName = defaultServerName(),
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    /// The bundle identifier and the user's uid, in the user's private runtime folder when there
    /// is one, so two users (and two builds with different identifiers) never meet.
    static QString defaultServerName();

    QString serverName() const { return m_serverName; }
    /// The file-system path of the socket.
    QString socketPath() const;

    /// Sends the paths (relative ones made absolute against the current folder, empty ones left
    /// out, order kept) to a running instance and waits at most timeout for its answer.
    ForwardResult forwardToRunningInstance(const QStringList& paths,
                                           std::chrono::milliseconds timeout) const;

    /// Becomes the primary instance. A socket left behind by a crashed instance is replaced; a
    /// live instance is never displaced, and then this returns false. The socket is accessible to
    /// the current user only. Returns true at once when already listening.
    bool listen();
    bool isListening() const;

    /// Called on the main thread with each non-empty list of paths received, in the sender's
    /// order. Without a handler such requests are refused.
    void setOpenFilesHandler(OpenFilesHandler handler) { m_openFilesHandler = std::move(handler); }

signals:
    /// A well-formed request arrived: the window should come to the front. Emitted before the
    /// paths, if any, are passed to the handler.
    void activationRequested();

private:
    struct Connection {
        QByteArray payload;
        qint64 payloadSize = -1; // -1 until the header has arrived
        QTimer* deadline = nullptr;
    };

    void acceptConnections();
    void readFrom(QLocalSocket* socket);
    void handleRequest(QLocalSocket* socket, const QByteArray& payload);
    void forget(QLocalSocket* socket);
    void drop(QLocalSocket* socket);

    QString m_serverName;
    QLocalServer* m_server = nullptr;
    OpenFilesHandler m_openFilesHandler;
    QHash<QLocalSocket*, Connection> m_connections;
};

} // namespace cleftone
