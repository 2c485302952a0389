#include "engine/audiofile/Mp4Output.h"

#include "engine/audiofile/FFmpegAudioFileService.h"
#include "engine/audiofile/OutputAudioFile.h"
#include "engine/audiofile/PropertyStorage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

// Appends are gathered into writes this large.
constexpr std::size_t kBufferBytes = 1 << 20;
// A chunk (a run of samples that the chunk-offset table points at) holds up to this many bytes,
// as libavformat's muxer makes them.
constexpr std::uint64_t kChunkBytes = 1 << 20;

// The files this process wrote with libavformat's MP4 muxer. A strip checks its copy right
// after writing it, so a few recent ones are enough.
struct MuxedFile {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
};

struct MuxedFiles {
    std::mutex mutex;
    std::deque<MuxedFile> files;
};

MuxedFiles& muxedFiles()
{
    static MuxedFiles files;
    return files;
}

bool sameFile(const MuxedFile& file, const struct stat& info)
{
    return file.device == info.st_dev && file.inode == info.st_ino && file.size == info.st_size &&
           file.modified.tv_sec == info.st_mtim.tv_sec &&
           file.modified.tv_nsec == info.st_mtim.tv_nsec;
}

void noteMuxedMp4(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return;
    MuxedFiles& muxed = muxedFiles();
    std::lock_guard lock(muxed.mutex);
    if (muxed.files.size() >= 16)
        muxed.files.pop_front();
    muxed.files.push_back({info.st_dev, info.st_ino, info.st_size, info.st_mtim});
}

void putBe32(std::uint8_t* out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out[i] = std::uint8_t(value >> (24 - 8 * i));
}

} // namespace

bool isMuxedMp4(int fd)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return false;
    MuxedFiles& muxed = muxedFiles();
    std::lock_guard lock(muxed.mutex);
    return std::any_of(muxed.files.begin(), muxed.files.end(),
                       [&](const MuxedFile& file) { return sameFile(file, info); });
}

std::uint32_t Mp4WrittenTrack::commonSize() const
{
    if (sizes.empty())
        return 0;
    const std::uint32_t first = sizes.front();
    return std::all_of(sizes.begin(), sizes.end(), [first](std::uint32_t s) { return s == first; })
               ? first
               : 0;
}

Mp4OutputFile::~Mp4OutputFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

OSStatus Mp4OutputFile::create(const std::string& path, AudioFileTypeID type,
                               const AudioStreamBasicDescription& format, std::uint32_t flags,
                               std::unique_ptr<OutputFile>& out)
{
    // The muxer's checks decide what the family can hold, whoever writes the file in the end.
    std::unique_ptr<OutputFile> muxed;
    if (const OSStatus status = OutputAudioFile::create(path, type, format, flags, muxed))
        return status;
    std::unique_ptr<Mp4OutputFile> file(new Mp4OutputFile());
    file->m_path = path;
    file->m_type = type;
    file->m_format = format;
    file->m_muxed = std::move(muxed);
    out = std::move(file);
    return 0;
}

OSStatus Mp4OutputFile::setProperty(AudioFilePropertyID property, std::uint32_t size,
                                    const void* data)
{
    if (property == AudioFileProperty::MagicCookieData && data && !m_started) {
        const StreamSetup setup =
            StreamSetup::deserialize(static_cast<const std::uint8_t*>(data), size);
        if (!setup.mp4Track.empty()) {
            // A setup from the service's own reader: the muxer would lose what it carries.
            auto track = Mp4TrackSetup::parse(setup.mp4Track);
            if (!track || setup.fileType.size() < 16)
                return AudioFileError::UnsupportedDataFormat;
            if (m_muxed) {
                const int fd = static_cast<OutputAudioFile&>(*m_muxed).takeDescriptor();
                if (fd < 0)
                    return AudioFileError::OperationNotSupported; // the muxer wrote already
                m_muxed.reset();
                m_fd = fd;
            }
            m_track = std::move(track);
            m_fileType = setup.fileType;
            return 0;
        }
    }
    if (m_muxed)
        return m_muxed->setProperty(property, size, data);
    if (property != AudioFileProperty::MagicCookieData)
        return AudioFileError::UnsupportedProperty;
    // The header carries the setup, so it can only change before the first packet, and only
    // for another one of the service's own.
    return m_started ? AudioFileError::OperationNotSupported
                     : AudioFileError::UnsupportedDataFormat;
}

