#include "engine/audiofile/InputAudioFile.h"

#include "engine/audiofile/FFmpegAudioFileService.h"
#include "engine/audiofile/MpegFrames.h"
#include "engine/audiofile/PropertyStorage.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

constexpr int kIoBufferSize = 64 * 1024;

// The byte range of the file that the demuxer may see.
struct Window {
    int fd;
    std::int64_t begin;
    std::int64_t end;
    std::int64_t position;
};

int readWindow(void* opaque, std::uint8_t* buffer, int size)
{
    auto* window = static_cast<Window*>(opaque);
    if (window->position >= window->end)
        return AVERROR_EOF;
    const auto wanted = std::min<std::int64_t>(size, window->end - window->position);
    for (;;) {
        const ssize_t n = ::pread(window->fd, buffer, std::size_t(wanted), window->position);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return AVERROR(errno);
        if (n == 0)
            return AVERROR_EOF;
        window->position += n;
        return int(n);
    }
}

std::int64_t seekWindow(void* opaque, std::int64_t offset, int whence)
{
    auto* window = static_cast<Window*>(opaque);
    std::int64_t target;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return window->end - window->begin;
    case SEEK_SET:
        target = window->begin + offset;
        break;
    case SEEK_CUR:
        target = window->position + offset;
        break;
    case SEEK_END:
        target = window->end + offset;
        break;
    default:
        return AVERROR(EINVAL);
    }
    if (target < window->begin)
        return AVERROR(EINVAL);
    window->position = target;
    return target - window->begin;
}

struct FormatType {
    const char* demuxer;
    AudioFileTypeID type;
};

// Demuxers whose content detection settles the container type on its own.
constexpr FormatType kSimpleTypes[] = {
    {"w64", AudioFileType::Wave64},   {"au", AudioFileType::NeXT},   {"caf", AudioFileType::CAF},
    {"aac", AudioFileType::AAC_ADTS}, {"ac3", AudioFileType::AC3},   {"eac3", AudioFileType::EAC3},
    {"amr", AudioFileType::AMR},      {"flac", AudioFileType::FLAC}, {"ogg", AudioFileType::Ogg},
};

// Whether the service knows the container a demuxer reads; the rest (images, video-only
// formats, playlists…) are refused before any stream is analysed.
bool isKnownDemuxer(const std::string& name)
{
    if (name == "mp3" || name == "wav" || name == "aiff" || name.starts_with("mov,mp4"))
        return true;
    for (const auto& simple : kSimpleTypes)
        if (name == simple.demuxer)
            return true;
    return false;
}

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

void addMetadata(AudioFileInfoDictionary& info, const AVDictionary* metadata)
{
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX)))
        info.emplace(lowerCase(entry->key), entry->value);
}

} // namespace

struct Demuxer {
    Window window{};
    IoContextPtr io;
    InputContext format;
    AVStream* stream = nullptr;
};

InputAudioFile::InputAudioFile(int fd) : m_fd(fd), m_reader(fd)
{}

