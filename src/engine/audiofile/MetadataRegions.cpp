#include "engine/audiofile/MetadataRegions.h"

#include "engine/audiofile/MpegFrames.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

std::string fourCharacters(std::uint32_t code)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = char((code >> shift) & 0xFF);
        text += (c >= 0x20 && c <= 0x7E) ? c : '?';
    }
    return text;
}

std::uint32_t be32(const std::uint8_t* bytes)
{
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 |
           std::uint32_t(bytes[2]) << 8 | bytes[3];
}

// Chunks that hold the audio or describe it; every other top-level chunk is extra.
bool isAudioChunk(std::uint32_t id)
{
    static const std::array<const char*, 11> ids = {"fmt ", "data", "fact", "ds64", "COMM", "SSND",
                                                    "FVER", "desc", "pakt", "kuki", "chan"};
    return std::any_of(ids.begin(), ids.end(),
                       [id](const char* each) { return fourCharacters(id) == each; });
}

// How the chunks of a container lie: where the first header starts, how long a header is and
// to what the bodies are padded.
struct ChunkLayout {
    std::int64_t first;
    std::int64_t header;
    std::int64_t align;
};

std::optional<ChunkLayout> chunkLayout(const FileReader& file)
{
    std::uint8_t head[4] = {};
    if (!file.readAt(0, head))
        return std::nullopt;
    const auto is = [&head](const char* tag) {
        return std::memcmp(head, tag, 4) == 0;
    };
    if (is("RIFF") || is("RF64") || is("BW64") || is("FORM"))
        return ChunkLayout{12, 8, 2};
    if (is("riff"))
        return ChunkLayout{40, 24, 8};
    if (is("caff"))
        return ChunkLayout{8, 12, 1};
    return std::nullopt;
}

// A damaged file can claim any number of chunks or boxes; real ones have a handful.
constexpr int kMostRegions = 1024;

// The first box of `type` between `begin` and `end`: its body's start and end.
std::optional<std::pair<std::int64_t, std::int64_t>>
findBox(const FileReader& file, std::int64_t begin, std::int64_t end, const char* type)
{
    for (int i = 0; i < kMostRegions && begin + 8 <= end; ++i) {
        std::uint8_t header[8];
        if (!file.readAt(begin, header))
            return std::nullopt;
        const std::int64_t size = be32(header);
        if (size < 8 || size > end - begin)
            return std::nullopt;
        if (std::memcmp(header + 4, type, 4) == 0)
            return std::pair(begin + 8, begin + size);
        begin += size;
    }
    return std::nullopt;
}

// Whether a track box holds sound, by the handler of its media box.
bool isSoundTrack(const FileReader& file, std::int64_t begin, std::int64_t end)
{
    const auto media = findBox(file, begin, end, "mdia");
    const auto handler = media ? findBox(file, media->first, media->second, "hdlr") : std::nullopt;
    std::uint8_t type[4];
    return handler && file.readAt(handler->first + 8, type) && std::memcmp(type, "soun", 4) == 0;
}

void addBoxesIn(const FileReader& file, std::int64_t begin, std::int64_t end,
                const std::string& parent, MetadataReport& report)
{
    static const std::set<std::string> topLevel = {"ftyp", "free", "skip", "wide", "mdat",
                                                   "moov", "moof", "mfra", "styp", "sidx"};
    static const std::set<std::string> inMovie = {"mvhd", "trak", "mvex", "iods", "free", "skip"};
    for (int i = 0; i < kMostRegions && begin + 8 <= end; ++i) {
        std::uint8_t header[16];
        if (!file.readAt(begin, std::span(header, 8)))
            return;
        std::int64_t size = be32(header);
        std::int64_t headerSize = 8;
        if (size == 1) {
            if (!file.readAt(begin, std::span(header, 16)))
                return;
            size = std::int64_t(std::uint64_t(be32(header + 8)) << 32 | be32(header + 12));
            headerSize = 16;
        } else if (size == 0) {
            size = end - begin;
        }
        if (size < headerSize || size > end - begin)
            return;
        const std::string type = fourCharacters(be32(header + 4));
        const std::string path = parent.empty() ? type : parent + "/" + type;
        if (parent.empty() && type == "moov") {
            addBoxesIn(file, begin + headerSize, begin + size, path, report);
        } else if (parent == "moov" && type == "udta") {
            // The user-data box goes as a whole: its own header counts too.
            report.metadataBytes += headerSize;
            addBoxesIn(file, begin + headerSize, begin + size, path, report);
        } else if (parent == "moov" && type == "trak") {
            // The description of a track other than the audio goes with it; its samples are
            // counted with the stream.
            if (!isSoundTrack(file, begin + headerSize, begin + size))
                report.metadataBytes += size;
        } else if ((parent.empty() && !topLevel.count(type)) ||
                   (parent == "moov" && !inMovie.count(type)) || parent == "moov/udta") {
            report.addBlock("box", path, size);
        }
        begin += size;
    }
}

} // namespace

