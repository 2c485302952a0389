#pragma once

#include <string>
#include <vector>

namespace cleftone {

/// What a strip would remove from one file, for a person to read before or after stripping.
struct MetadataReport {
    /// False when the file could not be opened as audio; then `items` is empty.
    bool readable = false;
    /// One line per finding, in this order: tags with their values, cover art with its size,
    /// chapters, extra chunks or blocks, tags in front of or behind a raw stream, streams
    /// other than the audio. Empty when the file carries nothing that a strip removes.
    std::vector<std::string> items;
};

/// Looks at the file at `path` without changing it: what FFmpeg reports (tags, attached
/// pictures, chapters, streams), the top-level chunk list of RIFF/IFF/CAF files, the metadata
/// blocks of FLAC files and the tags around raw streams.
///
/// Threads: any; it opens the file afresh on each call.
MetadataReport inspectMetadata(const std::string& path);

} // namespace cleftone
