#include "engine/audiofile/InputAudioFile.h"

#include "engine/audiofile/FFmpegAudioFileService.h"
#include "engine/audiofile/InputDemuxer.h"
#include "engine/audiofile/Mp4Boxes.h"
#include "engine/audiofile/MpegFrames.h"
#include "engine/audiofile/OutputAiff.h"
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

struct FormatType {
    const char* demuxer;
    AudioFileTypeID type;
};

// Demuxers whose content detection settles the container type on its own.
constexpr FormatType kSimpleTypes[] = {
    {"w64", AudioFileType::Wave64},   {"au", AudioFileType::NeXT},   {"caf", AudioFileType::CAF},
    {"aac", AudioFileType::AAC_ADTS}, {"ac3", AudioFileType::AC3},   {"eac3", AudioFileType::EAC3},
    {"amr", AudioFileType::AMR},      {"flac", AudioFileType::FLAC}, {"loas", AudioFileType::LOAS},
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

} // namespace

InputAudioFile::InputAudioFile(int fd) : m_fd(fd), m_reader(fd), m_chunks(fd)
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

OSStatus InputAudioFile::open(int fd, std::unique_ptr<InputFile>& out)
{
    std::unique_ptr<InputAudioFile> file(new InputAudioFile(fd));
    if (const OSStatus status = file->inspect())
        return status;
    out = std::move(file);
    return 0;
}

OSStatus InputAudioFile::openDemuxer(std::unique_ptr<Demuxer>& out, bool analyse) const
{
    auto demuxer = std::make_unique<Demuxer>();
    if (const OSStatus status = openWindow(*demuxer, m_fd, m_begin, m_end))
        return status;
    AVFormatContext* context = demuxer->format.get();
    if (!isKnownDemuxer(context->iformat->name))
        return AudioFileError::UnsupportedFileType;

    if (analyse) {
        // Video and data streams are never read; analysing them would only cost time.
        for (unsigned i = 0; i < context->nb_streams; ++i)
            if (context->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
                context->streams[i]->discard = AVDISCARD_ALL;
        const int error = avformat_find_stream_info(context, nullptr);
        if (error < 0)
            return statusFromAvError(error);
    }

    if (m_streamIndex >= 0) {
        if (unsigned(m_streamIndex) >= context->nb_streams)
            return AudioFileError::InvalidFile;
        demuxer->stream = context->streams[m_streamIndex];
    } else {
        demuxer->stream = defaultAudioStream(context);
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
    // An ID3v2 tag in front is skipped whatever follows it: some taggers put one before RIFF
    // and AIFF data too, and the container behind it decides the type.
    m_begin = skipLeadingTags(m_reader);
    std::uint8_t head[12] = {};
    m_reader.readAt(
        m_begin,
        std::span(head, std::size_t(std::clamp<std::int64_t>(m_reader.size() - m_begin, 0, 12))));
    m_chunked = startsChunkedContainer(head);
    m_chunks = FileReader(m_fd, m_begin);
    m_end = m_chunked ? m_reader.size() : trimTrailingTags(m_reader, m_begin, m_reader.size());
    if (m_end <= m_begin)
        return AudioFileError::InvalidFile;
    if (!m_chunked && describeMpegFrames())
        return 0;

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
        m_type = mp4FileTypeForBrand(brand ? brand->value : "");
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
    addStreamInfo(m_info, demuxer->format.get(), demuxer->stream);

    m_setup.extradata.assign(parameters.extradata,
                             parameters.extradata + parameters.extradata_size);
    // The service's AIFF writer has no place for a CHAN chunk's layout: the stripped file reads
    // back with the default one, and the setup says what the stripped file carries.
    const bool aiffWriter = (m_type == AudioFileType::AIFF || m_type == AudioFileType::AIFC) &&
                            findAiffCompression(parameters.codec_id);
    if (!aiffWriter)
        m_setup.channelMask = recordedChannelMask(parameters.ch_layout);
    const bool headerRecordsBitRate =
        m_type == AudioFileType::WAVE || m_type == AudioFileType::RF64 ||
        m_type == AudioFileType::Wave64 || m_type == AudioFileType::AIFC ||
        m_type == AudioFileType::CAF || m_type == AudioFileType::NeXT;
    if (headerRecordsBitRate && !isPcmCodec(parameters.codec_id))
        m_setup.bitRate = parameters.bit_rate;
    if (name.starts_with("mov,mp4"))
        m_setup.fileType = mp4FileTypeBox(m_chunks);
    // FFmpeg's CAF reader skips the packet table's priming and remainder; players need them
    // to cut the encoder delay and padding.
    if (m_type == AudioFileType::CAF) {
        std::uint8_t table[24];
        const auto pakt = findChunk(m_chunks, fourCC("pakt"));
        if (pakt && pakt->size >= 24 && m_chunks.readAt(pakt->offset, table)) {
            auto be32 = [&](int at) {
                return std::int64_t((std::uint32_t(table[at]) << 24) | (table[at + 1] << 16) |
                                    (table[at + 2] << 8) | table[at + 3]);
            };
            m_setup.primingFrames = be32(16);
            m_setup.remainderFrames = be32(20);
        }
        const auto kuki = findChunk(m_chunks, fourCC("kuki"));
        if (parameters.codec_id == AV_CODEC_ID_AAC && kuki && kuki->size <= 4096)
            m_setup.cafCookie = m_chunks.readRange(kuki->offset, kuki->size);
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
        const auto ids = chunkIDs(m_chunks);
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
    case AudioFileProperty::ChunkIDs: {
        const auto ids = chunkIDs(m_chunks);
        if (!ids)
            return AudioFileError::UnsupportedProperty;
        std::vector<std::uint8_t> raw(ids->size() * 4);
        if (!raw.empty())
            std::memcpy(raw.data(), ids->data(), raw.size());
        return bytes(raw);
    }
    case AudioFileProperty::InfoDictionary:
        if (m_infoPending) {
            m_infoPending = false;
            std::unique_ptr<Demuxer> demuxer;
            if (openDemuxer(demuxer, true) == 0)
                addStreamInfo(m_info, demuxer->format.get(), demuxer->stream);
        }
        return storeInfoDictionary(m_info, ioSize, out);
    case AudioFileProperty::ID3Tag: {
        std::vector<std::uint8_t> tag;
        if (m_chunked) {
            if (auto body = id3ChunkBody(m_chunks))
                tag = std::move(*body);
        }
        if (tag.empty() && m_begin > 0) {
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
