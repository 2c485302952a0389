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

#include "engine/AudioFileParser.h"
#include "engine/PacketCopy.h"
#include "engine/StripFailure.h"
#include "engine/audiofile/AudioFileService.h"

#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kRepeats = 3;
constexpr double kMemoryTargetMiB = 64.0;

// Independent noise per channel (so neither FLAC's stereo decorrelation nor its predictor
// finds much to remove) plus a tone, so the encoders see something music-like.
constexpr const char* kSourceGraph = "anoisesrc=r=44100:a=0.25:c=pink:seed=1[l];"
                                     "anoisesrc=r=44100:a=0.25:c=pink:seed=2[r];"
                                     "[l][r]amerge=inputs=2[n];"
                                     "sine=f=440:r=44100,pan=stereo|c0=c0|c1=c0[s];"
                                     "[n][s]amix=inputs=2:normalize=0[out]";

struct Format {
    const char* name;
    const char* extension;
    const char* muxer;
    std::vector<std::string> codecArguments;
};

const std::vector<Format>& formats()
{
    static const std::vector<Format> list = {
        {"MP3", "mp3", "mp3", {"-c:a", "libmp3lame", "-b:a", "320k"}},
        {"WAV", "wav", "wav", {"-c:a", "pcm_s16le"}},
        {"M4A", "m4a", "ipod", {"-c:a", "aac", "-b:a", "256k"}},
        {"FLAC", "flac", "flac", {"-c:a", "flac", "-compression_level", "0", "-sample_fmt", "s16"}},
    };
    return list;
}

struct Options {
    fs::path directory;
    int sizeMiB = 200;
};

void printUsage()
{
    std::printf(
        "usage: cleftone-bench-engine [--dir DIR] [--size-mb N]\n"
        "  --dir DIR     where the large source files are made and kept\n"
        "                (default $XDG_CACHE_HOME/cleftone-bench or ~/.cache/cleftone-bench)\n"
        "  --size-mb N   size of each source file in MiB (default 200)\n");
}