InputAudioFile::~InputAudioFile()
{
    m_pending.reset();
    m_demuxer.reset();
    m_flacFrames.reset();
    m_mpegFrames.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

OSStatus InputAudioFile::open(const std::string& path, std::unique_ptr<InputAudioFile>& out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return statusFromErrno(errno);
    struct stat info {};
    // Only regular files: a FIFO or a device would block or never end.
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) {
        ::close(fd);
        return AudioFileError::InvalidFile;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    std::unique_ptr<InputAudioFile> file(new InputAudioFile(fd));
    if (const OSStatus status = file->inspect())
        return status;
    out = std::move(file);
    return 0;
}

OSStatus InputAudioFile::openDemuxer(std::unique_ptr<Demuxer>& out, bool analyse) const
{
    auto demuxer = std::make_unique<Demuxer>();
    demuxer->window = Window{m_fd, m_begin, m_end, m_begin};

    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer)
        return AudioFileError::MemoryFull;
    demuxer->io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, &demuxer->window, readWindow,
                                         nullptr, seekWindow));
    if (!demuxer->io) {
        av_free(buffer);
        return AudioFileError::MemoryFull;
    }

    AVFormatContext* context = avformat_alloc_context();
    if (!context)
        return AudioFileError::MemoryFull;
    context->pb = demuxer->io.get();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Tags, chapters and cover art are never read into the output; chapters need not be parsed.
    DictionaryPtr options;
    {
        AVDictionary* raw = nullptr;
        av_dict_set(&raw, "ignore_chapters", "1", 0);
        options.reset(raw);
    }
    AVDictionary* rawOptions = options.release();
    // An empty URL: detection goes by content alone, never by the file name.
    int error = avformat_open_input(&context, "", nullptr, &rawOptions);
    av_dict_free(&rawOptions);
    if (error < 0)
        return error == AVERROR_INVALIDDATA ? AudioFileError::UnsupportedFileType
                                            : statusFromAvError(error);
    demuxer->format.reset(context);
    if (!isKnownDemuxer(context->iformat->name))
        return AudioFileError::UnsupportedFileType;

    if (analyse) {
        // Video and data streams are never read; analysing them would only cost time.
        for (unsigned i = 0; i < context->nb_streams; ++i)
            if (context->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
                context->streams[i]->discard = AVDISCARD_ALL;
        error = avformat_find_stream_info(context, nullptr);
        if (error < 0)
            return statusFromAvError(error);
    }

    if (m_streamIndex >= 0) {
        if (unsigned(m_streamIndex) >= context->nb_streams)
            return AudioFileError::InvalidFile;
        demuxer->stream = context->streams[m_streamIndex];
    } else {
        // The default audio stream if one is marked, else the first audio stream.
        for (unsigned i = 0; i < context->nb_streams; ++i) {
            AVStream* stream = context->streams[i];
            if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO ||
                (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
                continue;
            if (!demuxer->stream || (stream->disposition & AV_DISPOSITION_DEFAULT &&
                                     !(demuxer->stream->disposition & AV_DISPOSITION_DEFAULT)))
                demuxer->stream = stream;
        }
        if (!demuxer->stream)
            return AudioFileError::UnsupportedDataFormat;
    }
    for (unsigned i = 0; i < context->nb_streams; ++i)
        if (context->streams[i] != demuxer->stream)
            context->streams[i]->discard = AVDISCARD_ALL;

    out = std::move(demuxer);
    return 0;
}

OSStatus InputAudioFile::inspect()
{
    std::uint8_t head[12] = {};
    m_reader.readAt(0, std::span(head, std::size_t(std::min<std::int64_t>(12, m_reader.size()))));
    m_chunked = startsChunkedContainer(head);
    m_begin = m_chunked ? 0 : skipLeadingTags(m_reader);
    m_end = m_chunked ? m_reader.size() : trimTrailingTags(m_reader, m_begin, m_reader.size());
    if (m_end <= m_begin)
        return AudioFileError::InvalidFile;

    std::unique_ptr<Demuxer> demuxer;
    if (const OSStatus status = openDemuxer(demuxer, true))
        return status;
    AVFormatContext* context = demuxer->format.get();
    const AVCodecParameters& parameters = *demuxer->stream->codecpar;

    const std::string name = context->iformat->name;
    if (name == "mp3") {
        m_type = parameters.codec_id == AV_CODEC_ID_MP2   ? AudioFileType::MP2
                 : parameters.codec_id == AV_CODEC_ID_MP1 ? AudioFileType::MP1
                                                          : AudioFileType::MP3;
    } else if (name == "wav") {
        m_type = std::memcmp(head, "RIFF", 4) == 0 ? AudioFileType::WAVE : AudioFileType::RF64;
    } else if (name == "aiff") {
        m_type = std::memcmp(head + 8, "AIFC", 4) == 0 ? AudioFileType::AIFC : AudioFileType::AIFF;
    } else if (name.starts_with("mov,mp4")) {
        const AVDictionaryEntry* brand = av_dict_get(context->metadata, "major_brand", nullptr, 0);
        const std::string major = brand ? brand->value : "";
        if (major.starts_with("M4A") || major.starts_with("M4P"))
            m_type = AudioFileType::M4A;
        else if (major.starts_with("M4B"))
            m_type = AudioFileType::M4B;
        else if (major.starts_with("3gp"))
            m_type = AudioFileType::ThreeGP;
        else if (major.starts_with("3g2") || major == "kddi") // KDDI's 3GPP2 phones
            m_type = AudioFileType::ThreeGP2;
        else if (major.starts_with("qt"))
            m_type = fourCC("qtff"); // QuickTime movies are read, never written
        else
            m_type = AudioFileType::MPEG4;
    } else {
        for (const auto& simple : kSimpleTypes)
            if (name == simple.demuxer)
                m_type = simple.type;
    }
    if (m_type == 0)
        return AudioFileError::UnsupportedFileType;
    if (parameters.sample_rate <= 0 || parameters.ch_layout.nb_channels <= 0)
        return AudioFileError::UnsupportedDataFormat;

    m_parameters.reset(avcodec_parameters_alloc());
    if (!m_parameters || avcodec_parameters_copy(m_parameters.get(), &parameters) < 0)
        return AudioFileError::MemoryFull;
    m_streamIndex = demuxer->stream->index;
    m_timeBase = demuxer->stream->time_base;
    m_sampleRate = parameters.sample_rate;
    addMetadata(m_info, context->metadata);
    addMetadata(m_info, demuxer->stream->metadata);
    if (context->duration > 0)
        m_info["approximate duration in seconds"] =
            std::to_string(double(context->duration) / AV_TIME_BASE);

    m_setup.extradata.assign(parameters.extradata,
                             parameters.extradata + parameters.extradata_size);
    m_setup.channelMask = recordedChannelMask(parameters.ch_layout);
    const bool headerRecordsBitRate =
        m_type == AudioFileType::WAVE || m_type == AudioFileType::RF64 ||
        m_type == AudioFileType::Wave64 || m_type == AudioFileType::AIFC ||
        m_type == AudioFileType::CAF || m_type == AudioFileType::NeXT;
    if (headerRecordsBitRate && !isPcmCodec(parameters.codec_id))
        m_setup.bitRate = parameters.bit_rate;
    if (name.starts_with("mov,mp4"))
        m_setup.fileType = mp4FileTypeBox(m_reader);
    // FFmpeg's CAF reader skips the packet table's priming and remainder; players need them
    // to cut the encoder delay and padding.
    if (m_type == AudioFileType::CAF) {
        std::uint8_t table[24];
        const auto pakt = findChunk(m_reader, fourCC("pakt"));
        if (pakt && pakt->size >= 24 && m_reader.readAt(pakt->offset, table)) {
            auto be32 = [&](int at) {
                return std::int64_t((std::uint32_t(table[at]) << 24) | (table[at + 1] << 16) |
                                    (table[at + 2] << 8) | table[at + 3]);
            };
            m_setup.primingFrames = be32(16);
            m_setup.remainderFrames = be32(20);
        }
        const auto kuki = findChunk(m_reader, fourCC("kuki"));
        if (parameters.codec_id == AV_CODEC_ID_AAC && kuki && kuki->size <= 4096)
            m_setup.cafCookie = m_reader.readRange(kuki->offset, kuki->size);
    }

    if (isPcmCodec(parameters.codec_id) ||
        (isFixedBlockCodec(parameters.codec_id) && parameters.block_align > 0)) {
        m_format = describeStream(parameters, 1);
        m_blockSize = isPcmCodec(parameters.codec_id) ? m_format.mBytesPerFrame
                                                      : std::uint32_t(parameters.block_align);
        if (m_blockSize == 0)
            return AudioFileError::UnsupportedDataFormat;
        // The analysing demuxer is kept: its first packet starts the reading.
        m_demuxer = std::move(demuxer);
        int error = 0;
        if (!fetchPacket(&error)) {
            m_packetCount = 0;
            m_dataOffset = m_begin;
        } else {
            if (const OSStatus status = countBlocks(*m_pending))
                return status;
        }
        // In these containers the samples lie in one contiguous data chunk: read them
        // straight from the file instead of through the demuxer's small packets.
        if (isPcmCodec(m_parameters->codec_id) &&
            (m_type == AudioFileType::WAVE || m_type == AudioFileType::RF64 ||
             m_type == AudioFileType::Wave64 || m_type == AudioFileType::AIFF ||
             m_type == AudioFileType::AIFC || m_type == AudioFileType::CAF ||
             m_type == AudioFileType::NeXT)) {
            m_directBlocks = true;
            m_demuxer.reset();
            m_pending.reset();
            m_hasPending = false;
        }
        // `parameters` belonged to the demuxer just released; our own copy is still here.
        if (isFixedBlockCodec(m_parameters->codec_id))
            m_format.mFramesPerPacket = std::uint32_t(
                std::max(av_get_audio_frame_duration2(m_parameters.get(), int(m_blockSize)), 0));
        return 0;
    }

    demuxer.reset();
    if (const OSStatus status = countPackets())
        return status;
    return 0;
}

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
        if (const auto inChunk = bytesLeftInChunk(m_reader, m_dataOffset))
            available = std::min(available, *inChunk);
    }

    m_packetCount = std::uint64_t(std::max<std::int64_t>(available, 0)) / m_blockSize;
    m_byteCount = m_packetCount * m_blockSize;
    m_maxPacketSize = m_blockSize;
    return 0;
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
            // A truncated file lists samples it no longer holds; only reading can tell how
            // many are really there.
            if (entry->pos < 0 || entry->pos + entry->size > m_end - m_begin) {
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
    if (!ioNumBytes || !ioNumPackets || (!buffer && *ioNumBytes))
        return AudioFileError::Parameter;
    if (startingPacket < 0)
        return AudioFileError::InvalidPacketOffset;
    if (*ioNumPackets == 0) {
        *ioNumBytes = 0;
        return 0;
    }
    if (std::uint64_t(startingPacket) >= m_packetCount) {
        *ioNumBytes = 0;
        *ioNumPackets = 0;
        return AudioFileError::EndOfFile;
    }
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

OSStatus InputAudioFile::propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const
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
    case AudioFileProperty::ChunkIDs: {
        const auto ids = chunkIDs(m_reader);
        if (!ids)
            return AudioFileError::UnsupportedProperty;
        *outSize = std::uint32_t(ids->size() * 4);
        return 0;
    }
    case AudioFileProperty::ID3Tag: {
        std::uint32_t size = 0;
        const OSStatus status = this->property(AudioFileProperty::ID3Tag, &size, nullptr);
        if (status && status != AudioFileError::BadPropertySize)
            return status;
        *outSize = size;
        return 0;
    }
    default:
        return AudioFileError::UnsupportedProperty;
    }
}

