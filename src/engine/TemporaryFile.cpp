#include "TemporaryFile.h"

#include "engine/ReplacementFolders.h"
#include "platform/PathBytes.h"
#include "platform/SystemLog.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cleftone {

namespace {

// The path with its last component removed: "/a/b/song.mp3" gives "/a/b", "/song.mp3" gives
// "/", a bare name gives "".
QString directoryOf(QString path)
{
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString joined(const QString& directory, const QString& name)
{
    return directory.endsWith(QLatin1Char('/')) ? directory + name
                                                : directory + QLatin1Char('/') + name;
}

bool exists(const QString& path)
{
    struct stat info {};
    return ::lstat(pathBytes(path).constData(), &info) == 0 || errno != ENOENT;
}

// The name before the last dot of the last component, and the extension after it.
std::pair<QString, QString> splitExtension(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot <= slash)
        return {path, QString()};
    return {path.left(dot), path.mid(dot + 1)};
}

QString fallbackCandidate(const QString& inputPath, int attempt)
{
    const auto [stem, extension] = splitExtension(inputPath);
    QString name = stem + QStringLiteral("_NoTag");
    if (attempt > 1)
        name += QLatin1Char('-') + QString::number(attempt);
    if (!extension.isEmpty())
        name += QLatin1Char('.') + extension;
    return name;
}

} // namespace

int CTCreateTemporaryFile(const QString& directory, QString* createdPath)
{
    if (directory.isEmpty())
        return -1;
    const QByteArray templatePath = pathBytes(joined(directory, QStringLiteral("cleftone.XXXXXX")));
    std::vector<char> buffer(std::size_t(templatePath.size()) + 1);
    std::copy(templatePath.constData(), templatePath.constData() + templatePath.size() + 1,
              buffer.begin());
    // Close-on-exec: the repair tool and any other child must not inherit it.
    const int fd = ::mkostemp(buffer.data(), O_CLOEXEC);
    if (fd >= 0 && createdPath)
        *createdPath = pathFromBytes(buffer.data());
    return fd;
}

QStringList tempDirectoryCandidatesForOutputPath(const QString& outputPath)
{
    return {directoryOf(outputPath), QDir::tempPath()};
}

std::optional<QString> createReplacementDirectory(const QString& outputPath)
{
    const QString parent = directoryOf(outputPath);
    if (parent.isEmpty())
        return std::nullopt;
    QByteArray templatePath = pathBytes(joined(parent, QStringLiteral(".cleftone-replace-XXXXXX")));
    if (!::mkdtemp(templatePath.data())) // mode 0700
        return std::nullopt;
    return pathFromBytes(templatePath);
}

QString fallbackPathForInputPath(const QString& inputPath)
{
    return fallbackCandidate(inputPath, 1);
}

TemporaryOutput::TemporaryOutput(QString journalDirectory,
                                 ReplacementDirectoryMaker makeReplacementDirectory)
    : record_(journalDirectory, ProcessIdentity::current()),
      makeReplacementDirectory_(makeReplacementDirectory ? std::move(makeReplacementDirectory)
                                                         : createReplacementDirectory)
{}

TemporaryOutput::TemporaryOutput(QString journalDirectory,
                                 std::shared_ptr<ReplacementFolders> folders)
    : TemporaryOutput(std::move(journalDirectory))
{
    sharedFolders_ = std::move(folders);
}

TemporaryOutput::~TemporaryOutput()
{
    if (acquired_ && !cleanedUp_)
        cleanUp(outFilePath_);
}

