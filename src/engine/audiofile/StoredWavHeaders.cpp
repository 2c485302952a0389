#include "engine/audiofile/StoredWavHeaders.h"

#include <cstring>
#include <string>

namespace cleftone::audiofile {

namespace {

// Stored headers are a few KB; a size beyond this is damage, not a header.
constexpr std::uint32_t kMostStored = 1 << 20;

std::uint32_t le16(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8);
}

std::uint32_t le24(const std::uint8_t* p)
{
    return le16(p) | (std::uint32_t(p[2]) << 16);
}

std::uint32_t le32(const std::uint8_t* p)
{
    return le16(p) | (le16(p + 2) << 16);
}

bool describesAudio(const std::uint8_t* id)
{
    for (const char* audio : {"fmt ", "fact", "data", "ds64"})
        if (std::memcmp(id, audio, 4) == 0)
            return true;
    return false;
}

// The chunks in `bytes` that do not describe the audio, as blocks of `kind`. A header starts
// with the RIFF form and ends with the data chunk's header; a trailer is whole chunks. False
// when the bytes are not laid out so.
bool addChunks(const std::vector<std::uint8_t>& bytes, bool header, const char* kind,
               std::vector<MetadataBlock>& out)
{
    std::size_t at = 0;
    if (header) {
        if (bytes.size() < 12 || (std::memcmp(bytes.data(), "RIFF", 4) != 0 &&
                                  std::memcmp(bytes.data(), "RF64", 4) != 0))
            return false;
        at = 12;
    }
    while (bytes.size() - at >= 8) {
        const std::uint8_t* chunk = bytes.data() + at;
        if (header && std::memcmp(chunk, "data", 4) == 0)
            return true; // the samples follow in the codec's frames
        const std::size_t body = le32(chunk + 4);
        const std::size_t whole = 8 + body + (body & 1);
        if (body > bytes.size() || whole > bytes.size() - at)
            return false;
        if (!describesAudio(chunk))
            out.push_back({kind, fourCharacterText(chunk), std::int64_t(whole)});
        at += whole;
    }
    return at == bytes.size();
}

std::vector<std::uint8_t> readStored(const FileReader& file, std::int64_t at, std::uint32_t size,
                                     std::int64_t end)
{
    if (size == 0 || size > kMostStored || at < 0 || at > end - std::int64_t(size))
        return {};
    return file.readRange(at, size);
}

} // namespace

std::vector<MetadataBlock> monkeysAudioStoredChunks(const FileReader& file, std::int64_t begin,
                                                    std::int64_t end)
{
    constexpr std::uint32_t kCreateWavHeader = 32, kPeakLevel = 4, kSeekElements = 16;
    std::uint8_t head[52];
    if (!file.readAt(begin, head) || std::memcmp(head, "MAC ", 4) != 0)
        return {};
    std::int64_t headerAt = 0;
    std::uint32_t headerSize = 0, trailerSize = 0;
    std::int64_t trailerAt = -1;
    if (le16(head + 4) >= 3980) {
        // A descriptor gives the size of each part: descriptor, header, seek table, the stored
        // WAV header, the frames, the stored trailer.
        const std::int64_t descriptor = le32(head + 8), header = le32(head + 12),
                           seekTable = le32(head + 16);
        const std::int64_t frames = std::int64_t(le32(head + 24)) |
                                    std::int64_t(std::uint64_t(le32(head + 28) & 0xFFFF) << 32);
        headerSize = le32(head + 20);
        trailerSize = le32(head + 32);
        headerAt = begin + descriptor + header + seekTable;
        trailerAt = headerAt + headerSize + frames;
    } else {
        // The old header: the stored WAV header follows it, after a peak level and a seek
        // element count where the flags say so.
        const std::uint32_t flags = le16(head + 8);
        if (flags & kCreateWavHeader)
            headerSize = 0;
        else
            headerSize = le32(head + 16);
        trailerSize = le32(head + 20);
        headerAt = begin + 32 + ((flags & kPeakLevel) ? 4 : 0) + ((flags & kSeekElements) ? 4 : 0);
        trailerAt = end - trailerSize;
    }
    std::vector<MetadataBlock> chunks;
    const auto header = readStored(file, headerAt, headerSize, end);
    if (!header.empty())
        addChunks(header, true, "apeWavHeader", chunks);
    const auto trailer = readStored(file, trailerAt, trailerSize, end);
    if (!trailer.empty())
        addChunks(trailer, false, "apeWavTrailer", chunks);
    return chunks;
}

std::vector<MetadataBlock> takStoredChunks(const FileReader& file, std::int64_t begin,
                                           std::int64_t end)
{
    constexpr std::uint8_t kEnd = 0, kWavMetadata = 3;
    std::int64_t at = begin + 4; // past "tBaK"
    for (int i = 0; i < 64; ++i) {
        std::uint8_t block[4];
        if (!file.readAt(at, block))
            return {};
        const std::uint8_t type = block[0] & 0x7F;
        const std::uint32_t size = le24(block + 1);
        if (type == kEnd || size > end - at - 4)
            return {};
        if (type != kWavMetadata) {
            at += 4 + size;
            continue;
        }
        // The sizes of the stored header and trailer, both, and a checksum behind them.
        const auto body = readStored(file, at + 4, size, end);
        std::vector<MetadataBlock> chunks;
        if (body.size() >= 9) {
            const std::size_t header = le24(body.data()), trailer = le24(body.data() + 3);
            if (6 + header + trailer + 3 == body.size() &&
                addChunks({body.begin() + 6, body.begin() + 6 + std::ptrdiff_t(header)}, true,
                          "takWavHeader", chunks) &&
                addChunks({body.begin() + 6 + std::ptrdiff_t(header), body.end() - 3}, false,
                          "takWavTrailer", chunks))
                return chunks;
        }
        return {{"takWavMetadata", std::string(), 4 + std::int64_t(size)}};
    }
    return {};
}

} // namespace cleftone::audiofile
