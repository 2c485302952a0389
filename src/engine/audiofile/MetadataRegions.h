#pragma once

// The byte-level half of the metadata report: what a strip removes that FFmpeg does not show,
// found by reading the file's own layout. Read-only.

#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/MetadataInspection.h"

namespace cleftone::audiofile {

/// Every top-level chunk of a RIFF, RF64, Wave64, IFF or CAF file that does not hold or
/// describe the audio, with its whole size (header and padding included).
void addExtraChunks(const FileReader& file, MetadataReport& report);

/// The boxes of an MP4-family file beyond what the audio needs: at the top level, in the
/// movie box and everything in its user-data box. Nothing for other files.
void addExtraBoxes(const FileReader& file, MetadataReport& report);

/// The annotation field of a Sun/NeXT audio file, between its header and its data.
void addAnnotation(const FileReader& file, MetadataReport& report);

/// The tags that taggers append behind the audio in [begin, end) (APEv2, ID3v1, Lyrics3,
/// ID3v2 with a footer), as "tagAtEnd" blocks from the last one in the file back; where the
/// first of them begins goes to `tagsBegin`.
std::vector<MetadataBlock> tagsBehind(const FileReader& file, std::int64_t begin, std::int64_t end,
                                      std::int64_t* tagsBegin);

/// Tags in front of and behind a stream without a container of its own (MP3, ADTS, AC-3, FLAC…)
/// and the metadata blocks of a FLAC stream. FLAC comment and picture blocks, which FFmpeg
/// reports as tags and pictures, are counted into metadataBytes without a block of their own.
void addRawStreamRegions(const FileReader& file, MetadataReport& report);

} // namespace cleftone::audiofile
