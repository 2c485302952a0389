#include "engine/audiofile/OggHeaders.h"

#include <cstring>
#include <optional>
#include <string_view>

namespace cleftone::audiofile {

namespace {

// Header packets up to this size are held whole; a larger one (a comment header full of
// pictures) only as far as its vendor string can reach.
constexpr std::size_t kWholeLimit = 4 << 20;
constexpr std::size_t kPrefixLimit = 64 << 10;
// What all held header packets of one stream may add up to, and how many there may be.
constexpr std::size_t kHeldLimit = 16 << 20;
constexpr std::size_t kMaxPackets = 1024;
constexpr std::uint32_t kMaxSpeexExtraHeaders = 16;

constexpr std::uint8_t kFlacSeekTable = 3;
constexpr std::uint8_t kFlacComment = 4;

using Bytes = std::vector<std::uint8_t>;

std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

void putLe32(Bytes& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(std::uint8_t(value >> (8 * i)));
}

std::uint32_t be24(const std::uint8_t* p)
{
    return (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | std::uint32_t(p[2]);
}

bool startsWith(const Bytes& bytes, std::string_view magic)
{
    return bytes.size() >= magic.size() &&
           std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

// A comment list (vendor string, count, comments) at `at`, as Vorbis, Opus, Speex and FLAC
// write it: the same list with the vendor string alone. With `framing`, the Vorbis framing bit
// follows the list. When the whole packet is held, the list must hold together to its end, and
// where it ends goes to `listEnd`.
std::optional<Bytes> keepVendorOnly(const Bytes& packet, bool whole, std::size_t at, bool framing,
                                    std::size_t* listEnd = nullptr)
{
    if (packet.size() < at + 4)
        return std::nullopt;
    const std::size_t vendorSize = le32(&packet[at]);
    if (vendorSize > packet.size() - at - 4)
        return std::nullopt;
    const std::size_t vendorEnd = at + 4 + vendorSize;
    if (whole) {
        std::size_t pos = vendorEnd;
        if (packet.size() - pos < 4)
            return std::nullopt;
        const std::uint32_t count = le32(&packet[pos]);
        pos += 4;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (packet.size() - pos < 4)
                return std::nullopt;
            const std::size_t size = le32(&packet[pos]);
            pos += 4;
            if (size > packet.size() - pos)
                return std::nullopt;
            pos += size;
        }
        if (framing && (pos == packet.size() || !(packet[pos] & 1)))
            return std::nullopt;
        if (listEnd)
            *listEnd = pos + (framing ? 1 : 0);
    }
    Bytes out(packet.begin(), packet.begin() + std::ptrdiff_t(vendorEnd));
    putLe32(out, 0);
    if (framing)
        out.push_back(1);
    return out;
}

} // namespace

namespace {

struct Magic {
    std::string_view magic;
    OggContent content;
    const char* name;
};

const Magic* magicOf(std::span<const std::uint8_t> firstBytes)
{
    static constexpr Magic kMagics[] = {
        {"\x01vorbis", OggContent::Vorbis, "Vorbis"},
        {"OpusHead", OggContent::Opus, "Opus"},
        {"Speex   ", OggContent::Speex, "Speex"},
        {"\x7f"
         "FLAC",
         OggContent::Flac, "FLAC"},
        {"CELT    ", OggContent::OtherAudio, "CELT"},
        {"PCM     ", OggContent::OtherAudio, "PCM"},
        {"fLaC", OggContent::OtherAudio, "FLAC"},
        {"\x01"
         "audio",
         OggContent::OtherAudio, "OGM"},
        {"\x80theora", OggContent::Video, "Theora"},
        {"BBCD", OggContent::Video, "Dirac"},
        {"KW-DIRAC", OggContent::Video, "Dirac"},
        {"OVP80", OggContent::Video, "VP8"},
        {"\x80"
         "daala",
         OggContent::Video, "Daala"},
        {"\x01video", OggContent::Video, "OGM"},
        {"fishead", OggContent::Other, "Skeleton"},
        {"\x80kate", OggContent::Other, "Kate"},
        {"CMML", OggContent::Other, "CMML"},
    };
    const std::string_view bytes(reinterpret_cast<const char*>(firstBytes.data()),
                                 firstBytes.size());
    for (const Magic& magic : kMagics)
        if (bytes.starts_with(magic.magic))
            return &magic;
    return nullptr;
}

} // namespace

OggContent identifyOggContent(std::span<const std::uint8_t> firstBytes)
{
    const Magic* magic = magicOf(firstBytes);
    return magic ? magic->content : OggContent::Other;
}

std::string oggStreamName(std::span<const std::uint8_t> firstBytes)
{
    const Magic* magic = magicOf(firstBytes);
    if (!magic)
        return "unknown";
    const std::string name = magic->name;
    switch (magic->content) {
    case OggContent::Video:
        return "video (" + name + ")";
    case OggContent::Other:
        return name;
    default:
        return "audio (" + name + ")";
    }
}

bool OggHeaderGatherer::headersDone() const
{
    const std::size_t count = m_packets.size();
    const Bytes& first = m_packets.front().bytes;
    switch (m_content) {
    case OggContent::Vorbis:
        return count == 3;
    case OggContent::Opus:
        return count == 2;
    case OggContent::Speex:
        // The identification header says how many extra headers follow the comments.
        return first.size() < 80 || le32(&first[68]) > kMaxSpeexExtraHeaders ||
               count == 2 + le32(&first[68]);
    case OggContent::Flac: {
        // Each metadata block says whether it is the last; the first packet holds STREAMINFO.
        const Bytes& last = m_packets.back().bytes;
        if (count == 1)
            return first.size() <= 13 || (first[13] & 0x80);
        return last.empty() || (last[0] & 0x80);
    }
    default:
        return true;
    }
}

std::size_t OggHeaderGatherer::holdLimit() const
{
    // Of the FLAC blocks a strip drops, only the block header is needed.
    if (m_content == OggContent::Flac && !m_packets.empty() && !m_current.bytes.empty()) {
        const int type = m_current.bytes[0] & 0x7F;
        if (type != kFlacSeekTable && type != kFlacComment)
            return 4;
    }
    return kWholeLimit;
}

OSStatus OggHeaderGatherer::addPage(const OggPage& page, std::span<const std::uint8_t> body)
{
    if (page.continued() != m_pending || body.size() != page.bodySize)
        return AudioFileError::InvalidFile;
    std::size_t at = 0;
    for (std::size_t i = 0; i < page.segmentCount; ++i) {
        if (m_complete) {
            m_audioSegment = i;
            return 0;
        }
        const std::size_t length = page.lacing[i];
        const bool wasWhole = m_current.whole();
        m_current.size += length;
        if (wasWhole) {
            m_current.bytes.insert(m_current.bytes.end(), body.begin() + std::ptrdiff_t(at),
                                   body.begin() + std::ptrdiff_t(at + length));
            const std::size_t limit = holdLimit();
            if (m_current.bytes.size() > limit)
                m_current.bytes.resize(limit == kWholeLimit ? kPrefixLimit : limit);
        }
        at += length;
        if (length == 255)
            continue;
        m_held += m_current.bytes.size();
        m_packets.push_back(std::move(m_current));
        m_current = Packet{};
        if (m_packets.size() > kMaxPackets || m_held > kHeldLimit)
            return AudioFileError::UnsupportedDataFormat;
        m_complete = headersDone();
    }
    if (page.segmentCount > 0)
        m_pending = page.lacing[page.segmentCount - 1] == 255;
    return 0;
}

OSStatus OggHeaderGatherer::strip(std::vector<std::vector<std::uint8_t>>& out,
                                  std::vector<MetadataBlock>* dropped) const
{
    out.clear();
    if (!m_complete)
        return AudioFileError::InvalidFile;
    const auto whole = [this](std::size_t i, std::size_t minimum, std::string_view magic) {
        const Packet& packet = m_packets[i];
        return packet.whole() && packet.size >= minimum && startsWith(packet.bytes, magic);
    };
    const auto keep = [this, &out](std::size_t i) {
        out.push_back(m_packets[i].bytes);
        return true;
    };
    const auto comments = [this, &out, dropped](std::size_t i, std::string_view magic, bool framing,
                                                const char* codec) {
        const Packet& packet = m_packets[i];
        std::optional<Bytes> kept;
        std::size_t listEnd = packet.size;
        if (startsWith(packet.bytes, magic))
            kept = keepVendorOnly(packet.bytes, packet.whole(), magic.size(), framing, &listEnd);
        if (!kept)
            return false;
        if (dropped) {
            dropped->push_back({"comments", codec, std::int64_t(listEnd - kept->size())});
            if (packet.size > listEnd)
                dropped->push_back({"commentData", codec, std::int64_t(packet.size - listEnd)});
        }
        out.push_back(std::move(*kept));
        return true;
    };
    bool valid = false;
    switch (m_content) {
    case OggContent::Vorbis:
        valid = whole(0, 30, "\x01vorbis") && whole(2, 7, "\x05vorbis") && keep(0) &&
                comments(1, "\x03vorbis", true, "Vorbis") && keep(2);
        break;
    case OggContent::Opus:
        valid = whole(0, 19, "OpusHead") && keep(0) && comments(1, "OpusTags", false, "Opus");
        break;
    case OggContent::Speex:
        // Extra headers after the comments belong to the codec's setup and stay.
        valid = whole(0, 80, "Speex   ") && m_packets.size() >= 2 && keep(0) &&
                comments(1, "", false, "Speex");
        for (std::size_t i = 2; valid && i < m_packets.size(); ++i)
            valid = m_packets[i].whole() && keep(i);
        break;
    case OggContent::Flac:
        return stripFlac(out, dropped);
    default:
        break;
    }
    if (!valid)
        out.clear();
    return valid ? 0 : AudioFileError::InvalidFile;
}

OSStatus OggHeaderGatherer::stripFlac(std::vector<std::vector<std::uint8_t>>& out,
                                      std::vector<MetadataBlock>* dropped) const
{
    static constexpr const char* kBlockNames[] = {"STREAMINFO", "PADDING",        "APPLICATION",
                                                  "SEEKTABLE",  "VORBIS_COMMENT", "CUESHEET",
                                                  "PICTURE"};
    std::vector<MetadataBlock> left;
    // The first packet: 0x7F "FLAC", mapping version 1.x, the number of header packets that
    // follow, "fLaC" and the STREAMINFO block.
    const Packet& first = m_packets[0];
    const Bytes& head = first.bytes;
    if (!first.whole() || first.size != 51 ||
        !startsWith(head, "\x7f"
                          "FLAC") ||
        head[5] != 1 || std::memcmp(&head[9], "fLaC", 4) != 0 || (head[13] & 0x7F) != 0 ||
        be24(&head[14]) != 34)
        return AudioFileError::InvalidFile;
    out.push_back(head);
    // The mapping wants a VORBIS_COMMENT block first among the others: an empty one keeps the
    // stream's vendor string, as the comment headers of the other codecs do.
    std::vector<Bytes> seekTables;
    for (std::size_t i = 1; i < m_packets.size(); ++i) {
        const Packet& block = m_packets[i];
        if (block.bytes.size() < 4 || be24(&block.bytes[1]) != block.size - 4)
            return AudioFileError::InvalidFile;
        const int type = block.bytes[0] & 0x7F;
        if (type == 0 || type == 127)
            return AudioFileError::InvalidFile;
        if (type == kFlacComment && out.size() == 1) {
            std::optional<Bytes> comment = keepVendorOnly(block.bytes, block.whole(), 4, false);
            if (!comment)
                return AudioFileError::InvalidFile;
            left.push_back({"comments", "FLAC", std::int64_t(block.size - comment->size())});
            out.push_back(std::move(*comment));
        } else if (type == kFlacSeekTable) {
            if (!block.whole())
                return AudioFileError::UnsupportedDataFormat;
            seekTables.push_back(block.bytes);
        } else {
            left.push_back({"flacBlock",
                            type < 7 ? kBlockNames[type] : "type " + std::to_string(type),
                            std::int64_t(block.size)});
        }
    }
    if (dropped)
        dropped->insert(dropped->end(), left.begin(), left.end());
    out.insert(out.end(), seekTables.begin(), seekTables.end());
    // The first packet counts the blocks that follow; the last block says it is the last.
    const std::size_t blocks = out.size() - 1;
    out[0][7] = std::uint8_t(blocks >> 8);
    out[0][8] = std::uint8_t(blocks);
    out[0][13] = blocks == 0 ? 0x80 : 0x00;
    for (std::size_t i = 1; i < out.size(); ++i) {
        Bytes& block = out[i];
        const std::size_t length = block.size() - 4;
        block[0] = std::uint8_t((block[0] & 0x7F) | (i == blocks ? 0x80 : 0));
        block[1] = std::uint8_t(length >> 16);
        block[2] = std::uint8_t(length >> 8);
        block[3] = std::uint8_t(length);
    }
    return 0;
}

} // namespace cleftone::audiofile
