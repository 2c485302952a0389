#include "engine/audiofile/CodecMapping.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <cmath>
#include <cstring>

namespace cleftone::audiofile {

namespace {

constexpr std::uint8_t kSetupMagic[4] = {'C', 'T', 's', 'u'};
constexpr std::uint8_t kSetupVersion = 1;

enum SetupField : std::uint8_t {
    FieldExtradata = 1,
    FieldChannelMask = 2,
    FieldPriming = 3,
    FieldBitRate = 4,
    FieldRemainder = 5,
    FieldFileType = 6,
    FieldCafCookie = 7,
    FieldHead = 8,
    FieldTail = 9,
    FieldMp4Track = 10,
};

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(std::uint8_t(value >> (8 * i)));
}

void putU64(std::vector<std::uint8_t>& out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(std::uint8_t(value >> (8 * i)));
}

std::uint64_t getU64(const std::uint8_t* p, std::size_t size)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size && i < 8; ++i)
        value |= std::uint64_t(p[i]) << (8 * i);
    return value;
}

void putField(std::vector<std::uint8_t>& out, SetupField field, const std::uint8_t* data,
              std::size_t size)
{
    out.push_back(field);
    putU32(out, std::uint32_t(size));
    out.insert(out.end(), data, data + size);
}

void putField(std::vector<std::uint8_t>& out, SetupField field, std::uint64_t value)
{
    out.push_back(field);
    putU32(out, 8);
    putU64(out, value);
}

struct PcmCodec {
    AVCodecID codec;
    std::uint32_t bytesPerSample;
    bool isFloat;
    bool isBigEndian;
    bool isSigned;
};

constexpr PcmCodec kPcmCodecs[] = {
    {AV_CODEC_ID_PCM_U8, 1, false, false, false},    {AV_CODEC_ID_PCM_S8, 1, false, false, true},
    {AV_CODEC_ID_PCM_S16LE, 2, false, false, true},  {AV_CODEC_ID_PCM_S16BE, 2, false, true, true},
    {AV_CODEC_ID_PCM_U16LE, 2, false, false, false}, {AV_CODEC_ID_PCM_U16BE, 2, false, true, false},
    {AV_CODEC_ID_PCM_S24LE, 3, false, false, true},  {AV_CODEC_ID_PCM_S24BE, 3, false, true, true},
    {AV_CODEC_ID_PCM_U24LE, 3, false, false, false}, {AV_CODEC_ID_PCM_U24BE, 3, false, true, false},
    {AV_CODEC_ID_PCM_S32LE, 4, false, false, true},  {AV_CODEC_ID_PCM_S32BE, 4, false, true, true},
    {AV_CODEC_ID_PCM_U32LE, 4, false, false, false}, {AV_CODEC_ID_PCM_U32BE, 4, false, true, false},
    {AV_CODEC_ID_PCM_S64LE, 8, false, false, true},  {AV_CODEC_ID_PCM_S64BE, 8, false, true, true},
    {AV_CODEC_ID_PCM_F32LE, 4, true, false, true},   {AV_CODEC_ID_PCM_F32BE, 4, true, true, true},
    {AV_CODEC_ID_PCM_F64LE, 8, true, false, true},   {AV_CODEC_ID_PCM_F64BE, 8, true, true, true},
};

struct CompressedCodec {
    AVCodecID codec;
    AudioFormatID format;
};

constexpr CompressedCodec kCompressedCodecs[] = {
    {AV_CODEC_ID_MP1, AudioFormat::MPEGLayer1}, {AV_CODEC_ID_MP2, AudioFormat::MPEGLayer2},
    {AV_CODEC_ID_MP3, AudioFormat::MPEGLayer3}, {AV_CODEC_ID_AAC, AudioFormat::MPEG4AAC},
    {AV_CODEC_ID_AC3, AudioFormat::AC3},        {AV_CODEC_ID_EAC3, AudioFormat::EnhancedAC3},
    {AV_CODEC_ID_AMR_NB, AudioFormat::AMR},     {AV_CODEC_ID_AMR_WB, AudioFormat::AMR_WB},
    {AV_CODEC_ID_FLAC, AudioFormat::FLAC},      {AV_CODEC_ID_ALAC, AudioFormat::AppleLossless},
    {AV_CODEC_ID_PCM_MULAW, AudioFormat::ULaw}, {AV_CODEC_ID_PCM_ALAW, AudioFormat::ALaw},
    {AV_CODEC_ID_OPUS, AudioFormat::Opus},
};

const PcmCodec* findPcm(AVCodecID codec)
{
    for (const auto& pcm : kPcmCodecs)
        if (pcm.codec == codec)
            return &pcm;
    return nullptr;
}

} // namespace

