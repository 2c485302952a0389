#include "engine/CleftoneOperation.h"

#include "engine/AudioFileParser.h"
#include "engine/CapabilitySets.h"
#include "engine/CopyVerification.h"
#include "engine/FailureText.h"
#include "engine/FileIdentity.h"
#include "engine/FileSwap.h"
#include "engine/LeftoverJournal.h"
#include "engine/PacketCopy.h"
#include "engine/PosixFiles.h"
#include "engine/RepairPass.h"
#include "engine/StripFailure.h"
#include "engine/TemporaryFile.h"
#include "engine/Trash.h"
#include "engine/audiofile/MetadataInspection.h"
#include "errorlog/ErrorLogStore.h"
#include "platform/BuildConfig.h"
#include "platform/DisplayName.h"
#include "platform/FolderBookmark.h"
#include "platform/PathBytes.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"
#include "platform/SystemLog.h"

#include <QDir>

#include <algorithm>
#include <future>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <system_error>

namespace cleftone {

namespace {

constexpr off_t kFlushWhileCheckingBytes = 4 * 1024 * 1024;

// Both look at a path by its own bytes: QFileInfo would not find a name that is not UTF-8.
qint64 fileSizeAt(const QString& path)
{
    struct stat info {};
    return ::stat(pathBytes(path).constData(), &info) == 0 ? qint64(info.st_size) : 0;
}

// Whether the output replaces the input itself, whatever way the two paths name it.
bool isSameFile(const QString& a, const QString& b)
{
    struct stat first {};
    struct stat second {};
    return ::stat(pathBytes(a).constData(), &first) == 0 &&
           ::stat(pathBytes(b).constData(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

} // namespace

StripEnvironment::StripEnvironment() : sandboxed(CTIsSandboxedBuild())
{}

// What one run of the pipeline holds, released in a fixed order by the clean-up.
struct CleftoneOperation::Run {
    Run(AudioFileService& service, const QString& journalDirectory,
        std::shared_ptr<ReplacementFolders> folders)
        : service(service), output(service), temporary(journalDirectory, std::move(folders))
    {}
    AudioFileService& service;
    std::unique_ptr<AudioFileParser> parser;
    OutputAudioFileHandle output;
    TemporaryOutput temporary;
    std::optional<QString> accessedFolder;
};

CleftoneOperation::CleftoneOperation(const QString& inFilePath, StripEnvironment environment)
    : inFilePath_(inFilePath), environment_(std::move(environment))
{}

QString CleftoneOperation::inFilePath() const
{
    return inFilePath_;
}

QString CleftoneOperation::outFilePath() const
{
    std::lock_guard lock(mutex_);
    return outFilePath_;
}

QString CleftoneOperation::tempFilePath() const
{
    std::lock_guard lock(mutex_);
    return tempFilePath_;
}

void CleftoneOperation::setOutFilePath(const QString& path)
{
    std::lock_guard lock(mutex_);
    outFilePath_ = path;
}

void CleftoneOperation::setTempFilePath(const QString& path)
{
    std::lock_guard lock(mutex_);
    tempFilePath_ = path;
}

void CleftoneOperation::setDefaultsOverride(Preferences* defaults)
{
    std::lock_guard lock(mutex_);
    defaultsOverride_ = defaults;
}

Preferences* CleftoneOperation::defaultsOverride() const
{
    std::lock_guard lock(mutex_);
    return defaultsOverride_;
}

QStringList CleftoneOperation::tempDirectoryCandidatesForOutputPath(const QString& outputPath)
{
    return cleftone::tempDirectoryCandidatesForOutputPath(outputPath);
}

void CleftoneOperation::main()
{
    if (isCancelled())
        return;

    AudioFileService& service =
        environment_.service ? *environment_.service : AudioFileService::system();
    Run run(service, environment_.journalDirectory, environment_.replacementFolders);

    std::optional<QString> failure;
    try {
        runPipeline(run);
    } catch (const StripFailure& stripFailure) {
        failure = stripFailure.message();
    } catch (const std::exception& exception) {
        // Errors raised by the platform layer inside the pipeline end the job the same way.
        failure = QString::fromLocal8Bit(exception.what());
    }

    if (failure) {
        success_ = false;
        const QString line = QStringLiteral("Cleftone Failed To Strip File: %1.  Error:%2")
                                 .arg(displayNameAtPath(inFilePath_), *failure);
        if (environment_.logError)
            environment_.logError(line);
        else
            ErrorLogStore::log(line);
    }

    // Clean-up, in this order, on every path.
    run.parser.reset();
    run.output.close();
    run.temporary.cleanUp(outFilePath());
    if (run.accessedFolder)
        FolderBookmark::stopAccessing(*run.accessedFolder);
}

void CleftoneOperation::runPipeline(Run& run)
{
    try {
        run.parser = std::make_unique<AudioFileParser>(inFilePath_, run.service);
    } catch (const std::bad_alloc&) {
        throw StripFailure(QStringLiteral("There is not enough memory to open this file."));
    }

    // Measured before anything is written, so that a commit over the input cannot confuse the
    // two sizes.
    const qint64 inputSize = fileSizeAt(inFilePath_);
    const AudioFileTypeID type = run.parser->audioFileTypeID();
    if (!CTIsWritableAudioFileType(type))
        throw StripFailure(unwritableInputMessage(AudioFileParser::expandTilde(inFilePath_), type,
                                                  run.parser->openStatus()));
    const AudioStreamBasicDescription format = run.parser->audioStreamBasicDescription();

    const QString outFilePath = resolveOutputPath(run);
    setOutFilePath(outFilePath);

    // Only a file that would be replaced is left alone: a destination folder still gets its
    // copy.
    if (settingsStore().boolForKey(QString::fromLatin1(kLeaveCleanFilesUntouchedKey)) &&
        isSameFile(outFilePath, inFilePath_) && carriesNothingToStrip(type)) {
        leftUntouched_ = true;
        return;
    }

    run.temporary.acquire(outFilePath, inFilePath_);
    const QString tempFilePath = run.temporary.tempFilePath();
    setTempFilePath(tempFilePath);

    PacketRecord record;
    const PacketCopyOutcome outcome = copyPackets(
        run.service, *run.parser, type, format, tempFilePath, run.output,
        [this] { return isCancelled(); }, environment_.verifyCopies ? &record : nullptr);
    if (outcome == PacketCopyOutcome::Cancelled) {
        // Stopped between blocks: no log line, and the clean-up removes the partial output.
        success_ = false;
        return;
    }

    run.parser.reset();
    run.temporary.fixPermissions(inFilePath_);

    const RepairPassResult repair =
        MP3RepairPass(environment_.repairToolDirectory).run(outFilePath, tempFilePath, type);
    if (repair.ran)
        run.temporary.noteFileReplaced();
    if (!repair.outputUsable)
        throw StripFailure(QString::fromLatin1(kRepairToolLeftNoUsableFile));

    // A fault between the copy and the disk (a flipped bit, a file system that puts a write in
    // the wrong place) must not replace the user's file; the input is still untouched here.
    // A copy that is gone cannot replace anything either; the commit says what happened to it.
    struct stat copy {};
    const bool copyExists = ::lstat(pathBytes(tempFilePath).constData(), &copy) == 0;
    if (environment_.verifyCopies && copyExists) {
        // A large copy goes to the disk while it is checked, so the flush before the commit
        // finds it there (a small one flushes in no time). A failed flush fails the job here:
        // the commit's own flush might not hear of an error that this one was told.
        std::future<int> flushed;
        try {
            if (copy.st_size >= kFlushWhileCheckingBytes)
                flushed = std::async(std::launch::async,
                                     [tempFilePath] { return syncPath(tempFilePath); });
        } catch (const std::system_error&) {
            // No thread to spare: the commit flushes on its own.
        }
        const CopyAllowance allowance =
            repair.ran ? CopyAllowance::RepairedMpegAudio : CopyAllowance::Exact;
        if (auto failure = verifyCopy(run.service, tempFilePath, inFilePath_, record, allowance))
            throw StripFailure(*failure);
        if (const int error = flushed.valid() ? flushed.get() : 0)
            throw StripFailure(QStringLiteral("Could not write the stripped copy: %1.")
                                   .arg(reasonForSystemError(error)));
    }

    keepIdentityInPlace(inFilePath_, outFilePath, tempFilePath);

    // The original goes to the Trash before it is replaced, as a link (or copy) that leaves it
    // at its path until the rename below, so the replacement stays one step.
    std::optional<TrashedItem> trashed;
    if (settingsStore().boolForKey(QString::fromLatin1(kMoveOriginalsToTrashKey)) &&
        isSameFile(outFilePath, inFilePath_)) {
        QString reason;
        trashed = Trash::keepCopy(outFilePath, &reason);
        if (!trashed)
            throw StripFailure(
                QStringLiteral("Could not move the original to the Trash: %1. The file was "
                               "left unchanged.")
                    .arg(reason));
    }

    FileError error;
    if (!CTFileSwap::swapItemAtURL(outFilePath, tempFilePath, &error,
                                   environment_.replacementFolders.get())) {
        systemLog(
            QStringLiteral("Commit of %1 failed: %2").arg(outFilePath, error.technicalDetail()));
        if (trashed)
            Trash::discard(*trashed);
        throw StripFailure(error.message());
    }

    bytesRemoved_ = std::max<qint64>(0, inputSize - fileSizeAt(outFilePath));
    success_ = true;
}

bool CleftoneOperation::carriesNothingToStrip(AudioFileTypeID type) const
{
    const std::string path = pathBytes(inFilePath_).toStdString();
    if (!inspectMetadata(path).carriesNothing())
        return false;
    // The repair pass would mend junk, a broken or cut-off frame or a wrong frame count; a
    // stream that needs it is stripped as usual.
    const bool mpegAudio =
        type == AudioFileType::MP3 || type == AudioFileType::MP2 || type == AudioFileType::MP1;
    return !mpegAudio || mpegStreamIsWhole(path);
}

Preferences& CleftoneOperation::settingsStore() const
{
    Preferences* store = defaultsOverride();
    return store ? *store : Preferences::standard();
}

QString CleftoneOperation::resolveOutputPath(Run& run)
{
    Preferences* store = &settingsStore();

    const QVariant setting = store->value(QString::fromLatin1(kDestinationDirectoryKey));
    if (setting.typeId() == QMetaType::QString &&
        setting.toString() == QLatin1String(kOverwriteExistingFile)) {
        // Replacing a symbolic link would put a stripped copy in the link's place and leave the
        // tagged file it points to as it was; the file itself is what gets stripped.
        struct stat input {};
        if (::lstat(pathBytes(inFilePath_).constData(), &input) == 0 && S_ISLNK(input.st_mode)) {
            if (const QString target = canonicalPath(inFilePath_); !target.isEmpty())
                return target;
        }
        return inFilePath_;
    }

    // Taken as text, not through QFileInfo, so that a name that is not UTF-8 keeps its bytes.
    const QString fileName = inFilePath_.mid(inFilePath_.lastIndexOf(QLatin1Char('/')) + 1);

    if (environment_.sandboxed) {
        const QByteArray bookmark =
            store->dataForKey(QString::fromLatin1(kDestinationFolderBookmarkKey));
        if (bookmark.isEmpty())
            throw StripFailure(QStringLiteral("No saved access for the destination folder. "
                                              "Please re-select it from the destination popup."));
        QString resolveError;
        const std::optional<ResolvedFolder> folder =
            FolderBookmark::resolve(bookmark, &resolveError);
        if (!folder)
            throw StripFailure(
                QStringLiteral("Could not resolve destination folder: %1").arg(resolveError));
        if (!FolderBookmark::startAccessing(folder->path))
            throw StripFailure(QStringLiteral(
                "Cleftone does not have access to the destination folder. Please re-select it."));
        run.accessedFolder = folder->path;
        if (folder->isStale) {
            if (const auto fresh = FolderBookmark::create(folder->path))
                store->setValue(QString::fromLatin1(kDestinationFolderBookmarkKey), *fresh);
        }
        return QDir(folder->path).filePath(fileName);
    }

    // Without a folder the output path would be relative to whatever the working directory
    // happens to be; refuse instead of writing somewhere the user never chose.
    const QString folder = setting.toString();
    if (folder.isEmpty() || QDir::isRelativePath(folder))
        throw StripFailure(QStringLiteral(
            "No destination folder is set. Please choose one from the destination popup."));
    return QDir(folder).filePath(fileName);
}

} // namespace cleftone
