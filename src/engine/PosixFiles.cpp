#include "engine/PosixFiles.h"

#include "platform/PathBytes.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace cleftone {

QString folderOfPath(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

int syncPath(const QString& path, bool folder)
{
    const int fd =
        ::open(pathBytes(path).constData(), O_RDONLY | O_CLOEXEC | (folder ? O_DIRECTORY : 0));
    if (fd < 0)
        return errno;
    int result = 0;
    if (::fsync(fd) != 0 && errno != EINVAL)
        result = errno;
    ::close(fd);
    return result;
}

void syncFolder(const QString& folder)
{
    (void)syncPath(folder, true);
}

int writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        data += n;
        size -= std::size_t(n);
    }
    return 0;
}

int copyContents(int from, int to)
{
    std::vector<char> buffer(1 << 17);
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        if (const int error = writeAll(to, buffer.data(), std::size_t(n)))
            return error;
    }
}

} // namespace cleftone
