// libFuzzer target for the audio-file service.
//
// Every input becomes a file on disk and goes the way a file goes through the strip job: it is
// opened with content detection, every inspection property is asked for, and its packets are
// read in blocks sized as the packet copy sizes them. A second pass creates a new file of the
// same type with the input's stream description and magic cookie and writes the packets into
// it, so the writers see whatever the readers let through. The metadata report (what --show and
// the window's inspector list) reads every input too.
//
// Besides the sanitizers, the target checks what the callers of the service rely on: counts
// and descriptions that stay inside the buffers they describe, sizes that fit the storage
// given, and no file descriptor left open after a file is closed.
//
// CLEFTONE_FUZZ_MODE=read or =write runs only one of the two passes (to narrow down a finding);
// CLEFTONE_FUZZ_EXACT_COUNT=1 also reports inputs that deliver fewer packets than they count.
// Build and run with fuzz/run-fuzz.sh.

#include "engine/audiofile/AudioFileService.h"
#include "engine/audiofile/MetadataInspection.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace cleftone;

// The packet copy's block size.
constexpr std::uint32_t kBlockBytes = 32768;
// Enough for any input of the fuzzing size limit, small enough to keep one run short.
constexpr std::uint64_t kMaxPackets = 20000;

struct State {
    std::string inputPath;
    std::string outputPath;
    bool readPass = true;
    bool writePass = true;
    bool exactCount = false;
};

State& state()
{
    static State instance;
    return instance;
}

[[noreturn]] void violated(const char* what, unsigned long long a = 0, unsigned long long b = 0)
{
    std::fprintf(stderr, "audio-file service contract violated: %s (%llu, %llu)\n", what, a, b);
    std::abort();
}

void check(bool condition, const char* what, unsigned long long a = 0, unsigned long long b = 0)
{
    if (!condition)
        violated(what, a, b);
}

// Whether this process still has the run's input or output file open. Looking at what the
// descriptors point to, not at how many there are, keeps other threads of the sanitizers and
// of libFuzzer from causing false alarms.
bool holdsScratchFile()
{
    DIR* fds = ::opendir("/proc/self/fd");
    if (!fds)
        return false;
    bool holds = false;
    while (const dirent* entry = ::readdir(fds)) {
        char link[PATH_MAX];
        const std::string path = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = ::readlink(path.c_str(), link, sizeof link - 1);
        if (length <= 0)
            continue;
        link[length] = '\0';
        // An unlinked output shows as "PATH (deleted)".
        if (std::strncmp(link, state().inputPath.c_str(), state().inputPath.size()) == 0 ||
            std::strncmp(link, state().outputPath.c_str(), state().outputPath.size()) == 0)
            holds = true;
    }
    ::closedir(fds);
    return holds;
}

std::string scratchDirectory()
{
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp)
        return tmp;
    // Memory-backed, so the files written for every run cost no disk I/O.
    if (::access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return "/tmp";
}

void removeScratchFiles()
{
    ::unlink(state().inputPath.c_str());
    ::unlink(state().outputPath.c_str());
}

