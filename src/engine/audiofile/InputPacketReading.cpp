#include "engine/audiofile/FFmpegAudioFileService.h"
#include "engine/audiofile/InputAudioFile.h"
#include "engine/audiofile/InputDemuxer.h"

#include <algorithm>
#include <cstring>

// The sequential packet reader: one packet source per way of reading (PCM blocks straight from
// the data chunk, MPEG and FLAC frames by the service's own walkers, the demuxer for the rest).
namespace cleftone::audiofile {

bool InputAudioFile::fetchPacket(int* error)
{
    if (!m_pending) {
        m_pending.reset(av_packet_alloc());
        if (!m_pending) {
            *error = AVERROR(ENOMEM);
            return false;
        }
    }
    if (m_flacFrames) {
        const auto frame = m_flacFrames->next();
        av_packet_unref(m_pending.get());
        m_hasPending = false;
        if (!frame) {
            *error = AVERROR_EOF;
            return false;
        }
        if (av_new_packet(m_pending.get(), int(frame->size)) < 0) {
            *error = AVERROR(ENOMEM);
            return false;
        }
        if (!m_flacFrames->read(*frame, std::span(m_pending->data, std::size_t(frame->size)))) {
            *error = AVERROR(EIO);
            return false;
        }
        m_pending->stream_index = m_streamIndex;
        m_pending->pos = frame->offset - m_begin;
        m_pending->duration =
            av_rescale_q(frame->blockSize, AVRational{1, m_sampleRate}, m_timeBase);
        m_pendingOffset = 0;
        m_hasPending = true;
        return true;
    }
    for (;;) {
        av_packet_unref(m_pending.get());
        const int result = av_read_frame(m_demuxer->format.get(), m_pending.get());
        if (result < 0) {
            *error = result;
            m_hasPending = false;
            return false;
        }
        if (m_pending->stream_index == m_streamIndex && m_pending->size > 0) {
            m_pendingOffset = 0;
            m_hasPending = true;
            return true;
        }
    }
}

OSStatus InputAudioFile::rewindTo(std::int64_t packet)
{
    if (m_directBlocks) {
        m_cursor = packet;
        return 0;
    }
    if (m_mpegFirstFrame >= 0) {
        if (!m_mpegFrames || packet < m_cursor) {
            m_mpegFrames = std::make_unique<MpegFrameReader>(m_reader, m_mpegFirstFrame, m_end);
            m_cursor = 0;
        }
    } else if (m_flacFirstFrame >= 0 && (!m_flacFrames || packet < m_cursor)) {
        m_flacFrames = std::make_unique<FlacFrameScanner>(m_reader, m_flacFirstFrame, m_end);
        m_hasPending = false;
        m_cursor = 0;
    } else if (m_flacFirstFrame < 0 && (!m_demuxer || packet < m_cursor)) {
        m_demuxer.reset();
        m_hasPending = false;
        if (const OSStatus status = openDemuxer(m_demuxer, false))
            return status;
        m_cursor = 0;
    }
    // Sequential reads never get here; any other start is reached by reading forward.
    std::vector<std::uint8_t> scratch;
    while (m_cursor < packet) {
        const std::int64_t remaining = packet - m_cursor;
        std::uint32_t packets = std::uint32_t(std::min<std::int64_t>(remaining, 4096));
        std::uint32_t bytes = packets * m_maxPacketSize;
        scratch.resize(bytes);
        const OSStatus status = m_blockSize
                                    ? readBlocks(&bytes, nullptr, &packets, scratch.data())
                                    : readVariable(&bytes, nullptr, &packets, scratch.data());
        if (status)
            return status;
        if (packets == 0)
            return AudioFileError::InvalidPacketOffset;
    }
    return 0;
}

OSStatus InputAudioFile::readPackets(std::uint32_t* ioNumBytes,
                                     AudioStreamPacketDescription* descriptions,
                                     std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                     void* buffer)
{
    if (const auto answer =
            checkReadRequest(ioNumBytes, ioNumPackets, buffer, startingPacket, m_packetCount))
        return *answer;
    if (!hasPacketSource() || startingPacket != m_cursor) {
        if (const OSStatus status = rewindTo(startingPacket))
            return status;
    }
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    return m_blockSize ? readBlocks(ioNumBytes, descriptions, ioNumPackets, bytes)
                       : readVariable(ioNumBytes, descriptions, ioNumPackets, bytes);
}

OSStatus InputAudioFile::readVariable(std::uint32_t* ioNumBytes,
                                      AudioStreamPacketDescription* descriptions,
                                      std::uint32_t* ioNumPackets, std::uint8_t* buffer)
{
    const std::uint64_t wanted =
        std::min<std::uint64_t>(*ioNumPackets, m_packetCount - std::uint64_t(m_cursor));
    const std::uint32_t capacity = *ioNumBytes;
    std::uint32_t used = 0;
    std::uint32_t delivered = 0;
    OSStatus status = 0;
    bool bufferFull = false;

    auto deliver = [&](const std::uint8_t* data, std::uint32_t size, std::int64_t frames) {
        std::memcpy(buffer + used, data, size);
        if (descriptions)
            descriptions[delivered] = AudioStreamPacketDescription{
                used, std::uint32_t(std::max<std::int64_t>(frames, 0)), size};
        used += size;
        ++delivered;
        ++m_cursor;
    };

    while (delivered < wanted) {
        if (m_cursor == 0 && !m_infoFrame.empty()) {
            const auto size = std::uint32_t(m_infoFrame.size());
            if (size > capacity - used) {
                bufferFull = true;
                break;
            }
            deliver(m_infoFrame.data(), size, m_format.mFramesPerPacket);
            continue;
        }
        if (m_mpegFrames) {
            const std::span<const std::uint8_t> frame = m_mpegFrames->frame();
            if (frame.empty()) {
                if (m_mpegFrames->failed() && delivered == 0)
                    status = AudioFileError::InvalidFile;
                break;
            }
            const auto size = std::uint32_t(frame.size());
            if (size > capacity - used) {
                bufferFull = true;
                break;
            }
            deliver(frame.data(), size, m_mpegFrameSamples);
            m_mpegFrames->advance();
            continue;
        }
        if (!m_hasPending) {
            int error = 0;
            if (!fetchPacket(&error)) {
                // The end of the stream before the counted end: deliver what there is, and
                // let the caller see the shortfall.
                if (error != AVERROR_EOF && delivered == 0)
                    status = statusFromAvError(error);
                break;
            }
        }
        const auto size = std::uint32_t(m_pending->size);
        if (size > capacity - used) {
            bufferFull = true;
            break;
        }
        deliver(m_pending->data, size, framesOf(*m_pending));
        m_hasPending = false;
    }
    if (delivered == 0 && bufferFull)
        status = AudioFileError::Parameter; // the buffer cannot hold even one packet
    // Reaching the counted end with packets still to come means the count was wrong: fail
    // rather than let a copy end early and look complete.
    if (status == 0 && std::uint64_t(m_cursor) == m_packetCount && m_mpegFrames) {
        if (!m_mpegFrames->frame().empty())
            status = AudioFileError::InvalidFile;
    } else if (status == 0 && std::uint64_t(m_cursor) == m_packetCount && !m_hasPending) {
        int error = 0;
        if (fetchPacket(&error))
            status = AudioFileError::InvalidFile;
    }
    *ioNumBytes = used;
    *ioNumPackets = delivered;
    return status;
}

OSStatus InputAudioFile::readBlocks(std::uint32_t* ioNumBytes,
                                    AudioStreamPacketDescription* descriptions,
                                    std::uint32_t* ioNumPackets, std::uint8_t* buffer)
{
    const std::uint64_t wanted = std::min<std::uint64_t>(
        {*ioNumPackets, m_packetCount - std::uint64_t(m_cursor), *ioNumBytes / m_blockSize});
    if (wanted == 0) {
        *ioNumBytes = 0;
        *ioNumPackets = 0;
        return AudioFileError::Parameter;
    }
    const std::uint64_t needed = wanted * m_blockSize;
    std::uint64_t copied = 0;
    OSStatus status = 0;
    if (m_directBlocks) {
        const std::int64_t offset = m_dataOffset + m_cursor * std::int64_t(m_blockSize);
        if (m_reader.readAt(offset, std::span(buffer, std::size_t(needed))))
            copied = needed;
        else
            status = AudioFileError::IO;
    }
    // Demuxed packets need not end on block boundaries; the stream is copied as bytes.
    while (!m_directBlocks && copied < needed) {
        if (!m_hasPending || m_pendingOffset >= m_pending->size) {
            int error = 0;
            if (!fetchPacket(&error)) {
                if (error != AVERROR_EOF && copied < m_blockSize)
                    status = statusFromAvError(error);
                break;
            }
        }
        const auto take = std::min<std::uint64_t>(needed - copied,
                                                  std::uint64_t(m_pending->size - m_pendingOffset));
        std::memcpy(buffer + copied, m_pending->data + m_pendingOffset, take);
        copied += take;
        m_pendingOffset += int(take);
    }
    const auto delivered = std::uint32_t(copied / m_blockSize);
    // Packets of one constant size need no descriptions (as on the platform this service
    // stands in for); filling 16 bytes for every 4-byte PCM frame cost more than the copy.
    (void)descriptions;
    m_cursor += delivered;
    *ioNumBytes = delivered * m_blockSize;
    *ioNumPackets = delivered;
    return delivered ? 0 : status;
}

} // namespace cleftone::audiofile
