#include "engine/Trash.h"

#include "engine/PosixFiles.h"
#include "platform/PathBytes.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QUrl>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone {

namespace {

QByteArray encoded(const QString& path)
{
    return pathBytes(path);
}

QString parentOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QStringLiteral("/") : path.left(slash);
}

QString quoted(const QString& path)
{
    return QStringLiteral("\u201C%1\u201D").arg(path);
}

// Makes `path` and any missing parents, new ones private to the user, as shared Trash
// folders must be. 0 or the errno of the first step that failed.
int makeFolders(const QString& path)
{
    struct stat info {};
    if (::stat(encoded(path).constData(), &info) == 0)
        return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (errno != ENOENT)
        return errno;
    if (path != QLatin1String("/")) {
        if (const int error = makeFolders(parentOf(path)))
            return error;
    }
    if (::mkdir(encoded(path).constData(), 0700) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

// A Trash folder that someone else could have prepared must be a real folder of ours.
int checkOwnFolder(const QString& path)
{
    struct stat info {};
    if (::mkdir(encoded(path).constData(), 0700) != 0 && errno != EEXIST)
        return errno;
    if (::lstat(encoded(path).constData(), &info) != 0)
        return errno;
    if (!S_ISDIR(info.st_mode))
        return ENOTDIR;
    if (info.st_uid != ::getuid())
        return EACCES;
    return 0;
}

struct TrashFolder {
    QString path;
    QString topDirectory; ///< empty for the home Trash, whose records hold absolute paths
};

// The file system's top folder (its mount point, as far as the folders show it) above `folder`.
QString topDirectoryOf(QString folder, dev_t device)
{
    while (folder != QLatin1String("/")) {
        const QString parent = parentOf(folder);
        struct stat info {};
        if (::stat(encoded(parent).constData(), &info) != 0 || info.st_dev != device)
            break;
        folder = parent;
    }
    return folder;
}

std::optional<TrashFolder> findTrashFolder(const QString& folder, dev_t device, QString* error)
{
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty() || QDir::isRelativePath(dataHome))
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    const QString homeTrash = QDir::cleanPath(dataHome + QStringLiteral("/Trash"));

    // The home Trash serves the file system it lies on, or would lie on once made.
    QString existing = homeTrash;
    struct stat info {};
    while (::stat(encoded(existing).constData(), &info) != 0 && existing != QLatin1String("/"))
        existing = parentOf(existing);
    if (info.st_dev == device) {
        if (const int failure = makeFolders(homeTrash)) {
            *error = QStringLiteral("the Trash folder %1 cannot be used: %2")
                         .arg(quoted(homeTrash), qt_error_string(failure));
            return std::nullopt;
        }
        return TrashFolder{homeTrash, QString()};
    }

    const QString top = topDirectoryOf(folder, device);
    const QString uid = QString::number(::getuid());
    const QString prefix = top == QLatin1String("/") ? QString() : top;
    // An administrator's shared .Trash counts only as a real folder with the sticky bit; a
    // link there could lead anyone's files anywhere.
    const QString shared = prefix + QStringLiteral("/.Trash");
    if (::lstat(encoded(shared).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
        (info.st_mode & S_ISVTX)) {
        const QString own = shared + QLatin1Char('/') + uid;
        if (checkOwnFolder(own) == 0)
            return TrashFolder{own, top};
    }
    const QString own = prefix + QStringLiteral("/.Trash-") + uid;
    if (const int failure = checkOwnFolder(own)) {
        *error = QStringLiteral("the Trash folder %1 cannot be made: %2")
                     .arg(quoted(own), qt_error_string(failure));
        return std::nullopt;
    }
    return TrashFolder{own, top};
}

// For file systems without hard links (FAT): a flushed copy under `to`, which must not exist.
int copyFile(const QString& from, const QString& to)
{
    const int in = ::open(encoded(from).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    struct stat info {};
    const int out = ::fstat(in, &info) == 0 ? ::open(encoded(to).constData(),
                                                     O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)
                                            : -1;
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    int error = copyContents(in, out);
    if (!error && ::fchmod(out, info.st_mode & 07777) != 0)
        error = errno;
    if (!error && ::fsync(out) != 0 && errno != EINVAL)
        error = errno;
    ::close(in);
    if (::close(out) != 0 && !error && errno != EINTR)
        error = errno;
    if (error)
        ::unlink(encoded(to).constData());
    return error;
}

// "song.mp3", "song.2.mp3", "song.3.mp3"…: the extension stays last so that the Trash shows
// the right icon.
QString candidateName(const QString& name, int attempt)
{
    if (attempt == 1)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot <= 0)
        return name + QLatin1Char('.') + QString::number(attempt);
    return name.left(dot) + QLatin1Char('.') + QString::number(attempt) + name.mid(dot);
}

} // namespace

std::optional<TrashedItem> Trash::keepCopy(const QString& path, QString* error)
{
    struct stat info {};
    char resolved[PATH_MAX];
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (::stat(encoded(path).constData(), &info) != 0 ||
        !::realpath(encoded(parentOf(path)).constData(), resolved)) {
        *error = qt_error_string(errno);
        return std::nullopt;
    }
    const QString folder = pathFromBytes(QByteArray(resolved));
    const QString absolute =
        (folder == QLatin1String("/") ? QString() : folder) + QLatin1Char('/') + name;

    const std::optional<TrashFolder> trash = findTrashFolder(folder, info.st_dev, error);
    if (!trash)
        return std::nullopt;
    const QString files = trash->path + QStringLiteral("/files");
    const QString infos = trash->path + QStringLiteral("/info");
    struct stat filesInfo {};
    int failure = checkOwnFolder(files);
    if (!failure)
        failure = checkOwnFolder(infos);
    if (!failure && ::stat(encoded(files).constData(), &filesInfo) != 0)
        failure = errno;
    if (failure || filesInfo.st_dev != info.st_dev) {
        *error = failure ? QStringLiteral("the Trash folder %1 cannot be used: %2")
                               .arg(quoted(trash->path), qt_error_string(failure))
                         : QStringLiteral("the Trash folder %1 is on another file system")
                               .arg(quoted(trash->path));
        return std::nullopt;
    }

    // Records in a file system's own Trash name the file relative to its top folder, so that
    // they stay right wherever the file system is mounted next time.
    QString recorded = absolute;
    if (!trash->topDirectory.isEmpty())
        recorded = trash->topDirectory == QLatin1String("/")
                       ? absolute.mid(1)
                       : absolute.mid(trash->topDirectory.size() + 1);
    const QByteArray record =
        "[Trash Info]\nPath=" + QUrl::toPercentEncoding(encoded(recorded), "/") +
        "\nDeletionDate=" +
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")).toLatin1() +
        "\n";

    for (int attempt = 1; attempt < 10000; ++attempt) {
        const QString entry = candidateName(name, attempt);
        TrashedItem item{files + QLatin1Char('/') + entry,
                         infos + QLatin1Char('/') + entry + QStringLiteral(".trashinfo")};
        // The record comes first: its exclusive creation claims the name.
        const int fd = ::open(encoded(item.infoPath).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0) {
            failure = errno;
            break;
        }
        failure = writeAll(fd, record.constData(), std::size_t(record.size()));
        if (!failure && ::fsync(fd) != 0 && errno != EINVAL)
            failure = errno;
        ::close(fd);
        if (!failure &&
            ::link(encoded(path).constData(), encoded(item.filePath).constData()) != 0) {
            failure = errno;
            if (failure == EPERM || failure == EOPNOTSUPP || failure == EMLINK ||
                failure == EXDEV || failure == ENOSYS)
                failure = copyFile(path, item.filePath);
        }
        if (failure == EEXIST) { // a file of that name without a record: leave it be
            ::unlink(encoded(item.infoPath).constData());
            continue;
        }
        if (failure) {
            ::unlink(encoded(item.infoPath).constData());
            break;
        }
        syncFolder(files);
        syncFolder(infos);
        return item;
    }
    *error = QStringLiteral("the Trash folder %1 cannot be used: %2")
                 .arg(quoted(trash->path), qt_error_string(failure ? failure : EEXIST));
    return std::nullopt;
}

void Trash::discard(const TrashedItem& item)
{
    ::unlink(encoded(item.filePath).constData());
    ::unlink(encoded(item.infoPath).constData());
}

} // namespace cleftone
