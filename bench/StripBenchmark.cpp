// Speed of the whole strip job, as a user meets it: a CleftoneOperation replacing a file in
// place, with the temporary file, the flush, the commit and (for MP3) the mp3val repair pass.
//
// (a) Large files: each of the 200 MiB MP3/WAV/M4A/FLAC/AIFF sources of the engine benchmark,
//     stripped in place (against ffmpeg's stream copy from a copy of the source, renamed over
//     it) and into a destination folder (against ffmpeg writing a new file), as wall-time
//     ratios; the job again without its copy check, to tell what the check costs; and the
//     job's peak anonymous memory. Each candidate runs once per round, the rounds alternate
//     ours and ffmpeg, and the median of the rounds counts.
// (b) Small files: 1000 tagged MP3 files (ID3v2.4 with a cover, plus ID3v1) and 1000 tagged
//     M4A files (ilst with covr), stripped one job at a time on one queue as the window does,
//     against one ffmpeg per file (written beside the file and renamed over it) and, for MP3,
//     against one mid3v2 process given every path.
//
// It is a measurement, not a test: the targets are reported as PASS or MISS and the exit
// status is 0 whatever they say.

#include "BenchSupport.h"

#include "engine/CleftoneOperation.h"
#include "engine/ReplacementFolders.h"
#include "platform/BuildConfig.h"
#include "platform/MemoryTuning.h"
#include "platform/OperationQueue.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"

#include <QCoreApplication>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace cleftone;
using namespace cleftone::bench;

constexpr double kSmallMp3FilesPerSecondTarget = 200;
constexpr double kSmallM4aFilesPerSecondTarget = 400;

struct Options {
    fs::path directory;
    int sizeMiB = 200;
    int smallCount = 1000;
    int repeats = 5;
    bool large = true;
    bool small = true;
    std::string format; // large files of this format only (MP3, WAV, M4A, FLAC, AIFF)
};

void printUsage()
{
    std::printf(
        "usage: cleftone-bench-strip [--dir DIR] [--size-mb N] [--small-count N] [--repeats N]\n"
        "                            [--only large|small] [--format NAME]\n"
        "  --dir DIR          where the source files are made and kept, and the scratch folder\n"
        "                     goes (default $XDG_CACHE_HOME/cleftone-bench or\n"
        "                     ~/.cache/cleftone-bench)\n"
        "  --size-mb N        size of each large source file in MiB (default 200)\n"
        "  --small-count N    files in each small-file set (default 1000)\n"
        "  --repeats N        alternating runs of each candidate; the median counts\n"
        "                     (default 5)\n"
        "  --only large|small measure one part only\n"
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
        } else if (argument == "--only" && hasValue) {
            const std::string part = argv[++i];
            if (part != "large" && part != "small")
                return std::nullopt;
            options.large = part == "large";
            options.small = part == "small";
        } else if (argument == "--format" && hasValue) {
            options.format = argv[++i];
        } else {
            return std::nullopt;
        }
    }
    return options;
}

bool isExecutableFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

// The job looks for mp3val in a folder. The build links it into bin/, while this program lives
// in bench/: look beside the executable, then in the build tree's bin/, then on PATH.
std::optional<fs::path> findRepairToolDirectory()
{
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        for (const fs::path& folder :
             {executable.parent_path(), executable.parent_path().parent_path() / "bin"}) {
            if (isExecutableFile(folder / "mp3val"))
                return fs::weakly_canonical(folder, error);
        }
    }
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const fs::path folder(std::string(rest.substr(0, colon)));
        if (!folder.empty() && isExecutableFile(folder / "mp3val"))
            return folder;
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    return std::nullopt;
}

// Wall time, and where the processor time went: this process (all threads) and the children it
// waited for (mp3val, ffmpeg, mid3v2).
struct Timing {
    double wall = 0;
    double ownCpu = 0;
    double childCpu = 0;
};

