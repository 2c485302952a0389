#pragma once

// Byte-level knowledge of containers that libavformat does not give us: the tags that sit
// around raw audio streams, the chunk lists of RIFF/IFF/CAF files, and the MPEG audio frame
// header. Everything reads through a FileReader, so it works on any file descriptor.

#include "engine/audiofile/AudioFileTypes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace cleftone::audiofile {

/// Positioned reads from an open file. Never reads outside [0, size()). A reader with an
/// origin sees the file from that offset on, as if it started there.
class FileReader {
public:
    explicit FileReader(int fd, std::int64_t origin = 0);
    std::int64_t size() const { return m_size; }
    /// Reads exactly `out.size()` bytes at `offset`; false when they are not all there.
    bool readAt(std::int64_t offset, std::span<std::uint8_t> out) const;
    std::vector<std::uint8_t> readRange(std::int64_t offset, std::int64_t length) const;

private:
    int m_fd;
    std::int64_t m_origin = 0;
    std::int64_t m_size = 0;
};

/// One writable (or at least known) container type.
struct ContainerInfo {
    AudioFileTypeID type;
    const char* muxer;                   ///< libavformat muxer that writes it, or null
    std::vector<const char*> extensions; ///< as the type reports them
};

/// Every type the service writes, in the order of the "afwf" table.
const std::vector<ContainerInfo>& writableContainers();
const ContainerInfo* findWritableContainer(AudioFileTypeID type);

/// The four bytes of a chunk ID as text, with '?' for each byte that is not printable ASCII.
std::string fourCharacterText(const std::uint8_t* id);

/// Size of the ID3v2 tag whose 10-byte header is given, footer included; nullopt if the
/// bytes are not a valid ID3v2 header.
std::optional<std::int64_t> id3v2TagSize(std::span<const std::uint8_t> header);

/// The stretch of a raw stream file that holds audio: after every ID3v2 tag in front, and
/// before ID3v1, APEv2, Lyrics3 and appended ID3v2 tags behind.
struct StreamWindow {
    std::int64_t begin = 0;
    std::int64_t end = 0;
};
std::int64_t skipLeadingTags(const FileReader& file);
/// `rounds` limits how many tags are peeled off the end.
std::int64_t trimTrailingTags(const FileReader& file, std::int64_t begin, std::int64_t end,
                              int rounds = 16);

/// True when the first bytes start a chunked container (RIFF/RF64/BW64/Wave64/FORM/CAF/MP4),
/// whose trailing bytes belong to its chunks and are never trimmed as tags.
bool startsChunkedContainer(std::span<const std::uint8_t> head);

/// Top-level chunk IDs of a RIFF, RF64, Wave64, IFF (AIFF/AIFC) or CAF file, in file order;
/// nullopt when the file is none of these.
std::optional<std::vector<std::uint32_t>> chunkIDs(const FileReader& file);

/// Bytes from `offset` to the end of the top-level chunk whose body holds it.
std::optional<std::int64_t> bytesLeftInChunk(const FileReader& file, std::int64_t offset);

/// Offset and size of the body of the first top-level chunk with this ID.
struct ChunkBody {
    std::int64_t offset;
    std::int64_t size;
};
std::optional<ChunkBody> findChunk(const FileReader& file, std::uint32_t id);

/// The first box of an MP4-family file when it is its file-type box, whole.
std::vector<std::uint8_t> mp4FileTypeBox(const FileReader& file);

/// The body of the first "id3 " or "ID3 " chunk of a RIFF or IFF file.
std::optional<std::vector<std::uint8_t>> id3ChunkBody(const FileReader& file);

/// MPEG audio frame length in bytes for a 32-bit frame header, or 0 if it is not one.
int mpegAudioFrameLength(std::uint32_t header);

/// True when the frame (starting with its header) is a Xing, Info or VBRI frame.
bool isMpegInfoFrame(std::span<const std::uint8_t> frame);

} // namespace cleftone::audiofile
