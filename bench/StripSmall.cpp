// (b) Small files: sets of tagged MP3 and M4A files stripped in place, one job after another on
// one queue as the window runs them, against the floor of each: for MP3 the repair tool alone,
// one mp3val process per file as the job runs it; for M4A a copy of each file flushed to the
// disk and renamed over it, the folder flushed once at the end.

#include "StripBench.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace cleftone::bench {

namespace {

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

std::vector<fs::path> filesWithExtension(const fs::path& folder, const std::string& extension)
{
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.is_regular_file() && entry.path().extension() == "." + extension &&
            entry.path().filename().string().front() != '.')
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
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
    // An empty ilst holds no tag; its items are what count.
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

// The floor of a durable in-place rewrite of one small file: read it, write it beside itself,
// flush that and rename it over the file.
bool copyFlushRename(const fs::path& file, std::vector<char>& buffer)
{
    const fs::path temporary = file.parent_path() / (".floor-" + file.filename().string());
    const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = in >= 0 && out >= 0;
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = ::write(out, buffer.data(), std::size_t(n)) == n;
    }
    ok = ok && ::fsync(out) == 0;
    if (in >= 0)
        ::close(in);
    if (out >= 0)
        ok = ::close(out) == 0 && ok;
    return ok && ::rename(temporary.c_str(), file.c_str()) == 0;
}

std::optional<Timing> timeFloor(const SmallKind& kind, const std::vector<fs::path>& files,
                                const fs::path& repairTool)
{
    std::vector<char> buffer(1 << 20);
    int failures = 0;
    const Stopwatch stopwatch;
    for (const fs::path& file : files) {
        if (kind.repaired)
            failures += runProgram({repairTool.string(), "-f", "-nb", "-si", file.string()}) != 0;
        else
            failures += !copyFlushRename(file, buffer);
    }
    if (!kind.repaired && !files.empty())
        flushFile(files.front().parent_path());
    const Timing timing = stopwatch.stop();
    if (failures)
        return std::nullopt;
    return timing;
}

} // namespace

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

SmallResult measureSmall(const SmallKind& kind, const fs::path& set, const fs::path& scratch,
                         StripJobs& jobs, const fs::path& repairTool, int repeats)
{
    SmallResult result;
    result.kind = &kind;
    const std::string extension = kind.extension;
    const std::vector<fs::path> originals = filesWithExtension(set, extension);
    result.count = int(originals.size());
    result.taggedBefore = countTagged(originals, extension);
    const fs::path folder = scratch / ("small-" + extension);
    auto finish = [&] {
        std::error_code error;
        fs::remove_all(folder, error);
        settleFileSystem(scratch);
    };

    std::printf("%-5s measuring %d files", kind.name, result.count);
    std::fflush(stdout);
    for (int round = 0; round < repeats; ++round) {
        std::vector<fs::path> files = freshCopy(set, folder, extension);
        if (files.size() == originals.size()) {
            const StripJobs::Outcome outcome = jobs.strip(files);
            if (outcome.failed == 0)
                result.ours.add(outcome.timing);
            else
                result.note = std::to_string(outcome.failed) +
                              " jobs failed; first: " + outcome.firstError.toStdString();
            result.taggedAfter = countTagged(files, extension);
        }
        finish();

        files = freshCopy(set, folder, extension);
        if (files.size() == originals.size()) {
            if (const auto timing = timeFloor(kind, files, repairTool))
                result.floor.add(*timing);
            else
                result.note = "the floor's runs failed";
        }
        finish();
        std::printf(".");
        std::fflush(stdout);
    }
    std::printf("\n");
    return result;
}

void printSmallTable(const std::vector<SmallResult>& results, int repeats)
{
    if (results.empty())
        return;
    std::printf("\n(b) Small tagged files (%.0f s of audio, ID3v2 or ilst tags with a cover), "
                "stripped in place one job\n    after another; median of %d alternating runs. "
                "Seconds for the set (files per second).\n",
                kSmallSeconds, repeats);
    std::printf("  %-5s %5s | %-16s | %-16s | %-26s | %10s | %s\n", "", "files", "ours", "floor",
                "the floor is", "ours/floor", "ours - floor, per file");
    std::printf("  %s\n", std::string(118, '-').c_str());
    for (const auto& result : results) {
        auto cell = [&](const Samples& samples) {
            char text[40] = "-";
            if (samples)
                std::snprintf(text, sizeof text, "%.2fs (%.0f/s)", *samples.wall(),
                              result.count / *samples.wall());
            return std::string(text);
        };
        char extra[32] = "-";
        if (result.ours && result.floor)
            std::snprintf(extra, sizeof extra, "%.2f ms",
                          1000.0 * (*result.ours.wall() - *result.floor.wall()) / result.count);
        std::printf("  %-5s %5d | %-16s | %-16s | %-26s | %10s | %s\n", result.kind->name,
                    result.count, cell(result.ours).c_str(), cell(result.floor).c_str(),
                    result.kind->repaired ? "mp3val alone, per file" : "copy+fsync+rename per file",
                    formatWallRatio(result.ours, result.floor).c_str(), extra);
    }
    std::printf("Where the time went (median run): wall / this process's CPU / child CPU; files "
                "still tagged afterwards\n");
    for (const auto& result : results) {
        for (const auto& [who, samples] :
             {std::pair{"ours", &result.ours}, std::pair{"floor", &result.floor}}) {
            if (!*samples)
                continue;
            const Timing median = samples->median();
            std::printf("  %-5s %-5s %6.2fs / %6.2fs / %6.2fs", result.kind->name, who, median.wall,
                        median.ownCpu, median.childCpu);
            if (samples == &result.ours)
                std::printf("   tagged %d of %d (before: %d)", result.taggedAfter, result.count,
                            result.taggedBefore);
            std::printf("\n");
        }
    }
}

} // namespace cleftone::bench
