#include "engine/audiofile/FFmpegAudioFileService.h"
#include "engine/audiofile/InputAudioFile.h"
#include "engine/audiofile/InputDemuxer.h"

#include <algorithm>
#include <cstring>

// How many packets a file holds, found once at open: from the container where it states the
// count exactly, else by walking the frames or the demuxer.
namespace cleftone::audiofile {

std::int64_t InputAudioFile::framesOf(const AVPacket& packet) const
{
    if (packet.duration <= 0)
        return std::max(m_parameters->frame_size, 0);
    return av_rescale_q(packet.duration, m_timeBase, AVRational{1, m_sampleRate});
}

OSStatus InputAudioFile::countBlocks(const AVPacket& first)
{
    m_dataOffset = m_begin + std::max<std::int64_t>(first.pos, 0);
    std::int64_t available = m_end - m_dataOffset;

    // A header that states the length bounds it too (a truncated file states more than it has).
    const AVStream* stream = m_demuxer->stream;
    if (isPcmCodec(stream->codecpar->codec_id) && stream->duration > 0 &&
        stream->duration != AV_NOPTS_VALUE) {
        const std::int64_t frames =
            av_rescale_q(stream->duration, stream->time_base, AVRational{1, m_sampleRate});
        if (frames >= 0 && frames < INT64_MAX / m_blockSize)
            available = std::min(available, frames * std::int64_t(m_blockSize));
    }
    // The data chunk's own size bounds the audio: chunks after it are not audio.
    if (m_chunked) {
        if (const auto inChunk = bytesLeftInChunk(m_chunks, m_dataOffset - m_begin))
            available = std::min(available, *inChunk);
    }

    m_packetCount = std::uint64_t(std::max<std::int64_t>(available, 0)) / m_blockSize;
    m_byteCount = m_packetCount * m_blockSize;
    m_maxPacketSize = m_blockSize;
    return 0;
}

// The demuxer's probe and stream analysis (it decodes frames) cost more than the whole copy of
// a small file, twice over with the copy check; the frame walk that counts the packets is made
// anyway and tells all the rest. Junk before or between the frames, free format, a cut-off last
// frame or a run too short to be sure it is MPEG audio at all leave the file to the demuxer.
bool InputAudioFile::describeMpegFrames()
{
    constexpr std::uint64_t kFewestFrames = 8;
    std::uint8_t head[4];
    if (!m_reader.readAt(m_begin, head))
        return false;
    const auto stream =
        readMpegStreamHeader((std::uint32_t(head[0]) << 24) | (std::uint32_t(head[1]) << 16) |
                             (std::uint32_t(head[2]) << 8) | head[3]);
    if (!stream)
        return false;
    // The reader that counted goes on to deliver the packets: a small file is read once.
    auto reader = std::make_unique<MpegFrameReader>(m_reader, m_begin, m_end);
    const auto frames = countMpegAudioFrames(*reader);
    if (!frames || frames->frames < kFewestFrames)
        return false;
    reader->rewind();

    m_parameters.reset(avcodec_parameters_alloc());
    if (!m_parameters)
        return false;
    AVCodecParameters& parameters = *m_parameters;
    parameters.codec_type = AVMEDIA_TYPE_AUDIO;
    parameters.codec_id = stream->layer == 3   ? AV_CODEC_ID_MP3
                          : stream->layer == 2 ? AV_CODEC_ID_MP2
                                               : AV_CODEC_ID_MP1;
    parameters.sample_rate = stream->sampleRate;
    av_channel_layout_default(&parameters.ch_layout, stream->channels);
    parameters.frame_size = int(stream->samplesPerFrame);
    m_type = stream->layer == 3   ? AudioFileType::MP3
             : stream->layer == 2 ? AudioFileType::MP2
                                  : AudioFileType::MP1;
    m_sampleRate = stream->sampleRate;
    m_timeBase = AVRational{1, m_sampleRate};
    m_packetCount = frames->frames;
    m_byteCount = frames->bytes;
    m_maxPacketSize = frames->maximumFrameSize;
    m_dataOffset = m_begin;
    m_mpegFirstFrame = m_begin;
    m_mpegFrameSamples = frames->samplesPerFrame;
    m_mpegFrames = std::move(reader);
    m_format = describeStream(parameters, frames->samplesPerFrame);
    m_cursor = 0;
    m_infoPending = true;
    return true;
}

OSStatus InputAudioFile::countPackets()
{
    if (m_type == AudioFileType::FLAC) {
        if (const auto firstFrame = flacFirstFrameOffset(m_reader, m_begin)) {
            m_flacFirstFrame = *firstFrame;
            if (countFlacFrames() == 0)
                return 0;
            // Frames the scanner cannot follow (a damaged stream): let the demuxer count.
            m_flacFirstFrame = -1;
            m_flacFrames.reset();
            m_packetCount = m_byteCount = 0;
            m_maxPacketSize = 0;
        }
    }

    std::unique_ptr<Demuxer> scan;
    if (const OSStatus status = openDemuxer(scan, false))
        return status;
    m_demuxer = std::move(scan);

    std::uint64_t count = 0;
    std::int64_t firstPosition = -1;
    std::int64_t firstPts = AV_NOPTS_VALUE;
    std::int64_t commonFrames = -1;
    std::int64_t previousFrames = -1;
    bool constantFrames = true;
    int error = 0;
    if (fetchPacket(&error)) {
        firstPosition = m_pending->pos;
        firstPts = m_pending->pts;
    } else if (error != AVERROR_EOF) {
        return statusFromAvError(error);
    }

    // Where the container states the count exactly, reading every packet twice is avoided;
    // the demuxer that read the first packet goes on to serve the reads.
    bool reuseDemuxer = false;
    if (firstPosition >= 0) {
        if (const auto counts = countFromContainer()) {
            count = counts->packets;
            commonFrames = counts->framesPerPacket;
            constantFrames = counts->framesPerPacket > 0;
            reuseDemuxer = true;
        } else if (m_type == AudioFileType::MP3 || m_type == AudioFileType::MP2 ||
                   m_type == AudioFileType::MP1) {
            // The frame headers tell the count without a second demux of the whole file.
            if (const auto frames =
                    countMpegAudioFrames(m_reader, m_begin + firstPosition, m_end)) {
                count = frames->frames;
                m_byteCount = frames->bytes;
                m_maxPacketSize = frames->maximumFrameSize;
                commonFrames = frames->samplesPerFrame;
                m_mpegFirstFrame = m_begin + firstPosition;
                m_mpegFrameSamples = frames->samplesPerFrame;
                reuseDemuxer = true;
            }
        }
    }

    while (!reuseDemuxer && m_hasPending) {
        const AVPacket& packet = *m_pending;
        ++count;
        m_byteCount += std::uint64_t(packet.size);
        m_maxPacketSize = std::max(m_maxPacketSize, std::uint32_t(packet.size));
        // Every packet but the last must share one duration for the stream to have a constant
        // number of frames per packet.
        const std::int64_t frames = framesOf(packet);
        if (previousFrames >= 0) {
            if (commonFrames < 0)
                commonFrames = previousFrames;
            else if (previousFrames != commonFrames)
                constantFrames = false;
        }
        previousFrames = frames;
        m_hasPending = false;
        fetchPacket(&error);
    }
    if (commonFrames < 0)
        commonFrames = std::max<std::int64_t>(previousFrames, 0);

    if (firstPts != AV_NOPTS_VALUE && firstPts < 0)
        m_setup.primingFrames = -av_rescale_q(firstPts, m_timeBase, AVRational{1, m_sampleRate});

    m_dataOffset = m_begin + std::max<std::int64_t>(firstPosition, 0);

    // The MPEG audio demuxer reads a Xing/Info/VBRI frame as a header and does not return it;
    // it is audio-stream data the decoder and players rely on for gapless playback, so it
    // becomes packet 0.
    if ((m_type == AudioFileType::MP3 || m_type == AudioFileType::MP2 ||
         m_type == AudioFileType::MP1) &&
        firstPosition > 0) {
        // It ends where the first packet starts; junk may lie before it, which the demuxer
        // skipped as well.
        const std::int64_t searched = std::min<std::int64_t>(firstPosition, 256 * 1024);
        const auto head = m_reader.readRange(m_begin + firstPosition - searched, searched);
        for (std::size_t at = 0; at + 4 <= head.size(); ++at) {
            if (head[at] != 0xFF)
                continue;
            const int length = mpegAudioFrameLength(
                (std::uint32_t(head[at]) << 24) | (std::uint32_t(head[at + 1]) << 16) |
                (std::uint32_t(head[at + 2]) << 8) | head[at + 3]);
            if (length <= 0 || std::size_t(length) != head.size() - at)
                continue;
            const std::span<const std::uint8_t> frame(head.data() + at, std::size_t(length));
            if (isMpegInfoFrame(frame)) {
                m_infoFrame.assign(frame.begin(), frame.end());
                ++count;
                m_byteCount += m_infoFrame.size();
                m_maxPacketSize = std::max(m_maxPacketSize, std::uint32_t(m_infoFrame.size()));
                m_dataOffset = m_begin + firstPosition - std::int64_t(length);
            }
            break;
        }
    }

    m_packetCount = count;
    m_format = describeStream(*m_parameters, constantFrames ? std::uint32_t(commonFrames) : 0);
    m_cursor = 0;
    if (!reuseDemuxer || m_mpegFirstFrame >= 0) {
        // The scan consumed the demuxer, or the frames are read straight from the file.
        m_demuxer.reset();
        m_pending.reset();
        m_hasPending = false;
    }
    return 0;
}

std::optional<InputAudioFile::ContainerCounts> InputAudioFile::countFromContainer()
{
    const AVStream* stream = m_demuxer->stream;
    const AVCodecParameters& parameters = *m_parameters;

    // MP4: the sample table lists every packet. A fragmented file's index grows while it is
    // read, so it is trusted only when it holds as many samples as the track header says.
    if (m_type == AudioFileType::M4A || m_type == AudioFileType::M4B ||
        m_type == AudioFileType::MPEG4 || m_type == AudioFileType::ThreeGP ||
        m_type == AudioFileType::ThreeGP2) {
        AVStream* indexed = m_demuxer->stream;
        const int entries = avformat_index_get_entries_count(indexed);
        if (entries <= 0 || stream->nb_frames != entries)
            return std::nullopt;
        // A parser (MP3, AC-3 in MP4) re-cuts damaged samples into packets of its own; only
        // reading tells how many and how large.
        if (av_stream_get_parser(indexed))
            return std::nullopt;
        std::int64_t common = -1;
        bool constant = true;
        for (int i = 0; i < entries; ++i) {
            const AVIndexEntry* entry = avformat_index_get_entry(indexed, i);
            // A truncated file lists samples it no longer holds, and a damaged table sizes that
            // are empty or negative (the index keeps them in a signed bit field); only reading
            // can tell how many packets there really are, and how large.
            if (entry->pos < 0 || entry->size <= 0 || entry->pos + entry->size > m_end - m_begin) {
                m_byteCount = 0;
                m_maxPacketSize = 0;
                return std::nullopt;
            }
            m_byteCount += std::uint64_t(entry->size);
            m_maxPacketSize = std::max(m_maxPacketSize, std::uint32_t(entry->size));
            if (i + 2 < entries) {
                const AVIndexEntry* next = avformat_index_get_entry(indexed, i + 1);
                const std::int64_t step = next->timestamp - entry->timestamp;
                if (common < 0)
                    common = step;
                else if (step != common)
                    constant = false;
            }
        }
        std::int64_t frames = 0;
        if (constant && common > 0)
            frames = av_rescale_q(common, m_timeBase, AVRational{1, m_sampleRate});
        else if (constant && entries <= 2)
            frames = std::max(parameters.frame_size, 0);
        return ContainerCounts{std::uint64_t(entries), frames};
    }

    return std::nullopt;
}

OSStatus InputAudioFile::countFlacFrames()
{
    FlacFrameScanner frames(m_reader, m_flacFirstFrame, m_end);
    std::uint64_t count = 0;
    std::uint32_t commonBlock = 0;
    std::uint32_t previousBlock = 0;
    bool constantBlocks = true;
    while (const auto frame = frames.next()) {
        if (frame->size > kFlacMaxFrameSize)
            return AudioFileError::InvalidFile;
        ++count;
        m_byteCount += std::uint64_t(frame->size);
        m_maxPacketSize = std::max(m_maxPacketSize, std::uint32_t(frame->size));
        // Only the last frame may be shorter than the others.
        if (previousBlock) {
            if (!commonBlock)
                commonBlock = previousBlock;
            else if (previousBlock != commonBlock)
                constantBlocks = false;
        }
        previousBlock = frame->blockSize;
    }
    if (!commonBlock)
        commonBlock = previousBlock;
    m_packetCount = count;
    m_dataOffset = m_flacFirstFrame;
    m_format = describeStream(*m_parameters, constantBlocks ? commonBlock : 0);
    m_cursor = 0;
    return 0;
}

} // namespace cleftone::audiofile
