#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cleftone {

/// One tag as the container stores it, for example {"title", "Gymnopédie No. 2"}.
struct MetadataTag {
    std::string key;
    std::string value; ///< whole, as stored (UTF-8); reportLines() shortens it for a terminal
};

/// A picture attached to the file (cover art).
struct MetadataPicture {
    std::string mimeType; ///< "image/jpeg", "image/png"…; "application/octet-stream" if unknown
    std::string format;   ///< "JPEG", "PNG", or FFmpeg's name of the codec
    std::string description; ///< what the file says the picture is ("Cover (front)"); may be empty
    std::int64_t bytes = 0;
    int width = 0; ///< in pixels; 0 when the picture could not be decoded
    int height = 0;
    /// The picture's bytes, only when asked for (see inspectMetadata()).
    std::vector<std::uint8_t> data;
};

struct MetadataChapter {
    double start = 0; ///< in seconds
    std::string title;
};

/// A stretch of the file that a strip removes besides tags and pictures: an extra chunk, box,
/// element, object or FLAC block, a tag in front of or behind the audio, an annotation, a comment
/// header, a stream other than the audio. `kind` is a word from the table in
/// MetadataInspection.cpp ("chunk", "box", "element", "object", "flacBlock", "tagInFront",
/// "tagAtEnd", "comments", "stream"…); a reader of a new container family adds its blocks with
/// MetadataReport::addBlock() and, for a kind of its own, one row to that table.
///
/// The same form names what a strip keeps (MetadataReport::kept), with kinds of a table of
/// their own there ("apeWavHeader", "wavPackHeader"…).
struct MetadataBlock {
    std::string kind;
    std::string name;        ///< "bext", "moov/udta/meta", "ID3v1 tag", "Tags", "LIST"…
    std::int64_t bytes = -1; ///< -1 when the size is not known
};

/// What a strip would remove from one file, for a person or a script to read before or after
/// stripping.
struct MetadataReport {
    /// False when the file could not be opened as audio; then everything below is empty.
    bool readable = false;
    /// The file holds a real video stream (cover art does not count). Also set for a file that
    /// is not readable as audio, when it opens at all.
    bool hasVideo = false;
    std::string container; ///< FFmpeg's short name of the container ("mp3", "mp4", "wav"…)
    std::string codec;     ///< of the audio stream ("mp3", "aac", "pcm_s16le"…)
    std::vector<MetadataTag> tags;
    std::vector<MetadataPicture> pictures;
    std::vector<MetadataChapter> chapters;
    std::vector<MetadataBlock> blocks;
    /// Metadata that lives inside the codec's own blocks, where a strip cannot take it out and
    /// still keep the stream exact (a WAV header with a LIST chunk stored in a Monkey's Audio
    /// stream). It stays in the stripped file; it is not counted in metadataBytes, and a file
    /// with nothing else carries nothing a strip removes.
    std::vector<MetadataBlock> kept;
    /// The bytes a strip removes, as far as the file's layout shows them; see
    /// MetadataInspection.cpp for how each container is counted.
    std::int64_t metadataBytes = 0;

    /// True when the file is readable and carries nothing a strip removes ("No metadata"),
    /// whatever it keeps.
    bool carriesNothing() const
    {
        return readable && tags.empty() && pictures.empty() && chapters.empty() && blocks.empty();
    }
    /// Adds a block and counts its bytes (when known) into metadataBytes.
    void addBlock(std::string kind, std::string name, std::int64_t bytes = -1);
};

/// Looks at the file at `path` without changing it: what FFmpeg reports (tags, attached
/// pictures with their pixel size, chapters, streams), the top-level chunks of RIFF/IFF/CAF
/// files, the boxes of MP4 files, the metadata blocks of FLAC files and the tags around raw
/// streams. `pictureData` also keeps the pictures' bytes.
///
/// Threads: any; it opens the file afresh on each call. Keep it off the main thread.
MetadataReport inspectMetadata(const std::string& path, bool pictureData = false);

/// The report as `cleftone-strip --show` prints it, one line per finding (without the
/// indentation), in this order: tags with their values, cover art with its size, chapters, then
/// the blocks in the order they were found. Empty when a strip would remove nothing.
std::vector<std::string> reportLines(const MetadataReport& report);

/// One line for each thing the strip keeps ("Kept: LIST chunk in the WAV header stored in the
/// Monkey's Audio stream, 84 bytes"), printed after reportLines() or after "No metadata".
std::vector<std::string> keptLines(const MetadataReport& report);

/// True when the file is an MPEG audio stream with nothing else in it, as Cleftone's own frame
/// walk sees it: frames from the first byte to the last, back to back, none broken or cut off,
/// and a Xing, Info or VBRI header (if any) whose frame and byte counts match the stream. Such a
/// file gains nothing from the strip's repair pass.
///
/// Threads: any.
bool mpegStreamIsWhole(const std::string& path);

} // namespace cleftone
