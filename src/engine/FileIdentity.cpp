#include "engine/FileIdentity.h"

#include "platform/PathBytes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace cleftone {

namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";

// The ACL as the kernel stores it; none when the file has only its mode bits.
std::vector<char> accessAclOf(const QByteArray& path)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const ssize_t size = ::getxattr(path.constData(), kAccessAcl, nullptr, 0);
        if (size <= 0)
            return {};
        std::vector<char> value(static_cast<std::size_t>(size));
        const ssize_t read = ::getxattr(path.constData(), kAccessAcl, value.data(), value.size());
        if (read >= 0) {
            value.resize(std::size_t(read));
            return value;
        }
        if (errno != ERANGE) // ERANGE: it grew in between
            return {};
    }
    return {};
}

} // namespace

void keepIdentityInPlace(const QString& inFilePath, const QString& outFilePath,
                         const QString& copyPath)
{
    const QByteArray original = pathBytes(outFilePath);
    struct stat input {};
    struct stat output {};
    if (::stat(pathBytes(inFilePath).constData(), &input) != 0 ||
        ::stat(original.constData(), &output) != 0 || input.st_dev != output.st_dev ||
        input.st_ino != output.st_ino)
        return;

    const int fd = ::open(pathBytes(copyPath).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    // Owner and group together where allowed (root); else at least the group, which any member
    // may give, so that a shared library stays writable for its group.
    if (::fchown(fd, output.st_uid, output.st_gid) != 0)
        ::fchown(fd, uid_t(-1), output.st_gid);

    // The copy may have inherited a default ACL from the folder it was made in; the result
    // carries exactly the original's.
    const std::vector<char> acl = accessAclOf(original);
    if (acl.empty())
        ::fremovexattr(fd, kAccessAcl);
    else
        ::fsetxattr(fd, kAccessAcl, acl.data(), acl.size(), 0);

    // Last: changing the owner clears the set-ID bits, and the ACL's mask follows the group bits.
    ::fchmod(fd, output.st_mode & 07777);
    ::close(fd);
}

} // namespace cleftone
