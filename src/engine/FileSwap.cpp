#include "FileSwap.h"

#include "engine/FailureText.h"
#include "engine/FileWorkThread.h"
#include "engine/LeftoverJournal.h"
#include "engine/PosixFiles.h"
#include "engine/ReplacementFolders.h"
#include "engine/TemporaryFile.h"
#include "platform/DisplayName.h"
#include "platform/PathBytes.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone {

namespace {

QByteArray encoded(const QString& path)
{
    return pathBytes(path);
}

// The new item lies on another file system: copy it beside the destination, flush the copy and
// rename it over the destination, so that the destination changes in one step here too.
int swapAcrossFileSystems(const QString& destination, const QString& newItem)
{
    const QString directory = folderOfPath(destination);
    LeftoverRecord record;
    const int entry = record.expectIn(LeftoverKind::TemporaryFile, directory);
    QString sibling;
    const int out = CTCreateTemporaryFile(directory, &sibling);
    if (out < 0) {
        const int error = errno;
        record.forget(entry);
        return error;
    }
    record.made(entry, sibling);

    int error = 0;
    const int in = ::open(encoded(newItem).constData(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (in < 0 || ::fstat(in, &info) != 0)
        error = errno;
    if (!error)
        error = copyContents(in, out);
    if (!error && ::fchmod(out, info.st_mode & 07777) != 0)
        error = errno;
    if (!error && ::fsync(out) != 0 && errno != EINVAL)
        error = errno;
    if (in >= 0)
        ::close(in);
    if (::close(out) != 0 && !error && errno != EINTR)
        error = errno;
    if (!error && ::rename(encoded(sibling).constData(), encoded(destination).constData()) != 0)
        error = errno;
    if (error) {
        ::unlink(encoded(sibling).constData());
        record.forget(entry);
        return error;
    }
    record.forget(entry);
    syncFolder(directory);
    ::unlink(encoded(newItem).constData());
    return 0;
}

} // namespace

QString FileError::technicalDetail() const
{
    const QString suffix =
        underlying
            ? QStringLiteral("; %1 %2").arg(underlying->first, QString::number(underlying->second))
            : QString();
    return QStringLiteral("%1 %2%3").arg(domain, QString::number(code), suffix);
}

bool CTFileSwap::swapItemAtURL(const QString& destination, const QString& newItem, FileError* error)
{
    return swapItemAtURL(destination, newItem, error, nullptr);
}

bool CTFileSwap::swapItemAtURL(const QString& destination, const QString& newItem, FileError* error,
                               ReplacementFolders* folders, bool newItemFlushed)
{
    // Anything there, or a doubt (no permission to look), counts as replacing.
    struct stat existing {};
    const bool replacing = ::lstat(encoded(destination).constData(), &existing) == 0 ||
                           (errno != ENOENT && errno != ENOTDIR);

    // A reference held across the rename to the file it replaces: the file is freed when that
    // goes, on the file-work thread, instead of inside the rename.
    const int replaced =
        replacing && S_ISREG(existing.st_mode)
            ? ::open(encoded(destination).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC)
            : -1;
    int failure = newItemFlushed ? 0 : syncPath(newItem);
    if (!failure) {
        if (::rename(encoded(newItem).constData(), encoded(destination).constData()) == 0) {
            if (folders)
                folders->noteRenamedInto(folderOfPath(destination));
            else
                syncFolder(folderOfPath(destination));
        } else if (errno == EXDEV)
            failure = swapAcrossFileSystems(destination, newItem);
        else
            failure = errno;
    }
    closeInBackground(replaced);
    if (!failure)
        return true;

    if (error) {
        const QString reason = reasonForSystemError(failure);
        error->domain = QLatin1String(kFileSwapErrorDomain);
        if (replacing) {
            error->code = FileSwapReplaceFailed;
            error->description = QStringLiteral("Could not replace “%1” in the folder “%2”: %3.")
                                     .arg(displayNameAtPath(destination),
                                          displayNameAtPath(folderOfPath(destination)), reason);
        } else {
            error->code = FileSwapMoveFailed;
            error->description = QStringLiteral("Could not save “%1” in the folder “%2”: %3.")
                                     .arg(displayNameAtPath(destination),
                                          displayNameAtPath(folderOfPath(destination)), reason);
        }
        error->underlying = std::make_pair(QString::fromLatin1(kErrnoDomain), qint64(failure));
    }
    return false;
}

} // namespace cleftone
