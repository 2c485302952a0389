#pragma once

// The EBML coding that Matroska and WebM files are made of: element IDs and sizes as
// variable-length integers, unsigned values, and the CRC-32 element. Plain functions over bytes,
// safe on any input.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cleftone::audiofile::ebml {

/// Element IDs, with their length marker, as they are written.
namespace id {
inline constexpr std::uint32_t Header = 0x1A45DFA3;
inline constexpr std::uint32_t DocType = 0x4282;
inline constexpr std::uint32_t MaxIdLength = 0x42F2;
inline constexpr std::uint32_t MaxSizeLength = 0x42F3;
inline constexpr std::uint32_t Void = 0xEC;
inline constexpr std::uint32_t Crc32 = 0xBF;
inline constexpr std::uint32_t Segment = 0x18538067;
inline constexpr std::uint32_t SeekHead = 0x114D9B74;
inline constexpr std::uint32_t Seek = 0x4DBB;
inline constexpr std::uint32_t SeekId = 0x53AB;
inline constexpr std::uint32_t SeekPosition = 0x53AC;
inline constexpr std::uint32_t Info = 0x1549A966;
inline constexpr std::uint32_t Tracks = 0x1654AE6B;
inline constexpr std::uint32_t TrackEntry = 0xAE;
inline constexpr std::uint32_t TrackNumber = 0xD7;
inline constexpr std::uint32_t TrackType = 0x83;
inline constexpr std::uint32_t FlagDefault = 0x88;
inline constexpr std::uint32_t CodecId = 0x86;
inline constexpr std::uint32_t CodecPrivate = 0x63A2;
inline constexpr std::uint32_t Cluster = 0x1F43B675;
inline constexpr std::uint32_t Timestamp = 0xE7;
inline constexpr std::uint32_t Position = 0xA7;
inline constexpr std::uint32_t PrevSize = 0xAB;
inline constexpr std::uint32_t SimpleBlock = 0xA3;
inline constexpr std::uint32_t BlockGroup = 0xA0;
inline constexpr std::uint32_t Block = 0xA1;
inline constexpr std::uint32_t Cues = 0x1C53BB6B;
inline constexpr std::uint32_t CuePoint = 0xBB;
inline constexpr std::uint32_t CueTrackPositions = 0xB7;
inline constexpr std::uint32_t CueTrack = 0xF7;
inline constexpr std::uint32_t CueClusterPosition = 0xF1;
inline constexpr std::uint32_t CueRelativePosition = 0xF0;
inline constexpr std::uint32_t CueBlockNumber = 0x5378;
inline constexpr std::uint32_t Attachments = 0x1941A469;
inline constexpr std::uint32_t Chapters = 0x1043A770;
inline constexpr std::uint32_t Tags = 0x1254C367;
} // namespace id

inline constexpr std::uint64_t kUnknownSize = ~std::uint64_t(0);
/// Bytes of a CRC-32 element: its ID, a one-byte size and four bytes of checksum.
inline constexpr int kCrcElementSize = 6;

/// The head of one element: its ID and the size of its data.
struct Header {
    std::uint32_t id = 0;
    std::uint64_t size = 0; ///< kUnknownSize when the size field is all ones
    int idLength = 0;
    int sizeLength = 0;

    int length() const { return idLength + sizeLength; }
    bool unknownSize() const { return size == kUnknownSize; }
};

/// The element header at the start of `bytes`; nullopt when they do not start with one (an ID
/// longer than 4 bytes, a size field longer than 8, or too few bytes).
std::optional<Header> parseHeader(std::span<const std::uint8_t> bytes);

/// Bytes of an ID as written, 1 to 4.
int idLength(std::uint32_t id);

/// An unsigned value of up to 8 big-endian bytes; 0 for none.
std::uint64_t readUnsigned(std::span<const std::uint8_t> data);

/// The fewest bytes that hold `value` as an unsigned element (0 for 0).
int unsignedWidth(std::uint64_t value);

/// The width of a size field that holds `size`: `preferred` when it fits, else the fewest bytes.
int sizeFieldWidth(std::uint64_t size, int preferred);

void appendId(std::vector<std::uint8_t>& out, std::uint32_t id);
/// A size field of `width` bytes; kUnknownSize writes the unknown size of that width.
void appendSize(std::vector<std::uint8_t>& out, std::uint64_t size, int width);
/// A whole unsigned element: the value in `width` bytes (at least as many as it needs).
void appendUnsigned(std::vector<std::uint8_t>& out, std::uint32_t id, std::uint64_t value,
                    int width);
/// Bytes appendUnsigned() writes.
int unsignedElementSize(std::uint32_t id, std::uint64_t value, int width);

/// A master element around `body`: its size field `sizeWidth` bytes wide when the size fits (or
/// unknown when `unknownSize`), and a CRC-32 element of the body first when `withCrc`.
void appendMaster(std::vector<std::uint8_t>& out, std::uint32_t id, int sizeWidth, bool withCrc,
                  std::span<const std::uint8_t> body, bool unknownSize = false);

/// The CRC-32 (IEEE 802.3) of `bytes`, continuing from `crc` (0 to start).
std::uint32_t crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);
/// A CRC-32 element for the given checksum.
void appendCrcElement(std::vector<std::uint8_t>& out, std::uint32_t crc);

/// One child of a master element held in memory.
struct Child {
    Header header;
    std::span<const std::uint8_t> whole; ///< header and data
    std::span<const std::uint8_t> data;
};

/// The children of a master's body, in order; nullopt when one runs past the body or has an
/// unknown size (only segments and clusters may).
std::optional<std::vector<Child>> children(std::span<const std::uint8_t> body);

} // namespace cleftone::audiofile::ebml
