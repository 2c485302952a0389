#pragma once

#include "engine/LeftoverJournal.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace cleftone {

class ReplacementFolders;

/// Creates "cleftone.XXXXXX" in `directory` with mkostemp (close-on-exec) and returns its open
/// descriptor, storing the completed path in `createdPath`; returns -1 and leaves `createdPath`
/// as it was when the file cannot be made. Any thread.
int CTCreateTemporaryFile(const QString& directory, QString* createdPath);

/// Where a temporary file for `outputPath` may go, in this order: the output's own folder, then
/// the user's temporary folder (QDir::tempPath()). Any thread.
QStringList tempDirectoryCandidatesForOutputPath(const QString& outputPath);

/// A fresh private directory (mode 0700) named ".cleftone-replace-XXXXXX" in the output's
/// folder, hence on the output's file system, for building its replacement; none when that
/// folder refuses. Any thread.
std::optional<QString> createReplacementDirectory(const QString& outputPath);

/// The input path with "_NoTag" put before its extension: /a/song.mp3 gives /a/song_NoTag.mp3.
QString fallbackPathForInputPath(const QString& inputPath);

/// The temporary file one strip job writes its output into before the commit, and the
/// replacement directory around it. Acquisition never fails: when no temporary file can be made
/// anywhere, a new "_NoTag" file beside the input stands in for it. Everything it makes is noted
/// in the leftover journal first, so that a later start removes it if this process is killed.
///
/// Threads: the owning job's worker thread.
class TemporaryOutput {
public:
    using ReplacementDirectoryMaker = std::function<std::optional<QString>(const QString&)>;

    /// `journalDirectory` empty: the default journal. `makeReplacementDirectory` unset:
    /// createReplacementDirectory (tests put a refusing one in its place).
    explicit TemporaryOutput(QString journalDirectory = QString(),
                             ReplacementDirectoryMaker makeReplacementDirectory = {});
    /// Takes the replacement directory from the run's shared `folders` (when set) instead of
    /// making one of its own; the temporary file inside it then needs no journal entry of its
    /// own, since the folder's entry covers everything in it.
    TemporaryOutput(QString journalDirectory, std::shared_ptr<ReplacementFolders> folders);
    TemporaryOutput(const TemporaryOutput&) = delete;
    TemporaryOutput& operator=(const TemporaryOutput&) = delete;
    /// Cleans up (with the output path given to acquire()) unless cleanUp() already ran.
    ~TemporaryOutput();

    /// Takes a temporary file for `outFilePath`: in a new replacement directory, else in each of
    /// tempDirectoryCandidatesForOutputPath() in turn, else a "_NoTag" file beside `inFilePath`
    /// (with the system-log line "Cleftone Could Not Create Temporary File!  Creating New Audio
    /// File Instead!"). The "_NoTag" file is created exclusively under a name that is free (with
    /// "-2", "-3"… added when needed), so no existing file is ever overwritten; the new audio
    /// file is later created over that empty file of ours.
    void acquire(const QString& outFilePath, const QString& inFilePath);

    /// Empty before acquire().
    const QString& tempFilePath() const { return tempFilePath_; }
    /// The descriptor of the temporary file, open until the clean-up; -1 for the fallback file.
    int descriptor() const { return descriptor_; }
    const std::optional<QString>& replacementDirectory() const { return replacementDirectory_; }
    bool usesFallbackFile() const { return fallback_; }

    /// Sets the temporary file's mode to 0644 masked by the input's permission bits, so that the
    /// output is never readable by more people than the input was (0600 stays 0600, 0755 gives
    /// 0644). Errors are ignored.
    void fixPermissions(const QString& inputPath);

    /// To be called after the repair tool ran: it may have put a new file (inode) at the path.
    void noteFileReplaced();

    /// Closes the descriptor, removes the temporary file unless its path is textually
    /// `outFilePath` (after a commit nothing is left there), removes the replacement directory
    /// with whatever it holds, and drops the journal record. Errors are ignored. Runs once.
    void cleanUp(const QString& outFilePath);

private:
    bool createFallbackFile(const QString& inFilePath);

    LeftoverRecord record_;
    ReplacementDirectoryMaker makeReplacementDirectory_;
    std::shared_ptr<ReplacementFolders> sharedFolders_;
    bool directoryIsShared_ = false;
    QString outFilePath_;
    QString tempFilePath_;
    int descriptor_ = -1;
    std::optional<QString> replacementDirectory_;
    int fileEntry_ = -1;
    int directoryEntry_ = -1;
    bool fallback_ = false;
    bool ownsFallbackFile_ = false;
    bool acquired_ = false;
    bool cleanedUp_ = false;
};

} // namespace cleftone
