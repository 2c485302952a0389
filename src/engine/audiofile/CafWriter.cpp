#include "engine/audiofile/CafWriter.h"

#include <cstring>

namespace cleftone::audiofile {

namespace {

// An MPEG-4 descriptor: tag, then its length in the four-byte form Apple's encoders write.
void putDescriptor(std::vector<std::uint8_t>& out, std::uint8_t tag, std::uint32_t length)
{
    out.push_back(tag);
    out.push_back(std::uint8_t(0x80 | ((length >> 21) & 0x7F)));
    out.push_back(std::uint8_t(0x80 | ((length >> 14) & 0x7F)));
    out.push_back(std::uint8_t(0x80 | ((length >> 7) & 0x7F)));
    out.push_back(std::uint8_t(length & 0x7F));
}

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(value >> shift));
}

// CAF's AAC magic cookie: the elementary stream descriptor of an MP4 'esds' box, which holds
// the AudioSpecificConfig.
std::vector<std::uint8_t> aacCookie(const std::vector<std::uint8_t>& config, std::int64_t bitRate)
{
    const auto configSize = std::uint32_t(config.size());
    const std::uint32_t decoderConfigSize = 13 + 5 + configSize;
    const std::uint32_t esSize = 3 + 5 + decoderConfigSize + 5 + 1;
    std::vector<std::uint8_t> out;
    putDescriptor(out, 0x03, esSize);
    out.insert(out.end(), {0, 0, 0}); // ES_ID, flags
    putDescriptor(out, 0x04, decoderConfigSize);
    out.push_back(0x40);              // object type: MPEG-4 audio
    out.push_back(0x15);              // stream type: audio
    out.insert(out.end(), {0, 0, 0}); // buffer size
    const auto rate = std::uint32_t(bitRate > 0 && bitRate < INT32_MAX ? bitRate : 0);
    putBe32(out, rate); // maximum bit rate
    putBe32(out, rate); // average bit rate
    putDescriptor(out, 0x05, configSize);
    out.insert(out.end(), config.begin(), config.end());
    putDescriptor(out, 0x06, 1);
    out.push_back(0x02); // SL config: predefined for MP4
    return out;
}

void writeChunkHeader(AVIOContext* io, const char (&id)[5], std::int64_t size)
{
    avio_wb32(io, fourCC(id));
    avio_wb64(io, std::uint64_t(size));
}

} // namespace

CafWriter::CafWriter(const AudioStreamBasicDescription& format, const StreamSetup& setup)
    : m_format(format), m_setup(setup)
{}

bool CafWriter::start(AVIOContext* io)
{
    const auto& config = m_setup.extradata;
    if (config.size() < 2 || config.size() > 64)
        return false;
    avio_wb32(io, fourCC("caff"));
    avio_wb16(io, 1); // version
    avio_wb16(io, 0); // flags

    writeChunkHeader(io, "desc", 32);
    std::uint64_t rate = 0;
    std::memcpy(&rate, &m_format.mSampleRate, sizeof rate);
    avio_wb64(io, rate);
    avio_wb32(io, AudioFormat::MPEG4AAC);
    avio_wb32(io, std::uint32_t(config[0] >> 3)); // the MPEG-4 audio object type
    avio_wb32(io, 0);                             // bytes per packet: variable
    avio_wb32(io, m_format.mFramesPerPacket ? m_format.mFramesPerPacket : 1024);
    avio_wb32(io, m_format.mChannelsPerFrame);
    avio_wb32(io, 0); // bits per channel: none for compressed audio

    const auto cookie =
        m_setup.cafCookie.empty() ? aacCookie(config, m_setup.bitRate) : m_setup.cafCookie;
    writeChunkHeader(io, "kuki", std::int64_t(cookie.size()));
    avio_write(io, cookie.data(), int(cookie.size()));

    // The data chunk comes before the packet table so that packets stream straight out; its
    // size is set at the end.
    m_dataSizeOffset = avio_tell(io) + 4;
    writeChunkHeader(io, "data", -1);
    avio_wb32(io, 0); // edit count
    return true;
}

void CafWriter::addPacket(std::uint32_t size, std::int64_t frames)
{
    std::uint8_t bytes[5];
    int count = 0;
    do {
        bytes[count++] = std::uint8_t(size & 0x7F);
        size >>= 7;
    } while (size);
    while (count > 0) {
        --count;
        m_sizes.push_back(std::uint8_t(bytes[count] | (count ? 0x80 : 0)));
    }
    m_frames += frames;
    ++m_packets;
}

OSStatus CafWriter::finish(AVIOContext* io)
{
    const std::int64_t end = avio_tell(io);
    avio_seek(io, m_dataSizeOffset, SEEK_SET);
    avio_wb64(io, std::uint64_t(end - (m_dataSizeOffset + 8)));
    avio_seek(io, end, SEEK_SET);

    // A copy without packets has no delay or padding to describe.
    const std::int64_t priming = m_packets ? m_setup.primingFrames : 0;
    const std::int64_t remainder = m_packets ? m_setup.remainderFrames : 0;
    const std::int64_t valid = m_frames - priming - remainder;
    if (priming < 0 || remainder < 0 || valid < 0 || priming > UINT32_MAX || remainder > UINT32_MAX)
        return AudioFileError::UnsupportedDataFormat;
    writeChunkHeader(io, "pakt", 24 + std::int64_t(m_sizes.size()));
    avio_wb64(io, m_packets);
    avio_wb64(io, std::uint64_t(valid));
    avio_wb32(io, std::uint32_t(priming));
    avio_wb32(io, std::uint32_t(remainder));
    if (!m_sizes.empty())
        avio_write(io, m_sizes.data(), int(m_sizes.size()));
    return 0;
}

} // namespace cleftone::audiofile