void addExtraChunks(const FileReader& file, MetadataReport& report)
{
    const auto layout = chunkLayout(file);
    const auto ids = layout ? chunkIDs(file) : std::nullopt;
    if (!ids)
        return;
    // The chunk walk of ContainerProbe gives each body's size (RF64's from its ds64 chunk); the
    // headers are stepped over here the same way.
    std::int64_t offset = layout->first;
    for (std::size_t i = 0; i < ids->size() && i < std::size_t(kMostRegions); ++i) {
        const std::int64_t body = offset + layout->header;
        const std::int64_t size = bytesLeftInChunk(file, body).value_or(0);
        const std::int64_t padded = (size + layout->align - 1) / layout->align * layout->align;
        if (!isAudioChunk((*ids)[i]))
            report.addBlock(
                "chunk", fourCharacters((*ids)[i]),
                std::clamp<std::int64_t>(file.size() - offset, 0, layout->header + padded));
        offset = body + padded;
    }
}

void addExtraBoxes(const FileReader& file, MetadataReport& report)
{
    std::uint8_t head[8];
    if (file.readAt(0, head) && std::memcmp(head + 4, "ftyp", 4) == 0)
        addBoxesIn(file, 0, file.size(), std::string(), report);
}

void addAnnotation(const FileReader& file, MetadataReport& report)
{
    std::uint8_t header[8];
    if (!file.readAt(0, header) || std::memcmp(header, ".snd", 4) != 0)
        return;
    const std::int64_t dataOffset = be32(header + 4);
    if (dataOffset <= 24 || dataOffset > std::min<std::int64_t>(file.size(), 1 << 20))
        return;
    const auto annotation = file.readRange(24, dataOffset - 24);
    std::string text(annotation.begin(), annotation.end());
    text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
    // A stripped file keeps an empty annotation of 8 bytes, as the format's own tools write it.
    constexpr std::int64_t kKeptAnnotation = 8;
    if (!text.empty())
        report.addBlock("annotation", text,
                        std::max<std::int64_t>(0, dataOffset - 24 - kKeptAnnotation));
}

namespace {

// FLAC metadata blocks after STREAMINFO, which is all a strip keeps. Comments and pictures
// FFmpeg reports itself, as tags and cover art; their bytes are counted here.
void addFlacBlocks(const FileReader& file, std::int64_t offset, MetadataReport& report)
{
    std::uint8_t magic[4];
    if (!file.readAt(offset, magic) || std::memcmp(magic, "fLaC", 4) != 0)
        return;
    offset += 4;
    static const std::array<const char*, 7> names = {
        nullptr, "PADDING", "APPLICATION", "SEEKTABLE", nullptr, "CUESHEET", nullptr};
    for (int i = 0; i < 128; ++i) {
        std::uint8_t header[4];
        if (!file.readAt(offset, header))
            return;
        const int type = header[0] & 0x7F;
        const std::int64_t length = (std::int64_t(header[1]) << 16) | (header[2] << 8) | header[3];
        const std::int64_t whole = std::min(4 + length, file.size() - offset);
        const bool named = type < int(names.size()) && names[size_t(type)];
        if (type == 4 || type == 6) {
            report.metadataBytes += whole;
        } else if (named || (type >= int(names.size()) && type != 127)) {
            report.addBlock("flacBlock",
                            named ? names[size_t(type)] : "type " + std::to_string(type), length);
            report.metadataBytes += 4; // the block's header goes with it
        }
        offset += 4 + length;
        if (header[0] & 0x80)
            return;
    }
}

} // namespace

