#include "engine/audiofile/ServiceFiles.h"

#include "engine/audiofile/FFmpegAudioFileService.h"
#include "engine/audiofile/InputAudioFile.h"
#include "engine/audiofile/Mp4Input.h"
#include "engine/audiofile/Mp4Output.h"
#include "engine/audiofile/OutputAudioFile.h"
#include "engine/audiofile/RewriteFamilies.h"
#include "engine/audiofile/RewriteInput.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

std::atomic<bool> mp4ThroughLibavformat{false};

bool isMp4Family(AudioFileTypeID type)
{
    return type == AudioFileType::M4A || type == AudioFileType::M4B ||
           type == AudioFileType::MPEG4 || type == AudioFileType::ThreeGP ||
           type == AudioFileType::ThreeGP2;
}

// The service's own reader takes plain MP4-family files, which start with their file-type box.
bool startsWithFileType(const FileReader& reader, std::int64_t begin)
{
    std::uint8_t head[8];
    return begin == 0 && reader.readAt(0, head) && std::memcmp(head + 4, "ftyp", 4) == 0;
}

} // namespace

void setMp4ThroughLibavformat(bool on)
{
    mp4ThroughLibavformat = on;
}

const RewriteFamily* rewriteFamilyFor(AudioFileTypeID type)
{
    for (const RewriteFamily& family : rewriteFamilies())
        if (std::find(family.types.begin(), family.types.end(), type) != family.types.end())
            return &family;
    return nullptr;
}

std::optional<OSStatus> checkReadRequest(std::uint32_t* ioNumBytes, std::uint32_t* ioNumPackets,
                                         const void* buffer, std::int64_t startingPacket,
                                         std::uint64_t packetCount)
{
    if (!ioNumBytes || !ioNumPackets || (!buffer && *ioNumBytes))
        return AudioFileError::Parameter;
    if (startingPacket < 0)
        return AudioFileError::InvalidPacketOffset;
    if (*ioNumPackets == 0) {
        *ioNumBytes = 0;
        return 0;
    }
    if (std::uint64_t(startingPacket) >= packetCount) {
        *ioNumBytes = 0;
        *ioNumPackets = 0;
        return AudioFileError::EndOfFile;
    }
    return std::nullopt;
}

namespace {

// Opens `path` for reading: only a regular file that is not empty, since a FIFO or a device
// would block or never end.
OSStatus openRegularFile(const std::string& path, int* fd)
{
    *fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (*fd < 0)
        return statusFromErrno(errno);
    struct stat info {};
    if (fstat(*fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
        ::close(*fd);
        *fd = -1;
        return AudioFileError::InvalidFile;
    }
    ::fcntl(*fd, F_SETFL, ::fcntl(*fd, F_GETFL) & ~O_NONBLOCK);
    return 0;
}

// The families with readers of their own know their files by the first bytes after any ID3v2
// tags that taggers put in front, at `begin`.
const RewriteFamily* claimingFamily(const FileReader& reader, std::int64_t begin)
{
    for (const RewriteFamily& family : rewriteFamilies())
        if (family.claims(reader, begin))
            return &family;
    return nullptr;
}

} // namespace

OSStatus openInputFile(const std::string& path, std::unique_ptr<InputFile>& out)
{
    int fd = -1;
    if (const OSStatus status = openRegularFile(path, &fd))
        return status;
    const FileReader reader(fd);
    const std::int64_t begin = skipLeadingTags(reader);
    if (const RewriteFamily* family = claimingFamily(reader, begin)) {
        // The file is of this family by its first bytes: what does not parse is damage.
        const OSStatus status = family->open(fd, ReadPurpose::Packets, out);
        return status == AudioFileError::InvalidFile ? AudioFileError::InvalidChunk : status;
    }
    // What the MP4 reader leaves (Mp4Fallback), and the copies that libavformat's muxer wrote,
    // go through libavformat, like everything else.
    if (startsWithFileType(reader, begin) && !mp4ThroughLibavformat && !isMuxedMp4(fd) &&
        Mp4InputFile::open(fd, out) == Mp4Fallback::None)
        return 0;
    return InputAudioFile::open(fd, out);
}

std::optional<StripRegions> familyStripRegions(const std::string& path)
{
    int fd = -1;
    if (openRegularFile(path, &fd))
        return std::nullopt;
    const FileReader reader(fd);
    const RewriteFamily* family = claimingFamily(reader, skipLeadingTags(reader));
    if (!family) {
        ::close(fd);
        return std::nullopt;
    }
    std::unique_ptr<InputFile> file;
    if (family->open(fd, ReadPurpose::Layout, file) || !file)
        return std::nullopt;
    const auto* rewrite = dynamic_cast<const RewriteInputFile*>(file.get());
    if (!rewrite || !findWritableContainer(rewrite->type()))
        return std::nullopt;
    StripRegions regions;
    regions.removed = rewrite->removedRegions();
    regions.kept = rewrite->keptRegions();
    regions.removedBytes = rewrite->inputSize() - rewrite->strippedSize();
    return regions;
}

OSStatus createOutputFile(const std::string& path, AudioFileTypeID type,
                          const AudioStreamBasicDescription& format, std::uint32_t flags,
                          std::unique_ptr<OutputFile>& out)
{
    if (const RewriteFamily* family = rewriteFamilyFor(type))
        return RewriteOutputFile::create(path, type, format, flags, family->writer(type), out);
    if (isMp4Family(type))
        return Mp4OutputFile::create(path, type, format, flags, out);
    return OutputAudioFile::create(path, type, format, flags, out);
}

} // namespace cleftone::audiofile
