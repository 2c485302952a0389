#pragma once

// Ogg framing: page headers as they lie in a file, page checksums, and the pages that a
// stream's header packets make when they are laid out anew.

#include "engine/audiofile/ContainerProbe.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cleftone::audiofile {

/// One page's header: where the page lies and what its fixed fields and lacing values say.
struct OggPage {
    std::int64_t offset = 0;
    std::uint8_t flags = 0;
    std::int64_t granule = 0;
    std::uint32_t serial = 0;
    std::uint32_t sequence = 0;
    std::uint8_t segmentCount = 0;
    std::uint8_t lacing[255] = {};
    std::uint32_t bodySize = 0;

    std::uint32_t headerSize() const { return 27u + segmentCount; }
    std::uint32_t size() const { return headerSize() + bodySize; }
    /// The page goes on with a packet that began on the stream's previous page.
    bool continued() const { return flags & 1; }
    /// The first page of its logical stream (BOS).
    bool beginsStream() const { return flags & 2; }
    /// The last page of its logical stream (EOS).
    bool endsStream() const { return flags & 4; }
};

/// Whether `bytes` begin like an Ogg page: the capture pattern and version 0.
bool startsOggPage(std::span<const std::uint8_t> bytes);

/// The header of the page at `offset`, when a whole page lies there before `end`.
std::optional<OggPage> readOggPage(const FileReader& file, std::int64_t offset, std::int64_t end);

/// The header of `bytes` when they are exactly one page.
std::optional<OggPage> parseOggPage(std::span<const std::uint8_t> bytes);

/// Whether the checksum stored in `page`, one whole page, is right.
bool oggChecksumHolds(std::span<const std::uint8_t> page);

/// Gives `page`, one whole page, the sequence number `sequence` and the checksum that goes with
/// its bytes.
void renumberOggPage(std::span<std::uint8_t> page, std::uint32_t sequence);

/// The header packets of one logical stream, as a strip keeps them.
struct OggHeaders {
    std::uint32_t serial = 0;
    std::vector<std::vector<std::uint8_t>> packets;
    /// The stream has no audio: its last header page is also its last page.
    bool endStream = false;

    /// Flat bytes for the magic cookie; decode() reads them back.
    std::vector<std::uint8_t> encode() const;
    static std::optional<OggHeaders> decode(std::span<const std::uint8_t> bytes);
};

/// The pages that carry `headers` from the start of their stream, numbered from 0: the first
/// packet alone on the first page, the rest flushed onto as few pages as they fill, so that
/// audio begins on a fresh page. The same headers always give the same bytes.
std::vector<std::vector<std::uint8_t>> paginateOggHeaders(const OggHeaders& headers);

} // namespace cleftone::audiofile
