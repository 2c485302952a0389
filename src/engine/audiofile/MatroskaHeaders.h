#pragma once

// The small top-level elements of a Matroska or WebM file in their stripped form: the segment
// information without the user's strings, the one kept audio track, the seek index and the cue
// index with positions for the stripped layout. All work on bytes in memory; MatroskaLayout
// reads them and places them.

#include "engine/audiofile/EbmlElements.h"
#include "engine/audiofile/MetadataInspection.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cleftone::audiofile::matroska {

/// The segment information's body without title, date, file names, chapter translations and
/// void; nullopt when damaged. What it leaves out goes to `removed` as "element" blocks
/// ("Info/Title").
std::optional<std::vector<std::uint8_t>> strippedInfoBody(std::span<const std::uint8_t> body,
                                                          bool* hadCrc,
                                                          std::vector<MetadataBlock>& removed);

/// A part of the tracks that a strip leaves out: a child of the kept track (`track` 0), or the
/// entry of another track (`track` its number, as a "stream" block).
struct TrackRegion {
    std::uint64_t track = 0;
    MetadataBlock block;
};

/// The tracks' body with only the audio track a strip keeps (the first marked default, else the
/// first), without its name, attachment links and the comments inside its codec setup. Its
/// track number goes to `track`, and what is left out to `removed`. nullopt when damaged or
/// without an audio track.
std::optional<std::vector<std::uint8_t>> strippedTracksBody(std::span<const std::uint8_t> body,
                                                            std::uint64_t* track, bool* hadCrc,
                                                            std::vector<TrackRegion>& removed);

/// One entry of the seek index: an element ID and where it is, in the input and in the output.
struct SeekEntry {
    std::uint32_t id = 0;
    std::int64_t target = 0;    ///< the element's offset in the input file
    std::size_t item = 0;       ///< the kept element it names (set by the layout)
    std::uint64_t position = 0; ///< its position in the stripped segment
    int width = 0;              ///< the input's width of the position
};

/// Appends the entries of one seek index; `segmentData` is where the segment's data starts in
/// the file. false when damaged.
bool collectSeekEntries(std::span<const std::uint8_t> body, std::int64_t segmentData,
                        std::vector<SeekEntry>& out);

/// A whole seek index element for these entries.
std::vector<std::uint8_t> seekHead(std::span<const SeekEntry> entries, int sizeWidth, bool crc);

/// Where a cue of the kept track points, in the input and in the stripped file.
struct CueTarget {
    std::int64_t cluster = 0;     ///< the cluster's offset in the input file
    std::uint64_t relative = 0;   ///< the block's offset in the cluster's data
    std::uint64_t block = 0;      ///< the block's number in the cluster, from 1; 0: none
    std::uint64_t newCluster = 0; ///< the output's values, set by the layout
    std::uint64_t newRelative = 0;
    std::uint64_t newBlock = 0;
    std::uint32_t keptBefore = 0; ///< kept bytes of the cluster's data before the block
    bool hasRelative = false;
    bool clusterKept = false;   ///< the cluster is kept: the cue stays
    bool relativeFound = false; ///< the block is a kept one at that offset
    bool afterPosition = false; ///< the cluster's Position element comes before the block
    bool afterPrevSize = false;
    std::uint8_t clusterWidth = 0, relativeWidth = 0, blockWidth = 0;
};

/// Appends the targets of the kept track's cues in order; false when damaged.
bool collectCueTargets(std::span<const std::uint8_t> body, std::uint64_t track,
                       std::int64_t segmentData, std::vector<CueTarget>& out);

/// The whole cue index with the targets' new values, only for the kept track; empty when no
/// cue is left.
std::vector<std::uint8_t> strippedCues(std::span<const std::uint8_t> body, std::uint64_t track,
                                       std::span<const CueTarget> targets, int sizeWidth);

} // namespace cleftone::audiofile::matroska
