#include "engine/audiofile/OutputAiff.h"

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/OutputAudioFile.h"

#include <cmath>
#include <cstring>

// The service's own AIFF and AIFF-C writer: FORM, FVER, COMM and SSND, nothing else.
namespace cleftone::audiofile {

namespace {

// AIFF's COMM chunk stores the sample rate as an 80-bit IEEE extended float.
void writeExtended(AVIOContext* io, double value)
{
    std::uint16_t exponent = 0;
    std::uint64_t mantissa = 0;
    if (value > 0) {
        int binaryExponent = 0;
        const double fraction = std::frexp(value, &binaryExponent); // value = fraction * 2^exp
        exponent = std::uint16_t(binaryExponent - 1 + 16383);
        mantissa = std::uint64_t(std::ldexp(fraction, 64));
    }
    avio_wb16(io, exponent);
    avio_wb64(io, mantissa);
}

constexpr AiffCompression kAiffCompressions[] = {
    {AV_CODEC_ID_PCM_S8, fourCC("NONE"), "not compressed"},
    {AV_CODEC_ID_PCM_S16BE, fourCC("NONE"), "not compressed"},
    {AV_CODEC_ID_PCM_S24BE, fourCC("NONE"), "not compressed"},
    {AV_CODEC_ID_PCM_S32BE, fourCC("NONE"), "not compressed"},
    {AV_CODEC_ID_PCM_S16LE, fourCC("sowt"), ""},
    {AV_CODEC_ID_PCM_F32BE, fourCC("fl32"), "32-bit floating point"},
    {AV_CODEC_ID_PCM_F64BE, fourCC("fl64"), "64-bit floating point"},
    {AV_CODEC_ID_PCM_MULAW, fourCC("ulaw"), "\xB5Law 2:1"},
    {AV_CODEC_ID_PCM_ALAW, fourCC("alaw"), "ALaw 2:1"},
    {AV_CODEC_ID_PCM_U8, fourCC("raw "), ""},
};

} // namespace

const AiffCompression* findAiffCompression(AVCodecID codec)
{
    for (const auto& compression : kAiffCompressions)
        if (compression.codec == codec)
            return &compression;
    return nullptr;
}

OSStatus OutputAudioFile::startAiff()
{
    const bool aifc = m_type == AudioFileType::AIFC;
    const AiffCompression* compression = findAiffCompression(m_codec);
    if (!compression)
        return AudioFileError::UnsupportedDataFormat;

    AVIOContext* io = m_io.get();
    avio_wb32(io, fourCC("FORM"));
    avio_wb32(io, 0); // patched at the end
    avio_wb32(io, aifc ? fourCC("AIFC") : fourCC("AIFF"));
    if (aifc) {
        avio_wb32(io, fourCC("FVER"));
        avio_wb32(io, 4);
        avio_wb32(io, 0xA2805140); // AIFC version 1
    }

    const std::size_t nameLength = std::strlen(compression->name);
    // The compression name is a Pascal string padded to an even length.
    const std::size_t nameBytes = (1 + nameLength + 1) & ~std::size_t(1);
    avio_wb32(io, fourCC("COMM"));
    avio_wb32(io, std::uint32_t(aifc ? 18 + 4 + nameBytes : 18));
    avio_wb16(io, std::uint16_t(m_format.mChannelsPerFrame));
    m_aiffFramesOffset = avio_tell(io);
    avio_wb32(io, 0); // frame count, patched at the end
    std::uint32_t bits = m_format.mBitsPerChannel;
    if (compression->tag == fourCC("ulaw") || compression->tag == fourCC("alaw"))
        bits = 16;
    avio_wb16(io, std::uint16_t(bits));
    writeExtended(io, m_format.mSampleRate);
    if (aifc) {
        avio_wb32(io, compression->tag);
        avio_w8(io, std::uint8_t(nameLength));
        avio_write(io, reinterpret_cast<const unsigned char*>(compression->name), int(nameLength));
        if ((1 + nameLength) & 1)
            avio_w8(io, 0);
    }
    avio_wb32(io, fourCC("SSND"));
    avio_wb32(io, 0); // patched at the end
    avio_wb32(io, 0); // offset
    avio_wb32(io, 0); // block size
    m_aiffDataOffset = avio_tell(io);
    return 0;
}

OSStatus OutputAudioFile::finishAiff()
{
    AVIOContext* io = m_io.get();
    if (m_bytesWritten & 1)
        avio_w8(io, 0);
    const std::int64_t end = avio_tell(io);
    if (end - 8 > 0xFFFFFFFFll)
        return AudioFileError::UnsupportedDataFormat; // larger than AIFF can describe
    avio_seek(io, 4, SEEK_SET);
    avio_wb32(io, std::uint32_t(end - 8));
    avio_seek(io, m_aiffFramesOffset, SEEK_SET);
    const std::uint64_t frames =
        m_format.mBytesPerFrame ? m_bytesWritten / m_format.mBytesPerFrame : m_nextFrame;
    avio_wb32(io, std::uint32_t(frames));
    avio_seek(io, m_aiffDataOffset - 12, SEEK_SET);
    avio_wb32(io, std::uint32_t(8 + m_bytesWritten));
    avio_seek(io, end, SEEK_SET);
    return 0;
}

} // namespace cleftone::audiofile
