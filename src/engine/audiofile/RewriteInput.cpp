#include "engine/audiofile/RewriteInput.h"

#include "engine/audiofile/FFmpegAudioFileService.h"
#include "engine/audiofile/InputDemuxer.h"
#include "engine/audiofile/MetadataRegions.h"
#include "engine/audiofile/PropertyStorage.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace cleftone::audiofile {

RewriteInputFile::RewriteInputFile(int fd, ReadPurpose purpose)
    : m_fd(fd), m_purpose(purpose), m_reader(fd)
{}

RewriteInputFile::~RewriteInputFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool RewriteInputFile::setRanges(std::vector<ByteRange> ranges, std::uint32_t packetSize)
{
    if (packetSize == 0)
        return false;
    std::int64_t total = 0;
    for (const ByteRange& range : ranges) {
        if (range.offset < 0 || range.length < 0 || range.offset > m_reader.size() ||
            range.length > m_reader.size() - range.offset)
            return false;
        total += range.length;
    }
    if (total % packetSize != 0)
        return false;
    std::erase_if(ranges, [](const ByteRange& range) { return range.length == 0; });
    m_dataOffset = ranges.empty() ? 0 : ranges.front().offset;
    m_ranges = std::move(ranges);
    m_packetSize = packetSize;
    m_packetCount = std::uint64_t(total / packetSize);
    m_byteCount = std::uint64_t(total);
    m_maxPacketSize = packetSize;
    return true;
}

std::int64_t RewriteInputFile::strippedSize() const
{
    return std::int64_t(m_setup.head.size() + m_byteCount + m_setup.tail.size());
}

namespace {

// A damaged file could name thousands of regions; the report lists this many, and the bytes
// of the rest are still counted in the stripped size.
constexpr std::size_t kMostListed = 256;

void note(std::vector<MetadataBlock>& list, std::string&& kind, std::string&& name,
          std::int64_t bytes)
{
    if (bytes != 0 && list.size() < kMostListed)
        list.push_back({std::move(kind), std::move(name), bytes});
}

} // namespace

void RewriteInputFile::noteRemoved(std::string kind, std::string name, std::int64_t bytes)
{
    note(m_removed, std::move(kind), std::move(name), bytes);
}

void RewriteInputFile::noteKept(std::string kind, std::string name, std::int64_t bytes)
{
    note(m_kept, std::move(kind), std::move(name), bytes);
}

void RewriteInputFile::noteTagsInFront(std::int64_t begin)
{
    noteRemoved("tagInFront", "ID3v2 tag", begin);
}

void RewriteInputFile::noteBehind(std::int64_t end)
{
    std::int64_t tagsBegin = end;
    std::vector<MetadataBlock> tags = tagsBehind(m_reader, end, m_reader.size(), &tagsBegin);
    noteRemoved("trailing", std::string(), tagsBegin - end);
    for (MetadataBlock& tag : tags)
        noteRemoved(std::move(tag.kind), std::move(tag.name), tag.bytes);
}

OSStatus RewriteInputFile::restart()
{
    return AudioFileError::OperationNotSupported;
}

OSStatus RewriteInputFile::peekPacket(std::uint32_t*)
{
    return AudioFileError::OperationNotSupported;
}

OSStatus RewriteInputFile::takePacket(std::uint8_t*)
{
    return AudioFileError::OperationNotSupported;
}