OSStatus Mp4OutputFile::propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const
{
    if (m_muxed)
        return m_muxed->propertyInfo(property, outSize);
    return writtenPropertyInfo(property, outSize);
}

OSStatus Mp4OutputFile::property(AudioFilePropertyID property, std::uint32_t* ioSize,
                                 void* out) const
{
    if (m_muxed)
        return m_muxed->property(property, ioSize, out);
    if (!ioSize)
        return AudioFileError::Parameter;
    return storeWrittenProperty({m_type, m_format, m_packetsWritten, m_bytesWritten}, property,
                                ioSize, out)
        .value_or(AudioFileError::UnsupportedProperty);
}

void Mp4OutputFile::append(const std::uint8_t* data, std::size_t size)
{
    if (m_buffer.size() + size > kBufferBytes && flush() != 0)
        return;
    if (size >= kBufferBytes) {
        if (writeSink(&m_sink, const_cast<std::uint8_t*>(data), int(size)) < 0)
            m_failure = statusFromErrno(m_errno ? m_errno : EIO);
        return;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);
}

OSStatus Mp4OutputFile::flush()
{
    if (!m_buffer.empty() && !m_failure &&
        writeSink(&m_sink, m_buffer.data(), int(m_buffer.size())) < 0)
        m_failure = statusFromErrno(m_errno ? m_errno : EIO);
    m_buffer.clear();
    return m_failure;
}

OSStatus Mp4OutputFile::start()
{
    if (m_started)
        return m_failure;
    m_started = true;
    m_sink.fd = m_fd;
    m_sink.lastErrno = &m_errno;
    m_buffer.reserve(kBufferBytes);
    // The input's file-type box, then a free box that becomes part of a 64-bit media data
    // header if the data grows past 4 GB, and the media data header, sized at the end.
    append(m_fileType.data(), m_fileType.size());
    m_mediaData = std::int64_t(m_fileType.size());
    static constexpr std::uint8_t kHeaders[16] = {0, 0, 0, 8, 'f', 'r', 'e', 'e',
                                                  0, 0, 0, 0, 'm', 'd', 'a', 't'};
    append(kHeaders, sizeof kHeaders);
    return m_failure;
}

void Mp4OutputFile::addSample(std::uint32_t size, std::uint32_t duration)
{
    Mp4WrittenTrack& track = m_written;
    if (m_chunkSamples == 0 || m_chunkBytes + size > kChunkBytes) {
        // A new chunk: the previous one's sample count goes into the runs when it changed.
        if (m_chunkSamples &&
            (track.chunkRuns.empty() || track.chunkRuns.back().second != m_chunkSamples))
            track.chunkRuns.emplace_back(std::uint32_t(track.chunkOffsets.size()), m_chunkSamples);
        track.chunkOffsets.push_back(std::uint64_t(m_mediaData + 16) + m_bytesWritten);
        m_chunkBytes = 0;
        m_chunkSamples = 0;
    }
    m_chunkBytes += size;
    ++m_chunkSamples;
    track.sizes.push_back(size);
    if (!track.durations.empty() && track.durations.back().second == duration)
        ++track.durations.back().first;
    else
        track.durations.emplace_back(1, duration);
    track.mediaDuration += duration;
    m_bytesWritten += size;
}

