#include "engine/audiofile/MatroskaLayout.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numeric>

// The clusters: which of their elements stay, their stripped sizes, and the making of each.

namespace cleftone::audiofile {

namespace {

namespace id = ebml::id;
using matroska::CueTarget;

constexpr std::size_t kReadAhead = 8192;

bool isClusterChild(std::uint32_t child)
{
    switch (child) {
    case id::Timestamp:
    case id::Position:
    case id::PrevSize:
    case id::SimpleBlock:
    case id::BlockGroup:
    case id::Void:
    case id::Crc32:
    case 0x5854: // SilentTracks
    case 0xAF:   // EncryptedBlock
        return true;
    default:
        return false;
    }
}

} // namespace

struct MatroskaLayout::ClusterShape {
    std::int64_t data = 0; // where its children start
    std::int64_t end = 0;
    std::uint64_t body = 0;
    std::uint64_t prevSizeValue = 0;
    std::uint32_t blocks = 0; // kept ones
    std::uint8_t flags = 0;
    std::uint8_t positionWidth = 0;
    std::uint8_t prevSizeWidth = 0;
};

std::size_t ReadAhead::read(std::int64_t offset, std::span<std::uint8_t> out)
{
    if (offset < 0 || offset >= m_file.size() || out.size() > kReadAhead)
        return 0;
    const auto wanted =
        std::size_t(std::min<std::int64_t>(std::int64_t(out.size()), m_file.size() - offset));
    if (offset < m_start || offset + std::int64_t(wanted) > m_start + std::int64_t(m_length)) {
        m_buffer.resize(kReadAhead);
        m_start = offset;
        m_length = std::size_t(std::min<std::int64_t>(kReadAhead, m_file.size() - offset));
        if (!m_file.readAt(offset, std::span(m_buffer.data(), m_length))) {
            m_length = 0;
            return 0;
        }
    }
    std::memcpy(out.data(), m_buffer.data() + (offset - m_start), wanted);
    return wanted;
}

std::optional<ebml::Header> MatroskaLayout::headerAt(std::int64_t offset, std::int64_t limit)
{
    if (offset >= limit)
        return std::nullopt;
    std::uint8_t bytes[12];
    const std::size_t n = m_ahead.read(
        offset, std::span(bytes, std::size_t(std::min<std::int64_t>(12, limit - offset))));
    return ebml::parseHeader(std::span(bytes, n));
}

std::uint64_t MatroskaLayout::blockTrack(std::int64_t data, std::uint64_t size)
{
    std::uint8_t bytes[8] = {};
    const std::size_t n = m_ahead.read(data, std::span(bytes, std::min<std::uint64_t>(size, 8)));
    if (n == 0 || bytes[0] == 0)
        return 0;
    const int length = std::countl_zero(bytes[0]) + 1;
    if (std::size_t(length) > n)
        return 0;
    std::uint64_t track = bytes[0] & (0xFFu >> length);
    for (int i = 1; i < length; ++i)
        track = (track << 8) | bytes[i];
    return track;
}

std::uint64_t MatroskaLayout::groupTrack(std::int64_t data, std::uint64_t size)
{
    const std::int64_t end = data + std::int64_t(size);
    for (std::int64_t at = data; at < end;) {
        const auto child = headerAt(at, end);
        if (!child || child->unknownSize() ||
            child->size > std::uint64_t(end - at - child->length()))
            return 0;
        if (child->id == id::Block)
            return blockTrack(at + child->length(), child->size);
        at += child->length() + std::int64_t(child->size);
    }
    return 0;
}

template <typename Visit>
OSStatus MatroskaLayout::walkCluster(std::int64_t offset, ClusterShape& shape, Visit visit)
{
    const auto header = headerAt(offset, m_segmentEnd);
    if (!header || header->id != id::Cluster)
        return AudioFileError::InvalidFile;
    const bool unknown = header->unknownSize();
    shape.data = offset + header->length();
    if (!unknown && header->size > std::uint64_t(m_segmentEnd - shape.data))
        return failureAt(shape.data, header->size);
    std::int64_t end = unknown ? m_segmentEnd : shape.data + std::int64_t(header->size);
    std::uint32_t blockNumber = 0;
    for (std::int64_t at = shape.data; at < end;) {
        const auto child = headerAt(at, end);
        // A cluster of unknown size ends where an element that cannot be in it begins.
        if (unknown && child && !isClusterChild(child->id)) {
            end = at;
            break;
        }
        if (!child)
            return failureAt(at, 12);
        if (child->unknownSize())
            return AudioFileError::InvalidFile;
        if (child->size > std::uint64_t(end - at - child->length()))
            return failureAt(at, child->length() + child->size);
        const std::int64_t data = at + child->length();
        const std::uint64_t length = std::uint64_t(child->length()) + child->size;
        Action action = Action::Drop;
        std::uint32_t number = 0;
        switch (child->id) {
        case id::Crc32:
            if (at == shape.data) {
                action = Action::Crc;
                shape.flags |= kCrc;
            }
            break;
        case id::Position:
        case id::PrevSize: {
            const bool position = child->id == id::Position;
            if ((shape.flags & (position ? kPosition : kPrevSize)) || child->size > 8)
                break; // a second one goes
            std::uint8_t bytes[8];
            const auto span = std::span(bytes, std::size_t(child->size));
            if (m_ahead.read(data, span) != span.size())
                return AudioFileError::InvalidFile;
            const std::uint64_t value = ebml::readUnsigned(span);
            if (position) {
                action = Action::Position;
                shape.flags |= kPosition | (value == 0 ? kLivePosition : 0);
                shape.positionWidth = std::uint8_t(child->size);
            } else {
                action = Action::PrevSize;
                shape.flags |= kPrevSize;
                shape.prevSizeWidth = std::uint8_t(child->size);
                shape.prevSizeValue = value;
            }
            break;
        }
        case id::Timestamp:
            action = Action::Keep;
            break;
        case id::SimpleBlock:
        case id::BlockGroup: {
            number = ++blockNumber;
            const std::uint64_t track = child->id == id::SimpleBlock
                                            ? blockTrack(data, child->size)
                                            : groupTrack(data, child->size);
            if (track != 0 && track == m_track) {
                action = Action::Keep;
                ++shape.blocks;
            } else if (m_countOtherBlocks) {
                for (matroska::TrackRegion& other : m_trackRegions)
                    if (other.track == track && other.track != 0)
                        other.block.bytes += std::int64_t(length);
            }
            break;
        }
        default: // void, silent tracks, encrypted blocks and anything unknown
            break;
        }
        visit(at, length, action, shape.body, number);
        if (action == Action::Keep)
            shape.body += length;
        at = data + std::int64_t(child->size);
    }
    shape.end = end;
    return 0;
}

OSStatus MatroskaLayout::clusterEnd(std::int64_t offset, std::int64_t* end)
{
    ClusterShape shape;
    const OSStatus status = walkCluster(offset, shape, [](auto&&...) {});
    *end = shape.end;
    return status;
}

OSStatus MatroskaLayout::scanClusters()
{
    // The cues by cluster, and within a cluster by block offset and by block number: a cluster's
    // walk meets its blocks in both orders.
    const auto sorted = [this](auto key) {
        std::vector<std::uint32_t> order(m_cues.size());
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return std::pair(m_cues[a].cluster, key(m_cues[a])) <
                   std::pair(m_cues[b].cluster, key(m_cues[b]));
        });
        return order;
    };
    m_cueOrder = sorted([](const CueTarget& cue) { return cue.relative; });
    const auto byBlock = sorted([](const CueTarget& cue) { return cue.block; });
    std::size_t first = 0;
    bool firstCluster = true;
    for (Item& item : m_items) {
        if (item.kind != Kind::Cluster)
            continue;
        while (first < m_cueOrder.size() && m_cues[m_cueOrder[first]].cluster < item.offset)
            ++first;
        std::size_t last = first;
        while (last < m_cueOrder.size() && m_cues[m_cueOrder[last]].cluster == item.offset)
            ++last;
        ClusterShape shape;
        std::size_t nextRelative = first, nextBlock = first;
        const auto mapCues = [&](std::int64_t at, std::uint64_t, Action action,
                                 std::uint64_t keptBefore, std::uint32_t number) {
            if (action != Action::Keep || number == 0)
                return;
            const auto relative = std::uint64_t(at - shape.data);
            for (; nextRelative < last && m_cues[m_cueOrder[nextRelative]].relative <= relative;
                 ++nextRelative) {
                CueTarget& cue = m_cues[m_cueOrder[nextRelative]];
                if (cue.hasRelative && cue.relative == relative) {
                    cue.relativeFound = true;
                    cue.keptBefore = std::uint32_t(keptBefore);
                    cue.afterPosition = shape.flags & kPosition;
                    cue.afterPrevSize = shape.flags & kPrevSize;
                }
            }
            for (; nextBlock < last && m_cues[byBlock[nextBlock]].block <= number; ++nextBlock)
                if (m_cues[byBlock[nextBlock]].block == number)
                    m_cues[byBlock[nextBlock]].newBlock = shape.blocks;
        };
        m_countOtherBlocks = true;
        const OSStatus walked = walkCluster(item.offset, shape, mapCues);
        m_countOtherBlocks = false;
        if (walked)
            return walked;
        if (shape.blocks == 0) { // nothing of the kept track in it
            item.kind = Kind::Dropped;
            continue;
        }
        if (shape.body > kMaxElement)
            return AudioFileError::UnsupportedDataFormat;
        item.body = std::uint32_t(shape.body);
        item.flags |= shape.flags;
        item.positionWidth = shape.positionWidth;
        item.prevSizeWidth = shape.prevSizeWidth;
        if (firstCluster)
            m_firstPrevSize = shape.prevSizeValue;
        firstCluster = false;
        for (std::size_t i = first; i < last; ++i)
            m_cues[m_cueOrder[i]].clusterKept = true;
    }
    return 0;
}