void TemporaryOutput::acquire(const QString& outFilePath, const QString& inFilePath)
{
    descriptor_ = -1;
    replacementDirectory_.reset();
    tempFilePath_.clear();
    fallback_ = false;
    ownsFallbackFile_ = false;
    outFilePath_ = outFilePath;
    acquired_ = true;
    directoryIsShared_ = false;

    if (sharedFolders_) {
        if (std::optional<QString> directory = sharedFolders_->directoryFor(outFilePath)) {
            QString path;
            const int fd = CTCreateTemporaryFile(*directory, &path);
            if (fd >= 0) {
                descriptor_ = fd;
                tempFilePath_ = path;
                replacementDirectory_ = *directory;
                directoryIsShared_ = true;
                return;
            }
        }
    }

    // Everything is noted in the journal before it is made: a process killed at any moment
    // leaves nothing that a later start cannot find.
    directoryEntry_ =
        record_.expectIn(LeftoverKind::ReplacementDirectory, directoryOf(outFilePath));
    if (std::optional<QString> directory = makeReplacementDirectory_(outFilePath)) {
        record_.made(directoryEntry_, *directory);
        fileEntry_ = record_.expectIn(LeftoverKind::TemporaryFile, *directory);
        QString path;
        const int fd = CTCreateTemporaryFile(*directory, &path);
        if (fd >= 0) {
            record_.made(fileEntry_, path);
            descriptor_ = fd;
            tempFilePath_ = path;
            replacementDirectory_ = *directory;
            return;
        }
        record_.forget(fileEntry_);
        ::rmdir(pathBytes(*directory).constData());
    }
    record_.forget(directoryEntry_);
    directoryEntry_ = -1;

    for (const QString& candidate : tempDirectoryCandidatesForOutputPath(outFilePath)) {
        fileEntry_ = record_.expectIn(LeftoverKind::TemporaryFile, candidate);
        QString path;
        const int fd = CTCreateTemporaryFile(candidate, &path);
        if (fd >= 0) {
            record_.made(fileEntry_, path);
            descriptor_ = fd;
            tempFilePath_ = path;
            return;
        }
        record_.forget(fileEntry_);
    }
    fileEntry_ = -1;

    systemLog(QStringLiteral(
        "Cleftone Could Not Create Temporary File!  Creating New Audio File Instead!"));
    fallback_ = true;
    ownsFallbackFile_ = createFallbackFile(inFilePath);
}

bool TemporaryOutput::createFallbackFile(const QString& inFilePath)
{
    // Never a file that is already there, so nothing of the user's is overwritten now or
    // deleted at clean-up; nor one whose "<name>.bak" exists, which the repair tool would delete.
    for (int attempt = 1; attempt <= 1000; ++attempt) {
        const QString candidate = fallbackCandidate(inFilePath, attempt);
        if (exists(candidate) || exists(candidate + QStringLiteral(".bak")))
            continue;
        fileEntry_ = record_.expectAt(LeftoverKind::FallbackFile, candidate);
        const int fd = ::open(pathBytes(candidate).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            record_.made(fileEntry_, candidate);
            tempFilePath_ = candidate;
            return true;
        }
        const int error = errno;
        record_.forget(fileEntry_);
        fileEntry_ = -1;
        if (error != EEXIST) {
            // The folder refuses; creating the audio file there will fail with its own message.
            // The name is free, and not ours to remove later.
            tempFilePath_ = candidate;
            return false;
        }
    }
    return false;
}

void TemporaryOutput::fixPermissions(const QString& inputPath)
{
    if (tempFilePath_.isEmpty())
        return;
    struct stat input {};
    const mode_t mode =
        ::stat(pathBytes(inputPath).constData(), &input) == 0 ? (0644 & input.st_mode) : 0600;
    const int fd = ::open(pathBytes(tempFilePath_).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fchmod(fd, mode);
    ::close(fd);
}

void TemporaryOutput::noteFileReplaced()
{
    record_.refresh(fileEntry_);
}

void TemporaryOutput::cleanUp(const QString& outFilePath)
{
    if (cleanedUp_)
        return;
    cleanedUp_ = true;
    bool leftSomething = false;

    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
    if (!tempFilePath_.isEmpty() && tempFilePath_ != outFilePath &&
        (!fallback_ || ownsFallbackFile_)) {
        if (::unlink(pathBytes(tempFilePath_).constData()) != 0 && errno != ENOENT &&
            !replacementDirectory_)
            leftSomething = true;
    }
    // A shared directory outlives this job; the run removes it with anything left inside.
    if (replacementDirectory_ && !directoryIsShared_) {
        std::error_code error;
        std::filesystem::remove_all(pathBytes(*replacementDirectory_).toStdString(), error);
        if (error)
            leftSomething = true;
    }
    // What could not be removed stays in the journal, for a start after this process ended.
    if (leftSomething)
        record_.abandon();
    else
        record_.drop();
}

} // namespace cleftone
