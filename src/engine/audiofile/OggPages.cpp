#include "engine/audiofile/OggPages.h"

#include <cstring>
#include <ogg/ogg.h>

namespace cleftone::audiofile {

namespace {

std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

void putLe32(std::uint8_t* p, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(value >> (8 * i));
}

// The fixed 27 bytes and the lacing values of a page header.
bool parseHeader(std::span<const std::uint8_t> header, OggPage& page)
{
    if (header.size() < 27 || !startsOggPage(header))
        return false;
    page.flags = header[5];
    std::uint64_t granule = 0;
    for (int i = 7; i >= 0; --i)
        granule = (granule << 8) | header[6 + std::size_t(i)];
    page.granule = std::int64_t(granule);
    page.serial = le32(&header[14]);
    page.sequence = le32(&header[18]);
    page.segmentCount = header[26];
    if (header.size() < page.headerSize())
        return false;
    page.bodySize = 0;
    for (std::size_t i = 0; i < page.segmentCount; ++i) {
        page.lacing[i] = header[27 + i];
        page.bodySize += page.lacing[i];
    }
    return true;
}

// libogg's checksum of a page whose header lies in `header` and whose body follows in `page`.
std::uint32_t checksumOf(std::uint8_t* header, std::span<const std::uint8_t> page)
{
    const std::size_t headerSize = 27u + header[26];
    ogg_page og{};
    og.header = header;
    og.header_len = long(headerSize);
    // libogg only reads the body.
    og.body = const_cast<unsigned char*>(page.data() + headerSize);
    og.body_len = long(page.size() - headerSize);
    ogg_page_checksum_set(&og);
    return le32(header + 22);
}

void append(std::vector<std::uint8_t>& out, const unsigned char* data, long size)
{
    out.insert(out.end(), data, data + size);
}

} // namespace

bool startsOggPage(std::span<const std::uint8_t> bytes)
{
    return bytes.size() >= 5 && std::memcmp(bytes.data(), "OggS", 4) == 0 && bytes[4] == 0;
}

std::optional<OggPage> readOggPage(const FileReader& file, std::int64_t offset, std::int64_t end)
{
    std::uint8_t header[27 + 255];
    if (offset < 0 || end - offset < 27 || !file.readAt(offset, std::span(header, 27)))
        return std::nullopt;
    const std::size_t headerSize = 27u + header[26];
    if (end - offset < std::int64_t(headerSize) ||
        !file.readAt(offset + 27, std::span(header + 27, headerSize - 27)))
        return std::nullopt;
    OggPage page;
    if (!parseHeader(std::span(header, headerSize), page) || end - offset < page.size())
        return std::nullopt;
    page.offset = offset;
    return page;
}

std::optional<OggPage> parseOggPage(std::span<const std::uint8_t> bytes)
{
    OggPage page;
    if (!parseHeader(bytes, page) || bytes.size() != page.size())
        return std::nullopt;
    return page;
}

bool oggChecksumHolds(std::span<const std::uint8_t> page)
{
    if (page.size() < 27 || page.size() < 27u + page[26])
        return false;
    std::uint8_t header[27 + 255];
    std::memcpy(header, page.data(), 27u + page[26]);
    return checksumOf(header, page) == le32(&page[22]);
}

void renumberOggPage(std::span<std::uint8_t> page, std::uint32_t sequence)
{
    putLe32(&page[18], sequence);
    checksumOf(page.data(), page);
}

std::vector<std::uint8_t> OggHeaders::encode() const
{
    std::vector<std::uint8_t> out(5);
    putLe32(out.data(), serial);
    out[4] = endStream ? 1 : 0;
    for (const auto& packet : packets) {
        const std::size_t at = out.size();
        out.resize(at + 4);
        putLe32(&out[at], std::uint32_t(packet.size()));
        out.insert(out.end(), packet.begin(), packet.end());
    }
    return out;
}

std::optional<OggHeaders> OggHeaders::decode(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 5 || bytes[4] > 1)
        return std::nullopt;
    OggHeaders headers;
    headers.serial = le32(bytes.data());
    headers.endStream = bytes[4] == 1;
    std::size_t at = 5;
    while (at < bytes.size()) {
        if (bytes.size() - at < 4)
            return std::nullopt;
        const std::size_t size = le32(&bytes[at]);
        at += 4;
        if (size > bytes.size() - at)
            return std::nullopt;
        headers.packets.emplace_back(bytes.begin() + std::ptrdiff_t(at),
                                     bytes.begin() + std::ptrdiff_t(at + size));
        at += size;
    }
    if (headers.packets.empty())
        return std::nullopt;
    return headers;
}

std::vector<std::vector<std::uint8_t>> paginateOggHeaders(const OggHeaders& headers)
{
    // libogg puts the first packet of a stream alone on its first page; flushing then lays
    // out the rest without waiting for more.
    ogg_stream_state stream;
    ogg_stream_init(&stream, int(headers.serial));
    for (std::size_t i = 0; i < headers.packets.size(); ++i) {
        const auto& bytes = headers.packets[i];
        ogg_packet packet{};
        packet.packet = const_cast<unsigned char*>(bytes.data());
        packet.bytes = long(bytes.size());
        packet.b_o_s = i == 0;
        packet.e_o_s = headers.endStream && i + 1 == headers.packets.size();
        packet.granulepos = 0;
        packet.packetno = ogg_int64_t(i);
        ogg_stream_packetin(&stream, &packet);
    }
    std::vector<std::vector<std::uint8_t>> pages;
    ogg_page page;
    while (ogg_stream_flush(&stream, &page) != 0) {
        std::vector<std::uint8_t>& out = pages.emplace_back();
        out.reserve(std::size_t(page.header_len + page.body_len));
        append(out, page.header, page.header_len);
        append(out, page.body, page.body_len);
    }
    ogg_stream_clear(&stream);
    return pages;
}

} // namespace cleftone::audiofile