std::vector<std::uint8_t> StreamSetup::serialize() const
{
    std::vector<std::uint8_t> out(kSetupMagic, kSetupMagic + 4);
    out.push_back(kSetupVersion);
    if (!extradata.empty())
        putField(out, FieldExtradata, extradata.data(), extradata.size());
    if (channelMask)
        putField(out, FieldChannelMask, *channelMask);
    if (primingFrames)
        putField(out, FieldPriming, std::uint64_t(primingFrames));
    if (bitRate)
        putField(out, FieldBitRate, std::uint64_t(bitRate));
    if (remainderFrames)
        putField(out, FieldRemainder, std::uint64_t(remainderFrames));
    if (!fileType.empty())
        putField(out, FieldFileType, fileType.data(), fileType.size());
    if (!cafCookie.empty())
        putField(out, FieldCafCookie, cafCookie.data(), cafCookie.size());
    if (!head.empty())
        putField(out, FieldHead, head.data(), head.size());
    if (!tail.empty())
        putField(out, FieldTail, tail.data(), tail.size());
    if (!mp4Track.empty())
        putField(out, FieldMp4Track, mp4Track.data(), mp4Track.size());
    return out;
}

StreamSetup StreamSetup::deserialize(const std::uint8_t* data, std::size_t size)
{
    StreamSetup setup;
    if (size < 5 || std::memcmp(data, kSetupMagic, 4) != 0 || data[4] != kSetupVersion) {
        setup.extradata.assign(data, data + size);
        return setup;
    }
    std::size_t offset = 5;
    while (offset + 5 <= size) {
        const auto field = data[offset];
        const std::size_t length = std::size_t(getU64(data + offset + 1, 4));
        offset += 5;
        if (length > size - offset)
            break;
        const std::uint8_t* value = data + offset;
        switch (field) {
        case FieldExtradata:
            setup.extradata.assign(value, value + length);
            break;
        case FieldChannelMask:
            setup.channelMask = getU64(value, length);
            break;
        case FieldPriming:
            setup.primingFrames = std::int64_t(getU64(value, length));
            break;
        case FieldBitRate:
            setup.bitRate = std::int64_t(getU64(value, length));
            break;
        case FieldRemainder:
            setup.remainderFrames = std::int64_t(getU64(value, length));
            break;
        case FieldFileType:
            setup.fileType.assign(value, value + length);
            break;
        case FieldCafCookie:
            setup.cafCookie.assign(value, value + length);
            break;
        case FieldHead:
            setup.head.assign(value, value + length);
            break;
        case FieldTail:
            setup.tail.assign(value, value + length);
            break;
        case FieldMp4Track:
            setup.mp4Track.assign(value, value + length);
            break;
        default:
            break;
        }
        offset += length;
    }
    return setup;
}

bool isPcmCodec(AVCodecID codec)
{
    return findPcm(codec) || codec == AV_CODEC_ID_PCM_MULAW || codec == AV_CODEC_ID_PCM_ALAW;
}

bool isFixedBlockCodec(AVCodecID codec)
{
    // ADPCM and GSM in WAV, AIFC and CAF come in blocks of block_align bytes, several per
    // demuxed packet.
    return (codec >= AV_CODEC_ID_ADPCM_IMA_QT && codec < AV_CODEC_ID_AMR_NB) ||
           codec == AV_CODEC_ID_GSM_MS || codec == AV_CODEC_ID_GSM;
}

AudioStreamBasicDescription describeStream(const AVCodecParameters& parameters,
                                           std::uint32_t framesPerPacket)
{
    AudioStreamBasicDescription format;
    format.mSampleRate = parameters.sample_rate;
    format.mChannelsPerFrame = std::uint32_t(std::max(parameters.ch_layout.nb_channels, 0));
    format.mBitsPerChannel = std::uint32_t(std::max(parameters.bits_per_coded_sample, 0));
    format.mFramesPerPacket = framesPerPacket;

    if (const auto* pcm = findPcm(parameters.codec_id)) {
        format.mFormatID = AudioFormat::LinearPCM;
        format.mFormatFlags =
            AudioFormatFlag::IsPacked | (pcm->isFloat ? AudioFormatFlag::IsFloat : 0) |
            (pcm->isBigEndian ? AudioFormatFlag::IsBigEndian : 0) |
            (pcm->isSigned && !pcm->isFloat ? AudioFormatFlag::IsSignedInteger : 0);
        format.mBytesPerFrame = pcm->bytesPerSample * format.mChannelsPerFrame;
        format.mBytesPerPacket = format.mBytesPerFrame;
        format.mFramesPerPacket = 1;
        if (format.mBitsPerChannel == 0 || format.mBitsPerChannel > pcm->bytesPerSample * 8)
            format.mBitsPerChannel = pcm->bytesPerSample * 8;
        return format;
    }

    format.mFormatID = AudioFormat::ServiceCodec;
    format.mFormatFlags = std::uint32_t(parameters.codec_id);
    for (const auto& compressed : kCompressedCodecs) {
        if (compressed.codec == parameters.codec_id) {
            format.mFormatID = compressed.format;
            format.mFormatFlags = 0;
            break;
        }
    }
    if (parameters.codec_id == AV_CODEC_ID_PCM_MULAW ||
        parameters.codec_id == AV_CODEC_ID_PCM_ALAW) {
        format.mBytesPerFrame = format.mChannelsPerFrame;
        format.mBytesPerPacket = format.mBytesPerFrame;
        format.mFramesPerPacket = 1;
        format.mBitsPerChannel = 8;
    } else if (isFixedBlockCodec(parameters.codec_id) && parameters.block_align > 0) {
        format.mBytesPerPacket = std::uint32_t(parameters.block_align);
    }
    return format;
}

