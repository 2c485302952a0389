#pragma once

// Helpers of the strip job tests: a hooked audio-file service, media, mounts, a child mode.

#include "MockAudioFileService.h"
#include "audiofile/RoundTrip.h"

#include "engine/CleftoneOperation.h"
#include "platform/OperationQueue.h"
#include "platform/Preferences.h"

#include <QCoreApplication>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>

namespace cleftone::test {

inline std::optional<struct stat> statOf(const QString& path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? std::optional(info)
                                                                    : std::nullopt;
}

inline bool exists(const QString& path)
{
    return statOf(path).has_value();
}

inline mode_t modeOf(const QString& path)
{
    const auto info = statOf(path);
    return info ? (info->st_mode & 07777) : 0;
}

/// Every name in `directory`, hidden ones included.
inline QStringList namesIn(const QString& directory)
{
    return QDir(directory).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

/// Sets an environment variable for the life of the object.
struct ScopedEnv {
    ScopedEnv(const char* name, const QByteArray& value) : name(name), old(qgetenv(name))
    {
        qputenv(name, value);
    }
    ~ScopedEnv() { old.isNull() ? void(qunsetenv(name)) : void(qputenv(name, old)); }

    const char* name;
    const QByteArray old; // null: unset
};

/// The system service with hooks that disturb a job's packet copy, run on the job's thread.
class HookedService : public ::testing::NiceMock<MockAudioFileService> {
public:
    HookedService();

    /// After each packet read, with the number of reads so far.
    std::function<void(int)> afterRead;
    /// Flips one bit in the middle of the data of this write of packets (1-based; 0: none).
    int corruptWrite = 0;
    /// Flips a bit in the last byte of the codec setup that the job writes into its copy.
    bool corruptSetup = false;
    /// Before an output file is closed, once every packet is written.
    std::function<void()> beforeOutputClose;

    int reads() const { return reads_; }

private:
    std::atomic<int> reads_{0};
    int writes_ = 0;
    std::set<AudioFileID> outputs_;
};

/// A tagged 16-bit stereo WAV of `seconds` seconds made with ffmpeg; false when that fails.
bool makeTaggedWav(const QString& path, int seconds);

/// A file system mounted at `directory` by `commands`, detached when the object goes.
class ScopedMount {
public:
    ScopedMount(const QString& directory, const QList<QStringList>& commands);
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    /// Runs one more command on the mount, e.g. a read-only remount.
    bool run(const QStringList& command);
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    /// A tmpfs with `options` like "size=1m".
    static QList<QStringList> tmpfs(const QString& directory, const QString& options);
    /// A fresh 32 MB FAT image mounted read-write through FUSE, as USB sticks and phones are.
    static QList<QStringList> fat(const QString& image, const QString& directory);

private:
    QString directory_;
    std::string error_;
};

/// Path of this test binary, for the child mode.
inline QString testExecutable()
{
    return QCoreApplication::applicationFilePath();
}

/// Strip jobs on a real queue with private folders and settings; error-log lines are captured.
class StripJobTest : public RoundTrip {
protected:
    void SetUp() override;

    /// Copies a fixture into `folder` (under its own name, or `name`).
    QString place(const QString& fixtureName, const QString& folder,
                  const QString& name = QString(), mode_t mode = 0644);
    /// The store's "destinationDirectory".
    void setDestination(const QString& value);
    /// The test's surroundings for a job: build channel, service, captured error log.
    StripEnvironment environment(bool sandboxed = false, AudioFileService* service = nullptr);

    struct Outcome {
        bool finished = false; ///< within the time limit
        bool success = false;
        bool leftUntouched = false;
        QStringList errors; ///< the error-log lines
        QString outFilePath;
        QString tempFilePath;
    };
    /// Runs one job on the queue and waits (at most two minutes); `prepare` sees it first.
    Outcome strip(const QString& input, const StripEnvironment& environment,
                  const std::function<void(CleftoneOperation&)>& prepare = {});

    /// The child mode strips `input` and prints "error:<line>"s and "success:<0|1>".
    QStringList childArguments(const QString& input, const QStringList& options = {}) const;

    static QString failureLine(const QString& name, const QString& message)
    {
        return QStringLiteral("Cleftone Failed To Strip File: %1.  Error:%2").arg(name, message);
    }
    /// Expects a finished, failed job with exactly `line` logged, and no journal record left.
    static void expectFailed(const Outcome& outcome, const QString& line);
    /// A finished, successful, silent job whose output passes the judge of stripped files.
    void expectStripped(const Outcome& outcome, const QString& in, const QString& ref = {},
                        bool tagged = true);

    std::unique_ptr<Preferences> preferences;
    std::mutex logMutex;
    QStringList logged;
    // Last, so that it is gone (its worker joined) before what the jobs use.
    OperationQueue queue{QStringLiteral("org.cleftone.tests.queue")};
};

} // namespace cleftone::test
