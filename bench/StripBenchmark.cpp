// Speed and memory of the whole strip job, as a user meets it: a CleftoneOperation replacing a
// file in place or writing it into a folder, with its temporary file, copy check, flush, commit
// and (for MP3) the mp3val repair pass. Measured against what a durable strip cannot avoid:
//
// (a) Large files of each format (MP3, WAV, M4A, FLAC, AIFF), in place and into a folder,
//     against ffmpeg's stream copy as it is, ffmpeg with its output flushed to the disk (the
//     durability the job has), and cp with its copy flushed (the floor: one read, one flushed
//     write). Also the job without its copy check, and its peak anonymous memory.
// (b) 300 small tagged MP3s against mp3val alone on the same files (one process per file, as
//     the job runs it), and 300 small tagged M4As against a copy, flush and rename per file.
// (c) The peak resident memory of cleftone-strip and ffmpeg on a 24-hour M4B.
//
// Candidates run in alternation (ours, theirs, ours, theirs...) and the median run counts. It
// is a measurement, not a test: the targets are reported as PASS or MISS and the exit status
// is 0 whatever they say.

#include "StripBench.h"

#include "platform/MemoryTuning.h"

#include <QCoreApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

using namespace cleftone;
using namespace cleftone::bench;

constexpr double kDurableFfmpegTarget = 1.0;
constexpr double kFloorTarget = 2.0;
constexpr double kSmallMp3Target = 1.5;
constexpr double kSmallM4aTarget = 3.0;
constexpr double kAudiobookBudgetMB = 100;
constexpr double kAnonymousMemoryTargetMiB = 64;

struct Options {
    fs::path directory;
    int sizeMiB = 100;
    int smallCount = 300;
    int repeats = 5;
    int hours = 24;
    bool large = true;
    bool small = true;
    bool memory = true;
    std::string format; // large files of this format only
};

void printUsage()
{
    std::printf(
        "usage: cleftone-bench-strip [--dir DIR] [--size-mb N] [--small-count N] [--repeats N]\n"
        "                            [--hours N] [--only large|small|memory] [--format NAME]\n"
        "  --dir DIR          where the source files are made and kept, and the scratch folder\n"
        "                     goes (default $XDG_CACHE_HOME/cleftone-bench or\n"
        "                     ~/.cache/cleftone-bench)\n"
        "  --size-mb N        size of each large source file in MiB (default 100)\n"
        "  --small-count N    files in each small-file set (default 300)\n"
        "  --repeats N        alternating runs of each candidate; the median counts (default 5)\n"
        "  --hours N          length of the M4B audiobook whose memory is measured (default 24)\n"
        "  --only PART        measure one part only: large, small or memory\n"
        "  --format NAME      large files of one format only (MP3, WAV, M4A, FLAC, AIFF)\n");
}

std::optional<int> parseCount(const char* text, int low, int high)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < low || value > high)
        return std::nullopt;
    return int(value);
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    options.directory = defaultCacheDirectory();
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        std::optional<int> count;
        if (argument == "--dir" && hasValue) {
            options.directory = argv[++i];
        } else if (argument == "--size-mb" && hasValue &&
                   (count = parseCount(argv[++i], 1, 100000))) {
            options.sizeMiB = *count;
        } else if (argument == "--small-count" && hasValue &&
                   (count = parseCount(argv[++i], 1, 100000))) {
            options.smallCount = *count;
        } else if (argument == "--repeats" && hasValue && (count = parseCount(argv[++i], 1, 100))) {
            options.repeats = *count;
        } else if (argument == "--hours" && hasValue && (count = parseCount(argv[++i], 1, 1000))) {
            options.hours = *count;
        } else if (argument == "--only" && hasValue) {
            const std::string part = argv[++i];
            if (part != "large" && part != "small" && part != "memory")
                return std::nullopt;
            options.large = part == "large";
            options.small = part == "small";
            options.memory = part == "memory";
        } else if (argument == "--format" && hasValue) {
            options.format = argv[++i];
        } else {
            return std::nullopt;
        }
    }
    return options;
}

const char* verdict(bool pass)
{
    return pass ? "PASS" : "MISS";
}

