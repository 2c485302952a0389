#include "engine/audiofile/ContainerProbe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

std::uint32_t be32(const std::uint8_t* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

std::uint64_t le64(const std::uint8_t* p)
{
    return std::uint64_t(le32(p)) | (std::uint64_t(le32(p + 4)) << 32);
}

std::uint64_t be64(const std::uint8_t* p)
{
    return (std::uint64_t(be32(p)) << 32) | std::uint64_t(be32(p + 4));
}

bool startsWith(std::span<const std::uint8_t> bytes, const char* text)
{
    const auto length = std::strlen(text);
    return bytes.size() >= length && std::memcmp(bytes.data(), text, length) == 0;
}

// A hostile file can claim any number of chunks; no real one has this many at top level.
constexpr int kMaxChunks = 100000;

enum class ChunkLayout { Riff, Rf64, Wave64, Iff, Caf };

struct ChunkVisit {
    std::uint32_t id;
    std::int64_t bodyOffset;
    std::int64_t bodySize;
};

// Walks the top-level chunks; `visit` returns false to stop early.
template <typename Visitor> bool walkChunks(const FileReader& file, Visitor&& visit)
{
    std::uint8_t head[16] = {};
    if (!file.readAt(0, head))
        return false;
    const std::span<const std::uint8_t> h(head);

    ChunkLayout layout;
    std::int64_t offset;
    if (startsWith(h, "RIFF") && std::memcmp(head + 8, "WAVE", 4) == 0) {
        layout = ChunkLayout::Riff;
        offset = 12;
    } else if ((startsWith(h, "RF64") || startsWith(h, "BW64")) &&
               std::memcmp(head + 8, "WAVE", 4) == 0) {
        layout = ChunkLayout::Rf64;
        offset = 12;
    } else if (startsWith(h, "riff") && head[4] == 0x2E && head[5] == 0x91) {
        layout = ChunkLayout::Wave64;
        offset = 40;
    } else if (startsWith(h, "FORM") &&
               (std::memcmp(head + 8, "AIFF", 4) == 0 || std::memcmp(head + 8, "AIFC", 4) == 0)) {
        layout = ChunkLayout::Iff;
        offset = 12;
    } else if (startsWith(h, "caff")) {
        layout = ChunkLayout::Caf;
        offset = 8;
    } else {
        return false;
    }

    std::uint64_t rf64DataSize = 0;
    for (int count = 0; count < kMaxChunks; ++count) {
        std::uint8_t header[24] = {};
        std::int64_t headerSize =
            layout == ChunkLayout::Wave64 ? 24 : (layout == ChunkLayout::Caf ? 12 : 8);
        if (offset + headerSize > file.size() ||
            !file.readAt(offset, std::span(header, std::size_t(headerSize))))
            break;

        std::uint32_t id = be32(header);
        std::int64_t bodySize = 0;
        switch (layout) {
        case ChunkLayout::Riff:
            bodySize = le32(header + 4);
            break;
        case ChunkLayout::Rf64:
            bodySize = le32(header + 4);
            if (id == fourCC("ds64") && bodySize >= 16) {
                std::uint8_t sizes[16];
                if (file.readAt(offset + 8, sizes))
                    rf64DataSize = le64(sizes + 8);
            }
            if (id == fourCC("data") && bodySize == 0xFFFFFFFF)
                bodySize = std::int64_t(std::min<std::uint64_t>(rf64DataSize, INT64_MAX / 2));
            break;
        case ChunkLayout::Wave64:
            bodySize = std::int64_t(std::min<std::uint64_t>(le64(header + 16), INT64_MAX / 2)) - 24;
            break;
        case ChunkLayout::Iff:
            bodySize = be32(header + 4);
            break;
        case ChunkLayout::Caf: {
            const auto size = std::int64_t(be64(header + 4));
            // A data chunk of unknown size runs to the end of the file.
            bodySize = size < 0 ? file.size() - (offset + headerSize) : size;
            break;
        }
        }
        if (bodySize < 0)
            break;

        const std::int64_t bodyOffset = offset + headerSize;
        if (!visit(ChunkVisit{id, bodyOffset, std::min(bodySize, file.size() - bodyOffset)}))
            return true;

        std::int64_t next = bodyOffset + bodySize;
        if (layout == ChunkLayout::Riff || layout == ChunkLayout::Rf64 ||
            layout == ChunkLayout::Iff)
            next += bodySize & 1;
        else if (layout == ChunkLayout::Wave64)
            next = (next + 7) & ~std::int64_t(7);
        if (next <= offset)
            break;
        offset = next;
    }
    return true;
}

} // namespace

