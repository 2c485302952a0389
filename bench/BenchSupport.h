#pragma once

// Helpers shared by the benchmarks: running programs without a shell, the large source files
// kept in the benchmark cache, and timed plain copies.
//
// Threads: any thread; nothing here keeps state between calls.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace cleftone::bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

inline constexpr double kMiB = 1024.0 * 1024.0;

/// Independent pink noise per channel plus a tone: something music-like that neither FLAC's
/// stereo decorrelation nor its predictor shrinks much.
extern const char* const kSourceGraph;

/// A container the large-file benchmarks measure, and how ffmpeg encodes a source for it.
struct Format {
    const char* name;
    const char* extension;
    const char* muxer;
    std::vector<std::string> codecArguments;
};

/// MP3 (320k), WAV (16-bit PCM), M4A (AAC 256k), FLAC (level 0) and AIFF (16-bit PCM), in that
/// order.
const std::vector<Format>& formats();

/// $XDG_CACHE_HOME/cleftone-bench, else ~/.cache/cleftone-bench.
fs::path defaultCacheDirectory();

double secondsSince(Clock::time_point start);

/// Size in bytes; -1 when the file cannot be looked at.
std::int64_t fileSize(const fs::path& path);

void removeQuietly(const fs::path& path);

/// Runs a program (looked up on PATH) without a shell and returns its exit status, or -1 when
/// it could not be started or was killed. With `onLine`, its standard output is read line by
/// line; otherwise it is discarded. Standard error stays the caller's, so failures show.
int runProgram(const std::vector<std::string>& arguments,
               const std::function<void(const std::string&)>& onLine = {});

/// ffmpeg arguments that encode `seconds` of kSourceGraph for `format` into `output`.
std::vector<std::string> encodeArguments(const Format& format, double seconds,
                                         const fs::path& output, bool progress);

/// Makes (or reuses) "source-<sizeMiB>mb.<ext>" of at least `sizeMiB` in `directory`, printing
/// progress. The same names and contents as the engine benchmark makes, so both share a cache.
std::optional<fs::path> ensureSource(const Format& format, const fs::path& directory, int sizeMiB);

/// Reads the whole file once, so that later readers find it in the page cache.
bool readWholeFile(const fs::path& path);

/// Copies through user space (never copy_file_range, which would share blocks on file systems
/// with reflinks); with `flush`, the copy is fsync'ed before the clock stops. Seconds taken, or
/// none on failure.
std::optional<double> timePlainCopy(const fs::path& from, const fs::path& to, bool flush = false);

/// Flushes a finished file to the disk (fsync), as a durable tool must before a rename.
bool flushFile(const fs::path& path);

/// Writes back the dirty pages of the file system that holds `directory`, so that the writeback
/// of one measurement does not land in the next one.
void settleFileSystem(const fs::path& directory);

/// This process's anonymous resident memory (RssAnon of /proc/self/status) in bytes.
std::int64_t anonymousMemory();

/// Samples anonymous memory every few milliseconds from construction until stop(), which
/// returns the peak above the value at construction, in bytes. File pages (the page cache,
/// the repair tool's mapping of its file) are not counted.
class AnonymousMemorySampler {
public:
    AnonymousMemorySampler();
    ~AnonymousMemorySampler();
    double stop();

private:
    std::int64_t baseline_;
    std::atomic<std::int64_t> peak_;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

/// A table cell "<amount per second> (<seconds>s)", or "failed" without a time.
std::string formatRate(double amount, const std::optional<double>& seconds);
/// Speed ratio `otherSeconds / ourSeconds`: above 1 means ours is faster.
std::string formatRatio(const std::optional<double>& ourSeconds,
                        const std::optional<double>& otherSeconds);

} // namespace cleftone::bench