OSStatus Mp4OutputFile::writePackets(std::uint32_t numBytes,
                                     const AudioStreamPacketDescription* descriptions,
                                     std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                     const void* buffer)
{
    if (m_muxed)
        return m_muxed->writePackets(numBytes, descriptions, startingPacket, ioNumPackets, buffer);
    if (!ioNumPackets || (!buffer && numBytes) || !descriptions)
        return AudioFileError::Parameter;
    // Packets are appended; a gap or an overlap would shift every later packet.
    if (startingPacket < 0 || std::uint64_t(startingPacket) != m_packetsWritten)
        return AudioFileError::InvalidPacketOffset;
    if (const OSStatus status = start())
        return status;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const std::uint32_t count = *ioNumPackets;
    if (m_packetsWritten + count > 0xFFFFFFFFu)
        return AudioFileError::Parameter; // the sample tables count in 32 bits
    // The reader hands packets over back to back: one append for the block.
    std::uint64_t contiguous = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto& description = descriptions[i];
        if (description.mStartOffset < 0 ||
            std::uint64_t(description.mStartOffset) + description.mDataByteSize > numBytes)
            return AudioFileError::Parameter;
        if (std::uint64_t(description.mStartOffset) == contiguous)
            contiguous += description.mDataByteSize;
        else
            contiguous = ~std::uint64_t(0);
    }
    if (contiguous != ~std::uint64_t(0)) {
        append(bytes, std::size_t(contiguous));
    } else {
        for (std::uint32_t i = 0; i < count; ++i)
            append(bytes + descriptions[i].mStartOffset, descriptions[i].mDataByteSize);
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t frames = descriptions[i].mVariableFramesInPacket
                                         ? descriptions[i].mVariableFramesInPacket
                                         : m_format.mFramesPerPacket;
        addSample(descriptions[i].mDataByteSize, frames);
    }
    if (m_failure)
        return m_failure;
    m_packetsWritten += count;
    return 0;
}

OSStatus Mp4OutputFile::finishOwn()
{
    if (const OSStatus status = start())
        return status;
    if (m_chunkSamples &&
        (m_written.chunkRuns.empty() || m_written.chunkRuns.back().second != m_chunkSamples))
        m_written.chunkRuns.emplace_back(std::uint32_t(m_written.chunkOffsets.size()),
                                         m_chunkSamples);
    if (const OSStatus status = flush())
        return status;

    // The media data's size: in its 32-bit header, or over the free box as a 64-bit one.
    const std::uint64_t mediaSize = 8 + m_bytesWritten;
    std::uint8_t header[16];
    std::size_t headerSize = 4;
    std::int64_t headerAt = m_mediaData + 8;
    if (mediaSize <= 0xFFFFFFFFu) {
        putBe32(header, std::uint32_t(mediaSize));
    } else {
        putBe32(header, 1);
        std::memcpy(header + 4, "mdat", 4);
        putBe32(header + 8, std::uint32_t((mediaSize + 8) >> 32));
        putBe32(header + 12, std::uint32_t(mediaSize + 8));
        headerSize = 16;
        headerAt = m_mediaData;
    }
    if (writeAt(&m_sink, header, headerSize, headerAt) < 0)
        return statusFromErrno(m_errno ? m_errno : EIO);

    const Mp4MovieBox movie = buildMp4MovieBox(*m_track, m_written);
    append(movie.bytes.data(), movie.sizesAt);
    if (movie.withSizes) {
        // Straight from the array, a buffer at a time: no second copy of the table.
        std::uint8_t entries[4096];
        std::size_t used = 0;
        for (const std::uint32_t size : m_written.sizes) {
            putBe32(entries + used, size);
            used += 4;
            if (used == sizeof entries) {
                append(entries, used);
                used = 0;
            }
        }
        append(entries, used);
    }
    append(movie.bytes.data() + movie.sizesAt, movie.bytes.size() - movie.sizesAt);
    return flush();
}

OSStatus Mp4OutputFile::finish()
{
    if (m_muxed) {
        const OSStatus status = m_muxed->finish();
        if (status == 0)
            noteMuxedMp4(m_path);
        return status;
    }
    OSStatus status = m_failure ? m_failure : finishOwn();
    // The tables are not needed past this point; a batch goes on to the next file.
    std::deque<std::uint32_t>().swap(m_written.sizes);
    if (m_fd >= 0 && ::close(m_fd) != 0 && !status)
        status = statusFromErrno(errno);
    m_fd = -1;
    return status;
}

} // namespace cleftone::audiofile
