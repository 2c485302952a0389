#include "engine/audiofile/WavPackBlocks.h"

#include <cstring>

namespace cleftone::audiofile {

namespace {

constexpr std::uint8_t kIdRiffHeader = 0x21;
constexpr std::uint8_t kIdRiffTrailer = 0x22;
constexpr std::uint8_t kIdBlockChecksum = 0x2f;
constexpr std::uint8_t kIdMask = 0x3f;
constexpr std::uint8_t kOddSize = 0x40;
constexpr std::uint8_t kLargeSize = 0x80;
constexpr std::int64_t kHeaderSize = 32;
// The format caps a block at a little over a megabyte; more is damage.
constexpr std::int64_t kMaxBlockSize = 16 << 20;

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

struct SubBlock {
    std::uint8_t id; // without the size flags
    std::size_t begin;
    std::size_t data;
    std::size_t dataSize; // without the pad byte of an odd size
    std::size_t end;
};

std::optional<std::vector<SubBlock>> subBlocks(const std::vector<std::uint8_t>& block)
{
    std::vector<SubBlock> result;
    std::size_t at = kHeaderSize;
    while (at < block.size()) {
        const std::uint8_t id = block[at];
        const bool large = id & kLargeSize;
        const std::size_t headerSize = large ? 4 : 2;
        if (at + headerSize > block.size())
            return std::nullopt;
        std::size_t words = block[at + 1];
        if (large)
            words |= std::size_t(block[at + 2]) << 8 | std::size_t(block[at + 3]) << 16;
        const std::size_t data = at + headerSize;
        if (data + 2 * words > block.size() || ((id & kOddSize) && words == 0))
            return std::nullopt;
        result.push_back({std::uint8_t(id & kIdMask), at, data,
                          2 * words - ((id & kOddSize) ? 1 : 0), data + 2 * words});
        at = data + 2 * words;
    }
    return result;
}

// WavPack's block checksum: every 16-bit word of the block in front of the checksum itself.
std::uint32_t blockChecksum(const std::uint8_t* data, std::size_t bytes)
{
    std::uint32_t sum = 0xFFFFFFFFu;
    for (std::size_t i = 0; i + 1 < bytes; i += 2)
        sum = sum * 3 + data[i] + (std::uint32_t(data[i + 1]) << 8);
    return sum;
}

std::uint32_t foldedChecksum(std::uint32_t sum, std::size_t size)
{
    return size == 4 ? sum : (sum ^ (sum >> 16)) & 0xFFFF;
}

bool checksumHolds(const std::vector<std::uint8_t>& block, const SubBlock& checksum)
{
    if (checksum.dataSize != 2 && checksum.dataSize != 4)
        return false;
    std::uint32_t stored = block[checksum.data] | (std::uint32_t(block[checksum.data + 1]) << 8);
    if (checksum.dataSize == 4)
        stored = le32(block.data() + checksum.data);
    return foldedChecksum(blockChecksum(block.data(), checksum.begin), checksum.dataSize) == stored;
}

void appendSubBlock(std::vector<std::uint8_t>& out, std::uint8_t id, const std::uint8_t* data,
                    std::size_t size)
{
    const std::size_t words = (size + 1) / 2;
    const bool large = words > 0xFF;
    out.push_back(std::uint8_t(id | ((size & 1) ? kOddSize : 0) | (large ? kLargeSize : 0)));
    out.push_back(std::uint8_t(words));
    if (large) {
        out.push_back(std::uint8_t(words >> 8));
        out.push_back(std::uint8_t(words >> 16));
    }
    out.insert(out.end(), data, data + size);
    if (size & 1)
        out.push_back(0);
}

bool isAudioChunk(const std::uint8_t* id)
{
    return std::memcmp(id, "fmt ", 4) == 0 || std::memcmp(id, "fact", 4) == 0;
}

// The chunks of a stored RIFF header (up to and including the data chunk's header) or trailer
// (whole chunks after the data), without those that do not describe the audio.
struct Filtered {
    std::vector<std::uint8_t> bytes;
    std::uint32_t removedBytes = 0;
    bool understood = true;
};

Filtered filterChunks(const std::uint8_t* data, std::size_t size, std::size_t at,
                      std::vector<MetadataBlock>& removed, const char* where)
{
    Filtered out;
    out.bytes.assign(data, data + at);
    while (at + 8 <= size) {
        const std::uint8_t* chunk = data + at;
        if (std::memcmp(chunk, "data", 4) == 0) { // the header ends with the data chunk's header
            out.bytes.insert(out.bytes.end(), chunk, data + size);
            return out;
        }
        const std::size_t body = le32(chunk + 4);
        const std::size_t whole = 8 + body + (body & 1);
        if (whole > size - at) {
            out.understood = false;
            return out;
        }
        if (isAudioChunk(chunk)) {
            out.bytes.insert(out.bytes.end(), chunk, chunk + whole);
        } else {
            removed.push_back({where, fourCharacterText(chunk), std::int64_t(whole)});
            out.removedBytes += std::uint32_t(whole);
        }
        at += whole;
    }
    out.understood = at == size;
    return out;
}

// The block with its RIFF sub-block replaced (or dropped when empty) and its checksum anew.
std::vector<std::uint8_t> rebuilt(const std::vector<std::uint8_t>& block,
                                  const std::vector<SubBlock>& parts, std::uint8_t riffId,
                                  const std::vector<std::uint8_t>& riff)
{
    std::vector<std::uint8_t> out(block.begin(), block.begin() + kHeaderSize);
    std::size_t checksumSize = 0;
    for (const SubBlock& part : parts) {
        if (part.id == kIdBlockChecksum) {
            checksumSize = part.dataSize;
        } else if (part.id == riffId) {
            if (!riff.empty())
                appendSubBlock(out, riffId, riff.data(), riff.size());
        } else {
            out.insert(out.end(), block.begin() + std::ptrdiff_t(part.begin),
                       block.begin() + std::ptrdiff_t(part.end));
        }
    }
    if (checksumSize) {
        // The checksum covers the header, whose size field must already be the final one.
        putLe32(out.data() + 4, std::uint32_t(out.size() + 2 + checksumSize - 8));
        const std::uint32_t sum =
            foldedChecksum(blockChecksum(out.data(), out.size()), checksumSize);
        std::uint8_t bytes[4];
        putLe32(bytes, sum);
        appendSubBlock(out, kIdBlockChecksum, bytes, checksumSize);
    }
    putLe32(out.data() + 4, std::uint32_t(out.size() - 8));
    return out;
}

} // namespace

std::optional<WavPackRiffChunks> wavPackRiffChunks(const FileReader& file, std::int64_t begin,
                                                   std::int64_t end)
{
    WavPackRiffChunks result;
    result.firstBlock = -1;
    for (std::int64_t at = begin; at < end;) {
        std::uint8_t header[kHeaderSize];
        if (end - at < kHeaderSize || !file.readAt(at, header) ||
            std::memcmp(header, "wvpk", 4) != 0)
            return std::nullopt;
        const std::int64_t size = std::int64_t(le32(header + 4)) + 8;
        if (size < kHeaderSize || size > kMaxBlockSize || size > end - at)
            return std::nullopt;
        if (result.firstBlock < 0) {
            result.firstBlock = at;
            result.firstBlockEnd = at + size;
        }
        result.lastBlock = at;
        result.lastBlockEnd = at + size;
        at += size;
    }
    if (result.firstBlock < 0)
        return std::nullopt;

    const std::vector<std::uint8_t> first =
        file.readRange(result.firstBlock, result.firstBlockEnd - result.firstBlock);
    const std::vector<std::uint8_t> last =
        file.readRange(result.lastBlock, result.lastBlockEnd - result.lastBlock);
    const auto firstParts = subBlocks(first);
    const auto lastParts = subBlocks(last);
    if (!firstParts || !lastParts)
        return std::nullopt;
    const auto find = [](const std::vector<SubBlock>& parts, std::uint8_t id) -> const SubBlock* {
        for (const SubBlock& part : parts)
            if (part.id == id)
                return &part;
        return nullptr;
    };
    const SubBlock* header = find(*firstParts, kIdRiffHeader);
    const SubBlock* trailer = find(*lastParts, kIdRiffTrailer);

    std::vector<MetadataBlock> removed;
    Filtered newHeader, newTrailer;
    const bool riff = header && header->dataSize >= 12 &&
                      std::memcmp(first.data() + header->data, "RIFF", 4) == 0;
    if (header) {
        newHeader = filterChunks(first.data() + header->data, header->dataSize, riff ? 12 : 0,
                                 removed, "wavPackHeader");
    }
    if (trailer)
        newTrailer = filterChunks(last.data() + trailer->data, trailer->dataSize, 0, removed,
                                  "wavPackTrailer");
    // Exactly, or not at all: an RF64 header keeps its sizes elsewhere, and a checksum that
    // does not hold as stored means the blocks are not what this code takes them for.
    const SubBlock* firstSum = find(*firstParts, kIdBlockChecksum);
    const SubBlock* lastSum = find(*lastParts, kIdBlockChecksum);
    const bool exact = (!header || riff) && newHeader.understood && newTrailer.understood &&
                       (!firstSum || checksumHolds(first, *firstSum)) &&
                       (!lastSum || checksumHolds(last, *lastSum)) &&
                       (header || newTrailer.removedBytes == 0);
    if (removed.empty())
        return result;
    if (!exact) {
        result.kept = std::move(removed);
        return result;
    }
    for (MetadataBlock& chunk : removed)
        chunk.kind = "storedChunk";
    result.removed = std::move(removed);

    if (header) {
        // The stored RIFF size is the size of the original file, which shrinks by every chunk
        // taken out, in front of the data or behind it.
        const std::uint32_t riffSize = le32(newHeader.bytes.data() + 4);
        putLe32(newHeader.bytes.data() + 4,
                riffSize - newHeader.removedBytes - newTrailer.removedBytes);
    }
    const bool sameBlock = result.firstBlock == result.lastBlock;
    if (header)
        result.newFirstBlock = rebuilt(first, *firstParts, kIdRiffHeader, newHeader.bytes);
    if (trailer && newTrailer.removedBytes) {
        if (sameBlock) {
            const auto parts =
                subBlocks(result.newFirstBlock.empty() ? first : result.newFirstBlock);
            if (!parts)
                return std::nullopt;
            result.newFirstBlock =
                rebuilt(result.newFirstBlock.empty() ? first : result.newFirstBlock, *parts,
                        kIdRiffTrailer, newTrailer.bytes);
        } else {
            result.newLastBlock = rebuilt(last, *lastParts, kIdRiffTrailer, newTrailer.bytes);
        }
    }
    return result;
}

} // namespace cleftone::audiofile