FileReader::FileReader(int fd, std::int64_t origin) : m_fd(fd)
{
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && origin >= 0 && origin <= info.st_size) {
        m_origin = origin;
        m_size = info.st_size - origin;
    }
}

bool FileReader::readAt(std::int64_t offset, std::span<std::uint8_t> out) const
{
    if (offset < 0 || offset > m_size || std::int64_t(out.size()) > m_size - offset)
        return false;
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n =
            ::pread(m_fd, out.data() + done, out.size() - done, m_origin + offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

std::vector<std::uint8_t> FileReader::readRange(std::int64_t offset, std::int64_t length) const
{
    std::vector<std::uint8_t> bytes;
    if (length <= 0 || offset < 0 || offset > m_size || length > m_size - offset)
        return bytes;
    bytes.resize(std::size_t(length));
    if (!readAt(offset, bytes))
        bytes.clear();
    return bytes;
}

const std::vector<ContainerInfo>& writableContainers()
{
    static const std::vector<ContainerInfo> containers = {
        {AudioFileType::AIFF, "aiff", {"aif", "aiff"}},
        {AudioFileType::AIFC, "aiff", {"aifc", "aif", "aiff"}},
        {AudioFileType::WAVE, "wav", {"wav", "wave", "bwf"}},
        {AudioFileType::RF64, "wav", {"rf64"}},
        {AudioFileType::Wave64, "w64", {"w64"}},
        {AudioFileType::NeXT, "au", {"snd", "au"}},
        {AudioFileType::CAF, "caf", {"caf"}},
        {AudioFileType::M4A, "ipod", {"m4a", "m4r"}},
        {AudioFileType::M4B, "ipod", {"m4b"}},
        {AudioFileType::MPEG4, "mp4", {"mp4"}},
        {AudioFileType::ThreeGP, "3gp", {"3gp", "3gpp"}},
        {AudioFileType::ThreeGP2, "3g2", {"3g2", "3gp2"}},
        {AudioFileType::AAC_ADTS, "adts", {"aac", "adts"}},
        {AudioFileType::AC3, "ac3", {"ac3"}},
        {AudioFileType::EAC3, "eac3", {"ec3"}},
        {AudioFileType::AMR, "amr", {"amr"}},
        {AudioFileType::FLAC, nullptr, {"flac"}},
        {AudioFileType::MP3, "mp3", {"mp3", "mpeg"}},
        {AudioFileType::MP2, "mp2", {"mp2"}},
        {AudioFileType::Ogg, nullptr, {"ogg", "oga", "opus", "spx"}},
        {AudioFileType::ASF, nullptr, {"wma", "asf"}},
        {AudioFileType::MonkeysAudio, nullptr, {"ape"}},
        {AudioFileType::WavPack, nullptr, {"wv"}},
        {AudioFileType::Musepack, nullptr, {"mpc", "mp+", "mpp"}},
        {AudioFileType::TTA, nullptr, {"tta"}},
        {AudioFileType::OptimFROG, nullptr, {"ofr", "ofs"}},
        {AudioFileType::TAK, nullptr, {"tak"}},
        {AudioFileType::DSF, nullptr, {"dsf"}},
        {AudioFileType::DSDIFF, nullptr, {"dff"}},
        {AudioFileType::Matroska, nullptr, {"mka", "mkv"}},
        {AudioFileType::WebM, nullptr, {"webm"}},
    };
    return containers;
}

const ContainerInfo* findWritableContainer(AudioFileTypeID type)
{
    for (const auto& container : writableContainers())
        if (container.type == type)
            return &container;
    return nullptr;
}

std::string fourCharacterText(const std::uint8_t* id)
{
    std::string text(reinterpret_cast<const char*>(id), 4);
    for (char& c : text)
        if (c < 0x20 || c > 0x7E)
            c = '?';
    return text;
}

std::optional<std::int64_t> id3v2TagSize(std::span<const std::uint8_t> header)
{
    if (header.size() < 10 || !startsWith(header, "ID3"))
        return std::nullopt;
    // Version bytes are never 0xFF and the size is four 7-bit bytes.
    if (header[3] == 0xFF || header[4] == 0xFF)
        return std::nullopt;
    if ((header[6] | header[7] | header[8] | header[9]) & 0x80)
        return std::nullopt;
    const std::int64_t size = (std::int64_t(header[6]) << 21) | (std::int64_t(header[7]) << 14) |
                              (std::int64_t(header[8]) << 7) | std::int64_t(header[9]);
    const bool hasFooter = header[5] & 0x10;
    return 10 + size + (hasFooter ? 10 : 0);
}

std::int64_t skipLeadingTags(const FileReader& file)
{
    std::int64_t offset = 0;
    // Some taggers leave several tags in a row; each is skipped.
    for (int i = 0; i < 16; ++i) {
        std::uint8_t header[10];
        if (!file.readAt(offset, header))
            break;
        const auto size = id3v2TagSize(header);
        if (!size || offset + *size > file.size())
            break;
        offset += *size;
    }
    return offset;
}

std::int64_t trimTrailingTags(const FileReader& file, std::int64_t begin, std::int64_t end,
                              int rounds)
{
    // Taggers stack these in either order (APE before ID3v1 is the usual one), so peel until
    // nothing more is found.
    for (int round = 0; round < rounds; ++round) {
        const std::int64_t length = end - begin;

        if (length >= 128) {
            std::uint8_t tag[3];
            if (file.readAt(end - 128, tag) && std::memcmp(tag, "TAG", 3) == 0) {
                end -= 128;
                continue;
            }
        }

        if (length >= 32) {
            std::uint8_t footer[32];
            if (file.readAt(end - 32, footer) && std::memcmp(footer, "APETAGEX", 8) == 0) {
                const std::int64_t size = le32(footer + 12);
                const bool hasHeader = le32(footer + 20) & 0x80000000u;
                const std::int64_t total = size + (hasHeader ? 32 : 0);
                if (size >= 32 && total <= length) {
                    end -= total;
                    continue;
                }
            }
        }

        if (length >= 15) {
            std::uint8_t trailer[15];
            if (file.readAt(end - 15, trailer) && std::memcmp(trailer + 6, "LYRICS200", 9) == 0 &&
                std::all_of(trailer, trailer + 6,
                            [](std::uint8_t c) { return c >= '0' && c <= '9'; })) {
                std::int64_t size = 0;
                for (int i = 0; i < 6; ++i)
                    size = size * 10 + (trailer[i] - '0');
                const std::int64_t total = size + 15;
                std::uint8_t start[11];
                if (total <= length && file.readAt(end - total, start) &&
                    std::memcmp(start, "LYRICSBEGIN", 11) == 0) {
                    end -= total;
                    continue;
                }
            }
            if (file.readAt(end - 9, std::span(trailer, 9)) &&
                std::memcmp(trailer, "LYRICSEND", 9) == 0) {
                // Lyrics3 v1 has no size field: it is at most 5100 bytes of lyrics.
                const std::int64_t searchLength = std::min<std::int64_t>(length, 5100 + 20);
                const auto tail = file.readRange(end - searchLength, searchLength);
                static const char kBegin[] = "LYRICSBEGIN";
                const auto found = std::search(tail.begin(), tail.end(), kBegin, kBegin + 11);
                if (found != tail.end()) {
                    end -= std::int64_t(tail.end() - found);
                    continue;
                }
            }
        }

        if (length >= 20) {
            std::uint8_t footer[10];
            if (file.readAt(end - 10, footer) && std::memcmp(footer, "3DI", 3) == 0) {
                std::uint8_t header[10];
                std::memcpy(header, footer, 10);
                std::memcpy(header, "ID3", 3);
                const auto size = id3v2TagSize(header);
                std::uint8_t start[3];
                if (size && *size <= length && file.readAt(end - *size, start) &&
                    std::memcmp(start, "ID3", 3) == 0) {
                    end -= *size;
                    continue;
                }
            }
        }
        break;
    }
    return end;
}

bool startsChunkedContainer(std::span<const std::uint8_t> head)
{
    if (head.size() < 12)
        return false;
    return startsWith(head, "RIFF") || startsWith(head, "RF64") || startsWith(head, "BW64") ||
           startsWith(head, "riff") || startsWith(head, "FORM") || startsWith(head, "caff") ||
           startsWith(head, ".snd") || std::memcmp(head.data() + 4, "ftyp", 4) == 0 ||
           startsWith(head, "OggS");
}

std::optional<std::vector<std::uint32_t>> chunkIDs(const FileReader& file)
{
    std::vector<std::uint32_t> ids;
    if (!walkChunks(file, [&](const ChunkVisit& chunk) {
            ids.push_back(chunk.id);
            return true;
        }))
        return std::nullopt;
    return ids;
}

std::optional<std::int64_t> bytesLeftInChunk(const FileReader& file, std::int64_t offset)
{
    std::optional<std::int64_t> left;
    walkChunks(file, [&](const ChunkVisit& chunk) {
        if (offset < chunk.bodyOffset || offset >= chunk.bodyOffset + chunk.bodySize)
            return true;
        left = chunk.bodyOffset + chunk.bodySize - offset;
        return false;
    });
    return left;
}

std::optional<ChunkBody> findChunk(const FileReader& file, std::uint32_t id)
{
    std::optional<ChunkBody> found;
    walkChunks(file, [&](const ChunkVisit& chunk) {
        if (chunk.id != id)
            return true;
        found = ChunkBody{chunk.bodyOffset, chunk.bodySize};
        return false;
    });
    return found;
}

std::vector<std::uint8_t> mp4FileTypeBox(const FileReader& file)
{
    std::uint8_t header[8];
    if (!file.readAt(0, header) || std::memcmp(header + 4, "ftyp", 4) != 0)
        return {};
    // Major brand and minor version, then whole compatible brands; real ones hold a handful.
    const std::int64_t size = be32(header);
    if (size < 16 || size > 1024 || size % 4 != 0)
        return {};
    return file.readRange(0, size);
}

std::optional<std::vector<std::uint8_t>> id3ChunkBody(const FileReader& file)
{
    std::optional<std::vector<std::uint8_t>> body;
    walkChunks(file, [&](const ChunkVisit& chunk) {
        if (chunk.id != fourCC("id3 ") && chunk.id != fourCC("ID3 "))
            return true;
        body = file.readRange(chunk.bodyOffset, chunk.bodySize);
        return false;
    });
    if (body && body->empty())
        body.reset();
    return body;
}

int mpegAudioFrameLength(std::uint32_t header)
{
    if ((header & 0xFFE00000u) != 0xFFE00000u)
        return 0;
    const int version = (header >> 19) & 3; // 0: 2.5, 1: reserved, 2: 2, 3: 1
    const int layer = (header >> 17) & 3;   // 1: III, 2: II, 3: I
    const int bitrateIndex = (header >> 12) & 15;
    const int rateIndex = (header >> 10) & 3;
    const int padding = (header >> 9) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return 0;

    static const int kBitrates[2][3][15] = {
        {// MPEG-1: layer I, II, III
         {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {// MPEG-2 and 2.5
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static const int kRates[3] = {44100, 48000, 32000};

    const bool mpeg1 = version == 3;
    const int layerIndex = 3 - layer; // 0: I, 1: II, 2: III
    const int bitrate = kBitrates[mpeg1 ? 0 : 1][layerIndex][bitrateIndex] * 1000;
    int rate = kRates[rateIndex];
    if (version == 2)
        rate /= 2;
    else if (version == 0)
        rate /= 4;

    if (layerIndex == 0)
        return (12 * bitrate / rate + padding) * 4;
    if (layerIndex == 2 && !mpeg1)
        return 72 * bitrate / rate + padding;
    return 144 * bitrate / rate + padding;
}

bool isMpegInfoFrame(std::span<const std::uint8_t> frame)
{
    if (frame.size() < 4)
        return false;
    const std::uint32_t header = be32(frame.data());
    if (mpegAudioFrameLength(header) == 0)
        return false;
    const bool mpeg1 = ((header >> 19) & 3) == 3;
    const bool mono = ((header >> 6) & 3) == 3;
    const std::size_t sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    auto tagAt = [&](std::size_t offset, const char* tag) {
        return frame.size() >= offset + 4 && std::memcmp(frame.data() + offset, tag, 4) == 0;
    };
    return tagAt(4 + sideInfo, "Xing") || tagAt(4 + sideInfo, "Info") || tagAt(36, "VBRI");
}

} // namespace cleftone::audiofile