bool writeInput(const std::uint8_t* data, std::size_t size)
{
    const int fd =
        ::open(state().inputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    ::close(fd);
    return done == size;
}

// Fixed-size properties: the storage is exactly the size the service announced, on the heap,
// so that a write past it is caught.
template <typename T>
bool fixedProperty(AudioFileService& service, AudioFileID file, AudioFilePropertyID property,
                   T& value)
{
    std::uint32_t size = 0;
    if (service.AudioFileGetPropertyInfo(file, property, &size, nullptr) != 0)
        return false;
    check(size == sizeof(T), "fixed property info size", property, size);
    auto storage = std::make_unique<std::uint8_t[]>(size);
    std::uint32_t ioSize = size;
    if (service.AudioFileGetProperty(file, property, &ioSize, storage.get()) != 0)
        return false;
    check(ioSize == sizeof(T), "fixed property size", property, ioSize);
    std::memcpy(&value, storage.get(), sizeof(T));
    return true;
}

// Variable-size properties, asked the way the inspection object asks them: size first, then
// the value into exactly that much storage. Then once more into half the storage, which the
// service must respect.
std::vector<std::uint8_t> variableProperty(AudioFileService& service, AudioFileID file,
                                           AudioFilePropertyID property)
{
    std::uint32_t size = 0;
    if (service.AudioFileGetPropertyInfo(file, property, &size, nullptr) != 0)
        return {};
    auto storage = std::make_unique<std::uint8_t[]>(std::max<std::uint32_t>(size, 1));
    std::uint32_t ioSize = size;
    if (service.AudioFileGetProperty(file, property, &ioSize, storage.get()) != 0)
        return {};
    check(ioSize <= size, "variable property grew", property, ioSize);
    std::vector<std::uint8_t> value(storage.get(), storage.get() + ioSize);

    if (size >= 2) {
        const std::uint32_t half = size / 2;
        auto small = std::make_unique<std::uint8_t[]>(half);
        std::uint32_t smallSize = half;
        if (service.AudioFileGetProperty(file, property, &smallSize, small.get()) == 0)
            check(smallSize <= half, "variable property overran its storage", property, smallSize);
    }
    return value;
}

struct Inspection {
    AudioFileTypeID type = 0;
    AudioStreamBasicDescription format;
    std::vector<std::uint8_t> cookie;
    std::uint64_t packetCount = 0;
    std::uint32_t maximumPacketSize = 0;
};

Inspection inspect(AudioFileService& service, AudioFileID file, bool everything)
{
    Inspection result;
    fixedProperty(service, file, AudioFileProperty::FileFormat, result.type);
    fixedProperty(service, file, AudioFileProperty::DataFormat, result.format);
    fixedProperty(service, file, AudioFileProperty::AudioDataPacketCount, result.packetCount);
    fixedProperty(service, file, AudioFileProperty::MaximumPacketSize, result.maximumPacketSize);
    result.cookie = variableProperty(service, file, AudioFileProperty::MagicCookieData);
    if (!everything)
        return result;

    std::uint64_t byteCount = 0;
    std::int64_t dataOffset = 0;
    fixedProperty(service, file, AudioFileProperty::AudioDataByteCount, byteCount);
    fixedProperty(service, file, AudioFileProperty::DataOffset, dataOffset);
    const auto chunks = variableProperty(service, file, AudioFileProperty::ChunkIDs);
    check(chunks.size() % 4 == 0, "chunk list not a whole number of IDs", chunks.size());
    variableProperty(service, file, AudioFileProperty::ID3Tag);

    // The dictionary is handed over even when the status is not 0; it is the caller's.
    AudioFileInfoDictionary* info = nullptr;
    std::uint32_t size = sizeof info;
    service.AudioFileGetProperty(file, AudioFileProperty::InfoDictionary, &size, &info);
    if (info) {
        // Touch every entry, so that a dictionary built from freed memory shows.
        std::size_t length = 0;
        for (const auto& [key, value] : *info)
            length += std::strlen(key.c_str()) + std::strlen(value.c_str());
        check(length < std::size_t(1) << 40, "info dictionary");
    }
    delete info;
    return result;
}

// Reads packets from `first` on, in the packet copy's blocks, and writes them to `output`
// when there is one. Returns the packets delivered.
std::uint64_t copyBlocks(AudioFileService& service, AudioFileID input, const Inspection& about,
                         std::uint64_t first, std::uint64_t count, AudioFileID& output)
{
    const std::uint32_t maximum = about.maximumPacketSize;
    if (maximum == 0)
        return 0;
    const std::uint32_t perBlock = maximum <= kBlockBytes ? kBlockBytes / maximum : 1;
    std::uint64_t delivered = 0;
    std::uint64_t next = first;
    std::uint64_t remaining = count;
    while (remaining > 0) {
        const auto asked = std::uint32_t(std::min<std::uint64_t>(perBlock, remaining));
        const std::uint32_t bufferSize = maximum * asked;
        auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(bufferSize);
        std::vector<AudioStreamPacketDescription> descriptions(asked);
        std::uint32_t bytes = bufferSize;
        std::uint32_t packets = asked;
        if (service.AudioFileReadPacketData(input, false, &bytes, descriptions.data(),
                                            std::int64_t(next), &packets, buffer.get()) != 0)
            break;
        check(packets <= asked, "read delivered more packets than asked", packets, asked);
        check(bytes <= bufferSize, "read delivered more bytes than the buffer holds", bytes,
              bufferSize);
        for (std::uint32_t i = 0; i < packets; ++i) {
            const auto& description = descriptions[i];
            check(description.mStartOffset >= 0 &&
                      std::uint64_t(description.mStartOffset) + description.mDataByteSize <= bytes,
                  "packet description outside the delivered bytes",
                  std::uint64_t(description.mStartOffset), description.mDataByteSize);
            check(description.mDataByteSize <= maximum, "packet larger than the maximum size",
                  description.mDataByteSize, maximum);
        }
        if (packets == 0)
            break;
        delivered += packets;

        if (output) {
            std::uint32_t written = packets;
            if (service.AudioFileWritePackets(output, false, bytes, descriptions.data(),
                                              std::int64_t(next), &written, buffer.get()) != 0) {
                // A refused write ends the copy, as it ends the strip job.
                service.AudioFileClose(output);
                output = nullptr;
            }
        }
        next += asked;
        remaining -= asked;
    }
    return delivered;
}

void readPass(AudioFileService& service, const std::uint8_t* data, std::size_t size)
{
    // The metadata report reads the same bytes its own way: chunks, boxes, FLAC blocks, tags
    // around raw streams, MPEG frames and their Xing or VBRI counts.
    const MetadataReport report = inspectMetadata(state().inputPath, true);
    for (const MetadataPicture& picture : report.pictures)
        check(picture.data.size() == std::size_t(picture.bytes), "picture size", picture.bytes,
              picture.data.size());
    check(report.metadataBytes >= 0, "negative metadata size");
    reportLines(report);
    mpegStreamIsWhole(state().inputPath);

    AudioFileID file = nullptr;
    if (service.AudioFileOpenURL(state().inputPath, kAudioFileReadPermission, 0, &file) != 0) {
        check(file == nullptr, "failed open left a handle");
        return;
    }
    check(file != nullptr, "open succeeded without a handle");
    const Inspection about = inspect(service, file, true);
    const std::uint64_t packets = std::min(about.packetCount, kMaxPackets);
    AudioFileID noOutput = nullptr;
    const std::uint64_t delivered = copyBlocks(service, file, about, 0, packets, noOutput);
    // The packet copy copies exactly the announced number of packets and fails the job when
    // the input delivers fewer; with CLEFTONE_FUZZ_EXACT_COUNT=1 such inputs are reported.
    if (state().exactCount && about.maximumPacketSize > 0)
        check(delivered == packets, "fewer packets delivered than counted", delivered, packets);

    // Reads that do not continue where the last one ended: back to the start and into the
    // middle, at a place the input chooses.
    if (packets > 0) {
        copyBlocks(service, file, about, 0, 1, noOutput);
        const std::uint64_t somewhere = size > 0 ? data[size - 1] * packets / 256 : 0;
        copyBlocks(service, file, about, somewhere, std::min<std::uint64_t>(3, packets - somewhere),
                   noOutput);
    }
    service.AudioFileClose(file);
}

void writePass(AudioFileService& service)
{
    AudioFileID input = nullptr;
    if (service.AudioFileOpenURL(state().inputPath, kAudioFileReadPermission, 0, &input) != 0)
        return;
    const Inspection about = inspect(service, input, false);

    AudioFileID output = nullptr;
    const OSStatus created = service.AudioFileCreateWithURL(
        state().outputPath, about.type, &about.format,
        kAudioFileFlags_EraseFile | kAudioFileFlags_DontPageAlignAudioData, &output);
    if (created != 0) {
        check(output == nullptr, "failed create left a handle");
    } else {
        if (!about.cookie.empty() &&
            service.AudioFileSetProperty(output, AudioFileProperty::MagicCookieData,
                                         std::uint32_t(about.cookie.size()),
                                         about.cookie.data()) != 0) {
            service.AudioFileClose(output);
            output = nullptr;
        }
        if (output)
            copyBlocks(service, input, about, 0, std::min(about.packetCount, kMaxPackets), output);
        if (output)
            service.AudioFileClose(output);
    }
    ::unlink(state().outputPath.c_str());
    service.AudioFileClose(input);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    State& s = state();
    const std::string base = scratchDirectory() + "/cleftone-fuzz-" + std::to_string(::getpid());
    s.inputPath = base + ".in";
    s.outputPath = base + ".out";
    if (const char* mode = std::getenv("CLEFTONE_FUZZ_MODE")) {
        s.readPass = std::strcmp(mode, "write") != 0;
        s.writePass = std::strcmp(mode, "read") != 0;
    }
    if (const char* exact = std::getenv("CLEFTONE_FUZZ_EXACT_COUNT"))
        s.exactCount = std::strcmp(exact, "1") == 0;
    std::atexit(removeScratchFiles);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    State& s = state();
    if (!writeInput(data, size))
        return 0;
    AudioFileService& service = AudioFileService::system();
    if (s.readPass)
        readPass(service, data, size);
    if (s.writePass)
        writePass(service);
    // Every file the service opened for this input must be closed again.
    check(!holdsScratchFile(), "a file descriptor was left open");
    return 0;
}
