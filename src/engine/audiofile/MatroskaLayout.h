#pragma once

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/EbmlElements.h"
#include "engine/audiofile/MatroskaHeaders.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cleftone::audiofile {

/// Small reads through a buffer, for walking element headers.
/// Threads: the one thread that owns it.
class ReadAhead {
public:
    explicit ReadAhead(const FileReader& file) : m_file(file) {}
    /// Up to `out.size()` bytes at `offset`, fewer at the end of the file; how many.
    std::size_t read(std::int64_t offset, std::span<std::uint8_t> out);

private:
    const FileReader& m_file;
    std::vector<std::uint8_t> m_buffer;
    std::int64_t m_start = 0;
    std::size_t m_length = 0;
};

/// The stripped form of a Matroska or WebM file, worked out once from the input:
///
/// - the EBML header as it is, so the document type stays (a WebM file stays WebM);
/// - the segment with only the seek index, the segment information (without title, date and
///   file names), the one audio track a strip keeps (without its name, and without the comments
///   and pictures a Vorbis or FLAC codec setup may carry), the clusters and the cue index; tags,
///   attachments, chapters and void elements go;
/// - clusters keep their elements byte for byte, without the blocks of other tracks; Position,
///   PrevSize and CRC-32 are rewritten where their values change;
/// - seek and cue positions point into the stripped layout, keeping the input's field widths
///   where the values fit.
///
/// Its head is everything before the first cluster; its packets are the top-level elements from
/// the first cluster on, made one at a time. It keeps 24 bytes per cluster and the cue targets
/// of the kept track, never a whole cluster. Reading a stripped file gives the same head and
/// packets again.
///
/// Threads: one thread at a time.
class MatroskaLayout {
public:
    explicit MatroskaLayout(const FileReader& file) : m_file(file), m_ahead(file) {}

    /// Works out the stripped file from the EBML header at `begin`. Refuses a file cut inside
    /// an element (EndOfFile), a second segment (see secondSegment()), and clusters or index
    /// elements above 64 MB.
    OSStatus scan(std::int64_t begin);
    /// Whether scan() found a second segment after the first, which a strip would lose.
    bool secondSegment() const { return m_secondSegment; }
    /// What scan() found that the strip leaves out, for the metadata report: top-level
    /// elements, children of the segment information and of the kept track, and the other
    /// tracks with their blocks.
    const std::vector<MetadataBlock>& removed() const { return m_removed; }
    /// Where the segment ends in the input; what follows it is no part of the stripped file.
    std::int64_t segmentEnd() const { return m_segmentEnd; }

    AudioFileTypeID type() const { return m_type; }
    const std::vector<std::uint8_t>& head() const { return m_head; }
    std::uint64_t packetCount() const { return m_items.size() - m_firstPacket; }
    std::uint64_t byteCount() const { return m_byteCount; }
    std::uint32_t maxPacketSize() const { return m_maxPacketSize; }
    /// Where the first packet starts in the input.
    std::int64_t firstPacketOffset() const;

    /// Back to the first packet.
    void restart();
    OSStatus peek(std::uint32_t* size) const;
    OSStatus take(std::uint8_t* out);

private:
    enum class Kind : std::uint8_t { SeekHead, Info, Tracks, Cluster, Cues, Dropped };
    struct Item {
        std::int64_t offset = 0; // in the input
        std::uint32_t size = 0;  // in the stripped file
        std::uint32_t body = 0;  // clusters: kept children but CRC-32, Position and PrevSize
        Kind kind = Kind::Dropped;
        std::uint8_t flags = 0;
        std::uint8_t sizeWidth = 0; // of the input's size field
        std::uint8_t positionWidth = 0;
        std::uint8_t prevSizeWidth = 0;
    };
    enum Flag : std::uint8_t {
        kCrc = 1,
        kPosition = 2,
        kLivePosition = 4, // a Position of 0, as live recorders write it: it stays 0
        kPrevSize = 8,
        kUnknownSize = 16,
    };
    // Larger clusters and index elements are refused rather than held in memory.
    static constexpr std::uint64_t kMaxElement = 64u << 20;
    // A cluster's stripped parts for a given position and previous cluster.
    struct ClusterSizes {
        std::uint64_t crc = 0, position = 0, prevSize = 0, body = 0, total = 0;
        std::uint64_t positionValue = 0, prevSizeValue = 0;
        int sizeWidth = 0;
    };
    struct ClusterShape;
    enum class Action { Keep, Position, PrevSize, Crc, Drop };

    std::optional<ebml::Header> headerAt(std::int64_t offset, std::int64_t limit);
    OSStatus failureAt(std::int64_t offset, std::uint64_t needed) const;
    OSStatus readEbmlHeader(std::int64_t begin, std::int64_t* end);
    OSStatus findSegment(std::int64_t at);
    OSStatus walkSegment();
    OSStatus readIndexes();
    OSStatus scanClusters();
    void resolveSeeks();
    OSStatus layout();
    void buildHead();

    template <typename Visit>
    OSStatus walkCluster(std::int64_t offset, ClusterShape& shape, Visit visit);
    OSStatus clusterEnd(std::int64_t offset, std::int64_t* end);
    std::uint64_t blockTrack(std::int64_t data, std::uint64_t size);
    std::uint64_t groupTrack(std::int64_t data, std::uint64_t size);
    ClusterSizes clusterSizes(const Item& item, std::uint64_t position,
                              std::optional<std::uint32_t> previous) const;
    OSStatus copyCluster(const Item& item, std::uint8_t* out);
    std::optional<std::vector<std::uint8_t>> readElement(std::int64_t offset, bool bodyOnly);
    std::vector<std::uint8_t> bytesOf(const Item& item);

    const FileReader& m_file;
    ReadAhead m_ahead;
    AudioFileTypeID m_type = 0;
    std::vector<std::uint8_t> m_ebmlHeader, m_info, m_tracks, m_cuesInput, m_head;
    std::int64_t m_segmentData = 0, m_segmentEnd = 0;
    std::uint8_t m_segmentSizeWidth = 0;
    bool m_segmentUnknown = false;
    bool m_secondSegment = false;
    std::uint64_t m_track = 0;
    std::vector<Item> m_items;
    std::vector<std::int64_t> m_seekHeads;
    std::vector<matroska::SeekEntry> m_seeks;
    std::vector<matroska::CueTarget> m_cues;
    std::vector<std::uint32_t> m_cueOrder; // m_cues by cluster
    std::uint64_t m_firstPrevSize = 0;
    std::vector<MetadataBlock> m_removed;
    std::vector<matroska::TrackRegion> m_trackRegions;
    bool m_countOtherBlocks = false; // while scanClusters() walks: blocks of other tracks
    std::size_t m_firstPacket = 0;
    std::uint64_t m_byteCount = 0;
    std::uint32_t m_maxPacketSize = 0;

    // Sequential reading of the packets.
    std::size_t m_next = 0;
    std::uint64_t m_position = 0; // of the next packet in the stripped segment
    std::optional<std::uint32_t> m_previousCluster;
};

} // namespace cleftone::audiofile
