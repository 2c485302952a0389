#pragma once

#include "engine/audiofile/AudioFileService.h"
#include "platform/OperationQueue.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace cleftone {

class Preferences;
class ReplacementFolders;

/// What a strip job uses from its surroundings. The defaults are the application's own; tests
/// put their own service, tool folder, error log or build channel in.
struct StripEnvironment {
    AudioFileService* service = nullptr;          ///< null: AudioFileService::system()
    bool sandboxed;                               ///< defaults to CTIsSandboxedBuild()
    QString repairToolDirectory;                  ///< empty: beside the executable
    QString journalDirectory;                     ///< empty: the default leftover journal
    std::function<void(const QString&)> logError; ///< empty: the shared error log
    /// Shared by the jobs of one run: one replacement folder per output folder and one folder
    /// flush per run. Null: each job makes and removes its own, and flushes after its rename.
    std::shared_ptr<ReplacementFolders> replacementFolders;
    /// Re-read the finished copy and compare it with what was read from the input before it
    /// replaces anything. Only benchmarks measuring its cost turn it off.
    bool verifyCopies = true;

    StripEnvironment();
};

/// The job that strips one file: opens it, checks that its container type can be written
/// back, copies its packets into a temporary file, repairs MP3 output and commits the result
/// over the output path, which is the input itself or a file of the same name in the
/// destination folder. A failure leaves the input untouched and writes one error-log line,
/// "Cleftone Failed To Strip File: <name>.  Error:<message>". With kMoveOriginalsToTrashKey set,
/// a job that replaces its input first keeps the original in the Trash (see Trash), and fails
/// without touching the input when that is not possible. With kLeaveCleanFilesUntouchedKey set,
/// a job that would replace its input leaves a file that carries no metadata as it is (an MPEG
/// audio file only when its frames need no repair either) and succeeds with leftUntouched().
///
/// Threads: main() runs on the queue's worker thread. The accessors may be called from any
/// thread; the batch reads `inFilePath()` and `success()` once the job has finished. cancel()
/// may come from any thread and is seen before the next block of the packet copy.
class CleftoneOperation : public Operation {
public:
    explicit CleftoneOperation(const QString& inFilePath,
                               StripEnvironment environment = StripEnvironment());

    QString inFilePath() const;
    QString outFilePath() const;
    QString tempFilePath() const;
    /// True until the job fails, or is cancelled during the packet copy.
    bool success() const { return success_.load(); }
    /// After a successful job: by how many bytes the output is smaller than the input was,
    /// never below 0. 0 until then.
    qint64 bytesRemoved() const { return bytesRemoved_.load(); }
    /// After a successful job: the file carried nothing to remove and was left as it was.
    bool leftUntouched() const { return leftUntouched_.load(); }

    /// A settings store read instead of the standard preferences (and where a refreshed
    /// bookmark is stored). Not owned; must outlive the job.
    void setDefaultsOverride(Preferences* defaults);
    Preferences* defaultsOverride() const;

    /// The output's own folder, then the user's temporary folder.
    static QStringList tempDirectoryCandidatesForOutputPath(const QString& outputPath);

protected:
    void main() override;

private:
    struct Run;
    void runPipeline(Run& run);
    QString resolveOutputPath(Run& run);
    bool carriesNothingToStrip(AudioFileTypeID type) const;
    Preferences& settingsStore() const;
    void setOutFilePath(const QString& path);
    void setTempFilePath(const QString& path);

    const QString inFilePath_;
    const StripEnvironment environment_;
    mutable std::mutex mutex_;
    QString outFilePath_;
    QString tempFilePath_;
    Preferences* defaultsOverride_ = nullptr;
    std::atomic<bool> success_{true};
    std::atomic<qint64> bytesRemoved_{0};
    std::atomic<bool> leftUntouched_{false};
};

} // namespace cleftone