OSStatus InputAudioFile::property(AudioFilePropertyID property, std::uint32_t* ioSize,
                                  void* out) const
{
    if (!ioSize)
        return AudioFileError::Parameter;

    auto fixed = [&](const auto& value) {
        return storeFixedProperty(value, ioSize, out);
    };
    // Variable-size values are copied up to the storage given; the size says how much.
    auto bytes = [&](const std::vector<std::uint8_t>& value) -> OSStatus {
        if (!out) {
            *ioSize = std::uint32_t(value.size());
            return AudioFileError::BadPropertySize;
        }
        const auto size = std::min<std::size_t>(*ioSize, value.size());
        if (size > 0)
            std::memcpy(out, value.data(), size);
        *ioSize = std::uint32_t(size);
        return 0;
    };

    switch (property) {
    case AudioFileProperty::FileFormat:
        return fixed(m_type);
    case AudioFileProperty::DataFormat:
        return fixed(m_format);
    case AudioFileProperty::AudioDataByteCount:
        return fixed(m_byteCount);
    case AudioFileProperty::AudioDataPacketCount:
        return fixed(m_packetCount);
    case AudioFileProperty::MaximumPacketSize:
        return fixed(m_maxPacketSize);
    case AudioFileProperty::DataOffset:
        return fixed(m_dataOffset);
    case AudioFileProperty::MagicCookieData:
        if (m_setup.empty())
            return AudioFileError::UnsupportedProperty;
        return bytes(m_setup.serialize());
    case AudioFileProperty::ChunkIDs: {
        const auto ids = chunkIDs(m_reader);
        if (!ids)
            return AudioFileError::UnsupportedProperty;
        std::vector<std::uint8_t> raw(ids->size() * 4);
        if (!raw.empty())
            std::memcpy(raw.data(), ids->data(), raw.size());
        return bytes(raw);
    }
    case AudioFileProperty::InfoDictionary: {
        if (*ioSize < sizeof(void*) || !out)
            return AudioFileError::BadPropertySize;
        auto* dictionary = new AudioFileInfoDictionary(m_info);
        std::memcpy(out, &dictionary, sizeof(dictionary));
        *ioSize = sizeof(dictionary);
        return 0;
    }
    case AudioFileProperty::ID3Tag: {
        std::vector<std::uint8_t> tag;
        if (m_chunked) {
            if (auto body = id3ChunkBody(m_reader))
                tag = std::move(*body);
        } else if (m_begin > 0) {
            tag = m_reader.readRange(0, m_begin);
        }
        if (tag.empty())
            return AudioFileError::UnsupportedProperty;
        return bytes(tag);
    }
    default:
        return AudioFileError::UnsupportedProperty;
    }
}

} // namespace cleftone::audiofile
