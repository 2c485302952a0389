#pragma once

// The parts of the strip benchmark: (a) large files of each format against ffmpeg and the
// copy floor, (b) sets of small files against the cost of their floors, (c) the peak memory of
// one very long audiobook. Each part measures and prints its own table; the main program
// collects the targets.
//
// Threads: the benchmark's main thread; the strip jobs run on their queue's worker.

#include "BenchSupport.h"

#include "engine/CleftoneOperation.h"
#include "platform/Preferences.h"

#include <QStringList>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace cleftone::bench {

/// Wall time, and where the processor time went: this process (all threads) and the children it
/// waited for (mp3val, ffmpeg).
struct Timing {
    double wall = 0;
    double ownCpu = 0;
    double childCpu = 0;
};

class Stopwatch {
public:
    Stopwatch();
    Timing stop() const;

private:
    Clock::time_point start_;
    double own_;
    double children_;
};

/// Every run of one candidate. The machine is shared and noisy, so candidates are run in
/// alternation (ours, theirs, ours, theirs...) and the median run counts.
struct Samples {
    std::vector<Timing> runs;
    explicit operator bool() const { return !runs.empty(); }
    void add(const Timing& timing) { runs.push_back(timing); }
    /// The run of median wall time (the upper one of an even count).
    Timing median() const;
    std::optional<double> wall() const;
};

/// "0.42s", or "-" without runs.
std::string formatSeconds(const Samples& samples);
/// Wall-time ratio ours / theirs ("1.23"): at most 1 means ours is as fast or faster.
std::string formatWallRatio(const Samples& ours, const Samples& theirs);
/// Whether ours took at most `limit` times theirs (false without runs of both).
bool withinRatio(const Samples& ours, const Samples& theirs, double limit);

/// ffmpeg's stream copy of the first audio stream without metadata, bit-exact.
std::vector<std::string> ffmpegStripArguments(const fs::path& from, const fs::path& to);

/// Flushes the file, renames it over `to` and flushes the folder: what a durable tool does.
bool flushAndRename(const fs::path& from, const fs::path& to);

/// A program of the build tree: beside this executable, in the build's bin/ folder, or (with
/// `orOnPath`) on PATH.
std::optional<fs::path> findProgram(const std::string& name, bool orOnPath);

/// Runs real strip jobs with a settings store of their own and collects their error-log lines.
class StripJobs {
public:
    StripJobs(const fs::path& scratch, const fs::path& repairToolDirectory);

    struct Outcome {
        Timing timing;
        int failed = 0;
        QString firstError;
    };

    /// Strips `files` one job after the other on one serial queue, as the window does: in
    /// place, or into `destination` when it is given; with or without the copy check.
    Outcome strip(const std::vector<fs::path>& files, const fs::path& destination = {},
                  bool verify = true);

private:
    struct Errors {
        std::mutex mutex;
        QStringList lines;
    };
    Preferences settings_;
    StripEnvironment environment_;
    std::shared_ptr<Errors> errors_;
};

// (a) Large files

struct LargeResult {
    const Format* format = nullptr;
    double sizeMiB = 0;
    Samples floor;                // cp + fsync of the copy
    Samples ours;                 // in place, checked
    Samples oursUnchecked;        // in place, without the copy check
    Samples ffmpegInPlace;        // ffmpeg from the file, renamed over it
    Samples ffmpegInPlaceFlushed; // the same, flushed before the rename
    Samples oursIntoFolder;       // into a destination folder
    Samples ffmpegNew;            // ffmpeg into a new file
    Samples ffmpegNewFlushed;     // the same, flushed
    double peakAnonymousMiB = 0;  // the job's peak anonymous memory above its baseline
    std::string note;
};

LargeResult measureLarge(const Format& format, const fs::path& source, const fs::path& scratch,
                         StripJobs& jobs, int repeats);
void printLargeTables(const std::vector<LargeResult>& results, int repeats);

// (b) Small files

struct SmallKind {
    const char* name;
    const char* extension;
    Format encoding;
    bool repaired; ///< the job runs mp3val on it: the floor is mp3val alone
};
const std::vector<SmallKind>& smallKinds();

/// Makes (or reuses) `count` tagged files of `kind` in the cache folder.
std::optional<fs::path> ensureSmallSet(const SmallKind& kind, const fs::path& directory, int count);

struct SmallResult {
    const SmallKind* kind = nullptr;
    int count = 0;
    int taggedBefore = 0;
    int taggedAfter = -1;
    Samples ours;
    Samples floor; // mp3val alone per file, or copy + flush + rename per file
    std::string note;
};

SmallResult measureSmall(const SmallKind& kind, const fs::path& set, const fs::path& scratch,
                         StripJobs& jobs, const fs::path& repairTool, int repeats);
void printSmallTable(const std::vector<SmallResult>& results, int repeats);

// (c) A long audiobook

struct AudiobookResult {
    double hours = 0;
    double sizeMB = 0;
    long oursPeakKiB = -1;
    long ffmpegPeakKiB = -1;
    double oursSeconds = 0;
    double ffmpegSeconds = 0;
    std::string note;
};

/// Makes (or reuses) an M4B of `hours` of AAC at 32 kb/s, then strips a copy of it with
/// cleftone-strip and with ffmpeg, each as a child process whose peak resident set counts.
AudiobookResult measureAudiobook(const fs::path& directory, const fs::path& scratch,
                                 const fs::path& stripTool, int hours);
void printAudiobook(const AudiobookResult& result);

} // namespace cleftone::bench