bool parametersFromDescription(const AudioStreamBasicDescription& format, const StreamSetup& setup,
                               AVCodecParameters& parameters)
{
    if (!(format.mSampleRate > 0) || !std::isfinite(format.mSampleRate) ||
        format.mSampleRate > 1e7 || format.mChannelsPerFrame == 0 || format.mChannelsPerFrame > 64)
        return false;

    AVCodecID codec = AV_CODEC_ID_NONE;
    if (format.mFormatID == AudioFormat::LinearPCM) {
        if (format.mBytesPerFrame == 0 || format.mBytesPerFrame % format.mChannelsPerFrame != 0)
            return false;
        const std::uint32_t bytesPerSample = format.mBytesPerFrame / format.mChannelsPerFrame;
        const bool isFloat = format.mFormatFlags & AudioFormatFlag::IsFloat;
        const bool isBigEndian = format.mFormatFlags & AudioFormatFlag::IsBigEndian;
        const bool isSigned = isFloat || (format.mFormatFlags & AudioFormatFlag::IsSignedInteger);
        for (const auto& pcm : kPcmCodecs) {
            if (pcm.bytesPerSample == bytesPerSample && pcm.isFloat == isFloat &&
                (pcm.isBigEndian == isBigEndian || bytesPerSample == 1) &&
                pcm.isSigned == isSigned) {
                codec = pcm.codec;
                break;
            }
        }
    } else if (format.mFormatID == AudioFormat::ServiceCodec) {
        codec = AVCodecID(format.mFormatFlags);
        if (!avcodec_descriptor_get(codec) || avcodec_get_type(codec) != AVMEDIA_TYPE_AUDIO)
            return false;
    } else {
        for (const auto& compressed : kCompressedCodecs)
            if (compressed.format == format.mFormatID)
                codec = compressed.codec;
    }
    if (codec == AV_CODEC_ID_NONE)
        return false;

    parameters.codec_type = AVMEDIA_TYPE_AUDIO;
    parameters.codec_id = codec;
    parameters.codec_tag = 0;
    parameters.sample_rate = int(std::lround(format.mSampleRate));
    av_channel_layout_uninit(&parameters.ch_layout);
    const int channels = int(format.mChannelsPerFrame);
    if (setup.channelMask && *setup.channelMask && av_popcount64(*setup.channelMask) == channels) {
        av_channel_layout_from_mask(&parameters.ch_layout, *setup.channelMask);
    } else if (setup.channelMask) {
        parameters.ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        parameters.ch_layout.nb_channels = channels;
    } else {
        av_channel_layout_default(&parameters.ch_layout, channels);
    }
    parameters.bits_per_coded_sample = int(format.mBitsPerChannel);
    if (isPcmCodec(codec))
        parameters.bits_per_raw_sample = int(format.mBitsPerChannel);
    parameters.block_align = int(format.mBytesPerPacket);
    parameters.frame_size = int(format.mFramesPerPacket);
    parameters.bit_rate = setup.bitRate;

    av_freep(&parameters.extradata);
    parameters.extradata_size = 0;
    if (!setup.extradata.empty()) {
        const auto size = setup.extradata.size();
        if (size > 1 << 24)
            return false;
        parameters.extradata =
            static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!parameters.extradata)
            return false;
        std::memcpy(parameters.extradata, setup.extradata.data(), size);
        parameters.extradata_size = int(size);
    }
    return true;
}

std::optional<std::uint64_t> recordedChannelMask(const AVChannelLayout& layout)
{
    AVChannelLayout standard{};
    av_channel_layout_default(&standard, layout.nb_channels);
    const bool isDefault = av_channel_layout_compare(&layout, &standard) == 0;
    av_channel_layout_uninit(&standard);
    if (isDefault)
        return std::nullopt;
    if (layout.order == AV_CHANNEL_ORDER_NATIVE)
        return layout.u.mask;
    // Mono and stereo without a stated order are written as their usual layout anyway.
    if (layout.nb_channels <= 2)
        return std::nullopt;
    return 0;
}

} // namespace cleftone::audiofile