fs::path defaultCacheDirectory()
{
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/')
        return fs::path(cache) / "cleftone-bench";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".cache" / "cleftone-bench";
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

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int64_t fileSize(const fs::path& path)
{
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? -1 : std::int64_t(size);
}

// Runs a program without a shell. With `onLine`, its standard output is read line by line;
// otherwise it is discarded. Standard error stays the benchmark's own, so failures show.
int runProgram(const std::vector<std::string>& arguments,
               const std::function<void(const std::string&)>& onLine = {})
{
    std::vector<char*> argv;
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (onLine) {
        if (pipe2(pipeFds, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return -1;
        }
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (onLine)
        ::close(pipeFds[1]);
    if (spawned != 0) {
        if (onLine)
            ::close(pipeFds[0]);
        std::fprintf(stderr, "cannot run %s: %s\n", argv[0], std::strerror(spawned));
        return -1;
    }
    if (onLine) {
        std::string pending;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(pipeFds[0], chunk, sizeof chunk);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            pending.append(chunk, std::size_t(n));
            std::size_t newline;
            while ((newline = pending.find('\n')) != std::string::npos) {
                onLine(pending.substr(0, newline));
                pending.erase(0, newline + 1);
            }
        }
        ::close(pipeFds[0]);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> encodeArguments(const Format& format, double seconds,
                                         const fs::path& output, bool progress)
{
    std::vector<std::string> arguments = {"ffmpeg",
                                          "-nostdin",
                                          "-v",
                                          "error",
                                          "-y",
                                          "-filter_complex",
                                          kSourceGraph,
                                          "-map",
                                          "[out]",
                                          "-t",
                                          std::to_string(seconds)};
    arguments.insert(arguments.end(), format.codecArguments.begin(), format.codecArguments.end());
    arguments.insert(arguments.end(), {"-ar", "44100", "-ac", "2", "-f", format.muxer});
    if (progress)
        arguments.insert(arguments.end(), {"-nostats", "-progress", "pipe:1"});
    arguments.push_back(output.string());
    return arguments;
}

// Makes (or reuses) a source file of at least `sizeMiB`. The encoders' byte rate is measured
// on a short sample first, because FLAC's depends on the signal.
std::optional<fs::path> ensureSource(const Format& format, const fs::path& directory, int sizeMiB)
{
    const std::int64_t wanted = std::int64_t(sizeMiB) * 1024 * 1024;
    const fs::path path =
        directory / ("source-" + std::to_string(sizeMiB) + "mb." + format.extension);
    if (fileSize(path) >= wanted) {
        std::printf("%-5s reusing %s\n", format.name, path.c_str());
        return path;
    }

    // Scratch names carry the process id: two benchmark runs may share the cache folder.
    const std::string scratch = "." + std::to_string(getpid()) + "." + format.extension;
    const fs::path sample = directory / (".sample" + scratch);
    constexpr double kSampleSeconds = 20;
    if (runProgram(encodeArguments(format, kSampleSeconds, sample, false)) != 0 ||
        fileSize(sample) <= 0) {
        std::fprintf(stderr, "%s: ffmpeg could not make a sample file\n", format.name);
        fs::remove(sample);
        return std::nullopt;
    }
    double bytesPerSecond = double(fileSize(sample)) / kSampleSeconds;
    fs::remove(sample);

    // Written under a temporary name, so an interrupted run never leaves a short file that a
    // later run would reuse.
    const fs::path partial = directory / (".partial" + scratch);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const double seconds = std::ceil(double(wanted) * 1.02 / bytesPerSecond);
        std::printf("%-5s making %s (%.0f s of audio)\n", format.name, path.c_str(), seconds);
        std::fflush(stdout);
        // On a terminal the percentage is rewritten in place; in a log, every tenth is a line.
        const bool terminal = ::isatty(STDOUT_FILENO);
        const int step = terminal ? 1 : 10;
        int lastPercent = -1;
        const int status = runProgram(
            encodeArguments(format, seconds, partial, true), [&](const std::string& line) {
                if (!line.starts_with("out_time_us="))
                    return;
                const double done = std::strtod(line.c_str() + 12, nullptr) / 1e6;
                const int percent = std::clamp(int(100 * done / seconds), 0, 100) / step * step;
                if (percent != lastPercent) {
                    lastPercent = percent;
                    std::printf(terminal ? "\r      %3d%%" : "      %3d%%\n", percent);
                    std::fflush(stdout);
                }
            });
        if (terminal)
            std::printf("\n");
        const std::int64_t made = fileSize(partial);
        if (status != 0 || made <= 0) {
            std::fprintf(stderr, "%s: ffmpeg failed making the source file\n", format.name);
            fs::remove(partial);
            return std::nullopt;
        }
        if (made >= wanted) {
            fs::rename(partial, path);
            return path;
        }
        bytesPerSecond = double(made) / seconds;
    }
    fs::remove(partial);
    std::fprintf(stderr, "%s: the source file stays smaller than %d MiB\n", format.name, sizeMiB);
    return std::nullopt;
}

bool readWholeFile(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::vector<char> buffer(1 << 20);
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) {
    }
    ::close(fd);
    return n == 0;
}

// A user-space copy, not copy_file_range: on file systems with reflinks the kernel would
// share the blocks instead of copying them, which no stripping tool can do.
std::optional<double> timePlainCopy(const fs::path& from, const fs::path& to)
{
    const auto start = Clock::now();
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    std::vector<char> buffer(1 << 20);
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; done < n && ok;) {
            const ssize_t written = ::write(out, buffer.data() + done, std::size_t(n - done));
            ok = written > 0;
            done += std::max<ssize_t>(written, 0);
        }
    }
    if (in >= 0)
        ::close(in);
    if (out >= 0 && ::close(out) != 0)
        ok = false;
    if (!ok)
        return std::nullopt;
    return secondsSince(start);
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

void removeQuietly(const fs::path& path)
{
    std::error_code ignored;
    fs::remove(path, ignored);
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
    const int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    auto settle = [&](const fs::path& output) {
        removeQuietly(output);
        // Dirty pages of one candidate must not be written back during the next one.
        if (directoryFd >= 0)
            syncfs(directoryFd);
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
    if (directoryFd >= 0)
        ::close(directoryFd);
    std::printf("\n");
    return result;
}

std::string rate(double sizeMiB, const std::optional<double>& seconds)
{
    if (!seconds || *seconds <= 0)
        return "failed";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f (%.2fs)", sizeMiB / *seconds, *seconds);
    return text;
}

std::string ratio(const std::optional<double>& numeratorSeconds,
                  const std::optional<double>& denominatorSeconds)
{
    if (!numeratorSeconds || !denominatorSeconds || *numeratorSeconds <= 0)
        return "-";
    char text[32];
    // A ratio of speeds: above 1 means (b) is the faster one.
    std::snprintf(text, sizeof text, "%.2f", *denominatorSeconds / *numeratorSeconds);
    return text;
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
                    result.sizeMiB, rate(result.sizeMiB, result.plain).c_str(),
                    rate(result.sizeMiB, result.service).c_str(),
                    rate(result.sizeMiB, result.ffmpeg).c_str(),
                    ratio(result.service, result.plain).c_str(),
                    ratio(result.service, result.ffmpeg).c_str(), peak);
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
