#include "StripBench.h"

#include "engine/ReplacementFolders.h"
#include "platform/BuildConfig.h"
#include "platform/OperationQueue.h"
#include "platform/PreferenceKeys.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/resource.h>
#include <unistd.h>

namespace cleftone::bench {

namespace {

double cpuSeconds(int who)
{
    rusage usage{};
    ::getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool isExecutableFile(const fs::path& path)
{
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

Stopwatch::Stopwatch()
    : start_(Clock::now()), own_(cpuSeconds(RUSAGE_SELF)), children_(cpuSeconds(RUSAGE_CHILDREN))
{}

Timing Stopwatch::stop() const
{
    return {secondsSince(start_), cpuSeconds(RUSAGE_SELF) - own_,
            cpuSeconds(RUSAGE_CHILDREN) - children_};
}

Timing Samples::median() const
{
    std::vector<Timing> sorted = runs;
    std::sort(sorted.begin(), sorted.end(),
              [](const Timing& a, const Timing& b) { return a.wall < b.wall; });
    return sorted.at(sorted.size() / 2);
}

std::optional<double> Samples::wall() const
{
    return runs.empty() ? std::nullopt : std::optional<double>(median().wall);
}

std::string formatSeconds(const Samples& samples)
{
    if (!samples)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2fs", *samples.wall());
    return text;
}

std::string formatWallRatio(const Samples& ours, const Samples& theirs)
{
    if (!ours || !theirs || *theirs.wall() <= 0)
        return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", *ours.wall() / *theirs.wall());
    return text;
}

bool withinRatio(const Samples& ours, const Samples& theirs, double limit)
{
    return ours && theirs && *ours.wall() <= limit * *theirs.wall();
}

std::vector<std::string> ffmpegStripArguments(const fs::path& from, const fs::path& to)
{
    return {"ffmpeg",      "-nostdin", "-v",        "error",    "-y",   "-i",
            from.string(), "-map",     "0:a:0",     "-c",       "copy", "-map_metadata",
            "-1",          "-fflags",  "+bitexact", to.string()};
}

bool flushAndRename(const fs::path& from, const fs::path& to)
{
    if (!flushFile(from) || ::rename(from.c_str(), to.c_str()) != 0)
        return false;
    const int folder = ::open(to.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    const bool flushed = ::fsync(folder) == 0;
    ::close(folder);
    return flushed;
}

std::optional<fs::path> findProgram(const std::string& name, bool orOnPath)
{
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (!error) {
        for (const fs::path& folder :
             {executable.parent_path(), executable.parent_path().parent_path() / "bin"}) {
            if (isExecutableFile(folder / name))
                return fs::weakly_canonical(folder, error) / name;
        }
    }
    if (!orOnPath)
        return std::nullopt;
    const char* path = std::getenv("PATH");
    std::string_view rest = path ? path : "/usr/bin:/bin";
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const fs::path folder(std::string(rest.substr(0, colon)));
        if (!folder.empty() && isExecutableFile(folder / name))
            return folder / name;
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    return std::nullopt;
}

StripJobs::StripJobs(const fs::path& scratch, const fs::path& repairToolDirectory)
    : settings_(QString::fromStdString((scratch / "strip.conf").string())),
      errors_(std::make_shared<Errors>())
{
    environment_.sandboxed = false;
    environment_.repairToolDirectory = QString::fromStdString(repairToolDirectory.string());
    // Leftover records go to the scratch folder, on the same file system as the default.
    environment_.journalDirectory = QString::fromStdString((scratch / "journal").string());
    environment_.logError = [errors = errors_](const QString& line) {
        std::lock_guard lock(errors->mutex);
        errors->lines.append(line);
    };
}

StripJobs::Outcome StripJobs::strip(const std::vector<fs::path>& files, const fs::path& destination,
                                    bool verify)
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
    // The run's queue, folders and jobs are made inside the timing, as a press of Strip does.
    const Stopwatch stopwatch;
    const auto folders = std::make_shared<ReplacementFolders>(environment_.journalDirectory);
    StripEnvironment environment = environment_;
    environment.replacementFolders = folders;
    environment.verifyCopies = verify;
    {
        OperationQueue queue(QString::fromLatin1(bundleIdentifier()) + QStringLiteral(".queue"));
        queue.setMaxConcurrentOperationCount(1);
        std::vector<std::shared_ptr<Operation>> operations;
        for (const fs::path& file : files) {
            auto job = std::make_shared<CleftoneOperation>(QString::fromStdString(file.string()),
                                                           environment);
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

} // namespace cleftone::bench
