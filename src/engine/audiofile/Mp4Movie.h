#pragma once

// The audio track of an MP4-family file as the service's own MP4 reader and writer see it: where
// its sample tables lie, what the writer copies of it, and the files it leaves to libavformat.

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/Mp4Boxes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cleftone::audiofile {

/// Why a file of the MP4 family is read through libavformat instead of the service's own reader.
enum class Mp4Fallback {
    None,
    NotPlainMp4,         ///< no file-type box first (or a tag in front), or a QuickTime movie
    Fragmented,          ///< movie fragments (moof, mvex): the sample tables are not complete
    DamagedBoxes,        ///< no movie box, two of them, or boxes that do not parse
    NoAudioTrack,        ///< no sound track, or one without samples
    ExternalData,        ///< the samples lie in another file (a data reference)
    SeveralDescriptions, ///< more than one sample description
    UnknownCodec,        ///< a sample entry the reader does not take (PCM, MP3, encrypted…)
    TimeScale,           ///< the media time scale is not the sample rate
    ReorderedSamples,    ///< composition offsets, or samples that are not all sync samples
    InconsistentTables,  ///< tables that disagree, empty samples or samples without duration
    Truncated,           ///< the tables list samples past the end of the file
    DamagedEditList,     ///< an edit list whose entries do not fit its box
};

/// A short name of the reason, for logs and reports.
const char* mp4FallbackName(Mp4Fallback reason);

/// What the service's own MP4 writer takes over from the input's track, as it stands: the
/// sample descriptions, the two time scales and the edit list (which keep the encoder delay and
/// padding), and the sample groups (AAC and Opus pre-roll). Travels in the magic cookie.
struct Mp4TrackSetup {
    std::uint32_t movieTimeScale = 0;
    std::uint32_t mediaTimeScale = 0;
    std::vector<std::uint8_t> sampleDescriptions; ///< the stsd box, whole
    std::vector<std::uint8_t> editList;           ///< the elst box, whole, or empty
    std::vector<std::uint8_t> sampleGroups;       ///< sgpd and sbgp boxes, whole, in file order

    std::vector<std::uint8_t> serialize() const;
    /// None when the bytes are not a whole setup or one of its boxes is not the box it names.
    static std::optional<Mp4TrackSetup> parse(std::span<const std::uint8_t> bytes);
};

/// Where the sample tables of the track lie in the file.
struct Mp4SampleTables {
    std::uint64_t sampleCount = 0;
    std::uint32_t constantSize = 0; ///< stsz's sample size; 0: one entry per sample
    std::uint32_t sizeBits = 32;    ///< bits per size entry: 32 (stsz), or 16, 8, 4 (stz2)
    std::int64_t sizes = 0;
    std::uint64_t chunkCount = 0;
    std::uint32_t chunkOffsetBytes = 4; ///< 4 (stco) or 8 (co64)
    std::int64_t chunkOffsets = 0;
    std::uint64_t runCount = 0; ///< stsc entries
    std::int64_t runs = 0;
    std::uint64_t durationCount = 0; ///< stts entries
    std::int64_t durations = 0;
};

/// The audio track of a plain MP4-family file.
struct Mp4Movie {
    AudioFileTypeID type = 0;
    std::vector<std::uint8_t> fileType; ///< the ftyp box, whole
    Mp4TrackSetup setup;
    Mp4SampleTables tables;
    AudioFormatID format = 0;
    std::uint32_t channels = 0;
    std::uint32_t bitsPerSample = 0;
    double durationSeconds = 0;
};

/// Reads the movie box and picks the audio track a strip keeps: the first enabled sound track,
/// else the first sound track. Returns why the file is left to libavformat, or None.
Mp4Fallback readMp4Movie(const FileReader& file, Mp4Movie& movie);

/// One sample: where its bytes lie and how long it plays, in the media time scale.
struct Mp4Sample {
    std::int64_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t duration = 0;
};

/// Walks the samples of a track in order through its tables, a buffer of each at a time.
/// Used by one thread at a time.
class Mp4SampleWalker {
public:
    Mp4SampleWalker(const FileReader& file, const Mp4SampleTables& tables);
    /// The next sample; false after the last one, or when the tables disagree (failed()).
    bool next(Mp4Sample& sample);
    bool failed() const { return m_failed; }
    /// Whether the time-to-sample table ends with the last sample, as it must.
    bool durationsEndWithSamples();

private:
    bool nextChunk();
    bool nextRun();
    bool nextSize(std::uint32_t& size);

    Mp4SampleTables m_tables;
    Mp4TableCursor m_sizes;
    Mp4TableCursor m_chunks;
    Mp4TableCursor m_runs;
    Mp4TableCursor m_durations;
    std::uint64_t m_sample = 0;
    std::uint64_t m_chunk = 0; // 1-based; 0 before the first
    std::uint32_t m_leftInChunk = 0;
    std::int64_t m_nextOffset = 0;
    std::uint32_t m_samplesPerChunk = 0;
    std::uint64_t m_nextRunChunk = 0; // first chunk of the next stsc entry; 0: none
    std::uint32_t m_nextRunSamples = 0;
    std::uint64_t m_durationLeft = 0;
    std::uint32_t m_delta = 0;
    std::uint8_t m_sizeByte = 0; // stz2 with 4-bit entries: the byte whose low half is next
    bool m_failed = false;
};

} // namespace cleftone::audiofile
