// Throughput and memory of the strip job's packet copy on large files.
//
// For each of MP3, WAV, M4A and FLAC the benchmark times, on the same warm-cached input:
//   (a) a plain user-space copy of the file (the floor any stripping tool has to pay),
//   (b) the engine's own path: AudioFileParser, then copyPackets into a new file,
//   (c) ffmpeg's stream copy into the same container, as a child process.
// (b) runs in a forked child so that its peak resident memory can be measured on its own.
//
// It is a measurement, not a test: the targets are reported as PASS or MISS and the exit
// status is 0 whenever the measurements could be taken.

#include "BenchSupport.h"

#include "engine/AudioFileParser.h"
#include "engine/PacketCopy.h"
#include "engine/StripFailure.h"
#include "engine/audiofile/AudioFileService.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace cleftone::bench;

constexpr int kRepeats = 3;
constexpr double kMemoryTargetMiB = 64.0;

struct Options {
    fs::path directory;
    int sizeMiB = 100;
};

void printUsage()
{
    std::printf(
        "usage: cleftone-bench-engine [--dir DIR] [--size-mb N]\n"
        "  --dir DIR     where the large source files are made and kept\n"
        "                (default $XDG_CACHE_HOME/cleftone-bench or ~/.cache/cleftone-bench)\n"
        "  --size-mb N   size of each source file in MiB (default 100)\n");
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    options.directory = defaultCacheDirectory();
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--dir" && i + 1 < argc) {
            options.directory = argv[++i];
        } else if (argument == "--size-mb" && i + 1 < argc) {
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < 1 || value > 100000)
                return std::nullopt;
            options.sizeMiB = int(value);
        } else {
            return std::nullopt;
        }
    }
    return options;
}

std::optional<double> timeFfmpegCopy(const fs::path& from, const fs::path& to)
{
    const auto start = Clock::now();
    const int status =
        runProgram({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", from.string(), "-map", "0:a:0",
                    "-c", "copy", "-map_metadata", "-1", "-fflags", "+bitexact", to.string()});
    if (status != 0)
        return std::nullopt;
    return secondsSince(start);
}

// Resident-set figures of this process in KiB ("VmHWM", "VmRSS").
long statusKiB(const char* field)
{
    FILE* status = std::fopen("/proc/self/status", "re");
    if (!status)
        return -1;
    char line[256];
    long value = -1;
    const std::size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            value = std::strtol(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return value;
}

// Starts the peak-RSS count afresh at the current RSS; false on kernels without it.
bool resetPeakResidentSet()
{
    const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, "5", 1) == 1;
    ::close(fd);
    return ok;
}

struct ServiceRun {
    bool ok = false;
    double seconds = 0;
    long baselineKiB = 0;
    long peakKiB = 0;
    bool peakIsExact = true;
    bool checked = false;
    bool checkPassed = false;
    std::uint64_t packets = 0;
    char message[512] = {};
};

ServiceRun copyThroughService(const fs::path& from, const fs::path& to, bool check)
{
    using namespace cleftone;
    ServiceRun run;
    AudioFileService& service = AudioFileService::system();
    std::uint64_t inputPackets = 0;
    std::uint64_t inputBytes = 0;
    try {
        const auto start = Clock::now();
        {
            const AudioFileParser input(QString::fromStdString(from.string()), service);
            const AudioFileTypeID type = input.audioFileTypeID();
            if (type == 0)
                throw StripFailure(QStringLiteral("the service cannot open the file"));
            const AudioStreamBasicDescription format = input.audioStreamBasicDescription();
            OutputAudioFileHandle output(service);
            copyPackets(service, input, type, format, QString::fromStdString(to.string()), output,
                        [] { return false; });
            inputPackets = input.audioDataPacketCount();
            inputBytes = input.audioDataByteCount();
        }
        run.seconds = secondsSince(start);
        run.peakKiB = statusKiB("VmHWM");
        run.packets = inputPackets;
        run.ok = true;
    } catch (const StripFailure& failure) {
        std::snprintf(run.message, sizeof run.message, "%s", failure.what());
        return run;
    }
    if (check) {
        // Outside the timed part: a copy that wrote nothing would otherwise look fast.
        const AudioFileParser output(QString::fromStdString(to.string()), service);
        run.checked = true;
        run.checkPassed = output.audioDataPacketCount() == inputPackets &&
                          output.audioDataByteCount() == inputBytes;
        if (!run.checkPassed)
            std::snprintf(run.message, sizeof run.message,
                          "output holds %llu packets / %llu bytes, input %llu / %llu",
                          static_cast<unsigned long long>(output.audioDataPacketCount()),
                          static_cast<unsigned long long>(output.audioDataByteCount()),
                          static_cast<unsigned long long>(inputPackets),
                          static_cast<unsigned long long>(inputBytes));
    }
    return run;
}

// Runs (b) in a child process, so that its peak memory is its own and not the high-water
// mark of whatever the benchmark did before.
ServiceRun timeServiceCopy(const fs::path& from, const fs::path& to, bool check)
{
    ServiceRun run;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::snprintf(run.message, sizeof run.message, "pipe: %s", std::strerror(errno));
        return run;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::snprintf(run.message, sizeof run.message, "fork: %s", std::strerror(errno));
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return run;
    }
    if (pid == 0) {
        ::close(pipeFds[0]);
        const bool exact = resetPeakResidentSet();
        const long baseline = exact ? statusKiB("VmHWM") : statusKiB("VmRSS");
        ServiceRun result = copyThroughService(from, to, check);
        result.baselineKiB = baseline;
        result.peakIsExact = exact;
        const bool sent = ::write(pipeFds[1], &result, sizeof result) == ssize_t(sizeof result);
        _exit(sent ? 0 : 1);
    }
    ::close(pipeFds[1]);
    ssize_t got;
    while ((got = ::read(pipeFds[0], &run, sizeof run)) < 0 && errno == EINTR) {
    }
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    if (got != ssize_t(sizeof run)) {
        run = ServiceRun{};
        std::snprintf(run.message, sizeof run.message, "the measuring child process died (%d)",
                      status);
        return run;
    }
    if (!run.peakIsExact)
        run.peakKiB = usage.ru_maxrss; // KiB on Linux; counts from the fork
    return run;
}

