#include "platform/FolderBookmark.h"

#include "platform/PathBytes.h"

#include <QDataStream>
#include <QFile>
#include <QtEndian>

#include <sys/stat.h>
#include <unistd.h>

namespace cleftone {

namespace {

// Layout: "CTbm", version (1 byte), CRC-16 of the payload (2 bytes, big-endian), payload.
// Payload (QDataStream, Qt 6.0 format): canonical path (QString), st_dev, st_ino (quint64 each).
constexpr char kMagic[] = "CTbm";
constexpr qsizetype kMagicSize = 4;
constexpr quint8 kVersion = 1;
constexpr qsizetype kHeaderSize = kMagicSize + 1 + 2;

QString damaged()
{
    return QStringLiteral("The bookmark data is damaged.");
}

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

} // namespace

std::optional<QByteArray> FolderBookmark::create(const QString& folderPath, QString* error)
{
    const QString path = canonicalPath(folderPath);
    struct stat st {};
    if (path.isEmpty() || ::stat(pathBytes(path).constData(), &st) != 0) {
        setError(error, QStringLiteral("The folder doesn't exist."));
        return std::nullopt;
    }
    if (!S_ISDIR(st.st_mode)) {
        setError(error, QStringLiteral("The item is not a folder."));
        return std::nullopt;
    }

    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << path << quint64(st.st_dev) << quint64(st.st_ino);

    QByteArray bookmark(kMagic, kMagicSize);
    bookmark.append(char(kVersion));
    char crc[2];
    qToBigEndian(qChecksum(payload), crc);
    bookmark.append(crc, 2);
    bookmark.append(payload);
    return bookmark;
}

std::optional<ResolvedFolder> FolderBookmark::resolve(const QByteArray& bookmark,
                                                      QString* errorDescription)
{
    if (bookmark.size() < kHeaderSize || !bookmark.startsWith(QByteArrayView(kMagic, kMagicSize)) ||
        quint8(bookmark.at(kMagicSize)) != kVersion) {
        setError(errorDescription, damaged());
        return std::nullopt;
    }
    const QByteArray payload = bookmark.mid(kHeaderSize);
    if (qFromBigEndian<quint16>(bookmark.constData() + kMagicSize + 1) != qChecksum(payload)) {
        setError(errorDescription, damaged());
        return std::nullopt;
    }

    QDataStream in(payload);
    in.setVersion(QDataStream::Qt_6_0);
    QString path;
    quint64 device = 0;
    quint64 inode = 0;
    in >> path >> device >> inode;
    if (in.status() != QDataStream::Ok || !in.atEnd() || !path.startsWith(QLatin1Char('/'))) {
        setError(errorDescription, damaged());
        return std::nullopt;
    }

    struct stat st {};
    if (::stat(pathBytes(path).constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        setError(errorDescription, QStringLiteral("The folder no longer exists."));
        return std::nullopt;
    }
    return ResolvedFolder{path, quint64(st.st_dev) != device || quint64(st.st_ino) != inode};
}

bool FolderBookmark::startAccessing(const QString& path)
{
    const QByteArray native = pathBytes(path);
    struct stat st {};
    return !path.isEmpty() && ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(native.constData(), W_OK | X_OK) == 0;
}

void FolderBookmark::stopAccessing(const QString& path)
{
    Q_UNUSED(path);
}

} // namespace cleftone
