#include "engine/audiofile/Mp4Input.h"

#include "engine/audiofile/PropertyStorage.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

// The media data is read this much at a time and the samples handed out of it: one read
// replaces a few thousand small ones.
constexpr std::int64_t kWindowBytes = 2 * 1024 * 1024;

} // namespace

Mp4InputFile::Mp4InputFile(int fd) : m_fd(fd), m_reader(fd)
{}

Mp4InputFile::~Mp4InputFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

Mp4Fallback Mp4InputFile::open(int fd, std::unique_ptr<InputFile>& out)
{
    std::unique_ptr<Mp4InputFile> file(new Mp4InputFile(fd));
    Mp4Fallback why = readMp4Movie(file->m_reader, file->m_movie);
    if (why == Mp4Fallback::None)
        why = file->measure();
    if (why != Mp4Fallback::None) {
        file->m_fd = -1; // the caller reads it another way
        return why;
    }
    // The samples are read in order, window after window.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    out = std::move(file);
    return Mp4Fallback::None;
}

// One walk over the tables, before anything is read: the counts the engine asks for, and a
// check that every sample lies inside the file.
Mp4Fallback Mp4InputFile::measure()
{
    Mp4SampleWalker walker(m_reader, m_movie.tables);
    Mp4Sample sample;
    std::uint32_t commonDuration = 0;
    bool constantDuration = true;
    std::uint32_t previousDuration = 0;
    m_dataOffset = -1;
    while (walker.next(sample)) {
        // The demuxer skips empty samples, and a duration of 0 cannot travel in a packet
        // description (it means "the stream's constant duration").
        if (sample.size == 0 || sample.duration == 0)
            return Mp4Fallback::InconsistentTables;
        if (sample.offset + std::int64_t(sample.size) > m_reader.size())
            return Mp4Fallback::Truncated;
        // Samples do not overlap, so they add up to less than the file; tables that say more
        // are hostile, and stopping here bounds the walk by the file's size.
        if (m_byteCount + sample.size > std::uint64_t(m_reader.size()))
            return Mp4Fallback::InconsistentTables;
        if (m_dataOffset < 0)
            m_dataOffset = sample.offset;
        m_dataEnd = std::max(m_dataEnd, sample.offset + std::int64_t(sample.size));
        m_byteCount += sample.size;
        m_maxPacketSize = std::max(m_maxPacketSize, sample.size);
        // Every sample but the last must share one duration for a constant frame count.
        if (m_packetCount > 0) {
            if (m_packetCount == 1)
                commonDuration = previousDuration;
            else if (previousDuration != commonDuration)
                constantDuration = false;
        }
        previousDuration = sample.duration;
        ++m_packetCount;
    }
    if (walker.failed() || m_packetCount != m_movie.tables.sampleCount ||
        !walker.durationsEndWithSamples())
        return Mp4Fallback::InconsistentTables;
    if (m_packetCount == 1)
        commonDuration = previousDuration;

    m_format = AudioStreamBasicDescription{};
    m_format.mSampleRate = m_movie.setup.mediaTimeScale;
    m_format.mFormatID = m_movie.format;
    m_format.mFramesPerPacket = constantDuration ? commonDuration : 0;
    m_format.mChannelsPerFrame = m_movie.channels;
    m_format.mBitsPerChannel = m_movie.bitsPerSample;

    StreamSetup setup;
    setup.fileType = m_movie.fileType;
    setup.mp4Track = m_movie.setup.serialize();
    m_cookie = setup.serialize();
    return Mp4Fallback::None;
}

OSStatus Mp4InputFile::propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const
{
    if (!outSize)
        return AudioFileError::Parameter;
    if (const std::uint32_t size = fixedPropertySize(property)) {
        *outSize = size;
        return 0;
    }
    if (property != AudioFileProperty::MagicCookieData)
        return AudioFileError::UnsupportedProperty;
    *outSize = std::uint32_t(m_cookie.size());
    return 0;
}