OSStatus RewriteInputFile::describeWithFFmpeg(std::int64_t begin, std::int64_t end,
                                              const char* demuxerName, std::uint32_t bytesPerPacket)
{
    // The report of what a strip removes needs the layout alone; FFmpeg has read the file.
    if (m_purpose == ReadPurpose::Layout)
        return 0;
    Demuxer demuxer;
    if (const OSStatus status = openWindow(demuxer, m_fd, begin, end))
        return status;
    AVFormatContext* context = demuxer.format.get();
    if (!std::string_view(context->iformat->name).starts_with(demuxerName))
        return AudioFileError::UnsupportedFileType;
    // Only the audio is described; analysing video would only cost time.
    for (unsigned i = 0; i < context->nb_streams; ++i)
        if (context->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            context->streams[i]->discard = AVDISCARD_ALL;
    if (const int error = avformat_find_stream_info(context, nullptr); error < 0)
        return statusFromAvError(error);
    const AVStream* stream = defaultAudioStream(context);
    if (!stream)
        return AudioFileError::UnsupportedDataFormat;
    const AVCodecParameters& parameters = *stream->codecpar;
    if (parameters.sample_rate <= 0 || parameters.ch_layout.nb_channels <= 0)
        return AudioFileError::UnsupportedDataFormat;

    // Only what the stripped file cannot change: the codec, its rate and its channels. The
    // packets are the family's own units, so the per-packet fields describe those.
    const AudioStreamBasicDescription described = describeStream(parameters, 0);
    m_format = AudioStreamBasicDescription{};
    m_format.mSampleRate = described.mSampleRate;
    m_format.mFormatID = described.mFormatID;
    m_format.mFormatFlags = described.mFormatFlags;
    m_format.mChannelsPerFrame = described.mChannelsPerFrame;
    m_format.mBytesPerPacket = bytesPerPacket;
    addStreamInfo(m_info, context, stream);
    return 0;
}

OSStatus RewriteInputFile::propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const
{
    if (!outSize)
        return AudioFileError::Parameter;
    if (const std::uint32_t size = fixedPropertySize(property)) {
        *outSize = size;
        return 0;
    }
    switch (property) {
    case AudioFileProperty::MagicCookieData:
        if (m_setup.empty())
            return AudioFileError::UnsupportedProperty;
        *outSize = std::uint32_t(m_setup.serialize().size());
        return 0;
    case AudioFileProperty::ID3Tag:
        if (m_id3Tag.length <= 0)
            return AudioFileError::UnsupportedProperty;
        *outSize = std::uint32_t(std::min<std::int64_t>(m_id3Tag.length, UINT32_MAX));
        return 0;
    default:
        return AudioFileError::UnsupportedProperty;
    }
}

OSStatus RewriteInputFile::property(AudioFilePropertyID property, std::uint32_t* ioSize,
                                    void* out) const
{
    if (!ioSize)
        return AudioFileError::Parameter;
    if (const auto status = storeStreamProperty(
            {m_type, m_format, m_byteCount, m_packetCount, m_maxPacketSize, m_dataOffset}, property,
            ioSize, out))
        return *status;
    auto bytes = [&](const std::vector<std::uint8_t>& value) {
        return storeBytesProperty(value, ioSize, out);
    };
    switch (property) {
    case AudioFileProperty::MagicCookieData:
        if (m_setup.empty())
            return AudioFileError::UnsupportedProperty;
        return bytes(m_setup.serialize());
    case AudioFileProperty::InfoDictionary:
        return storeInfoDictionary(m_info, ioSize, out);
    case AudioFileProperty::ID3Tag:
        if (m_id3Tag.length <= 0)
            return AudioFileError::UnsupportedProperty;
        return bytes(m_reader.readRange(m_id3Tag.offset, m_id3Tag.length));
    default:
        return AudioFileError::UnsupportedProperty;
    }
}

OSStatus RewriteInputFile::readPackets(std::uint32_t* ioNumBytes,
                                       AudioStreamPacketDescription* descriptions,
                                       std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                       void* buffer)
{
    if (const auto answer =
            checkReadRequest(ioNumBytes, ioNumPackets, buffer, startingPacket, m_packetCount))
        return *answer;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    if (m_packetSize) {
        m_cursor = startingPacket;
        return readConstant(ioNumBytes, ioNumPackets, bytes);
    }
    if (startingPacket != m_cursor) {
        if (const OSStatus status = seekVariable(startingPacket))
            return status;
    }
    return readVariable(ioNumBytes, descriptions, ioNumPackets, bytes);
}

OSStatus RewriteInputFile::readConstant(std::uint32_t* ioNumBytes, std::uint32_t* ioNumPackets,
                                        std::uint8_t* buffer)
{
    const std::uint64_t packets = std::min<std::uint64_t>(
        {*ioNumPackets, m_packetCount - std::uint64_t(m_cursor), *ioNumBytes / m_packetSize});
    if (packets == 0)
        return AudioFileError::Parameter; // the buffer cannot hold even one packet
    // Where the first packet lies in the ranges, as if they were one stretch of bytes.
    std::int64_t skip = m_cursor * std::int64_t(m_packetSize);
    std::int64_t left = std::int64_t(packets) * m_packetSize;
    std::uint8_t* out = buffer;
    for (const ByteRange& range : m_ranges) {
        if (left == 0)
            break;
        if (skip >= range.length) {
            skip -= range.length;
            continue;
        }
        const std::int64_t take = std::min(left, range.length - skip);
        if (!m_reader.readAt(range.offset + skip, std::span(out, std::size_t(take))))
            return AudioFileError::IO;
        out += take;
        left -= take;
        skip = 0;
    }
    if (left != 0)
        return AudioFileError::InvalidFile;
    m_cursor += std::int64_t(packets);
    *ioNumPackets = std::uint32_t(packets);
    *ioNumBytes = std::uint32_t(packets * m_packetSize);
    return 0;
}

OSStatus RewriteInputFile::seekVariable(std::int64_t packet)
{
    // Reading goes forwards only: a jump back starts over, and every jump skips packets.
    if (packet < m_cursor) {
        if (const OSStatus status = restart())
            return status;
        m_cursor = 0;
    }
    while (m_cursor < packet) {
        std::uint32_t size = 0;
        if (const OSStatus status = peekPacket(&size))
            return status;
        m_skipped.resize(size);
        if (const OSStatus status = takePacket(m_skipped.data()))
            return status;
        ++m_cursor;
    }
    std::vector<std::uint8_t>().swap(m_skipped);
    return 0;
}

OSStatus RewriteInputFile::readVariable(std::uint32_t* ioNumBytes,
                                        AudioStreamPacketDescription* descriptions,
                                        std::uint32_t* ioNumPackets, std::uint8_t* buffer)
{
    const std::uint64_t wanted =
        std::min<std::uint64_t>(*ioNumPackets, m_packetCount - std::uint64_t(m_cursor));
    const std::uint32_t capacity = *ioNumBytes;
    std::uint32_t used = 0;
    std::uint32_t delivered = 0;
    OSStatus status = 0;
    while (delivered < wanted) {
        std::uint32_t size = 0;
        status = peekPacket(&size);
        if (status)
            break;
        // Callers size their buffers by the maximum announced at open; a packet that the
        // open's walk did not see that large means the file reads differently now.
        if (size > m_maxPacketSize) {
            status = AudioFileError::InvalidFile;
            break;
        }
        if (size > capacity - used) {
            if (delivered == 0)
                status = AudioFileError::Parameter; // the buffer cannot hold even one packet
            break;
        }
        status = takePacket(buffer + used);
        if (status)
            break;
        if (descriptions)
            descriptions[delivered] = AudioStreamPacketDescription{used, 0, size};
        used += size;
        ++delivered;
        ++m_cursor;
    }
    // The packets were counted at open: a stream that ends before the count, or a packet that
    // cannot be made, fails the read rather than let a copy end early and look complete.
    if (status == AudioFileError::EndOfFile)
        status = AudioFileError::InvalidFile;
    *ioNumBytes = used;
    *ioNumPackets = delivered;
    return status;
}

} // namespace cleftone::audiofile
