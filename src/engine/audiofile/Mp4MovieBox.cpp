#include "engine/audiofile/AvPtr.h"
#include "engine/audiofile/Mp4Output.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <limits>
#include <string_view>

// The movie box that the service's own MP4 writer puts after the media data, laid out as
// libavformat's muxer lays out an audio-only file (less its user data): no time stamps, the
// input's sample descriptions, edit list and sample groups, and sample tables built from what
// was written.
namespace cleftone::audiofile {

namespace {

// Boxes written front to back; a box's size is filled in when it is closed. Bytes that are
// written elsewhere (the sample sizes) count towards every box that holds their place.
class BoxBuilder {
public:
    std::vector<std::uint8_t> bytes;
    std::size_t insertAt = std::numeric_limits<std::size_t>::max();
    std::uint64_t inserted = 0;

    void u8(std::uint8_t value) { bytes.push_back(value); }
    void u16(std::uint16_t value)
    {
        u8(std::uint8_t(value >> 8));
        u8(std::uint8_t(value));
    }
    void u32(std::uint32_t value)
    {
        u16(std::uint16_t(value >> 16));
        u16(std::uint16_t(value));
    }
    void u64(std::uint64_t value)
    {
        u32(std::uint32_t(value >> 32));
        u32(std::uint32_t(value));
    }
    void zeros(std::size_t count) { bytes.insert(bytes.end(), count, 0); }
    void raw(const std::vector<std::uint8_t>& data)
    {
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    void open(std::uint32_t type)
    {
        m_open.push_back(bytes.size());
        u32(0);
        u32(type);
    }
    void openFull(std::uint32_t type, std::uint8_t version, std::uint32_t flags)
    {
        open(type);
        u32((std::uint32_t(version) << 24) | flags);
    }
    void close()
    {
        const std::size_t at = m_open.back();
        m_open.pop_back();
        std::uint64_t size = bytes.size() - at;
        if (at < insertAt && insertAt <= bytes.size())
            size += inserted;
        for (int i = 0; i < 4; ++i)
            bytes[at + std::size_t(i)] = std::uint8_t(size >> (24 - 8 * i));
    }

private:
    std::vector<std::size_t> m_open;
};

// The unity matrix of movie and track headers.
void matrix(BoxBuilder& box)
{
    for (const std::uint32_t value :
         {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u})
        box.u32(value);
}

// A time in a header: 32 bits in a version 0 box, 64 bits in a version 1 box.
void putTime(BoxBuilder& box, bool longTimes, std::uint64_t value)
{
    if (longTimes)
        box.u64(value);
    else
        box.u32(std::uint32_t(value));
}

// How long the track plays, in the movie's time scale: what its edits add up to, or the whole
// media without an edit list.
std::uint64_t presentationDuration(const Mp4TrackSetup& setup, std::uint64_t mediaDuration)
{
    const std::vector<std::uint8_t>& edits = setup.editList;
    if (edits.size() >= 16) {
        const bool longEntries = edits[8] == 1;
        const std::uint64_t count = readBe32(edits.data() + 12);
        const std::size_t entrySize = longEntries ? 20 : 12;
        std::uint64_t total = 0;
        for (std::uint64_t i = 0; i < count && 16 + (i + 1) * entrySize <= edits.size(); ++i) {
            const std::uint8_t* entry = edits.data() + 16 + i * entrySize;
            total += longEntries ? readBe64(entry) : readBe32(entry);
        }
        return total;
    }
    return std::uint64_t(av_rescale_rnd(std::int64_t(mediaDuration), setup.movieTimeScale,
                                        setup.mediaTimeScale, AV_ROUND_UP));
}

void sampleTables(BoxBuilder& box, const Mp4TrackSetup& setup, const Mp4WrittenTrack& track)
{
    box.open(fourCC("stbl"));
    box.raw(setup.sampleDescriptions);

    box.openFull(fourCC("stts"), 0, 0);
    box.u32(std::uint32_t(track.durations.size()));
    for (const auto& [count, duration] : track.durations) {
        box.u32(count);
        box.u32(duration);
    }
    box.close();

    box.openFull(fourCC("stsc"), 0, 0);
    box.u32(std::uint32_t(track.chunkRuns.size()));
    for (const auto& [firstChunk, samples] : track.chunkRuns) {
        box.u32(firstChunk);
        box.u32(samples);
        box.u32(1); // the one sample description
    }
    box.close();

    box.openFull(fourCC("stsz"), 0, 0);
    const std::uint32_t common = track.commonSize();
    box.u32(common);
    box.u32(std::uint32_t(track.sizes.size()));
    if (!common) {
        box.insertAt = box.bytes.size();
        box.inserted = 4 * std::uint64_t(track.sizes.size());
    }
    box.close();

    const bool longOffsets = !track.chunkOffsets.empty() && track.chunkOffsets.back() > 0xFFFFFFFFu;
    box.openFull(longOffsets ? fourCC("co64") : fourCC("stco"), 0, 0);
    box.u32(std::uint32_t(track.chunkOffsets.size()));
    for (const std::uint64_t offset : track.chunkOffsets)
        longOffsets ? box.u64(offset) : box.u32(std::uint32_t(offset));
    box.close();

    box.raw(setup.sampleGroups);
    box.close();
}

} // namespace

Mp4MovieBox buildMp4MovieBox(const Mp4TrackSetup& setup, const Mp4WrittenTrack& track)
{
    const std::uint64_t mediaDuration = track.mediaDuration;
    const std::uint64_t duration = presentationDuration(setup, mediaDuration);
    const bool longDuration = duration > 0xFFFFFFFFu;
    const bool longMediaDuration = mediaDuration > 0xFFFFFFFFu;
    BoxBuilder box;
    box.open(fourCC("moov"));

    box.openFull(fourCC("mvhd"), longDuration, 0);
    putTime(box, longDuration, 0); // created
    putTime(box, longDuration, 0); // modified
    box.u32(setup.movieTimeScale);
    putTime(box, longDuration, duration);
    box.u32(0x00010000); // rate 1.0
    box.u16(0x0100);     // volume 1.0
    box.zeros(10);
    matrix(box);
    box.zeros(24);
    box.u32(2); // next track ID
    box.close();

    box.open(fourCC("trak"));
    box.openFull(fourCC("tkhd"), longDuration, 3); // enabled, in the movie
    putTime(box, longDuration, 0);
    putTime(box, longDuration, 0);
    box.u32(1); // track ID
    box.u32(0);
    putTime(box, longDuration, duration);
    box.zeros(8);
    box.u16(0);      // layer
    box.u16(1);      // alternate group: sound
    box.u16(0x0100); // volume 1.0
    box.u16(0);
    matrix(box);
    box.u32(0); // width
    box.u32(0); // height
    box.close();

    if (!setup.editList.empty()) {
        box.open(fourCC("edts"));
        box.raw(setup.editList);
        box.close();
    }

    box.open(fourCC("mdia"));
    box.openFull(fourCC("mdhd"), longMediaDuration, 0);
    putTime(box, longMediaDuration, 0);
    putTime(box, longMediaDuration, 0);
    box.u32(setup.mediaTimeScale);
    putTime(box, longMediaDuration, mediaDuration);
    box.u16(0x55C4); // "und"
    box.u16(0);
    box.close();

    box.openFull(fourCC("hdlr"), 0, 0);
    box.u32(0);
    box.u32(fourCC("soun"));
    box.zeros(12);
    for (const char c : std::string_view("SoundHandler"))
        box.u8(std::uint8_t(c));
    box.u8(0);
    box.close();

    box.open(fourCC("minf"));
    box.openFull(fourCC("smhd"), 0, 0);
    box.u32(0); // balance and reserved
    box.close();
    box.open(fourCC("dinf"));
    box.openFull(fourCC("dref"), 0, 0);
    box.u32(1);
    box.openFull(fourCC("url "), 0, 1); // the data is in this file
    box.close();
    box.close();
    box.close();
    sampleTables(box, setup, track);
    box.close(); // minf
    box.close(); // mdia
    box.close(); // trak
    box.close(); // moov

    Mp4MovieBox movie;
    movie.withSizes = box.inserted > 0;
    movie.sizesAt = movie.withSizes ? box.insertAt : box.bytes.size();
    movie.bytes = std::move(box.bytes);
    return movie;
}

} // namespace cleftone::audiofile
