#pragma once

// Byte-level reading of MP4 (ISO base media) boxes, and sequential reading of the sample tables
// without holding them in memory.

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/ContainerProbe.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cleftone::audiofile {

inline std::uint16_t readBe16(const std::uint8_t* p)
{
    return std::uint16_t((p[0] << 8) | p[1]);
}
inline std::uint32_t readBe32(const std::uint8_t* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}
inline std::uint64_t readBe64(const std::uint8_t* p)
{
    return (std::uint64_t(readBe32(p)) << 32) | readBe32(p + 4);
}

/// One box: where it starts, where its body starts and where it ends, in file offsets.
struct Mp4Box {
    std::uint32_t type = 0;
    std::int64_t offset = 0;
    std::int64_t body = 0;
    std::int64_t end = 0;
    std::int64_t bodySize() const { return end - body; }
};

/// The box at `offset` that ends by `limit`; none when its header is cut off or its size does
/// not fit. A size of 0 (to the end) reaches `limit`.
std::optional<Mp4Box> readMp4Box(const FileReader& file, std::int64_t offset, std::int64_t limit);

/// The children of a box (or the top level), in order; `complete` is false when junk or a cut
/// ended the walk before `end`.
struct Mp4Children {
    std::vector<Mp4Box> boxes;
    bool complete = true;
};
Mp4Children readMp4Children(const FileReader& file, std::int64_t begin, std::int64_t end);

/// The first child of this type, if any.
const Mp4Box* findMp4Box(const Mp4Children& children, std::uint32_t type);

/// The container type that a major brand names: M4A, M4B, 3GP, 3G2 or plain MP4; QuickTime
/// movies ("qt  ") get a type of their own that is read but never written.
AudioFileTypeID mp4FileTypeForBrand(const std::string& majorBrand);

/// Reads the entries of a sample table in order, a buffer at a time: a table of a million
/// entries costs no more memory than one of ten. Used by one thread at a time.
class Mp4TableCursor {
public:
    Mp4TableCursor() = default;
    /// `count` entries of `entryBytes` bytes from `offset` on.
    Mp4TableCursor(const FileReader& file, std::int64_t offset, std::uint64_t count,
                   std::uint32_t entryBytes);
    /// The next entry's bytes; null after the last entry or when the file ends early.
    const std::uint8_t* next();
    std::uint64_t remaining() const { return m_remaining; }

private:
    const FileReader* m_file = nullptr;
    std::int64_t m_offset = 0;
    std::uint64_t m_remaining = 0;
    std::uint32_t m_entryBytes = 0;
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_at = 0;
};

} // namespace cleftone::audiofile