double cpuSeconds(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Stopwatch {
public:
    Stopwatch()
        : start_(Clock::now()), own_(cpuSeconds(RUSAGE_SELF)),
          children_(cpuSeconds(RUSAGE_CHILDREN))
    {}
    Timing stop() const
    {
        return {secondsSince(start_), cpuSeconds(RUSAGE_SELF) - own_,
                cpuSeconds(RUSAGE_CHILDREN) - children_};
    }

private:
    Clock::time_point start_;
    double own_;
    double children_;
};

// Every run of one candidate. The machine is shared and noisy, so candidates are run in
// alternation (ours, theirs, ours, theirs...) and the median run counts.
struct Samples {
    std::vector<Timing> runs;
    explicit operator bool() const { return !runs.empty(); }
    /// The run of median wall time (the upper one of an even count).
    Timing median() const
    {
        std::vector<Timing> sorted = runs;
        std::sort(sorted.begin(), sorted.end(),
                  [](const Timing& a, const Timing& b) { return a.wall < b.wall; });
        return sorted.at(sorted.size() / 2);
    }
};

void keepBest(Samples& samples, const Timing& candidate)
{
    samples.runs.push_back(candidate);
}

std::optional<double> wallOf(const Samples& samples)
{
    return samples ? std::optional<double>(samples.median().wall) : std::nullopt;
}

// The copy check before the commit, which benchmarks switch off to tell what it costs.
void setCopyVerification(StripEnvironment& environment, bool on)
{
    environment.verifyCopies = on;
}

// Runs real strip jobs with a settings store of their own that says "Overwrite Existing File",
// and collects their error-log lines.
class StripJobs {
public:
    StripJobs(const fs::path& scratch, const fs::path& repairToolDirectory)
        : settings_(QString::fromStdString((scratch / "strip.conf").string())),
          errors_(std::make_shared<Errors>())
    {
        settings_.setValue(QString::fromLatin1(kDestinationDirectoryKey),
                           QString::fromLatin1(kOverwriteExistingFile));
        environment_.sandboxed = false;
        environment_.repairToolDirectory = QString::fromStdString(repairToolDirectory.string());
        // Leftover records go to the scratch folder, on the same file system as the default.
        environment_.journalDirectory = QString::fromStdString((scratch / "journal").string());
        environment_.logError = [errors = errors_](const QString& line) {
            std::lock_guard lock(errors->mutex);
            errors->lines.append(line);
        };
    }

    struct Outcome {
        Timing timing;
        int failed = 0;
        QString firstError;
    };

    /// Strips `files` one job after the other on one serial queue: in place, or into
    /// `destination` when it is given; with or without the copy check before the commit.
    Outcome strip(const std::vector<fs::path>& files, const fs::path& destination = {},
                  bool verify = true)
    {
        settings_.setValue(QString::fromLatin1(kDestinationDirectoryKey),
                           destination.empty() ? QString::fromLatin1(kOverwriteExistingFile)
                                               : QString::fromStdString(destination.string()));
        {
            std::lock_guard lock(errors_->mutex);
            errors_->lines.clear();
        }
        Outcome outcome;
        std::vector<std::shared_ptr<CleftoneOperation>> jobs;
        const Stopwatch stopwatch;
        const auto folders = std::make_shared<ReplacementFolders>(environment_.journalDirectory);
        StripEnvironment environment = environment_;
        environment.replacementFolders = folders;
        setCopyVerification(environment, verify);
        {
            OperationQueue queue(QString::fromLatin1(bundleIdentifier()) +
                                 QStringLiteral(".queue"));
            queue.setMaxConcurrentOperationCount(1);
            std::vector<std::shared_ptr<Operation>> operations;
            for (const fs::path& file : files) {
                auto job = std::make_shared<CleftoneOperation>(
                    QString::fromStdString(file.string()), environment);
                job->setDefaultsOverride(&settings_);
                jobs.push_back(job);
                operations.push_back(job);
            }
            queue.addOperations(operations, true);
        }
        folders->finish();
        outcome.timing = stopwatch.stop();
        for (const auto& job : jobs)
            outcome.failed += job->success() ? 0 : 1;
        std::lock_guard lock(errors_->mutex);
        if (!errors_->lines.isEmpty())
            outcome.firstError = errors_->lines.first();
        outcome.failed = std::max<int>(outcome.failed, int(errors_->lines.size()));
        return outcome;
    }

private:
    struct Errors {
        std::mutex mutex;
        QStringList lines;
    };
    Preferences settings_;
    StripEnvironment environment_;
    std::shared_ptr<Errors> errors_;
};

std::vector<std::string> ffmpegStripArguments(const fs::path& from, const fs::path& to)
{
    return {"ffmpeg",      "-nostdin", "-v",        "error",    "-y",   "-i",
            from.string(), "-map",     "0:a:0",     "-c",       "copy", "-map_metadata",
            "-1",          "-fflags",  "+bitexact", to.string()};
}

// ---------------------------------------------------------------------------------------------
// (a) Large files

struct LargeResult {
    const Format* format = nullptr;
    double sizeMiB = 0;
    Samples plain;
    Samples ours;                 // in place, verified
    Samples oursUnverified;       // in place, without the copy check
    Samples ffmpegInPlace;        // ffmpeg from the file, then renamed over it
    Samples oursIntoFolder;       // into a destination folder
    Samples ffmpeg;               // ffmpeg into a new file
    Samples plainFlushed;         // plain copy, flushed: the floor of a durable strip
    Samples ffmpegInPlaceFlushed; // ffmpeg from the file, flushed, then renamed over it
    Samples ffmpegFlushed;        // ffmpeg into a new file, flushed
    double peakAnonymousMiB = 0;  // the job's peak anonymous memory above its baseline
    std::string note;
};

// Runs one strip job on a fresh copy of `source` at `work`; returns its timing when it
// succeeded and left a plausible file at `output`.
std::optional<Timing> timeJob(StripJobs& jobs, const fs::path& source, const fs::path& work,
                              const fs::path& destination, const fs::path& output, bool verify,
                              const fs::path& scratch, std::string* note, double* peakMiB)
{
    if (!timePlainCopy(source, work)) {
        *note = "could not copy the source into the scratch folder";
        return std::nullopt;
    }
    settleFileSystem(scratch);
    AnonymousMemorySampler memory;
    const StripJobs::Outcome outcome = jobs.strip({work}, destination, verify);
    if (peakMiB)
        *peakMiB = std::max(*peakMiB, memory.stop() / kMiB);
    const std::int64_t size = fileSize(output);
    if (outcome.failed != 0 || size <= fileSize(source) / 2) {
        *note = outcome.failed
                    ? outcome.firstError.toStdString()
                    : "the stripped file is too small: " + std::to_string(size) + " bytes";
        return std::nullopt;
    }
    return outcome.timing;
}

LargeResult measureLarge(const Format& format, const fs::path& source, const fs::path& scratch,
                         StripJobs& jobs, int repeats)
{
    LargeResult result;
    result.format = &format;
    result.sizeMiB = double(fileSize(source)) / kMiB;
    const std::string extension = std::string(".") + format.extension;
    const fs::path plainOut = scratch / ("plain" + extension);
    const fs::path work = scratch / ("strip-in-place" + extension);
    const fs::path destination = scratch / "destination";
    const fs::path intoFolder = destination / work.filename();
    const fs::path ffmpegOut = scratch / ("ffmpeg" + extension);
    const fs::path ffmpegWork = scratch / ("ffmpeg-in-place" + extension);
    std::error_code error;
    fs::create_directories(destination, error);

    std::printf("%-5s measuring", format.name);
    std::fflush(stdout);
    // Every candidate reads a warm file: the source, or its fresh copy in the scratch folder.
    readWholeFile(source);
    auto settle = [&](const fs::path& output) {
        removeQuietly(output);
        settleFileSystem(scratch);
    };

    // Pairs: each of ours is followed by the ffmpeg run it is compared with.
    for (int round = 0; round < repeats; ++round) {
        {
            const Stopwatch stopwatch;
            if (timePlainCopy(source, plainOut))
                keepBest(result.plain, stopwatch.stop());
            settle(plainOut);
        }
        {
            const Stopwatch stopwatch;
            if (timePlainCopy(source, plainOut, true))
                keepBest(result.plainFlushed, stopwatch.stop());
            settle(plainOut);
        }

        if (auto timing = timeJob(jobs, source, work, {}, work, true, scratch, &result.note,
                                  &result.peakAnonymousMiB))
            keepBest(result.ours, *timing);
        settle(work);

        // ffmpeg made to replace a copy as the job does: the rename then frees the original's
        // blocks, which the job pays for too.
        if (timePlainCopy(source, ffmpegWork)) {
            settleFileSystem(scratch);
            const Stopwatch stopwatch;
            if (runProgram(ffmpegStripArguments(ffmpegWork, ffmpegOut)) == 0 &&
                ::rename(ffmpegOut.c_str(), ffmpegWork.c_str()) == 0)
                keepBest(result.ffmpegInPlace, stopwatch.stop());
            removeQuietly(ffmpegOut);
        }
        settle(ffmpegWork);
        // The same with the durability the job has: the output flushed before the rename.
        if (timePlainCopy(source, ffmpegWork)) {
            settleFileSystem(scratch);
            const Stopwatch stopwatch;
            if (runProgram(ffmpegStripArguments(ffmpegWork, ffmpegOut)) == 0 &&
                flushFile(ffmpegOut) && ::rename(ffmpegOut.c_str(), ffmpegWork.c_str()) == 0)
                keepBest(result.ffmpegInPlaceFlushed, stopwatch.stop());
            removeQuietly(ffmpegOut);
        }
        settle(ffmpegWork);

        if (auto timing = timeJob(jobs, source, work, destination, intoFolder, true, scratch,
                                  &result.note, &result.peakAnonymousMiB))
            keepBest(result.oursIntoFolder, *timing);
        settle(intoFolder);
        settle(work);

        {
            const Stopwatch stopwatch;
            if (runProgram(ffmpegStripArguments(source, ffmpegOut)) == 0)
                keepBest(result.ffmpeg, stopwatch.stop());
            settle(ffmpegOut);
        }
        {
            const Stopwatch stopwatch;
            if (runProgram(ffmpegStripArguments(source, ffmpegOut)) == 0 && flushFile(ffmpegOut))
                keepBest(result.ffmpegFlushed, stopwatch.stop());
            settle(ffmpegOut);
        }

        if (auto timing =
                timeJob(jobs, source, work, {}, work, false, scratch, &result.note, nullptr))
            keepBest(result.oursUnverified, *timing);
        settle(work);
        std::printf(".");
        std::fflush(stdout);
    }
    std::printf("\n");
    return result;
}

// Wall-time ratio ours / theirs: at most 1 means ours is as fast or faster.
std::string formatWallRatio(const Samples& ours, const Samples& theirs)
{
    if (!ours || !theirs)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", *wallOf(ours) / *wallOf(theirs));
    return text;
}

void printLargeTable(const std::vector<LargeResult>& results, int repeats)
{
    std::printf("\n(a) Large files; median of %d alternating runs, warm cache; MiB/s (seconds)\n",
                repeats);
    std::printf("%-5s %6s | %-13s | %-13s | %-13s | %6s | %-13s | %-13s | %6s | %-13s | %6s | "
                "%7s\n",
                "", "MiB", "plain cp", "ours in place", "ffmpeg + mv", "in/ff", "ours -> dir",
                "ffmpeg -> new", "dir/ff", "ours no check", "check", "anon MiB");
    std::printf("%s\n", std::string(150, '-').c_str());
    for (const auto& result : results) {
        std::printf("%-5s %6.1f | %-13s | %-13s | %-13s | %6s | %-13s | %-13s | %6s | %-13s | %6s "
                    "| %7.1f\n",
                    result.format->name, result.sizeMiB,
                    formatRate(result.sizeMiB, wallOf(result.plain)).c_str(),
                    formatRate(result.sizeMiB, wallOf(result.ours)).c_str(),
                    formatRate(result.sizeMiB, wallOf(result.ffmpegInPlace)).c_str(),
                    formatWallRatio(result.ours, result.ffmpegInPlace).c_str(),
                    formatRate(result.sizeMiB, wallOf(result.oursIntoFolder)).c_str(),
                    formatRate(result.sizeMiB, wallOf(result.ffmpeg)).c_str(),
                    formatWallRatio(result.oursIntoFolder, result.ffmpeg).c_str(),
                    formatRate(result.sizeMiB, wallOf(result.oursUnverified)).c_str(),
                    formatWallRatio(result.ours, result.oursUnverified).c_str(),
                    result.peakAnonymousMiB);
    }
    std::printf(
        "(in/ff, dir/ff: wall-time ratios ours / ffmpeg, at most 1.00 means ours is as fast "
        "or faster; ours flushes its output before the commit, ffmpeg does not. check: "
        "wall with / without the copy check. anon MiB: the job's peak anonymous memory "
        "above its baseline)\n");
    std::printf("Where the job's time went (median in-place run): wall / this process's CPU / "
                "child CPU (mp3val)\n");
    for (const auto& result : results) {
        if (result.ours) {
            const Timing median = result.ours.median();
            std::printf("  %-5s %.2fs / %.2fs / %.2fs\n", result.format->name, median.wall,
                        median.ownCpu, median.childCpu);
        }
    }
    std::printf("Against durable baselines (wall-time ratios ours / theirs; theirs flushed to "
                "the disk like ours):\n");
    std::printf("  %-5s | %-13s | %-13s | %-13s | %8s | %8s | %8s | %8s\n", "", "cp + fsync",
                "ffmpeg+fsync", "ff->new+fsync", "in/ff+fs", "in/cp+fs", "dir/ff+fs", "dir/cp+fs");
    for (const auto& result : results) {
        std::printf("  %-5s | %-13s | %-13s | %-13s | %8s | %8s | %9s | %9s\n", result.format->name,
                    formatRate(result.sizeMiB, wallOf(result.plainFlushed)).c_str(),
                    formatRate(result.sizeMiB, wallOf(result.ffmpegInPlaceFlushed)).c_str(),
                    formatRate(result.sizeMiB, wallOf(result.ffmpegFlushed)).c_str(),
                    formatWallRatio(result.ours, result.ffmpegInPlaceFlushed).c_str(),
                    formatWallRatio(result.ours, result.plainFlushed).c_str(),
                    formatWallRatio(result.oursIntoFolder, result.ffmpegFlushed).c_str(),
                    formatWallRatio(result.oursIntoFolder, result.plainFlushed).c_str());
    }
    std::printf("Checking the copy before the commit (median runs): job with / without, share "
                "of the job\n");
    for (const auto& result : results) {
        if (result.ours && result.oursUnverified) {
            const double with = *wallOf(result.ours);
            const double without = *wallOf(result.oursUnverified);
            std::printf("  %-5s %.2fs / %.2fs  %.0f%%\n", result.format->name, with, without,
                        100.0 * (with - without) / with);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// (b) Small files

constexpr double kSmallSeconds = 5;

// Copies the source file `count` times and tags each copy differently, in one Python process
// (mutagen), so that making the set does not cost a process per file.
constexpr const char* kTaggingScript = R"PY(
import os, shutil, sys
from mutagen.id3 import ID3, TIT2, TPE1, TALB, TRCK, TDRC, TCON, COMM, APIC
from mutagen.mp4 import MP4, MP4Cover
kind, source, cover, folder, count = sys.argv[1:6]
count = int(count)
art = open(cover, 'rb').read()
for i in range(1, count + 1):
    path = os.path.join(folder, 'track-%05d.%s' % (i, kind))
    shutil.copyfile(source, path)
    title, artist, album = 'Title %d' % i, 'Artist %d' % (i % 37), 'Album %d' % (i % 11)
    if kind == 'mp3':
        tags = ID3()
        tags.add(TIT2(encoding=3, text=title))
        tags.add(TPE1(encoding=3, text=artist))
        tags.add(TALB(encoding=3, text=album))
        tags.add(TRCK(encoding=3, text='%d/%d' % (i, count)))
        tags.add(TDRC(encoding=3, text='2024'))
        tags.add(TCON(encoding=3, text='Rock'))
        tags.add(COMM(encoding=3, lang='eng', desc='', text='comment %d' % i))
        tags.add(APIC(encoding=3, mime='image/jpeg', type=3, desc='Cover', data=art))
        tags.save(path, v1=2, v2_version=4)
    else:
        tags = MP4(path)
        tags['\xa9nam'] = [title]
        tags['\xa9ART'] = [artist]
        tags['\xa9alb'] = [album]
        tags['trkn'] = [(i, count)]
        tags['\xa9day'] = ['2024']
        tags['\xa9cmt'] = ['comment %d' % i]
        tags['covr'] = [MP4Cover(art, imageformat=MP4Cover.FORMAT_JPEG)]
        tags.save()
)PY";

struct SmallKind {
    const char* name;
    const char* extension;
    Format encoding;
    bool withMid3v2;
};

const std::vector<SmallKind>& smallKinds()
{
    static const std::vector<SmallKind> list = {
        {"MP3",
         "mp3",
         {"MP3", "mp3", "mp3", {"-c:a", "libmp3lame", "-b:a", "128k", "-id3v2_version", "0"}},
         true},
        {"M4A", "m4a", {"M4A", "m4a", "ipod", {"-c:a", "aac", "-b:a", "128k"}}, false},
    };
    return list;
}

std::vector<fs::path> filesWithExtension(const fs::path& folder, const std::string& extension)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.is_regular_file() && entry.path().extension() == "." + extension &&
            entry.path().filename().string().front() != '.')
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The set is made under a temporary name and renamed when whole, so an interrupted run is never
// taken for a finished set.
std::optional<fs::path> ensureSmallSet(const SmallKind& kind, const fs::path& directory, int count)
{
    const fs::path folder = directory / ("small-" + std::to_string(count) + "-" + kind.extension);
    std::error_code error;
    if (fs::is_directory(folder, error) &&
        filesWithExtension(folder, kind.extension).size() == std::size_t(count)) {
        std::printf("%-5s reusing %d small files in %s\n", kind.name, count, folder.c_str());
        return folder;
    }
    std::printf("%-5s making %d small tagged files in %s\n", kind.name, count, folder.c_str());
    std::fflush(stdout);
    const fs::path partial = directory / (".partial-small-" + std::string(kind.extension));
    fs::remove_all(partial, error);
    fs::create_directories(partial, error);
    if (error) {
        std::fprintf(stderr, "cannot create %s: %s\n", partial.c_str(), error.message().c_str());
        return std::nullopt;
    }
    const fs::path source = directory / (".small-source." + std::string(kind.extension));
    const fs::path cover = directory / ".small-cover.jpg";
    const bool made =
        runProgram(encodeArguments(kind.encoding, kSmallSeconds, source, false)) == 0 &&
        runProgram({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc=s=200x200:r=1", "-frames:v", "1", "-q:v", "4", cover.string()}) == 0 &&
        // The system interpreter, which has mutagen even where the python3 on PATH does not.
        runProgram({"/usr/bin/python3", "-c", kTaggingScript, kind.extension, source.string(),
                    cover.string(), partial.string(), std::to_string(count)}) == 0 &&
        filesWithExtension(partial, kind.extension).size() == std::size_t(count);
    removeQuietly(source);
    removeQuietly(cover);
    if (!made) {
        std::fprintf(stderr, "%s: could not make the small files\n", kind.name);
        fs::remove_all(partial, error);
        return std::nullopt;
    }
    fs::remove_all(folder, error);
    fs::rename(partial, folder, error);
    if (error) {
        std::fprintf(stderr, "cannot rename %s: %s\n", partial.c_str(), error.message().c_str());
        return std::nullopt;
    }
    return folder;
}

// Whether any of the tags the set was made with survived (checked outside the timing).
bool stillTagged(const fs::path& path, const std::string& extension)
{
    std::string bytes;
    if (FILE* file = std::fopen(path.c_str(), "rbe")) {
        char chunk[65536];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            bytes.append(chunk, n);
        std::fclose(file);
    }
    auto has = [&](std::string_view needle) {
        return bytes.find(needle) != std::string::npos;
    };
    if (extension == "mp3") {
        const bool id3v1 = bytes.size() >= 128 && bytes.compare(bytes.size() - 128, 3, "TAG") == 0;
        return id3v1 || has("APIC") || has("TIT2") || has("COMM");
    }
    // An empty ilst (what ffmpeg writes) holds no tag; its items are what count.
    return has("covr") || has("\xa9nam") ||
           has("\xa9"
               "ART") ||
           has("trkn");
}

int countTagged(const std::vector<fs::path>& files, const std::string& extension)
{
    return int(std::count_if(files.begin(), files.end(),
                             [&](const fs::path& file) { return stillTagged(file, extension); }));
}

struct Candidate {
    Samples best;
    int tagged = -1; // files still tagged after the last run
    std::string note;
};

struct SmallResult {
    const SmallKind* kind = nullptr;
    int count = 0;
    int taggedBefore = 0;
    Candidate ours;
    Candidate ffmpeg;
    Candidate mid3v2;
};

// A fresh copy of the set, its writeback done, so every candidate starts from the same state.
std::vector<fs::path> freshCopy(const fs::path& set, const fs::path& target,
                                const std::string& extension)
{
    std::error_code error;
    fs::remove_all(target, error);
    fs::create_directories(target, error);
    std::vector<fs::path> files;
    for (const fs::path& file : filesWithExtension(set, extension)) {
        const fs::path copy = target / file.filename();
        if (!timePlainCopy(file, copy))
            return {};
        files.push_back(copy);
    }
    settleFileSystem(target);
    return files;
}

void finishRun(Candidate& candidate, const fs::path& folder, const std::vector<fs::path>& files,
               const std::string& extension)
{
    candidate.tagged = countTagged(files, extension);
    std::error_code error;
    fs::remove_all(folder, error);
    settleFileSystem(folder.parent_path());
}

SmallResult measureSmall(const SmallKind& kind, const fs::path& set, const fs::path& scratch,
                         StripJobs& jobs, int repeats)
{
    SmallResult result;
    result.kind = &kind;
    const std::string extension = kind.extension;
    const std::vector<fs::path> originals = filesWithExtension(set, extension);
    result.count = int(originals.size());
    result.taggedBefore = countTagged(originals, extension);
    const fs::path folder = scratch / ("small-" + extension);

    std::printf("%-5s measuring %d files", kind.name, result.count);
    std::fflush(stdout);
    for (int round = 0; round < repeats; ++round) {
        std::vector<fs::path> files = freshCopy(set, folder, extension);
        if (files.size() == originals.size()) {
            const StripJobs::Outcome outcome = jobs.strip(files);
            if (outcome.failed == 0)
                keepBest(result.ours.best, outcome.timing);
            else
                result.ours.note = std::to_string(outcome.failed) +
                                   " jobs failed; first: " + outcome.firstError.toStdString();
            finishRun(result.ours, folder, files, extension);
        }
        std::printf(".");
        std::fflush(stdout);

        // ffmpeg cannot write over its own input: it writes beside the file and the loop renames
        // the result over the original, as a script would.
        files = freshCopy(set, folder, extension);
        if (files.size() == originals.size()) {
            int failures = 0;
            const Stopwatch stopwatch;
            for (const fs::path& file : files) {
                const fs::path temporary = folder / (".ffmpeg-" + file.filename().string());
                if (runProgram(ffmpegStripArguments(file, temporary)) != 0 ||
                    ::rename(temporary.c_str(), file.c_str()) != 0)
                    ++failures;
            }
            const Timing timing = stopwatch.stop();
            if (failures == 0)
                keepBest(result.ffmpeg.best, timing);
            else
                result.ffmpeg.note = std::to_string(failures) + " ffmpeg runs failed";
            finishRun(result.ffmpeg, folder, files, extension);
        }
        std::printf(".");
        std::fflush(stdout);

        if (kind.withMid3v2) {
            files = freshCopy(set, folder, extension);
            if (files.size() == originals.size()) {
                // One process for the whole set: mid3v2 takes any number of files, and a
                // Python start per file would measure the interpreter, not the tagger.
                std::vector<std::string> arguments = {"mid3v2", "--delete-all"};
                for (const fs::path& file : files)
                    arguments.push_back(file.string());
                const Stopwatch stopwatch;
                const int status = runProgram(arguments);
                const Timing timing = stopwatch.stop();
                if (status == 0)
                    keepBest(result.mid3v2.best, timing);
                else
                    result.mid3v2.note = "mid3v2 exited with " + std::to_string(status);
                finishRun(result.mid3v2, folder, files, extension);
            }
            std::printf(".");
            std::fflush(stdout);
        }
    }
    std::printf("\n");
    return result;
}

void printSmallTable(const std::vector<SmallResult>& results, int repeats)
{
    std::printf("\n(b) Small tagged files (5 s each), stripped in place; median of %d alternating "
                "runs; files/s "
                "(seconds for the set)\n",
                repeats);
    std::printf("%-5s %5s | %-16s | %-16s | %-16s | %7s | %9s\n", "", "files", "ours (jobs)",
                "ffmpeg per file", "mid3v2, 1 proc", "ours/ff", "ours/mid3");
    std::printf("%s\n", std::string(92, '-').c_str());
    for (const auto& result : results) {
        const double count = result.count;
        std::printf("%-5s %5d | %-16s | %-16s | %-16s | %7s | %9s\n", result.kind->name,
                    result.count, formatRate(count, wallOf(result.ours.best)).c_str(),
                    formatRate(count, wallOf(result.ffmpeg.best)).c_str(),
                    result.kind->withMid3v2 ? formatRate(count, wallOf(result.mid3v2.best)).c_str()
                                            : "-",
                    formatRatio(wallOf(result.ours.best), wallOf(result.ffmpeg.best)).c_str(),
                    result.kind->withMid3v2
                        ? formatRatio(wallOf(result.ours.best), wallOf(result.mid3v2.best)).c_str()
                        : "-");
    }
    std::printf("(ours includes the mp3val repair pass for MP3, the flush and the commit of each "
                "file; ratios above 1 mean ours is faster)\n");
    std::printf("Where the time went (median run): wall / this process's CPU / child CPU; files "
                "still tagged afterwards\n");
    auto line = [](const char* name, const char* who, const Candidate& candidate) {
        if (!candidate.best)
            return;
        const Timing median = candidate.best.median();
        std::printf("  %-5s %-16s %6.2fs / %6.2fs / %6.2fs   tagged %d\n", name, who, median.wall,
                    median.ownCpu, median.childCpu, candidate.tagged);
    };
    for (const auto& result : results) {
        std::printf("  %-5s tagged before: %d of %d\n", result.kind->name, result.taggedBefore,
                    result.count);
        line(result.kind->name, "ours", result.ours);
        line(result.kind->name, "ffmpeg per file", result.ffmpeg);
        if (result.kind->withMid3v2)
            line(result.kind->name, "mid3v2", result.mid3v2);
    }
}

// ---------------------------------------------------------------------------------------------

void printTargets(const std::vector<LargeResult>& large, const std::vector<SmallResult>& small)
{
    auto verdict = [](bool pass) {
        return pass ? "PASS" : "MISS";
    };
    auto ahead = [](const Samples& ours, const Samples& other) {
        return ours && other && *wallOf(ours) <= *wallOf(other);
    };
    std::printf("\nTargets\n");
    for (const auto& result : large) {
        std::printf("(a) %-5s in place no slower than ffmpeg: %s; into a folder: %s; "
                    "anonymous memory within 64 MiB: %s\n",
                    result.format->name, verdict(ahead(result.ours, result.ffmpegInPlace)),
                    verdict(ahead(result.oursIntoFolder, result.ffmpeg)),
                    verdict(result.peakAnonymousMiB <= 64));
        if (!result.note.empty())
            std::printf("          note: %s\n", result.note.c_str());
    }
    for (const auto& result : small) {
        std::printf("(b) %-5s ours faster than ffmpeg: %s\n", result.kind->name,
                    verdict(ahead(result.ours.best, result.ffmpeg.best)));
        if (!result.kind->withMid3v2) {
            const bool fastEnough = result.ours.best && result.count / *wallOf(result.ours.best) >=
                                                            kSmallM4aFilesPerSecondTarget;
            std::printf("(b) %-5s at least %.0f files/s: %s\n", result.kind->name,
                        kSmallM4aFilesPerSecondTarget, verdict(fastEnough));
        }
        if (result.kind->withMid3v2) {
            const bool fastEnough = result.ours.best && result.count / *wallOf(result.ours.best) >=
                                                            kSmallMp3FilesPerSecondTarget;
            std::printf("(b) %-5s at least %.0f files/s with the repair pass: %s\n",
                        result.kind->name, kSmallMp3FilesPerSecondTarget, verdict(fastEnough));
        }
        for (const Candidate* candidate : {&result.ours, &result.ffmpeg, &result.mid3v2}) {
            if (!candidate->note.empty())
                std::printf("          note: %s\n", candidate->note.c_str());
        }
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

    const std::optional<fs::path> repairTools = findRepairToolDirectory();
    if (repairTools)
        std::printf("mp3val for the repair pass: %s\n", (*repairTools / "mp3val").c_str());
    else
        std::printf("mp3val not found: MP3 jobs run without their repair pass\n");
    StripJobs jobs(scratch, repairTools.value_or(scratch / "no-mp3val"));

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
            if (const auto set = ensureSmallSet(kind, options->directory, options->smallCount))
                sets.emplace_back(&kind, *set);
        }
        for (const auto& [kind, set] : sets)
            small.push_back(measureSmall(*kind, set, scratch, jobs, options->repeats));
    }

    if (!large.empty())
        printLargeTable(large, options->repeats);
    if (!small.empty())
        printSmallTable(small, options->repeats);
    printTargets(large, small);

    fs::remove_all(scratch, error);
    return 0;
}
