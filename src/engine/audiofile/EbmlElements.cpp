#include "engine/audiofile/EbmlElements.h"

#include <algorithm>
#include <array>
#include <bit>

namespace cleftone::audiofile::ebml {

namespace {

// The largest size a field of `width` bytes holds; all ones is the unknown size.
std::uint64_t largestSize(int width)
{
    return (std::uint64_t(1) << (7 * width)) - 2;
}

const std::array<std::uint32_t, 256>& crcTable()
{
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

} // namespace

std::optional<Header> parseHeader(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty() || bytes[0] < 0x10) // IDs are 1 to 4 bytes
        return std::nullopt;
    Header header;
    header.idLength = std::countl_zero(bytes[0]) + 1;
    if (bytes.size() < std::size_t(header.idLength) + 1)
        return std::nullopt;
    for (int i = 0; i < header.idLength; ++i)
        header.id = (header.id << 8) | bytes[std::size_t(i)];

    const std::uint8_t first = bytes[std::size_t(header.idLength)];
    if (first == 0) // size fields are 1 to 8 bytes
        return std::nullopt;
    header.sizeLength = std::countl_zero(first) + 1;
    if (bytes.size() < std::size_t(header.length()))
        return std::nullopt;
    std::uint64_t size = first & (0xFFu >> header.sizeLength);
    bool allOnes = size == (0xFFu >> header.sizeLength);
    for (int i = 1; i < header.sizeLength; ++i) {
        const std::uint8_t b = bytes[std::size_t(header.idLength + i)];
        size = (size << 8) | b;
        allOnes = allOnes && b == 0xFF;
    }
    header.size = allOnes ? kUnknownSize : size;
    return header;
}

int idLength(std::uint32_t id)
{
    return id > 0xFFFFFF ? 4 : id > 0xFFFF ? 3 : id > 0xFF ? 2 : 1;
}

std::uint64_t readUnsigned(std::span<const std::uint8_t> data)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < std::min<std::size_t>(data.size(), 8); ++i)
        value = (value << 8) | data[i];
    return value;
}

int unsignedWidth(std::uint64_t value)
{
    return (64 - std::countl_zero(value) + 7) / 8;
}

int sizeFieldWidth(std::uint64_t size, int preferred)
{
    int width = std::clamp(preferred, 1, 8);
    while (width < 8 && size > largestSize(width))
        ++width;
    return width;
}

void appendId(std::vector<std::uint8_t>& out, std::uint32_t id)
{
    for (int shift = 8 * (idLength(id) - 1); shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(id >> shift));
}

void appendSize(std::vector<std::uint8_t>& out, std::uint64_t size, int width)
{
    const std::uint64_t value = size == kUnknownSize ? (std::uint64_t(1) << (7 * width)) - 1 : size;
    for (int i = width - 1; i >= 0; --i) {
        std::uint8_t b = std::uint8_t(value >> (8 * i));
        if (i == width - 1)
            b |= std::uint8_t(0x80u >> (width - 1));
        out.push_back(b);
    }
}

void appendUnsigned(std::vector<std::uint8_t>& out, std::uint32_t id, std::uint64_t value,
                    int width)
{
    width = std::clamp(std::max(width, unsignedWidth(value)), 0, 8);
    appendId(out, id);
    appendSize(out, std::uint64_t(width), 1);
    for (int i = width - 1; i >= 0; --i)
        out.push_back(std::uint8_t(value >> (8 * i)));
}

int unsignedElementSize(std::uint32_t id, std::uint64_t value, int width)
{
    return idLength(id) + 1 + std::clamp(std::max(width, unsignedWidth(value)), 0, 8);
}

void appendMaster(std::vector<std::uint8_t>& out, std::uint32_t id, int sizeWidth, bool withCrc,
                  std::span<const std::uint8_t> body, bool unknownSize)
{
    const std::uint64_t size = body.size() + (withCrc ? kCrcElementSize : 0);
    appendId(out, id);
    if (unknownSize)
        appendSize(out, kUnknownSize, std::clamp(sizeWidth, 1, 8));
    else
        appendSize(out, size, sizeFieldWidth(size, sizeWidth));
    if (withCrc)
        appendCrcElement(out, crc32(body));
    out.insert(out.end(), body.begin(), body.end());
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc)
{
    const auto& table = crcTable();
    crc = ~crc;
    for (const std::uint8_t b : bytes)
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void appendCrcElement(std::vector<std::uint8_t>& out, std::uint32_t crc)
{
    // The checksum is stored little-endian, unlike every other EBML number.
    out.insert(out.end(), {0xBF, 0x84, std::uint8_t(crc), std::uint8_t(crc >> 8),
                           std::uint8_t(crc >> 16), std::uint8_t(crc >> 24)});
}

std::optional<std::vector<Child>> children(std::span<const std::uint8_t> body)
{
    std::vector<Child> list;
    std::size_t at = 0;
    while (at < body.size()) {
        const auto header = parseHeader(body.subspan(at));
        if (!header || header->unknownSize() ||
            header->size > body.size() - at - std::size_t(header->length()))
            return std::nullopt;
        const std::size_t whole = std::size_t(header->length()) + std::size_t(header->size);
        list.push_back(
            Child{*header, body.subspan(at, whole),
                  body.subspan(at + std::size_t(header->length()), std::size_t(header->size))});
        at += whole;
    }
    return list;
}

} // namespace cleftone::audiofile::ebml