struct Result {
    const Format* format = nullptr;
    double sizeMiB = 0;
    std::optional<double> plain;
    std::optional<double> service;
    std::optional<double> ffmpeg;
    double servicePeakMiB = -1;
    std::string note;
};

double best(std::optional<double> current, double candidate)
{
    return current ? std::min(*current, candidate) : candidate;
}

Result measure(const Format& format, const fs::path& source, const fs::path& directory)
{
    Result result;
    result.format = &format;
    result.sizeMiB = double(fileSize(source)) / kMiB;
    const std::string tag = std::to_string(getpid()) + "." + format.extension;
    const fs::path outA = directory / ("out-a-" + tag);
    const fs::path outB = directory / ("out-b-" + tag);
    const fs::path outC = directory / ("out-c-" + tag);

    std::printf("%-5s measuring", format.name);
    std::fflush(stdout);
    // No dropping of caches: one read brings the file into the page cache, so every
    // candidate reads it warm.
    readWholeFile(source);
    auto settle = [&](const fs::path& output) {
        removeQuietly(output);
        // Dirty pages of one candidate must not be written back during the next one.
        settleFileSystem(directory);
    };

    for (int round = 0; round < kRepeats; ++round) {
        if (const auto seconds = timePlainCopy(source, outA))
            result.plain = best(result.plain, *seconds);
        settle(outA);

        const ServiceRun run = timeServiceCopy(source, outB, round == 0);
        if (run.ok) {
            result.service = best(result.service, run.seconds);
            const double peak = double(run.peakKiB - run.baselineKiB) / 1024.0;
            result.servicePeakMiB = std::max(result.servicePeakMiB, peak);
        }
        if (!run.ok || (run.checked && !run.checkPassed))
            result.note = run.message;
        settle(outB);

        if (const auto seconds = timeFfmpegCopy(source, outC))
            result.ffmpeg = best(result.ffmpeg, *seconds);
        settle(outC);
        std::printf(".");
        std::fflush(stdout);
    }
    std::printf("\n");
    return result;
}

void printTable(const std::vector<Result>& results, int sizeMiB)
{
    std::printf("\nEngine packet copy, %d MiB sources, best of %d, warm cache; MiB/s (seconds)\n",
                sizeMiB, kRepeats);
    std::printf("%-5s %8s | %-16s | %-16s | %-16s | %5s | %5s | %11s\n", "", "MiB",
                "(a) plain copy", "(b) service", "(c) ffmpeg", "b/a", "b/c", "(b) peak MiB");
    std::printf("%s\n", std::string(104, '-').c_str());
    for (const auto& result : results) {
        char peak[32] = "-";
        if (result.servicePeakMiB >= 0)
            std::snprintf(peak, sizeof peak, "%.1f", result.servicePeakMiB);
        std::printf("%-5s %8.1f | %-16s | %-16s | %-16s | %5s | %5s | %11s\n", result.format->name,
                    result.sizeMiB, formatRate(result.sizeMiB, result.plain).c_str(),
                    formatRate(result.sizeMiB, result.service).c_str(),
                    formatRate(result.sizeMiB, result.ffmpeg).c_str(),
                    formatRatio(result.service, result.plain).c_str(),
                    formatRatio(result.service, result.ffmpeg).c_str(), peak);
    }
    std::printf("(b/a and b/c are speed ratios: above 1 means (b) is faster; peak memory is "
                "above the measuring process's baseline)\n\n");

    std::printf("Targets\n");
    for (const auto& result : results) {
        const bool faster = result.service && result.ffmpeg && *result.service < *result.ffmpeg;
        const bool lean = result.service && result.servicePeakMiB >= 0 &&
                          result.servicePeakMiB < kMemoryTargetMiB;
        std::printf("%-5s (b) faster than (c): %s   (b) peak under %.0f MiB: %s\n",
                    result.format->name, faster ? "PASS" : "MISS", kMemoryTargetMiB,
                    lean ? "PASS" : "MISS");
        if (!result.note.empty())
            std::printf("      note: %s\n", result.note.c_str());
    }
}

} // namespace

int main(int argc, char** argv)
{
    const std::optional<Options> options = parseOptions(argc, argv);
    if (!options) {
        printUsage();
        return 2;
    }
    std::error_code error;
    fs::create_directories(options->directory, error);
    if (error) {
        std::fprintf(stderr, "cannot create %s: %s\n", options->directory.c_str(),
                     error.message().c_str());
        return 2;
    }

    std::vector<std::pair<const Format*, fs::path>> sources;
    for (const auto& format : formats()) {
        if (const auto source = ensureSource(format, options->directory, options->sizeMiB))
            sources.emplace_back(&format, *source);
    }
    if (sources.empty()) {
        std::fprintf(stderr, "no source file could be made; is ffmpeg installed?\n");
        return 2;
    }

    std::vector<Result> results;
    for (const auto& [format, source] : sources)
        results.push_back(measure(*format, source, options->directory));
    printTable(results, options->sizeMiB);
    return 0;
}