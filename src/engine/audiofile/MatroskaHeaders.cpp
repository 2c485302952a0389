#include "engine/audiofile/MatroskaHeaders.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace cleftone::audiofile::matroska {

namespace {

using ebml::Child;
namespace id = ebml::id;

// Children that carry the user's words or only point at what a strip removes.
constexpr std::uint32_t kTitle = 0x7BA9, kDateUtc = 0x4461, kSegmentFilename = 0x7384,
                        kPrevFilename = 0x3C83AB, kNextFilename = 0x3E83BB,
                        kChapterTranslate = 0x6924, kTrackName = 0x536E, kAttachmentLink = 0x7446,
                        kTrackTranslate = 0x6624, kCueCodecState = 0xEA, kCueReference = 0xDB;
constexpr std::uint64_t kAudioTrack = 2;

bool isCrcAt(const std::vector<Child>& list, std::size_t i)
{
    return i == 0 && list[i].header.id == id::Crc32;
}

void append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at)
{
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// Xiph lacing: 255 for every full 255 bytes, then the rest.
void appendLacing(std::vector<std::uint8_t>& out, std::size_t size)
{
    for (; size >= 255; size -= 255)
        out.push_back(255);
    out.push_back(std::uint8_t(size));
}

// The three Vorbis headers with the comment header cut down to its vendor string, as the Ogg
// family keeps it. Anything not laid out as expected stays as it is.
std::vector<std::uint8_t> vorbisWithoutComments(std::span<const std::uint8_t> data)
{
    std::vector<std::uint8_t> kept(data.begin(), data.end());
    if (data.size() < 3 || data[0] != 2)
        return kept;
    std::size_t at = 1;
    std::size_t sizes[2] = {0, 0};
    for (std::size_t& size : sizes) {
        while (at < data.size() && data[at] == 255)
            size += 255, ++at;
        if (at >= data.size())
            return kept;
        size += data[at++];
    }
    if (sizes[0] > data.size() - at || sizes[1] > data.size() - at - sizes[0])
        return kept;
    const auto ident = data.subspan(at, sizes[0]);
    const auto comment = data.subspan(at + sizes[0], sizes[1]);
    const auto setup = data.subspan(at + sizes[0] + sizes[1]);
    if (comment.size() < 11 || comment[0] != 3 || std::memcmp(comment.data() + 1, "vorbis", 6))
        return kept;
    const std::uint32_t vendorLength = le32(comment, 7);
    if (vendorLength > comment.size() - 11)
        return kept;
    std::vector<std::uint8_t> stripped(comment.begin(), comment.begin() + 11 + vendorLength);
    stripped.insert(stripped.end(), {0, 0, 0, 0, 1}); // no comments, framing bit
    std::vector<std::uint8_t> out{2};
    appendLacing(out, ident.size());
    appendLacing(out, stripped.size());
    append(out, ident);
    append(out, stripped);
    append(out, setup);
    return out;
}

// "fLaC" and STREAMINFO alone: comments, pictures, padding and seek tables of a FLAC file
// that was put into Matroska whole.
std::vector<std::uint8_t> flacStreamInfoOnly(std::span<const std::uint8_t> data)
{
    if (data.size() < 42 || std::memcmp(data.data(), "fLaC", 4) != 0 || (data[4] & 0x7F) != 0 ||
        data[5] != 0 || data[6] != 0 || data[7] != 34)
        return {data.begin(), data.end()};
    std::vector<std::uint8_t> out(data.begin(), data.begin() + 42);
    out[4] = 0x80; // the last block
    return out;
}

std::vector<std::uint8_t> strippedCodecPrivate(std::string_view codec,
                                               std::span<const std::uint8_t> data)
{
    if (codec == "A_VORBIS")
        return vorbisWithoutComments(data);
    if (codec == "A_FLAC")
        return flacStreamInfoOnly(data);
    return {data.begin(), data.end()};
}

std::string_view text(std::span<const std::uint8_t> data)
{
    std::string_view s(reinterpret_cast<const char*>(data.data()), data.size());
    return s.substr(0, s.find('\0'));
}

struct TrackFacts {
    std::uint64_t number = 0;
    std::uint64_t type = 0;
    bool isDefault = true; // the flag's default
    std::string_view codec;
};

TrackFacts factsOf(const std::vector<Child>& entry)
{
    TrackFacts facts;
    for (const Child& c : entry) {
        if (c.header.id == id::TrackNumber)
            facts.number = ebml::readUnsigned(c.data);
        else if (c.header.id == id::TrackType)
            facts.type = ebml::readUnsigned(c.data);
        else if (c.header.id == id::FlagDefault)
            facts.isDefault = ebml::readUnsigned(c.data) != 0;
        else if (c.header.id == id::CodecId)
            facts.codec = text(c.data);
    }
    return facts;
}

std::optional<std::uint64_t> cueTrackOf(const std::vector<Child>& positions)
{
    for (const Child& c : positions)
        if (c.header.id == id::CueTrack)
            return ebml::readUnsigned(c.data);
    return std::nullopt;
}

} // namespace

