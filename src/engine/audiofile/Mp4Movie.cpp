#include "engine/audiofile/Mp4Movie.h"

#include <algorithm>
#include <cstring>

// The movie box of a plain MP4-family file, read box by box: only the small boxes are held in
// memory, the sample tables stay in the file.
namespace cleftone::audiofile {

namespace {

// Boxes read whole. Real ones are a few hundred bytes; a sample description with a large
// codec setup (an ALAC or FLAC one with extra blocks) stays far below this.
constexpr std::int64_t kMaxSmallBox = 1 << 20;

// A small box, whole, with a 32-bit size whatever size field it had in the file.
std::optional<std::vector<std::uint8_t>> readWhole(const FileReader& file, const Mp4Box& box)
{
    if (box.bodySize() > kMaxSmallBox)
        return std::nullopt;
    const auto size = std::uint32_t(8 + box.bodySize());
    std::vector<std::uint8_t> bytes = {std::uint8_t(size >> 24),     std::uint8_t(size >> 16),
                                       std::uint8_t(size >> 8),      std::uint8_t(size),
                                       std::uint8_t(box.type >> 24), std::uint8_t(box.type >> 16),
                                       std::uint8_t(box.type >> 8),  std::uint8_t(box.type)};
    bytes.resize(size);
    if (!file.readAt(box.body, std::span(bytes).subspan(8)))
        return std::nullopt;
    return bytes;
}

// The body of a small box (a full box's starts with its version and flags); none when it is
// shorter than `minimum` bytes.
std::optional<std::vector<std::uint8_t>> readBody(const FileReader& file, const Mp4Box* box,
                                                  std::int64_t minimum)
{
    if (!box || box->bodySize() < minimum || box->bodySize() > kMaxSmallBox)
        return std::nullopt;
    auto bytes = file.readRange(box->body, box->bodySize());
    if (bytes.empty())
        return std::nullopt;
    return bytes;
}

Mp4Children childrenOf(const FileReader& file, const Mp4Box* box)
{
    if (!box)
        return Mp4Children{{}, false};
    return readMp4Children(file, box->body, box->end);
}

// The objectTypeIndication of an esds box's decoder configuration; 0 when there is none.
std::uint8_t objectTypeOf(std::span<const std::uint8_t> esds)
{
    std::size_t at = 4; // version and flags
    // Descriptor: a tag byte, then a length of up to four bytes of seven bits each.
    auto descriptor = [&](std::uint8_t tag) -> bool {
        if (at >= esds.size() || esds[at] != tag)
            return false;
        ++at;
        for (int i = 0; i < 4 && at < esds.size(); ++i)
            if (!(esds[at++] & 0x80))
                break;
        return at <= esds.size();
    };
    if (!descriptor(0x03) || at + 3 > esds.size())
        return 0;
    const std::uint8_t flags = esds[at + 2];
    at += 3;
    if (flags & 0x80)
        at += 2; // depends on another stream
    if (flags & 0x40 && at < esds.size())
        at += 1 + esds[at]; // a URL
    if (flags & 0x20)
        at += 2; // OCR stream
    if (!descriptor(0x04) || at >= esds.size())
        return 0;
    return esds[at];
}

// The format of a sample entry's codec, or 0 for one the reader leaves to libavformat.
AudioFormatID formatOf(const FileReader& file, const Mp4Box& entry, std::int64_t childrenAt)
{
    switch (entry.type) {
    case fourCC("alac"):
        return AudioFormat::AppleLossless;
    case fourCC("fLaC"):
        return AudioFormat::FLAC;
    case fourCC("Opus"):
        return AudioFormat::Opus;
    case fourCC("ac-3"):
        return AudioFormat::AC3;
    case fourCC("ec-3"):
        return AudioFormat::EnhancedAC3;
    case fourCC("samr"):
        return AudioFormat::AMR;
    case fourCC("sawb"):
        return AudioFormat::AMR_WB;
    case fourCC("mp4a"):
        break;
    default:
        return 0;
    }
    // QuickTime's version 1 entries keep the esds inside a wave box.
    Mp4Children children = readMp4Children(file, childrenAt, entry.end);
    const Mp4Box* esds = findMp4Box(children, fourCC("esds"));
    if (!esds) {
        if (const Mp4Box* wave = findMp4Box(children, fourCC("wave"))) {
            children = readMp4Children(file, wave->body, wave->end);
            esds = findMp4Box(children, fourCC("esds"));
        }
    }
    const auto body = readBody(file, esds, 8);
    if (!body)
        return 0;
    switch (objectTypeOf(*body)) {
    case 0x40: // MPEG-4 audio
    case 0x66: // MPEG-2 AAC Main, LC and SSR
    case 0x67:
    case 0x68:
        return AudioFormat::MPEG4AAC;
    default:
        return 0; // MP3 and the rest go through the demuxer and its parsers
    }
}

struct SoundTrack {
    const Mp4Box* trak = nullptr;
    Mp4Children media; // the mdia box's children
    bool enabled = false;
};

// The sound tracks of the movie, in order.
std::vector<SoundTrack> soundTracks(const FileReader& file, const Mp4Children& movie)
{
    std::vector<SoundTrack> tracks;
    for (const Mp4Box& box : movie.boxes) {
        if (box.type != fourCC("trak"))
            continue;
        const Mp4Children trak = readMp4Children(file, box.body, box.end);
        const Mp4Children media = childrenOf(file, findMp4Box(trak, fourCC("mdia")));
        const auto handler = readBody(file, findMp4Box(media, fourCC("hdlr")), 12);
        if (!handler || std::memcmp(handler->data() + 8, "soun", 4) != 0)
            continue;
        const auto header = readBody(file, findMp4Box(trak, fourCC("tkhd")), 4);
        tracks.push_back({&box, media, header && ((*header)[3] & 1)});
    }
    return tracks;
}

// Whether the data reference `index` (1-based) says that the samples are in this file.
bool samplesInThisFile(const FileReader& file, const Mp4Children& media, std::uint32_t index)
{
    const Mp4Children information = childrenOf(
        file, findMp4Box(childrenOf(file, findMp4Box(media, fourCC("minf"))), fourCC("dinf")));
    const Mp4Box* dref = findMp4Box(information, fourCC("dref"));
    if (!dref)
        return information.boxes.empty(); // no data information: the data is here
    const Mp4Children entries = readMp4Children(file, dref->body + 8, dref->end);
    if (index == 0 || index > entries.boxes.size())
        return false;
    const Mp4Box& entry = entries.boxes[index - 1];
    std::uint8_t flags[4];
    return (entry.type == fourCC("url ") || entry.type == fourCC("urn ")) &&
           entry.bodySize() >= 4 && file.readAt(entry.body, flags) && (flags[3] & 1);
}

// The sample entry's codec and audio fields, and the sample rate check against the time scale.
Mp4Fallback readSampleEntry(const FileReader& file, const Mp4Children& media, const Mp4Box& stsd,
                            std::uint32_t timeScale, Mp4Movie& movie)
{
    std::uint8_t head[8];
    if (stsd.bodySize() < 8 || !file.readAt(stsd.body, head))
        return Mp4Fallback::DamagedBoxes;
    if (readBe32(head + 4) != 1)
        return Mp4Fallback::SeveralDescriptions;
    const auto entry = readMp4Box(file, stsd.body + 8, stsd.end);
    std::uint8_t fields[28];
    if (!entry || entry->bodySize() < 28 || !file.readAt(entry->body, fields))
        return Mp4Fallback::DamagedBoxes;
    // The writer keeps one data reference: the entry must name the first.
    if (readBe16(fields + 6) != 1 || !samplesInThisFile(file, media, 1))
        return Mp4Fallback::ExternalData;
    const std::uint16_t version = readBe16(fields + 8);
    if (version > 1)
        return Mp4Fallback::UnknownCodec; // QuickTime's version 2: LPCM and its kin
    movie.format = formatOf(file, *entry, entry->body + 28 + (version == 1 ? 16 : 0));
    if (movie.format == 0)
        return Mp4Fallback::UnknownCodec;
    movie.channels = readBe16(fields + 16);
    movie.bitsPerSample = readBe16(fields + 18);
    if (movie.channels == 0 || movie.channels > 64)
        return Mp4Fallback::UnknownCodec;
    // Rates above 65535 do not fit the entry's 16.16 field; writers put 0 or the low bits there.
    const std::uint32_t rate = readBe32(fields + 24) >> 16;
    const bool sameRate =
        rate == timeScale || (timeScale > 0xFFFF && (rate == 0 || rate == (timeScale & 0xFFFF)));
    if (!sameRate || timeScale == 0 || timeScale > 10'000'000)
        return Mp4Fallback::TimeScale;
    return Mp4Fallback::None;
}

// The sample tables' places and counts.
Mp4Fallback readTables(const FileReader& file, const Mp4Children& table, Mp4SampleTables& out)
{
    for (std::uint32_t type : {fourCC("ctts"), fourCC("stsh"), fourCC("stdp")})
        if (findMp4Box(table, type))
            return Mp4Fallback::ReorderedSamples;
    const Mp4Box* stsz = findMp4Box(table, fourCC("stsz"));
    const Mp4Box* stz2 = findMp4Box(table, fourCC("stz2"));
    const Mp4Box* stco = findMp4Box(table, fourCC("stco"));
    const Mp4Box* co64 = findMp4Box(table, fourCC("co64"));
    const Mp4Box* stsc = findMp4Box(table, fourCC("stsc"));
    const Mp4Box* stts = findMp4Box(table, fourCC("stts"));
    if (!(stsz || stz2) || !(stco || co64) || !stsc || !stts)
        return Mp4Fallback::InconsistentTables;

    std::uint8_t head[12];
    // The entry count of a table whose entries of `bytes` bytes follow 8 bytes of header.
    auto entries = [&](const Mp4Box* box, std::uint32_t bytes, std::uint64_t& count) {
        if (box->bodySize() < 8 || !file.readAt(box->body, std::span(head, 8)))
            return false;
        count = readBe32(head + 4);
        return count <= std::uint64_t(box->bodySize() - 8) / bytes;
    };
    if (stsz) {
        if (stsz->bodySize() < 12 || !file.readAt(stsz->body, head))
            return Mp4Fallback::InconsistentTables;
        out.constantSize = readBe32(head + 4);
        out.sampleCount = readBe32(head + 8);
        out.sizeBits = 32;
        out.sizes = stsz->body + 12;
    } else {
        if (stz2->bodySize() < 12 || !file.readAt(stz2->body, head))
            return Mp4Fallback::InconsistentTables;
        out.sizeBits = head[7];
        out.sampleCount = readBe32(head + 8);
        out.sizes = stz2->body + 12;
        if (out.sizeBits != 4 && out.sizeBits != 8 && out.sizeBits != 16)
            return Mp4Fallback::InconsistentTables;
    }
    const Mp4Box* sizes = stsz ? stsz : stz2;
    if (out.constantSize == 0 &&
        (out.sampleCount * out.sizeBits + 7) / 8 > std::uint64_t(sizes->end - out.sizes))
        return Mp4Fallback::InconsistentTables;
    out.chunkOffsetBytes = stco ? 4 : 8;
    if (!entries(stco ? stco : co64, out.chunkOffsetBytes, out.chunkCount) ||
        !entries(stsc, 12, out.runCount) || !entries(stts, 8, out.durationCount))
        return Mp4Fallback::InconsistentTables;
    out.chunkOffsets = (stco ? stco : co64)->body + 8;
    out.runs = stsc->body + 8;
    out.durations = stts->body + 8;
    if (out.sampleCount == 0)
        return Mp4Fallback::NoAudioTrack;

    // A sync-sample table that leaves some samples out marks samples a decoder cannot start at.
    if (const Mp4Box* stss = findMp4Box(table, fourCC("stss"))) {
        std::uint64_t sync = 0;
        if (!entries(stss, 4, sync) || sync != out.sampleCount)
            return Mp4Fallback::ReorderedSamples;
    }
    return Mp4Fallback::None;
}

// The edit list box, whole, when there is one; DamagedEditList when its entries do not fit.
Mp4Fallback readEditList(const FileReader& file, const Mp4Children& track,
                         std::vector<std::uint8_t>& out)
{
    const Mp4Children edits = childrenOf(file, findMp4Box(track, fourCC("edts")));
    const Mp4Box* elst = findMp4Box(edits, fourCC("elst"));
    if (!elst)
        return Mp4Fallback::None;
    const auto box = readWhole(file, *elst);
    if (!box || elst->bodySize() < 8)
        return Mp4Fallback::DamagedEditList;
    const std::uint8_t* body = box->data() + 8;
    const std::uint64_t entrySize = body[0] == 1 ? 20 : 12;
    if (body[0] > 1 || readBe32(body + 4) * entrySize != std::uint64_t(elst->bodySize() - 8))
        return Mp4Fallback::DamagedEditList;
    out = std::move(*box);
    return Mp4Fallback::None;
}

} // namespace

const char* mp4FallbackName(Mp4Fallback reason)
{
    switch (reason) {
    case Mp4Fallback::None:
        return "none";
    case Mp4Fallback::NotPlainMp4:
        return "not a plain MP4 file";
    case Mp4Fallback::Fragmented:
        return "fragmented";
    case Mp4Fallback::DamagedBoxes:
        return "damaged boxes";
    case Mp4Fallback::NoAudioTrack:
        return "no audio track with samples";
    case Mp4Fallback::ExternalData:
        return "samples in another file";
    case Mp4Fallback::SeveralDescriptions:
        return "several sample descriptions";
    case Mp4Fallback::UnknownCodec:
        return "codec left to libavformat";
    case Mp4Fallback::TimeScale:
        return "media time scale is not the sample rate";
    case Mp4Fallback::ReorderedSamples:
        return "composition offsets or partial sync samples";
    case Mp4Fallback::InconsistentTables:
        return "inconsistent sample tables";
    case Mp4Fallback::Truncated:
        return "truncated";
    case Mp4Fallback::DamagedEditList:
        return "damaged edit list";
    }
    return "unknown";
}

Mp4Fallback readMp4Movie(const FileReader& file, Mp4Movie& movie)
{
    movie.fileType = mp4FileTypeBox(file);
    if (movie.fileType.empty())
        return Mp4Fallback::NotPlainMp4;
    movie.type =
        mp4FileTypeForBrand(std::string(movie.fileType.begin() + 8, movie.fileType.begin() + 12));
    if (movie.type == fourCC("qtff"))
        return Mp4Fallback::NotPlainMp4;

    const Mp4Children top = readMp4Children(file, 0, file.size());
    const Mp4Box* moov = nullptr;
    for (const Mp4Box& box : top.boxes) {
        if (box.type == fourCC("moof") || box.type == fourCC("mfra"))
            return Mp4Fallback::Fragmented;
        if (box.type == fourCC("moov")) {
            if (moov)
                return Mp4Fallback::DamagedBoxes;
            moov = &box;
        }
    }
    if (!moov)
        return Mp4Fallback::DamagedBoxes;
    const Mp4Children movieBoxes = readMp4Children(file, moov->body, moov->end);
    if (findMp4Box(movieBoxes, fourCC("mvex")))
        return Mp4Fallback::Fragmented;
    const auto header = readBody(file, findMp4Box(movieBoxes, fourCC("mvhd")), 20);
    if (!header || ((*header)[0] == 1 && header->size() < 24))
        return Mp4Fallback::DamagedBoxes;
    movie.setup.movieTimeScale = readBe32(header->data() + ((*header)[0] == 1 ? 20 : 12));
    if (movie.setup.movieTimeScale == 0)
        return Mp4Fallback::DamagedBoxes;

    const std::vector<SoundTrack> tracks = soundTracks(file, movieBoxes);
    if (tracks.empty())
        return Mp4Fallback::NoAudioTrack;
    const auto enabled =
        std::find_if(tracks.begin(), tracks.end(), [](const SoundTrack& t) { return t.enabled; });
    const SoundTrack& track = enabled != tracks.end() ? *enabled : tracks.front();

    const auto media = readBody(file, findMp4Box(track.media, fourCC("mdhd")), 20);
    if (!media)
        return Mp4Fallback::DamagedBoxes;
    const bool longTimes = (*media)[0] == 1;
    if ((*media)[0] > 1 || (longTimes && media->size() < 32))
        return Mp4Fallback::DamagedBoxes;
    movie.setup.mediaTimeScale = readBe32(media->data() + (longTimes ? 20 : 12));
    const double duration =
        double(longTimes ? readBe64(media->data() + 24) : readBe32(media->data() + 16));
    if (movie.setup.mediaTimeScale)
        movie.durationSeconds = duration / movie.setup.mediaTimeScale;

    const Mp4Children table =
        childrenOf(file, findMp4Box(childrenOf(file, findMp4Box(track.media, fourCC("minf"))),
                                    fourCC("stbl")));
    const Mp4Box* stsd = findMp4Box(table, fourCC("stsd"));
    if (!stsd || !table.complete)
        return Mp4Fallback::DamagedBoxes;
    if (const Mp4Fallback why =
            readSampleEntry(file, track.media, *stsd, movie.setup.mediaTimeScale, movie);
        why != Mp4Fallback::None)
        return why;
    if (const Mp4Fallback why = readTables(file, table, movie.tables); why != Mp4Fallback::None)
        return why;
    const auto descriptions = readWhole(file, *stsd);
    if (!descriptions)
        return Mp4Fallback::DamagedBoxes;
    movie.setup.sampleDescriptions = *descriptions;
    for (const Mp4Box& box : table.boxes) {
        if (box.type != fourCC("sgpd") && box.type != fourCC("sbgp"))
            continue;
        const auto group = readWhole(file, box);
        if (!group)
            return Mp4Fallback::DamagedBoxes;
        movie.setup.sampleGroups.insert(movie.setup.sampleGroups.end(), group->begin(),
                                        group->end());
    }
    return readEditList(file, readMp4Children(file, track.trak->body, track.trak->end),
                        movie.setup.editList);
}

} // namespace cleftone::audiofile