OSStatus Mp4InputFile::property(AudioFilePropertyID property, std::uint32_t* ioSize,
                                void* out) const
{
    if (!ioSize)
        return AudioFileError::Parameter;
    if (const auto status = storeStreamProperty(
            {m_movie.type, m_format, m_byteCount, m_packetCount, m_maxPacketSize, m_dataOffset},
            property, ioSize, out))
        return *status;
    switch (property) {
    case AudioFileProperty::MagicCookieData:
        return storeBytesProperty(m_cookie, ioSize, out);
    case AudioFileProperty::InfoDictionary:
        // The tags are never read: nothing of them goes into a stripped file.
        return storeInfoDictionary(
            {{"approximate duration in seconds", std::to_string(m_movie.durationSeconds)}}, ioSize,
            out);
    default:
        return AudioFileError::UnsupportedProperty;
    }
}

OSStatus Mp4InputFile::seek(std::int64_t packet)
{
    // Sequential reads never get here; any other start is reached by walking the tables again.
    if (!m_walker || packet < m_cursor) {
        m_walker.emplace(m_reader, m_movie.tables);
        m_cursor = 0;
        m_hasPending = false;
    }
    while (m_cursor < packet) {
        if (!m_hasPending && !m_walker->next(m_pending))
            return AudioFileError::InvalidPacketOffset;
        m_hasPending = false;
        ++m_cursor;
    }
    return 0;
}

bool Mp4InputFile::fill(std::int64_t offset, std::uint32_t size)
{
    if (offset >= m_windowOffset && offset + size <= m_windowOffset + m_windowSize)
        return true;
    // From this sample on, as far as the samples reach, so the bytes after the last one (the
    // movie box, tags) are not read for nothing.
    const std::int64_t length =
        std::max<std::int64_t>(size, std::min(kWindowBytes, m_dataEnd - offset));
    if (m_window.size() < std::size_t(length))
        m_window.resize(std::size_t(std::max<std::int64_t>(length, kWindowBytes)));
    m_windowSize = 0;
    if (!m_reader.readAt(offset, std::span(m_window.data(), std::size_t(length))))
        return false;
    m_windowOffset = offset;
    m_windowSize = length;
    return true;
}

OSStatus Mp4InputFile::readPackets(std::uint32_t* ioNumBytes,
                                   AudioStreamPacketDescription* descriptions,
                                   std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                   void* buffer)
{
    if (const auto answer =
            checkReadRequest(ioNumBytes, ioNumPackets, buffer, startingPacket, m_packetCount))
        return *answer;
    if (!m_walker || startingPacket != m_cursor) {
        if (const OSStatus status = seek(startingPacket))
            return status;
    }

    auto* bytes = static_cast<std::uint8_t*>(buffer);
    const std::uint64_t wanted =
        std::min<std::uint64_t>(*ioNumPackets, m_packetCount - std::uint64_t(m_cursor));
    const std::uint32_t capacity = *ioNumBytes;
    std::uint32_t used = 0;
    std::uint32_t delivered = 0;
    OSStatus status = 0;
    while (delivered < wanted) {
        if (!m_hasPending && !m_walker->next(m_pending)) {
            status = AudioFileError::InvalidFile; // the tables changed under us
            break;
        }
        m_hasPending = true;
        const std::uint32_t size = m_pending.size;
        if (size > capacity - used) {
            if (delivered == 0)
                status = AudioFileError::Parameter; // the buffer cannot hold even one packet
            break;
        }
        if (!fill(m_pending.offset, size)) {
            status = AudioFileError::IO;
            break;
        }
        std::memcpy(bytes + used, m_window.data() + (m_pending.offset - m_windowOffset), size);
        if (descriptions)
            descriptions[delivered] = AudioStreamPacketDescription{used, m_pending.duration, size};
        used += size;
        ++delivered;
        ++m_cursor;
        m_hasPending = false;
    }
    *ioNumBytes = used;
    *ioNumPackets = delivered;
    return delivered ? 0 : status;
}

} // namespace cleftone::audiofile
