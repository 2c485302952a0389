#include "engine/audiofile/RewriteOutput.h"

#include "engine/audiofile/FFmpegAudioFileService.h"
#include "engine/audiofile/PropertyStorage.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

// Large appends: the packets of these families come as small pages, elements or bytes.
constexpr std::size_t kBufferSize = 1 << 20;

} // namespace

ByteSink::ByteSink(int fd) : m_fd(fd)
{
    m_buffer.reserve(kBufferSize);
}

void ByteSink::write(std::span<const std::uint8_t> bytes)
{
    m_position += std::int64_t(bytes.size());
    if (m_errno)
        return;
    if (m_buffer.size() + bytes.size() > kBufferSize) {
        flush();
        if (bytes.size() >= kBufferSize) {
            m_buffer.assign(bytes.begin(), bytes.end());
            flush();
            return;
        }
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

OSStatus ByteSink::flush()
{
    std::size_t done = 0;
    while (!m_errno && done < m_buffer.size()) {
        const ssize_t n = ::write(m_fd, m_buffer.data() + done, m_buffer.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            m_errno = n < 0 ? errno : EIO;
        else
            done += std::size_t(n);
    }
    m_buffer.clear();
    return status();
}

OSStatus ByteSink::status() const
{
    return statusFromErrno(m_errno);
}

OSStatus FamilyWriter::start(ByteSink& sink, const StreamSetup& setup)
{
    sink.write(setup.head);
    return 0;
}

OSStatus FamilyWriter::write(ByteSink& sink, std::span<const std::uint8_t> packets)
{
    sink.write(packets);
    return 0;
}

OSStatus FamilyWriter::finish(ByteSink& sink, const StreamSetup& setup)
{
    sink.write(setup.tail);
    return 0;
}

RewriteOutputFile::~RewriteOutputFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

OSStatus RewriteOutputFile::create(const std::string& path, AudioFileTypeID type,
                                   const AudioStreamBasicDescription& format, std::uint32_t flags,
                                   std::unique_ptr<FamilyWriter> writer,
                                   std::unique_ptr<OutputFile>& out)
{
    if (!writer)
        return AudioFileError::UnsupportedFileType;
    if (format.mSampleRate <= 0 || format.mChannelsPerFrame == 0)
        return AudioFileError::UnsupportedDataFormat;
    std::unique_ptr<RewriteOutputFile> file(new RewriteOutputFile());
    file->m_type = type;
    file->m_format = format;
    file->m_writer = std::move(writer);
    const int openFlags =
        O_WRONLY | O_CREAT | O_CLOEXEC | ((flags & kAudioFileFlags_EraseFile) ? O_TRUNC : O_EXCL);
    file->m_fd = ::open(path.c_str(), openFlags, 0644);
    if (file->m_fd < 0)
        return statusFromErrno(errno);
    file->m_sink = std::make_unique<ByteSink>(file->m_fd);
    out = std::move(file);
    return 0;
}

OSStatus RewriteOutputFile::start()
{
    if (m_started)
        return m_failure;
    m_started = true;
    // Families that need a head check for it; a plain cut has none.
    m_failure = m_writer->start(*m_sink, m_setup);
    if (!m_failure)
        m_failure = m_sink->status();
    return m_failure;
}

OSStatus RewriteOutputFile::setProperty(AudioFilePropertyID property, std::uint32_t size,
                                        const void* data)
{
    if (property != AudioFileProperty::MagicCookieData)
        return AudioFileError::UnsupportedProperty;
    if (!data || size == 0)
        return AudioFileError::Parameter;
    if (m_started)
        return AudioFileError::OperationNotSupported;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    m_cookie.assign(bytes, bytes + size);
    m_setup = StreamSetup::deserialize(bytes, size);
    return 0;
}

OSStatus RewriteOutputFile::writePackets(std::uint32_t numBytes,
                                         const AudioStreamPacketDescription* descriptions,
                                         std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                         const void* buffer)
{
    if (!ioNumPackets || (!buffer && numBytes))
        return AudioFileError::Parameter;
    // Packets are appended; a gap or an overlap would shift every later packet.
    if (startingPacket < 0 || std::uint64_t(startingPacket) != m_packetsWritten)
        return AudioFileError::InvalidPacketOffset;
    if (const OSStatus status = start())
        return status;

    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const std::uint32_t count = *ioNumPackets;
    const std::uint32_t constantSize = m_format.mBytesPerPacket;
    OSStatus status = 0;
    if (constantSize) {
        if (std::uint64_t(count) * constantSize != numBytes)
            return AudioFileError::Parameter;
        status = m_writer->write(*m_sink, std::span(bytes, numBytes));
    } else {
        if (!descriptions && count)
            return AudioFileError::Parameter;
        for (std::uint32_t i = 0; i < count && !status; ++i) {
            const auto& d = descriptions[i];
            if (d.mStartOffset < 0 || std::uint64_t(d.mStartOffset) + d.mDataByteSize > numBytes)
                return AudioFileError::Parameter;
            status = m_writer->write(*m_sink, std::span(bytes + d.mStartOffset, d.mDataByteSize));
        }
    }
    if (!status)
        status = m_sink->status();
    if (status) {
        m_failure = status;
        return status;
    }
    m_packetsWritten += count;
    m_bytesWritten += numBytes;
    return 0;
}

OSStatus RewriteOutputFile::finish()
{
    OSStatus status = start();
    if (!status)
        status = m_writer->finish(*m_sink, m_setup);
    const OSStatus flushed = m_sink ? m_sink->flush() : 0;
    if (!status)
        status = flushed;
    if (m_fd >= 0 && ::close(m_fd) != 0 && !status)
        status = statusFromErrno(errno);
    m_fd = -1;
    return status;
}

OSStatus RewriteOutputFile::propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const
{
    if (property != AudioFileProperty::MagicCookieData)
        return writtenPropertyInfo(property, outSize);
    if (!outSize)
        return AudioFileError::Parameter;
    if (m_cookie.empty())
        return AudioFileError::UnsupportedProperty;
    *outSize = std::uint32_t(m_cookie.size());
    return 0;
}

OSStatus RewriteOutputFile::property(AudioFilePropertyID property, std::uint32_t* ioSize,
                                     void* out) const
{
    if (!ioSize)
        return AudioFileError::Parameter;
    if (const auto status = storeWrittenProperty(
            {m_type, m_format, m_packetsWritten, m_bytesWritten}, property, ioSize, out))
        return *status;
    switch (property) {
    case AudioFileProperty::MagicCookieData:
        if (m_cookie.empty())
            return AudioFileError::UnsupportedProperty;
        if (!out || *ioSize < m_cookie.size())
            return AudioFileError::BadPropertySize;
        std::memcpy(out, m_cookie.data(), m_cookie.size());
        *ioSize = std::uint32_t(m_cookie.size());
        return 0;
    default:
        return AudioFileError::UnsupportedProperty;
    }
}

} // namespace cleftone::audiofile
