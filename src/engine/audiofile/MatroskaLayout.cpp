#include "engine/audiofile/MatroskaLayout.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string_view>

namespace cleftone::audiofile {

namespace {

namespace id = ebml::id;
using matroska::CueTarget;
using matroska::SeekEntry;

constexpr std::uint64_t kMaxEbmlHeader = 4096;
// Sizes and positions settle in two or three rounds; a file that keeps them moving is refused.
constexpr int kLayoutRounds = 32;

std::string_view text(std::span<const std::uint8_t> data)
{
    std::string_view s(reinterpret_cast<const char*>(data.data()), data.size());
    return s.substr(0, s.find('\0'));
}

// A top-level element that the strip leaves out, by name: the Matroska names, and the ID for an
// element unknown here.
std::string elementName(std::uint32_t element)
{
    switch (element) {
    case id::Tags:
        return "Tags";
    case id::Attachments:
        return "Attachments";
    case id::Chapters:
        return "Chapters";
    case id::Void:
        return "Void";
    case id::Info:
        return "Info (a second one)";
    case id::Tracks:
        return "Tracks (a second one)";
    case id::Cues:
        return "Cues (a second one)";
    default: {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%X", element);
        return hex;
    }
    }
}

} // namespace

OSStatus MatroskaLayout::scan(std::int64_t begin)
{
    std::int64_t segment = 0;
    OSStatus status = readEbmlHeader(begin, &segment);
    if (!status)
        status = findSegment(segment);
    if (!status)
        status = walkSegment();
    if (!status)
        status = readIndexes();
    if (!status)
        status = scanClusters();
    if (status)
        return status;
    for (matroska::TrackRegion& region : m_trackRegions)
        m_removed.push_back(std::move(region.block));
    std::vector<matroska::TrackRegion>().swap(m_trackRegions);
    resolveSeeks();
    if (const OSStatus laid = layout())
        return laid;
    buildHead();
    if (m_head.size() > kMaxElement)
        return AudioFileError::UnsupportedDataFormat;
    restart();
    return 0;
}

OSStatus MatroskaLayout::failureAt(std::int64_t offset, std::uint64_t needed) const
{
    return needed > std::uint64_t(std::max<std::int64_t>(m_file.size() - offset, 0))
               ? AudioFileError::EndOfFile
               : AudioFileError::InvalidFile;
}

OSStatus MatroskaLayout::readEbmlHeader(std::int64_t begin, std::int64_t* end)
{
    const auto header = headerAt(begin, m_file.size());
    if (!header || header->id != id::Header || header->size > kMaxEbmlHeader)
        return AudioFileError::InvalidFile;
    if (header->length() + header->size > std::uint64_t(m_file.size() - begin))
        return AudioFileError::EndOfFile;
    m_ebmlHeader = m_file.readRange(begin, header->length() + std::int64_t(header->size));
    const auto fields = ebml::children(
        std::span(m_ebmlHeader)
            .subspan(std::min<std::size_t>(m_ebmlHeader.size(), std::size_t(header->length()))));
    if (m_ebmlHeader.empty() || !fields)
        return AudioFileError::InvalidFile;
    std::string_view docType;
    std::uint64_t maxIdLength = 4, maxSizeLength = 8;
    for (const ebml::Child& field : *fields) {
        if (field.header.id == id::DocType)
            docType = text(field.data);
        else if (field.header.id == id::MaxIdLength)
            maxIdLength = ebml::readUnsigned(field.data);
        else if (field.header.id == id::MaxSizeLength)
            maxSizeLength = ebml::readUnsigned(field.data);
    }
    m_type = docType == "webm"       ? AudioFileType::WebM
             : docType == "matroska" ? AudioFileType::Matroska
                                     : 0;
    if (!m_type || maxIdLength > 4 || maxSizeLength > 8)
        return AudioFileError::UnsupportedFileType;
    *end = begin + std::int64_t(m_ebmlHeader.size());
    return 0;
}

OSStatus MatroskaLayout::findSegment(std::int64_t at)
{
    const std::int64_t fileEnd = m_file.size();
    std::optional<ebml::Header> header;
    for (;;) {
        header = headerAt(at, fileEnd);
        if (header && header->id == id::Segment)
            break;
        if (!header)
            return failureAt(at, 12);
        if (header->id != id::Void || header->unknownSize())
            return AudioFileError::InvalidFile;
        if (header->size > std::uint64_t(fileEnd - at - header->length()))
            return AudioFileError::EndOfFile;
        m_removed.push_back({"element", "Void", header->length() + std::int64_t(header->size)});
        at += header->length() + std::int64_t(header->size);
    }
    m_segmentSizeWidth = std::uint8_t(header->sizeLength);
    m_segmentUnknown = header->unknownSize();
    m_segmentData = at + header->length();
    if (m_segmentUnknown) {
        // A live recording runs to the end of the file, where taggers may have appended tags.
        m_segmentEnd = trimTrailingTags(m_file, m_segmentData, fileEnd);
        return 0;
    }
    if (header->size > std::uint64_t(fileEnd - m_segmentData))
        return AudioFileError::EndOfFile;
    m_segmentEnd = m_segmentData + std::int64_t(header->size);
    // A second segment (or a whole second file) would be lost; other trailing bytes are no
    // part of the file and stay behind.
    const auto next = headerAt(m_segmentEnd, fileEnd);
    m_secondSegment = next && (next->id == id::Header || next->id == id::Segment);
    return m_secondSegment ? AudioFileError::UnsupportedFileType : 0;
}

OSStatus MatroskaLayout::walkSegment()
{
    bool seen[3] = {false, false, false}; // Info, Tracks, Cues: the first of each counts
    for (std::int64_t at = m_segmentData; at < m_segmentEnd;) {
        const auto header = headerAt(at, m_segmentEnd);
        if (!header)
            return failureAt(at, 12);
        if (header->id == id::Header || header->id == id::Segment) {
            m_secondSegment = true; // in a segment of unknown size
            return AudioFileError::UnsupportedFileType;
        }
        std::int64_t end = 0;
        if (header->unknownSize()) {
            if (header->id != id::Cluster)
                return AudioFileError::InvalidFile;
            if (const OSStatus status = clusterEnd(at, &end))
                return status;
        } else {
            if (header->size > std::uint64_t(m_segmentEnd - at - header->length()))
                return failureAt(at, header->length() + header->size);
            end = at + header->length() + std::int64_t(header->size);
        }
        Item item;
        item.offset = at;
        item.sizeWidth = std::uint8_t(header->sizeLength);
        const auto once = [&](int which, Kind kind) {
            if (!seen[which])
                item.kind = kind;
            seen[which] = true;
        };
        switch (header->id) {
        case id::SeekHead: // one index in the place of the first
            if (m_seekHeads.empty())
                item.kind = Kind::SeekHead;
            m_seekHeads.push_back(at);
            break;
        case id::Info:
            once(0, Kind::Info);
            break;
        case id::Tracks:
            once(1, Kind::Tracks);
            break;
        case id::Cues:
            once(2, Kind::Cues);
            break;
        case id::Cluster:
            item.kind = Kind::Cluster;
            item.flags = header->unknownSize() ? kUnknownSize : 0;
            break;
        default: // tags, attachments, chapters, void and anything unknown
            break;
        }
        if (item.kind != Kind::Dropped)
            m_items.push_back(item);
        else if (header->id != id::SeekHead) // a later seek index is merged into the first
            m_removed.push_back({"element", elementName(header->id), end - at});
        at = end;
    }
    return 0;
}

std::optional<std::vector<std::uint8_t>> MatroskaLayout::readElement(std::int64_t offset,
                                                                     bool bodyOnly)
{
    const auto header = headerAt(offset, m_segmentEnd);
    if (!header || header->unknownSize() || header->size > kMaxElement)
        return std::nullopt;
    const std::int64_t skip = bodyOnly ? header->length() : 0;
    const std::int64_t length = header->length() - skip + std::int64_t(header->size);
    if (length == 0)
        return std::vector<std::uint8_t>();
    auto bytes = m_file.readRange(offset + skip, length);
    if (std::int64_t(bytes.size()) != length)
        return std::nullopt;
    return bytes;
}

OSStatus MatroskaLayout::readIndexes()
{
    const auto find = [&](Kind kind) -> Item* {
        const auto it = std::find_if(m_items.begin(), m_items.end(),
                                     [kind](const Item& item) { return item.kind == kind; });
        return it == m_items.end() ? nullptr : &*it;
    };
    Item* tracks = find(Kind::Tracks);
    if (!tracks)
        return AudioFileError::UnsupportedDataFormat;
    auto body = readElement(tracks->offset, true);
    if (!body)
        return AudioFileError::InvalidFile;
    bool crc = false;
    const auto kept = matroska::strippedTracksBody(*body, &m_track, &crc, m_trackRegions);
    if (!kept)
        return AudioFileError::UnsupportedDataFormat;
    ebml::appendMaster(m_tracks, id::Tracks, tracks->sizeWidth, crc, *kept);

    if (Item* info = find(Kind::Info)) {
        body = readElement(info->offset, true);
        crc = false;
        const auto stripped =
            body ? matroska::strippedInfoBody(*body, &crc, m_removed) : std::nullopt;
        if (!stripped)
            return AudioFileError::InvalidFile;
        ebml::appendMaster(m_info, id::Info, info->sizeWidth, crc, *stripped);
    }

    // A damaged index is left out; the file reads without it.
    for (const std::int64_t offset : m_seekHeads) {
        body = readElement(offset, true);
        std::vector<SeekEntry> entries;
        if (!body || !matroska::collectSeekEntries(*body, m_segmentData, entries))
            continue;
        m_seeks.insert(m_seeks.end(), entries.begin(), entries.end());
        if (offset == m_seekHeads.front() && !body->empty() && (*body)[0] == id::Crc32)
            find(Kind::SeekHead)->flags |= kCrc;
    }
    if (Item* cues = find(Kind::Cues)) {
        body = readElement(cues->offset, true);
        if (body && matroska::collectCueTargets(*body, m_track, m_segmentData, m_cues)) {
            m_cuesInput = std::move(*body);
        } else {
            m_cues.clear();
            cues->kind = Kind::Dropped;
        }
    }
    return 0;
}

void MatroskaLayout::resolveSeeks()
{
    if (std::none_of(m_cues.begin(), m_cues.end(),
                     [](const CueTarget& c) { return c.clusterKept; }))
        for (Item& item : m_items)
            if (item.kind == Kind::Cues)
                item.kind = Kind::Dropped;
    std::erase_if(m_items, [](const Item& item) { return item.kind == Kind::Dropped; });

    const auto idOf = [](Kind kind) {
        switch (kind) {
        case Kind::Info:
            return id::Info;
        case Kind::Tracks:
            return id::Tracks;
        case Kind::Cluster:
            return id::Cluster;
        case Kind::Cues:
            return id::Cues;
        default:
            return std::uint32_t(0); // another seek index is merged into the first
        }
    };
    const auto at = [this](std::int64_t offset) {
        return std::lower_bound(m_items.begin(), m_items.end(), offset,
                                [](const Item& item, std::int64_t o) { return item.offset < o; });
    };
    // Entries whose element stays, once each; the others go with their elements.
    std::vector<SeekEntry> kept;
    for (const SeekEntry& entry : m_seeks) {
        const auto it = at(entry.target);
        if (it != m_items.end() && it->offset == entry.target && idOf(it->kind) == entry.id &&
            std::none_of(kept.begin(), kept.end(),
                         [&](const SeekEntry& k) { return k.target == entry.target; }))
            kept.push_back(entry);
    }
    m_seeks = std::move(kept);
    if (m_seeks.empty())
        std::erase_if(m_items, [](const Item& item) { return item.kind == Kind::SeekHead; });
    for (SeekEntry& entry : m_seeks)
        entry.item = std::size_t(at(entry.target) - m_items.begin());
}

std::vector<std::uint8_t> MatroskaLayout::bytesOf(const Item& item)
{
    switch (item.kind) {
    case Kind::Info:
        return m_info;
    case Kind::Tracks:
        return m_tracks;
    case Kind::SeekHead:
        return matroska::seekHead(m_seeks, item.sizeWidth, item.flags & kCrc);
    case Kind::Cues: {
        // Held while the layout is worked out; read again for the packet.
        if (!m_cuesInput.empty())
            return matroska::strippedCues(m_cuesInput, m_track, m_cues, item.sizeWidth);
        const auto body = readElement(item.offset, true);
        return body ? matroska::strippedCues(*body, m_track, m_cues, item.sizeWidth)
                    : std::vector<std::uint8_t>();
    }
    default:
        return {};
    }
}

OSStatus MatroskaLayout::layout()
{
    // Sizes depend on positions (in the seek and cue indexes and the clusters' Position), and
    // positions on sizes. Fields only ever widen, so the rounds settle.
    std::vector<std::uint32_t> seeks(m_seeks.size()); // by the element they name
    std::iota(seeks.begin(), seeks.end(), 0u);
    std::sort(seeks.begin(), seeks.end(), [this](std::uint32_t a, std::uint32_t b) {
        return m_seeks[a].item < m_seeks[b].item;
    });
    for (int round = 0; round < kLayoutRounds; ++round) {
        bool changed = false;
        std::uint64_t position = 0;
        std::optional<std::uint32_t> previous;
        std::size_t cue = 0, seek = 0;
        for (std::size_t i = 0; i < m_items.size(); ++i) {
            Item& item = m_items[i];
            for (; seek < seeks.size() && m_seeks[seeks[seek]].item == i; ++seek)
                m_seeks[seeks[seek]].position = position;
            std::uint64_t size = 0;
            if (item.kind == Kind::Cluster) {
                const ClusterSizes s = clusterSizes(item, position, previous);
                size = s.total;
                while (cue < m_cueOrder.size() && m_cues[m_cueOrder[cue]].cluster < item.offset)
                    ++cue;
                for (; cue < m_cueOrder.size() && m_cues[m_cueOrder[cue]].cluster == item.offset;
                     ++cue) {
                    CueTarget& t = m_cues[m_cueOrder[cue]];
                    t.newCluster = position;
                    t.newRelative = s.crc + t.keptBefore + (t.afterPosition ? s.position : 0) +
                                    (t.afterPrevSize ? s.prevSize : 0);
                }
                previous = std::uint32_t(std::min<std::uint64_t>(size, UINT32_MAX));
            } else {
                size = bytesOf(item).size();
            }
            if (size == 0 || size > 2 * kMaxElement)
                return AudioFileError::UnsupportedDataFormat;
            changed = changed || size != item.size;
            item.size = std::uint32_t(size);
            position += size;
        }
        if (!changed)
            return 0;
    }
    return AudioFileError::InvalidFile;
}

void MatroskaLayout::buildHead()
{
    const auto firstCluster = std::find_if(m_items.begin(), m_items.end(), [](const Item& item) {
        return item.kind == Kind::Cluster;
    });
    m_firstPacket = std::size_t(firstCluster - m_items.begin());
    std::uint64_t total = 0;
    for (const Item& item : m_items)
        total += item.size;
    m_head = m_ebmlHeader;
    ebml::appendId(m_head, id::Segment);
    if (m_segmentUnknown)
        ebml::appendSize(m_head, ebml::kUnknownSize, m_segmentSizeWidth);
    else
        ebml::appendSize(m_head, total, ebml::sizeFieldWidth(total, m_segmentSizeWidth));
    for (std::size_t i = 0; i < m_firstPacket; ++i) {
        const auto bytes = bytesOf(m_items[i]);
        m_head.insert(m_head.end(), bytes.begin(), bytes.end());
    }
    m_byteCount = 0;
    m_maxPacketSize = 0;
    for (std::size_t i = m_firstPacket; i < m_items.size(); ++i) {
        m_byteCount += m_items[i].size;
        m_maxPacketSize = std::max(m_maxPacketSize, m_items[i].size);
    }
    std::vector<std::uint8_t>().swap(m_cuesInput);
}

std::int64_t MatroskaLayout::firstPacketOffset() const
{
    return m_firstPacket < m_items.size() ? m_items[m_firstPacket].offset : 0;
}

void MatroskaLayout::restart()
{
    m_next = m_firstPacket;
    m_position = 0;
    for (std::size_t i = 0; i < m_firstPacket; ++i)
        m_position += m_items[i].size;
    m_previousCluster.reset();
}

OSStatus MatroskaLayout::peek(std::uint32_t* size) const
{
    if (m_next >= m_items.size())
        return AudioFileError::EndOfFile;
    *size = m_items[m_next].size;
    return 0;
}

OSStatus MatroskaLayout::take(std::uint8_t* out)
{
    if (m_next >= m_items.size())
        return AudioFileError::EndOfFile;
    const Item& item = m_items[m_next];
    if (item.kind == Kind::Cluster) {
        if (const OSStatus status = copyCluster(item, out))
            return status;
        m_previousCluster = item.size;
    } else {
        const auto bytes = bytesOf(item);
        if (bytes.size() != item.size)
            return AudioFileError::InvalidFile; // the file changed since it was opened
        std::memcpy(out, bytes.data(), bytes.size());
    }
    m_position += item.size;
    ++m_next;
    return 0;
}

} // namespace cleftone::audiofile
