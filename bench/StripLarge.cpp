// (a) Large files: each source stripped in place and into a destination folder by the strip job,
// against ffmpeg's stream copy (as it is, and flushed to the disk as the job's output is) and
// against the floor of a durable strip, a copy of the file flushed to the disk.

#include "StripBench.h"

#include <cstdio>

namespace cleftone::bench {

namespace {

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

void printRow(const LargeResult& result, const Samples& ours, const Samples& ffmpeg,
              const Samples& ffmpegFlushed)
{
    auto cell = [&](const Samples& theirs) {
        char text[40];
        std::snprintf(text, sizeof text, "%-6s (%s)", formatSeconds(theirs).c_str(),
                      formatWallRatio(ours, theirs).c_str());
        return std::string(text);
    };
    const std::optional<double> wall = ours.wall();
    char rate[32] = "-";
    if (wall && *wall > 0)
        std::snprintf(rate, sizeof rate, "%.0f MiB/s", result.sizeMiB / *wall);
    std::printf("  %-5s | %-6s %-11s | %-14s | %-14s | %-14s\n", result.format->name,
                formatSeconds(ours).c_str(), rate, cell(ffmpeg).c_str(),
                cell(ffmpegFlushed).c_str(), cell(result.floor).c_str());
}

} // namespace

LargeResult measureLarge(const Format& format, const fs::path& source, const fs::path& scratch,
                         StripJobs& jobs, int repeats)
{
    LargeResult result;
    result.format = &format;
    result.sizeMiB = double(fileSize(source)) / kMiB;
    const std::string extension = std::string(".") + format.extension;
    const fs::path floorOut = scratch / ("floor" + extension);
    const fs::path work = scratch / ("strip-in-place" + extension);
    const fs::path destination = scratch / "destination";
    const fs::path intoFolder = destination / work.filename();
    const fs::path ffmpegOut = scratch / ("ffmpeg" + extension);
    const fs::path ffmpegWork = scratch / ("ffmpeg-in-place" + extension);
    std::error_code error;
    fs::create_directories(destination, error);

    std::printf("%-5s measuring %.0f MiB", format.name, result.sizeMiB);
    std::fflush(stdout);
    // Every candidate reads a warm file: the source, or its fresh copy in the scratch folder.
    readWholeFile(source);
    // Dirty pages of one candidate must not be written back during the next one.
    auto settle = [&](const fs::path& output) {
        removeQuietly(output);
        settleFileSystem(scratch);
    };
    // ffmpeg made to replace a copy as the job does: the rename then frees the original's
    // blocks, which the job pays for too.
    auto ffmpegInPlace = [&](Samples& samples, bool flush) {
        if (timePlainCopy(source, ffmpegWork)) {
            settleFileSystem(scratch);
            const Stopwatch stopwatch;
            if (runProgram(ffmpegStripArguments(ffmpegWork, ffmpegOut)) == 0 &&
                (flush ? flushAndRename(ffmpegOut, ffmpegWork)
                       : ::rename(ffmpegOut.c_str(), ffmpegWork.c_str()) == 0))
                samples.add(stopwatch.stop());
            removeQuietly(ffmpegOut);
        }
        settle(ffmpegWork);
    };
    auto ffmpegNew = [&](Samples& samples, bool flush) {
        const Stopwatch stopwatch;
        if (runProgram(ffmpegStripArguments(source, ffmpegOut)) == 0 &&
            (!flush || flushFile(ffmpegOut)))
            samples.add(stopwatch.stop());
        settle(ffmpegOut);
    };

    // Each of ours is followed by the runs it is compared with.
    for (int round = 0; round < repeats; ++round) {
        {
            const Stopwatch stopwatch;
            if (timePlainCopy(source, floorOut, true))
                result.floor.add(stopwatch.stop());
            settle(floorOut);
        }
        if (auto timing = timeJob(jobs, source, work, {}, work, true, scratch, &result.note,
                                  &result.peakAnonymousMiB))
            result.ours.add(*timing);
        settle(work);
        ffmpegInPlace(result.ffmpegInPlace, false);
        ffmpegInPlace(result.ffmpegInPlaceFlushed, true);

        if (auto timing = timeJob(jobs, source, work, destination, intoFolder, true, scratch,
                                  &result.note, &result.peakAnonymousMiB))
            result.oursIntoFolder.add(*timing);
        settle(intoFolder);
        settle(work);
        ffmpegNew(result.ffmpegNew, false);
        ffmpegNew(result.ffmpegNewFlushed, true);

        if (auto timing =
                timeJob(jobs, source, work, {}, work, false, scratch, &result.note, nullptr))
            result.oursUnchecked.add(*timing);
        settle(work);
        std::printf(".");
        std::fflush(stdout);
    }
    std::printf("\n");
    return result;
}

void printLargeTables(const std::vector<LargeResult>& results, int repeats)
{
    if (results.empty())
        return;
    std::printf("\n(a) Large files, %.0f MiB each, warm cache; median of %d alternating runs.\n"
                "    Seconds, and in brackets ours / theirs in wall time (at most 1.00: ours is "
                "as fast or faster).\n",
                results.front().sizeMiB, repeats);
    const char* header = "  %-5s | %-18s | %-14s | %-14s | %-14s\n";
    const std::string rule(78, '-');
    std::printf("In place (ffmpeg writes beside the file and is renamed over it):\n");
    std::printf(header, "", "ours", "ffmpeg", "ffmpeg + fsync", "cp + fsync");
    std::printf("  %s\n", rule.c_str());
    for (const auto& result : results)
        printRow(result, result.ours, result.ffmpegInPlace, result.ffmpegInPlaceFlushed);
    std::printf("Into a destination folder (ffmpeg writes a new file):\n");
    std::printf(header, "", "ours", "ffmpeg", "ffmpeg + fsync", "cp + fsync");
    std::printf("  %s\n", rule.c_str());
    for (const auto& result : results)
        printRow(result, result.oursIntoFolder, result.ffmpegNew, result.ffmpegNewFlushed);
    std::printf("(ours: the whole job, with its copy check, the flush of the copy, the commit, "
                "the folder's flush and,\n for MP3, mp3val. ffmpeg + fsync: its output flushed, "
                "then renamed and the folder flushed in place.\n cp + fsync: a copy of the file "
                "flushed to the disk, the floor of a durable strip.)\n");

    std::printf("In-place job: wall / this process's CPU / child CPU (mp3val); without the copy "
                "check; the check's share; peak anonymous MiB\n");
    for (const auto& result : results) {
        if (!result.ours)
            continue;
        const Timing median = result.ours.median();
        const std::optional<double> without = result.oursUnchecked.wall();
        char share[16] = "-";
        if (without)
            std::snprintf(share, sizeof share, "%.0f%%",
                          100.0 * (median.wall - *without) / median.wall);
        std::printf("  %-5s %.2fs / %.2fs / %.2fs   %-6s %5s   %6.1f\n", result.format->name,
                    median.wall, median.ownCpu, median.childCpu,
                    formatSeconds(result.oursUnchecked).c_str(), share, result.peakAnonymousMiB);
    }
}

} // namespace cleftone::bench