void printTargets(const std::vector<LargeResult>& large, const std::vector<SmallResult>& small,
                  const std::optional<AudiobookResult>& audiobook)
{
    std::printf("\nTargets (ours / theirs in wall time)\n");
    for (const auto& result : large) {
        const char* name = result.format->name;
        std::printf(
            "(a) %-5s in place:      %s vs ffmpeg + fsync (at most %.1f): %s;  %s vs "
            "cp + fsync (at most %.1f): %s\n",
            name, formatWallRatio(result.ours, result.ffmpegInPlaceFlushed).c_str(),
            kDurableFfmpegTarget,
            verdict(withinRatio(result.ours, result.ffmpegInPlaceFlushed, kDurableFfmpegTarget)),
            formatWallRatio(result.ours, result.floor).c_str(), kFloorTarget,
            verdict(withinRatio(result.ours, result.floor, kFloorTarget)));
        std::printf("(a) %-5s into a folder: %s vs ffmpeg + fsync (at most %.1f): %s;  %s vs "
                    "cp + fsync (at most %.1f): %s\n",
                    name, formatWallRatio(result.oursIntoFolder, result.ffmpegNewFlushed).c_str(),
                    kDurableFfmpegTarget,
                    verdict(withinRatio(result.oursIntoFolder, result.ffmpegNewFlushed,
                                        kDurableFfmpegTarget)),
                    formatWallRatio(result.oursIntoFolder, result.floor).c_str(), kFloorTarget,
                    verdict(withinRatio(result.oursIntoFolder, result.floor, kFloorTarget)));
        std::printf("(a) %-5s peak anonymous memory %.1f MiB (at most %.0f MiB): %s\n", name,
                    result.peakAnonymousMiB, kAnonymousMemoryTargetMiB,
                    verdict(result.ours && result.peakAnonymousMiB <= kAnonymousMemoryTargetMiB));
        if (!result.note.empty())
            std::printf("          note: %s\n", result.note.c_str());
    }
    for (const auto& result : small) {
        const double limit = result.kind->repaired ? kSmallMp3Target : kSmallM4aTarget;
        std::printf(
            "(b) %-5s %d small files: %s vs %s (at most %.1f): %s\n", result.kind->name,
            result.count, formatWallRatio(result.ours, result.floor).c_str(),
            result.kind->repaired ? "mp3val alone" : "copy + fsync + rename", limit,
            verdict(withinRatio(result.ours, result.floor, limit) && result.taggedAfter == 0));
        if (!result.note.empty())
            std::printf("          note: %s\n", result.note.c_str());
    }
    if (audiobook) {
        const double peakMB = double(audiobook->oursPeakKiB) * 1024 / 1e6;
        std::printf("(c) %d-hour M4B peak resident memory %.1f MB (under %.0f MB): %s\n",
                    int(audiobook->hours), peakMB, kAudiobookBudgetMB,
                    verdict(audiobook->oursPeakKiB >= 0 && peakMB < kAudiobookBudgetMB));
    }
}

bool processIsGone(const std::string& pid)
{
    char* end = nullptr;
    const long value = std::strtol(pid.c_str(), &end, 10);
    return *end == '\0' && value > 0 && ::kill(pid_t(value), 0) != 0 && errno == ESRCH;
}

// Scratch folders are named after the process; those of runs that were killed are removed.
void removeStaleScratchFolders(const fs::path& directory)
{
    std::error_code error;
    const std::string prefix = "strip-scratch-";
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && processIsGone(name.substr(prefix.size())))
            fs::remove_all(entry.path(), error);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // The jobs read their settings, find their repair tool and allocate as in the application.
    cleftone::tuneMemoryAllocator();
    QCoreApplication application(argc, argv);
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        printUsage();
        return 0;
    }
    std::error_code error;
    fs::create_directories(options->directory, error);
    if (error) {
        std::fprintf(stderr, "cannot create %s: %s\n", options->directory.c_str(),
                     error.message().c_str());
        return 0;
    }
    removeStaleScratchFolders(options->directory);
    const fs::path scratch = options->directory / ("strip-scratch-" + std::to_string(::getpid()));
    fs::create_directories(scratch, error);

    const std::optional<fs::path> repairTool = findProgram("mp3val", true);
    if (repairTool)
        std::printf("mp3val for the repair pass: %s\n", repairTool->c_str());
    else
        std::printf("mp3val not found: MP3 jobs run without their repair pass\n");
    StripJobs jobs(scratch, repairTool ? repairTool->parent_path() : scratch / "no-mp3val");

    std::vector<LargeResult> large;
    if (options->large) {
        std::vector<std::pair<const Format*, fs::path>> sources;
        for (const auto& format : formats()) {
            if (!options->format.empty() && options->format != format.name)
                continue;
            if (const auto source = ensureSource(format, options->directory, options->sizeMiB))
                sources.emplace_back(&format, *source);
        }
        for (const auto& [format, source] : sources)
            large.push_back(measureLarge(*format, source, scratch, jobs, options->repeats));
    }

    std::vector<SmallResult> small;
    if (options->small) {
        std::vector<std::pair<const SmallKind*, fs::path>> sets;
        for (const auto& kind : smallKinds()) {
            if (kind.repaired && !repairTool)
                continue;
            if (const auto set = ensureSmallSet(kind, options->directory, options->smallCount))
                sets.emplace_back(&kind, *set);
        }
        for (const auto& [kind, set] : sets)
            small.push_back(measureSmall(*kind, set, scratch, jobs, repairTool.value_or(fs::path()),
                                         options->repeats));
    }

    std::optional<AudiobookResult> audiobook;
    if (options->memory) {
        if (const auto stripTool = findProgram("cleftone-strip", false))
            audiobook = measureAudiobook(options->directory, scratch, *stripTool, options->hours);
        else
            std::printf("cleftone-strip not found beside the benchmark: no memory measurement\n");
    }

    printLargeTables(large, options->repeats);
    printSmallTable(small, options->repeats);
    if (audiobook)
        printAudiobook(*audiobook);
    printTargets(large, small, audiobook);

    fs::remove_all(scratch, error);
    return 0;
}