void addRawStreamRegions(const FileReader& file, MetadataReport& report)
{
    std::uint8_t head[12] = {};
    if (!file.readAt(0, std::span(head, std::min<std::int64_t>(12, file.size()))) ||
        startsChunkedContainer(head))
        return;
    const std::int64_t begin = skipLeadingTags(file);
    if (begin > 0)
        report.addBlock("tagInFront", "ID3v2 tag", begin);
    addFlacBlocks(file, begin, report);

    std::int64_t tagsBegin = 0;
    for (MetadataBlock& tag : tagsBehind(file, begin, file.size(), &tagsBegin))
        report.addBlock(std::move(tag.kind), std::move(tag.name), tag.bytes);
}

std::vector<MetadataBlock> tagsBehind(const FileReader& file, std::int64_t begin, std::int64_t end,
                                      std::int64_t* tagsBegin)
{
    // Peeled one at a time, so that each is named.
    std::vector<MetadataBlock> tags;
    for (int i = 0; i < 16; ++i) {
        const std::int64_t next = trimTrailingTags(file, begin, end, 1);
        if (next >= end)
            break;
        std::uint8_t tag[11] = {};
        const std::int64_t length = end - next;
        std::string name = "tag";
        if (length == 128 && file.readAt(next, std::span(tag, 3)) &&
            std::memcmp(tag, "TAG", 3) == 0)
            name = "ID3v1 tag";
        else if (file.readAt(next, std::span(tag, 8)) && std::memcmp(tag, "APETAGEX", 8) == 0)
            name = "APE tag";
        else if (file.readAt(next, std::span(tag, 11)) && std::memcmp(tag, "LYRICSBEGIN", 11) == 0)
            name = "Lyrics3 tag";
        else if (file.readAt(next, std::span(tag, 3)) && std::memcmp(tag, "ID3", 3) == 0)
            name = "ID3v2 tag";
        tags.push_back({"tagAtEnd", std::move(name), length});
        end = next;
    }
    *tagsBegin = end;
    return tags;
}

} // namespace cleftone::audiofile

namespace cleftone {

namespace {

// The frame and byte counts that a Xing/Info or VBRI header in the first frame claims; -1 for
// a count it does not give.
struct InfoCounts {
    std::int64_t frames = -1;
    std::int64_t bytes = -1;
};

std::optional<InfoCounts> infoCounts(std::span<const std::uint8_t> frame)
{
    if (!audiofile::isMpegInfoFrame(frame))
        return std::nullopt;
    InfoCounts counts;
    if (frame.size() >= 54 && std::memcmp(frame.data() + 36, "VBRI", 4) == 0) {
        counts.bytes = audiofile::be32(frame.data() + 46);
        counts.frames = audiofile::be32(frame.data() + 50);
        return counts;
    }
    const std::uint32_t header = audiofile::be32(frame.data());
    const bool mpeg1 = ((header >> 19) & 3) == 3;
    const bool mono = ((header >> 6) & 3) == 3;
    std::size_t at = 4 + (mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17)) + 4;
    if (frame.size() < at + 4)
        return counts;
    const std::uint32_t flags = audiofile::be32(frame.data() + at);
    at += 4;
    if ((flags & 1) && frame.size() >= at + 4) {
        counts.frames = audiofile::be32(frame.data() + at);
        at += 4;
    }
    if ((flags & 2) && frame.size() >= at + 4)
        counts.bytes = audiofile::be32(frame.data() + at);
    return counts;
}

} // namespace

bool mpegStreamIsWhole(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const audiofile::FileReader file(fd);
    bool whole = false;
    if (const auto count = audiofile::countMpegAudioFrames(file, 0, file.size())) {
        // Encoders count the frames with or without the header frame itself; the repair tool
        // accepts either, and rewrites any other count.
        audiofile::MpegFrameReader frames(file, 0, file.size());
        const auto counts = infoCounts(frames.frame());
        const auto total = std::int64_t(count->frames);
        whole = !counts ||
                ((counts->frames < 0 || counts->frames == total || counts->frames == total - 1) &&
                 (counts->bytes < 0 || counts->bytes == file.size()));
    }
    ::close(fd);
    return whole;
}

} // namespace cleftone
