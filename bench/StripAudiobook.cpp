// (c) Memory of a very long file: an M4B audiobook of many hours (about 3.7 million AAC packets
// in 24 hours) stripped in place by cleftone-strip and remuxed by ffmpeg, each a child process
// whose peak resident set is measured. What a strip keeps per packet shows up here.

#include "StripBench.h"

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace cleftone::bench {

namespace {

constexpr int kChunkSeconds = 600;

// Encoding a day of AAC would take long: ten minutes are encoded once and joined end to end
// without re-encoding.
std::optional<fs::path> ensureAudiobook(const fs::path& directory, int hours)
{
    const fs::path path = directory / ("audiobook-" + std::to_string(hours) + "h.m4b");
    if (fileSize(path) > 0) {
        std::printf("M4B   reusing %s\n", path.c_str());
        return path;
    }
    std::printf("M4B   making %s (%d h of AAC at 32 kb/s)\n", path.c_str(), hours);
    std::fflush(stdout);
    // Scratch names carry the process id: two benchmark runs may share the cache folder.
    const std::string pid = std::to_string(::getpid());
    const fs::path chunk = directory / (".audiobook-chunk." + pid + ".m4a");
    const fs::path list = directory / (".audiobook-list." + pid + ".txt");
    const fs::path partial = directory / (".audiobook-partial." + pid + ".m4b");
    const Format aac{"M4B", "m4b", "ipod", {"-c:a", "aac", "-b:a", "32k"}};
    bool made = runProgram(encodeArguments(aac, kChunkSeconds, chunk, false)) == 0;
    if (made) {
        std::ofstream entries(list);
        for (int i = 0; i < hours * 3600 / kChunkSeconds; ++i)
            entries << "file '" << chunk.string() << "'\n";
        made = bool(entries.flush());
    }
    made = made && runProgram({"ffmpeg",
                               "-nostdin",
                               "-v",
                               "error",
                               "-y",
                               "-f",
                               "concat",
                               "-safe",
                               "0",
                               "-i",
                               list.string(),
                               "-map",
                               "0:a",
                               "-c",
                               "copy",
                               "-metadata",
                               "title=A day of noise",
                               "-metadata",
                               "artist=Cleftone bench",
                               "-brand",
                               "M4B ",
                               "-f",
                               "ipod",
                               partial.string()}) == 0;
    removeQuietly(chunk);
    removeQuietly(list);
    std::error_code error;
    if (made)
        fs::rename(partial, path, error);
    if (!made || error) {
        removeQuietly(partial);
        std::fprintf(stderr, "M4B: ffmpeg could not make the audiobook\n");
        return std::nullopt;
    }
    return path;
}

} // namespace

AudiobookResult measureAudiobook(const fs::path& directory, const fs::path& scratch,
                                 const fs::path& stripTool, int hours)
{
    AudiobookResult result;
    result.hours = hours;
    const std::optional<fs::path> source = ensureAudiobook(directory, hours);
    if (!source) {
        result.note = "no audiobook to measure";
        return result;
    }
    result.sizeMB = double(fileSize(*source)) / 1e6;
    std::printf("M4B   measuring peak memory");
    std::fflush(stdout);
    readWholeFile(*source);

    const fs::path work = scratch / "audiobook.m4b";
    if (timePlainCopy(*source, work)) {
        settleFileSystem(scratch);
        const Stopwatch stopwatch;
        const int status =
            runProgram({stripTool.string(), "-q", work.string()}, {}, &result.oursPeakKiB);
        result.oursSeconds = stopwatch.stop().wall;
        if (status != 0 || fileSize(work) <= fileSize(*source) / 2) {
            result.note = "cleftone-strip failed (exit status " + std::to_string(status) + ")";
            result.oursPeakKiB = -1;
        }
    }
    removeQuietly(work);
    settleFileSystem(scratch);
    std::printf(".");
    std::fflush(stdout);

    const fs::path out = scratch / "audiobook-ffmpeg.m4b";
    const Stopwatch stopwatch;
    if (runProgram(ffmpegStripArguments(*source, out), {}, &result.ffmpegPeakKiB) != 0)
        result.ffmpegPeakKiB = -1;
    result.ffmpegSeconds = stopwatch.stop().wall;
    removeQuietly(out);
    settleFileSystem(scratch);
    std::printf(".\n");
    return result;
}

void printAudiobook(const AudiobookResult& result)
{
    std::printf("\n(c) Peak resident memory of a %.0f-hour M4B (%.0f MB, AAC at 32 kb/s), stripped "
                "in place; whole process\n",
                result.hours, result.sizeMB);
    auto peak = [](long kib) {
        char text[32] = "failed";
        if (kib >= 0)
            std::snprintf(text, sizeof text, "%.1f MB", double(kib) * 1024 / 1e6);
        return std::string(text);
    };
    std::printf("  cleftone-strip  %-10s (%.1fs)\n", peak(result.oursPeakKiB).c_str(),
                result.oursSeconds);
    std::printf("  ffmpeg          %-10s (%.1fs)\n", peak(result.ffmpegPeakKiB).c_str(),
                result.ffmpegSeconds);
    if (!result.note.empty())
        std::printf("  note: %s\n", result.note.c_str());
}

} // namespace cleftone::bench
