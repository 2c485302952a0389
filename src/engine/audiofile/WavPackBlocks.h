#pragma once

#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/MetadataInspection.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace cleftone::audiofile {

/// WavPack keeps the RIFF header of the file it was made from (and any chunks after the data)
/// inside its first and last blocks, so that unpacking gives the original file back. Those
/// chunks can hold the source's tags: LIST/INFO, bext, iXML, an id3 chunk.
struct WavPackRiffChunks {
    std::int64_t firstBlock = 0; ///< offset of the block holding the RIFF header
    std::int64_t firstBlockEnd = 0;
    std::int64_t lastBlock = 0; ///< offset of the block holding the RIFF trailer, if any
    std::int64_t lastBlockEnd = 0;
    /// The two blocks with every chunk but fmt, fact and the data header taken out of the
    /// stored RIFF header and trailer, the RIFF size and block sizes right and the block
    /// checksums made anew. Empty when the block needs no change.
    std::vector<std::uint8_t> newFirstBlock;
    std::vector<std::uint8_t> newLastBlock;
    /// The chunks taken out ("storedChunk") or, when the blocks cannot be rewritten exactly,
    /// those that stay ("wavPackHeader", "wavPackTrailer"), with their whole sizes, for the
    /// metadata report.
    std::vector<MetadataBlock> removed;
    std::vector<MetadataBlock> kept;
};

/// Looks at the WavPack stream in [begin, end) of `file`. Nullopt when it is not one, or when
/// its blocks do not chain. Where the stored header cannot be rewritten exactly (an RF64
/// header, a block checksum that does not verify as stored), nothing is rewritten and the
/// chunks are listed as kept.
std::optional<WavPackRiffChunks> wavPackRiffChunks(const FileReader& file, std::int64_t begin,
                                                   std::int64_t end);

} // namespace cleftone::audiofile