std::optional<std::vector<std::uint8_t>> strippedInfoBody(std::span<const std::uint8_t> body,
                                                          bool* hadCrc,
                                                          std::vector<MetadataBlock>& removed)
{
    static constexpr std::pair<std::uint32_t, const char*> kLeftOut[] = {
        {kTitle, "Info/Title"},
        {kDateUtc, "Info/DateUTC"},
        {kSegmentFilename, "Info/SegmentFilename"},
        {kPrevFilename, "Info/PrevFilename"},
        {kNextFilename, "Info/NextFilename"},
        {kChapterTranslate, "Info/ChapterTranslate"},
        {id::Void, "Info/Void"},
    };
    const auto list = ebml::children(body);
    if (!list)
        return std::nullopt;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const Child& c = (*list)[i];
        const auto leftOut = std::find_if(std::begin(kLeftOut), std::end(kLeftOut),
                                          [&c](const auto& e) { return e.first == c.header.id; });
        if (isCrcAt(*list, i))
            *hadCrc = true;
        else if (leftOut != std::end(kLeftOut))
            removed.push_back({"element", leftOut->second, std::int64_t(c.whole.size())});
        else if (c.header.id != id::Crc32)
            append(out, c.whole);
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> strippedTracksBody(std::span<const std::uint8_t> body,
                                                            std::uint64_t* track, bool* hadCrc,
                                                            std::vector<TrackRegion>& removed)
{
    const auto list = ebml::children(body);
    if (!list)
        return std::nullopt;
    // As FFmpeg picks its default stream: the first audio track marked default, else the first.
    const Child* chosen = nullptr;
    std::optional<std::vector<Child>> chosenChildren;
    TrackFacts chosenFacts;
    for (std::size_t i = 0; i < list->size(); ++i) {
        *hadCrc = *hadCrc || isCrcAt(*list, i);
        if ((*list)[i].header.id != id::TrackEntry)
            continue;
        auto entry = ebml::children((*list)[i].data);
        if (!entry)
            return std::nullopt;
        const TrackFacts facts = factsOf(*entry);
        if (facts.type != kAudioTrack || facts.number == 0 || facts.codec.empty())
            continue;
        if (!chosen || (facts.isDefault && !chosenFacts.isDefault)) {
            chosen = &(*list)[i];
            chosenChildren = std::move(entry);
            chosenFacts = facts;
        }
    }
    if (!chosen)
        return std::nullopt;
    *track = chosenFacts.number;
    for (const Child& entry : *list) {
        const auto children = entry.header.id == id::TrackEntry && &entry != chosen
                                  ? ebml::children(entry.data)
                                  : std::nullopt;
        if (!children)
            continue;
        static constexpr const char* kTypes[] = {"", "video", "audio", "complex"};
        const TrackFacts facts = factsOf(*children);
        const std::string type = facts.type < 4       ? kTypes[facts.type]
                                 : facts.type == 0x10 ? "logo"
                                 : facts.type == 0x11 ? "subtitle"
                                 : facts.type == 0x12 ? "buttons"
                                 : facts.type == 0x20 ? "control"
                                                      : "type " + std::to_string(facts.type);
        removed.push_back({facts.number,
                           {"stream",
                            "track " + std::to_string(facts.number) + ": " + type + " (" +
                                std::string(facts.codec) + ")",
                            std::int64_t(entry.whole.size())}});
    }

    std::vector<std::uint8_t> entryBody;
    bool entryCrc = false;
    for (std::size_t i = 0; i < chosenChildren->size(); ++i) {
        const Child& c = (*chosenChildren)[i];
        const std::uint32_t child = c.header.id;
        if (isCrcAt(*chosenChildren, i)) {
            entryCrc = true;
        } else if (child == id::CodecPrivate) {
            const auto data = strippedCodecPrivate(chosenFacts.codec, c.data);
            const std::size_t before = entryBody.size();
            ebml::appendId(entryBody, child);
            ebml::appendSize(entryBody, data.size(),
                             ebml::sizeFieldWidth(data.size(), c.header.sizeLength));
            append(entryBody, data);
            const auto saved =
                std::int64_t(c.whole.size()) - std::int64_t(entryBody.size() - before);
            if (saved > 0)
                removed.push_back(
                    {0, {"element", "TrackEntry/CodecPrivate (comments, pictures)", saved}});
        } else if (child == kTrackName || child == kAttachmentLink || child == kTrackTranslate ||
                   child == id::Void) {
            static constexpr std::pair<std::uint32_t, const char*> kNames[] = {
                {kTrackName, "TrackEntry/Name"},
                {kAttachmentLink, "TrackEntry/AttachmentLink"},
                {kTrackTranslate, "TrackEntry/TrackTranslate"},
                {id::Void, "TrackEntry/Void"}};
            const auto name = std::find_if(std::begin(kNames), std::end(kNames),
                                           [child](const auto& n) { return n.first == child; });
            removed.push_back({0, {"element", name->second, std::int64_t(c.whole.size())}});
        } else if (child != id::Crc32) {
            append(entryBody, c.whole);
        }
    }
    std::vector<std::uint8_t> out;
    ebml::appendMaster(out, id::TrackEntry, chosen->header.sizeLength, entryCrc, entryBody);
    return out;
}

bool collectSeekEntries(std::span<const std::uint8_t> body, std::int64_t segmentData,
                        std::vector<SeekEntry>& out)
{
    const auto list = ebml::children(body);
    if (!list)
        return false;
    for (const Child& seek : *list) {
        if (seek.header.id != id::Seek)
            continue;
        const auto fields = ebml::children(seek.data);
        if (!fields)
            return false;
        SeekEntry entry;
        bool hasPosition = false;
        for (const Child& f : *fields) {
            if (f.header.id == id::SeekId && !f.data.empty() && f.data.size() <= 4 &&
                f.data[0] >= 0x10 &&
                ebml::idLength(std::uint32_t(ebml::readUnsigned(f.data))) == int(f.data.size())) {
                entry.id = std::uint32_t(ebml::readUnsigned(f.data));
            } else if (f.header.id == id::SeekPosition && f.data.size() <= 8) {
                const std::uint64_t position = ebml::readUnsigned(f.data);
                hasPosition = position < (std::uint64_t(1) << 56);
                entry.target = segmentData + std::int64_t(position);
                entry.width = int(f.data.size());
            }
        }
        if (entry.id && hasPosition)
            out.push_back(entry);
    }
    return true;
}

std::vector<std::uint8_t> seekHead(std::span<const SeekEntry> entries, int sizeWidth, bool crc)
{
    std::vector<std::uint8_t> body;
    for (const SeekEntry& entry : entries) {
        std::vector<std::uint8_t> seek;
        ebml::appendId(seek, id::SeekId);
        ebml::appendSize(seek, std::uint64_t(ebml::idLength(entry.id)), 1);
        ebml::appendId(seek, entry.id);
        ebml::appendUnsigned(seek, id::SeekPosition, entry.position, entry.width);
        ebml::appendMaster(body, id::Seek, 1, false, seek);
    }
    std::vector<std::uint8_t> out;
    ebml::appendMaster(out, id::SeekHead, sizeWidth, crc, body);
    return out;
}

bool collectCueTargets(std::span<const std::uint8_t> body, std::uint64_t track,
                       std::int64_t segmentData, std::vector<CueTarget>& out)
{
    const auto points = ebml::children(body);
    if (!points)
        return false;
    for (const Child& point : *points) {
        if (point.header.id != id::CuePoint)
            continue;
        const auto list = ebml::children(point.data);
        if (!list)
            return false;
        for (const Child& c : *list) {
            if (c.header.id != id::CueTrackPositions)
                continue;
            const auto fields = ebml::children(c.data);
            if (!fields)
                return false;
            if (cueTrackOf(*fields) != track)
                continue;
            CueTarget target;
            target.cluster = -1; // none named: the cue goes
            for (const Child& f : *fields) {
                const std::uint64_t value = ebml::readUnsigned(f.data);
                const auto width = std::uint8_t(std::min<std::size_t>(f.data.size(), 8));
                if (f.header.id == id::CueClusterPosition && value < (std::uint64_t(1) << 56)) {
                    target.cluster = segmentData + std::int64_t(value);
                    target.clusterWidth = width;
                } else if (f.header.id == id::CueRelativePosition) {
                    target.relative = value;
                    target.hasRelative = true;
                    target.relativeWidth = width;
                } else if (f.header.id == id::CueBlockNumber) {
                    target.block = value;
                    target.blockWidth = width;
                }
            }
            out.push_back(target);
        }
    }
    return true;
}

std::vector<std::uint8_t> strippedCues(std::span<const std::uint8_t> body, std::uint64_t track,
                                       std::span<const CueTarget> targets, int sizeWidth)
{
    const auto points = ebml::children(body);
    if (!points)
        return {};
    std::vector<std::uint8_t> cuesBody;
    bool cuesCrc = false;
    std::size_t next = 0;
    for (std::size_t i = 0; i < points->size(); ++i) {
        const Child& point = (*points)[i];
        cuesCrc = cuesCrc || isCrcAt(*points, i);
        if (point.header.id != id::CuePoint)
            continue;
        const auto list = ebml::children(point.data);
        if (!list)
            return {};
        std::vector<std::uint8_t> pointBody;
        bool pointCrc = false, kept = false;
        for (std::size_t j = 0; j < list->size(); ++j) {
            const Child& c = (*list)[j];
            if (isCrcAt(*list, j)) {
                pointCrc = true;
                continue;
            }
            if (c.header.id == id::Void || c.header.id == id::Crc32)
                continue;
            if (c.header.id != id::CueTrackPositions) {
                append(pointBody, c.whole); // the cue's time
                continue;
            }
            const auto fields = ebml::children(c.data);
            if (!fields || cueTrackOf(*fields) != track || next >= targets.size())
                continue;
            const CueTarget& t = targets[next++];
            if (!t.clusterKept)
                continue;
            std::vector<std::uint8_t> positions;
            bool positionsCrc = false;
            for (std::size_t k = 0; k < fields->size(); ++k) {
                const Child& f = (*fields)[k];
                const std::uint32_t field = f.header.id;
                if (isCrcAt(*fields, k))
                    positionsCrc = true;
                else if (field == id::CueClusterPosition)
                    ebml::appendUnsigned(positions, field, t.newCluster, t.clusterWidth);
                else if (field == id::CueRelativePosition && t.relativeFound)
                    ebml::appendUnsigned(positions, field, t.newRelative, t.relativeWidth);
                else if (field == id::CueBlockNumber && t.newBlock)
                    ebml::appendUnsigned(positions, field, t.newBlock, t.blockWidth);
                else if (field != id::CueRelativePosition && field != id::CueBlockNumber &&
                         field != kCueCodecState && field != kCueReference && field != id::Void &&
                         field != id::Crc32)
                    append(positions, f.whole);
            }
            ebml::appendMaster(pointBody, id::CueTrackPositions, c.header.sizeLength, positionsCrc,
                               positions);
            kept = true;
        }
        if (kept)
            ebml::appendMaster(cuesBody, id::CuePoint, point.header.sizeLength, pointCrc,
                               pointBody);
    }
    if (cuesBody.empty())
        return {};
    std::vector<std::uint8_t> out;
    ebml::appendMaster(out, id::Cues, sizeWidth, cuesCrc, cuesBody);
    return out;
}

} // namespace cleftone::audiofile::matroska
