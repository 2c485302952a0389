#pragma once

// Helpers of the strip job tests: files and folders, a forwarding audio-file service with hooks,
// test-time media, mounts, and the child mode in which the test binary strips one file for the
// crash and system-call tests.

#include "audiofile/RoundTrip.h"

#include "engine/CleftoneOperation.h"
#include "engine/audiofile/AudioFileService.h"
#include "platform/OperationQueue.h"
#include "platform/Preferences.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <sys/stat.h>

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& list, std::ostream* os)
{
    *os << "[";
    for (const QString& text : list)
        *os << "\n  \"" << text.toStdString() << '"';
    *os << "]";
}

namespace cleftone::test {

QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0644);
bool copyFile(const QString& from, const QString& to, mode_t mode = 0644);
std::optional<struct stat> lstatOf(const QString& path);
mode_t modeOf(const QString& path);
/// Every name in `directory`, hidden ones included.
QStringList namesIn(const QString& directory);
/// The names in `directory` that a strip job makes for itself: "cleftone.*", ".cleftone-replace-*"
/// and "*_NoTag*".
QStringList temporaryNamesIn(const QString& directory);
/// The record files in a leftover journal folder.
QStringList journalRecords(const QString& journalDirectory);

/// The system service with hooks, for cancelling or disturbing a job at a chosen point of its
/// packet copy. Hooks run on the job's thread.
class HookedService : public AudioFileService {
public:
    /// After each packet read, with the number of reads so far.
    std::function<void(int)> afterRead;
    /// Before the output file (the one created through this service) is closed.
    std::function<void()> beforeOutputClose;

    int reads() const;

    OSStatus AudioFileOpenURL(const std::string& path, std::int8_t permissions,
                              AudioFileTypeID typeHint, AudioFileID* outFile) override;
    OSStatus AudioFileGetPropertyInfo(AudioFileID file, AudioFilePropertyID property,
                                      std::uint32_t* outDataSize,
                                      std::uint32_t* outWritable) override;
    OSStatus AudioFileGetProperty(AudioFileID file, AudioFilePropertyID property,
                                  std::uint32_t* ioDataSize, void* outData) override;
    OSStatus AudioFileSetProperty(AudioFileID file, AudioFilePropertyID property,
                                  std::uint32_t dataSize, const void* data) override;
    OSStatus AudioFileCreateWithURL(const std::string& path, AudioFileTypeID type,
                                    const AudioStreamBasicDescription* format, std::uint32_t flags,
                                    AudioFileID* outFile) override;
    OSStatus AudioFileReadPacketData(AudioFileID file, bool useCache, std::uint32_t* ioNumBytes,
                                     AudioStreamPacketDescription* outPacketDescriptions,
                                     std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                     void* outBuffer) override;
    OSStatus AudioFileWritePackets(AudioFileID file, bool useCache, std::uint32_t numBytes,
                                   const AudioStreamPacketDescription* packetDescriptions,
                                   std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                   const void* buffer) override;
    OSStatus AudioFileClose(AudioFileID file) override;
    OSStatus AudioFileGetGlobalInfoSize(std::uint32_t selector, std::uint32_t specifierSize,
                                        const void* specifier, std::uint32_t* outDataSize) override;
    OSStatus AudioFileGetGlobalInfo(std::uint32_t selector, std::uint32_t specifierSize,
                                    const void* specifier, std::uint32_t* ioDataSize,
                                    void* outData) override;

private:
    AudioFileService& system_ = AudioFileService::system();
    mutable std::mutex mutex_;
    int reads_ = 0;
    std::set<AudioFileID> outputs_;
};

/// A tagged 16-bit stereo WAV of `seconds` seconds made with ffmpeg; false when that fails.
bool makeTaggedWav(const QString& path, int seconds);

/// A tmpfs mounted for one test, detached when the object goes. `error` tells why not.
class ScopedMount {
public:
    /// `options` like "size=1m"; `readOnly` mounts it read-only (after `prepare` ran on it
    /// while still writable).
    ScopedMount(const QString& directory, const QByteArray& options, bool readOnly,
                const std::function<void(const QString&)>& prepare = {});
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

private:
    QString directory_;
    bool ok_ = false;
    std::string error_;
};

/// What the child mode reports.
struct ChildStrip {
    bool started = false;
    bool finished = false;
    bool success = false;
    QStringList errors;
};

/// Path of this test binary, for the child mode.
QString testExecutable();
/// Arguments of the child mode: strips `input` with the settings in `preferencesFile`, noting
/// its temporary items in `journal`; `asNobody` drops root first (uid and gid 65534).
QStringList childStripArguments(const QString& journal, const QString& preferencesFile,
                                const QString& input, bool asNobody = false);
/// Runs the child mode to its end (at most 60 s).
ChildStrip runChildStrip(const QString& journal, const QString& preferencesFile,
                         const QString& input, bool asNobody = false);
/// The child mode's entry point; returns the exit status, or -1 when `argv` asks for no child.
int childMain(int argc, char** argv);

/// The leftover journal of the test process itself.
QString journalDirectoryForTests();

/// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    QByteArray old_;
    bool had_;
};

/// Strip jobs on a real queue, in a private folder, with their own settings file and the test's
/// leftover journal. Error-log lines are captured instead of going to the shared log.
class StripJobTest : public RoundTrip {
protected:
    void SetUp() override;

    /// tempPath(relative), created with its parents.
    QString folderAt(const QString& relative);
    /// Copies a fixture into `folder` (under its own name, or `name`).
    QString place(const QString& fixtureName, const QString& folder,
                  const QString& name = QString(), mode_t mode = 0644);
    /// The store's "destinationDirectory".
    void setDestination(const QString& value);
    /// The test's surroundings for a job: build channel, journal, captured error log.
    StripEnvironment environment(bool sandboxed = false);

    struct Outcome {
        bool finished = false; ///< within the time limit
        bool success = false;
        QStringList errors; ///< the error-log lines
        QString outFilePath;
        QString tempFilePath;
    };
    /// Runs one job on the queue and waits (at most two minutes) until it is done. `prepare`
    /// sees the job before it is queued.
    Outcome strip(const QString& input, const StripEnvironment& environment,
                  const std::function<void(CleftoneOperation&)>& prepare = {});

    /// "Cleftone Failed To Strip File: <name>.  Error:<message>".
    static QString failureLine(const QString& name, const QString& message);

    std::unique_ptr<Preferences> preferences;
    std::mutex logMutex;
    QStringList logged;
    // Last, so that it is gone (its worker joined) before what the jobs use.
    OperationQueue queue{QStringLiteral("org.cleftone.tests.queue")};
};

} // namespace cleftone::test