MatroskaLayout::ClusterSizes
MatroskaLayout::clusterSizes(const Item& item, std::uint64_t position,
                             std::optional<std::uint32_t> previous) const
{
    ClusterSizes s;
    s.crc = (item.flags & kCrc) ? ebml::kCrcElementSize : 0;
    s.positionValue = (item.flags & kLivePosition) ? 0 : position;
    if (item.flags & kPosition)
        s.position = std::uint64_t(
            ebml::unsignedElementSize(id::Position, s.positionValue, item.positionWidth));
    // The first cluster has no previous one in the stripped file: its value stays.
    s.prevSizeValue = previous ? *previous : m_firstPrevSize;
    if (item.flags & kPrevSize)
        s.prevSize = std::uint64_t(
            ebml::unsignedElementSize(id::PrevSize, s.prevSizeValue, item.prevSizeWidth));
    s.body = s.crc + item.body + s.position + s.prevSize;
    s.sizeWidth =
        (item.flags & kUnknownSize) ? item.sizeWidth : ebml::sizeFieldWidth(s.body, item.sizeWidth);
    s.total = std::uint64_t(ebml::idLength(id::Cluster) + s.sizeWidth) + s.body;
    return s;
}

OSStatus MatroskaLayout::copyCluster(const Item& item, std::uint8_t* out)
{
    const ClusterSizes s = clusterSizes(item, m_position, m_previousCluster);
    if (s.total != item.size)
        return AudioFileError::InvalidFile;
    std::vector<std::uint8_t> bytes;
    ebml::appendId(bytes, id::Cluster);
    ebml::appendSize(bytes, (item.flags & kUnknownSize) ? ebml::kUnknownSize : s.body, s.sizeWidth);
    const std::size_t bodyStart = bytes.size();
    std::memcpy(out, bytes.data(), bytes.size());
    std::size_t at = bodyStart + s.crc;
    bool ok = true;
    // Neighbouring kept children are read at once, straight into the packet.
    std::int64_t runStart = 0, runEnd = 0;
    const auto flush = [&] {
        const auto n = std::size_t(runEnd - runStart);
        if (n > item.size - at || (n && !m_file.readAt(runStart, std::span(out + at, n))))
            ok = false;
        else
            at += n;
        runStart = runEnd = 0;
    };
    ClusterShape shape;
    const OSStatus status = walkCluster(
        item.offset, shape,
        [&](std::int64_t child, std::uint64_t length, Action action, std::uint64_t, std::uint32_t) {
            if (action == Action::Keep) {
                if (runEnd != child) {
                    flush();
                    runStart = child;
                }
                runEnd = child + std::int64_t(length);
                return;
            }
            flush();
            bytes.clear();
            if (action == Action::Position)
                ebml::appendUnsigned(bytes, id::Position, s.positionValue, item.positionWidth);
            else if (action == Action::PrevSize)
                ebml::appendUnsigned(bytes, id::PrevSize, s.prevSizeValue, item.prevSizeWidth);
            if (bytes.size() > item.size - at) {
                ok = false;
            } else {
                std::memcpy(out + at, bytes.data(), bytes.size());
                at += bytes.size();
            }
        });
    flush();
    if (status)
        return status;
    if (!ok || at != item.size)
        return AudioFileError::InvalidFile; // the file changed since it was opened
    if (s.crc) {
        const std::size_t covered = bodyStart + ebml::kCrcElementSize;
        bytes.clear();
        ebml::appendCrcElement(bytes, ebml::crc32(std::span(out + covered, item.size - covered)));
        std::memcpy(out + bodyStart, bytes.data(), bytes.size());
    }
    return 0;
}

} // namespace cleftone::audiofile
