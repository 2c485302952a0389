#include "BenchSupport.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace cleftone::bench {

const char* const kSourceGraph = "anoisesrc=r=44100:a=0.25:c=pink:seed=1[l];"
                                 "anoisesrc=r=44100:a=0.25:c=pink:seed=2[r];"
                                 "[l][r]amerge=inputs=2[n];"
                                 "sine=f=440:r=44100,pan=stereo|c0=c0|c1=c0[s];"
                                 "[n][s]amix=inputs=2:normalize=0[out]";

const std::vector<Format>& formats()
{
    static const std::vector<Format> list = {
        {"MP3", "mp3", "mp3", {"-c:a", "libmp3lame", "-b:a", "320k"}},
        {"WAV", "wav", "wav", {"-c:a", "pcm_s16le"}},
        {"M4A", "m4a", "ipod", {"-c:a", "aac", "-b:a", "256k"}},
        {"FLAC", "flac", "flac", {"-c:a", "flac", "-compression_level", "0", "-sample_fmt", "s16"}},
        {"AIFF", "aiff", "aiff", {"-c:a", "pcm_s16be"}},
    };
    return list;
}

fs::path defaultCacheDirectory()
{
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/')
        return fs::path(cache) / "cleftone-bench";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".cache" / "cleftone-bench";
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

void removeQuietly(const fs::path& path)
{
    std::error_code ignored;
    fs::remove(path, ignored);
}

int runProgram(const std::vector<std::string>& arguments,
               const std::function<void(const std::string&)>& onLine)
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

std::optional<fs::path> ensureSource(const Format& format, const fs::path& directory, int sizeMiB)
{
    const std::int64_t wanted = std::int64_t(sizeMiB) * 1024 * 1024;
    const fs::path path =
        directory / ("source-" + std::to_string(sizeMiB) + "mb." + format.extension);
    if (fileSize(path) >= wanted) {
        std::printf("%-5s reusing %s\n", format.name, path.c_str());
        return path;
    }

    // The encoders' byte rate is measured on a short sample first, because FLAC's depends on
    // the signal. Scratch names carry the process id: two benchmark runs may share the cache
    // folder.
    const std::string scratch = "." + std::to_string(::getpid()) + "." + format.extension;
    const fs::path sample = directory / (".sample" + scratch);
    constexpr double kSampleSeconds = 20;
    if (runProgram(encodeArguments(format, kSampleSeconds, sample, false)) != 0 ||
        fileSize(sample) <= 0) {
        std::fprintf(stderr, "%s: ffmpeg could not make a sample file\n", format.name);
        removeQuietly(sample);
        return std::nullopt;
    }
    double bytesPerSecond = double(fileSize(sample)) / kSampleSeconds;
    removeQuietly(sample);

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
            removeQuietly(partial);
            return std::nullopt;
        }
        if (made >= wanted) {
            fs::rename(partial, path);
            return path;
        }
        bytesPerSecond = double(made) / seconds;
    }
    removeQuietly(partial);
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

std::optional<double> timePlainCopy(const fs::path& from, const fs::path& to, bool flush)
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
    if (ok && flush && ::fsync(out) != 0)
        ok = false;
    if (in >= 0)
        ::close(in);
    if (out >= 0 && ::close(out) != 0)
        ok = false;
    if (!ok)
        return std::nullopt;
    return secondsSince(start);
}

bool flushFile(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool flushed = ::fsync(fd) == 0;
    return ::close(fd) == 0 && flushed;
}

void settleFileSystem(const fs::path& directory)
{
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::syncfs(fd);
    ::close(fd);
}

std::string formatRate(double amount, const std::optional<double>& seconds)
{
    if (!seconds || *seconds <= 0)
        return "failed";
    char text[48];
    std::snprintf(text, sizeof text, "%.0f (%.2fs)", amount / *seconds, *seconds);
    return text;
}

std::string formatRatio(const std::optional<double>& ourSeconds,
                        const std::optional<double>& otherSeconds)
{
    if (!ourSeconds || !otherSeconds || *ourSeconds <= 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", *otherSeconds / *ourSeconds);
    return text;
}

std::int64_t anonymousMemory()
{
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "RssAnon:") {
            std::int64_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
        status.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return 0;
}

AnonymousMemorySampler::AnonymousMemorySampler()
    : baseline_(anonymousMemory()), peak_(baseline_), thread_([this] {
          while (running_) {
              const std::int64_t now = anonymousMemory();
              std::int64_t seen = peak_;
              while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
      })
{}

AnonymousMemorySampler::~AnonymousMemorySampler()
{
    stop();
}

double AnonymousMemorySampler::stop()
{
    if (running_.exchange(false))
        thread_.join();
    return double(std::max<std::int64_t>(0, peak_ - baseline_));
}

} // namespace cleftone::bench
