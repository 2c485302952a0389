#pragma once

#include "engine/audiofile/ContainerProbe.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace cleftone::audiofile {

/// What a walk over the frames of an MPEG audio stream found.
struct MpegFrameCount {
    std::uint64_t frames = 0;
    std::uint64_t bytes = 0;
    std::uint32_t maximumFrameSize = 0;
    std::uint32_t samplesPerFrame = 0;
};

/// What an MPEG audio frame header says about the stream.
struct MpegStreamHeader {
    int layer = 0; ///< 1, 2 or 3 (layer I, II, III)
    int sampleRate = 0;
    int channels = 0;
    std::uint32_t samplesPerFrame = 0;
};

/// Reads a 32-bit frame header; none when it is not one (mpegAudioFrameLength() says 0).
std::optional<MpegStreamHeader> readMpegStreamHeader(std::uint32_t header);

/// Counts the MPEG audio frames (layer I, II or III) from `first` to `end` by their headers
/// alone, reading the file in large blocks without demuxing it. Answers only when the frames
/// tile the whole stretch back to back and every header agrees with the first on version,
/// layer and sample rate; anything else (junk between frames, free-format frames, a truncated
/// last frame, an embedded tag) gives none, and the caller counts with the demuxer instead.
/// In a stream that answers, the demuxer delivers exactly these frames as its packets.
///
/// Threads: any; the reader is only read.
std::optional<MpegFrameCount> countMpegAudioFrames(const FileReader& file, std::int64_t first,
                                                   std::int64_t end);

class MpegFrameReader;
/// The same on a reader at the start of its stretch, which it walks to the end; rewind() it to
/// read the frames after counting them (a stretch that fits its window is then not read again).
std::optional<MpegFrameCount> countMpegAudioFrames(MpegFrameReader& frames);

/// Reads the frames of a stretch that countMpegAudioFrames() answered for, one after another,
/// straight from the file in large blocks: the packets the demuxer would deliver, without its
/// allocation and parsing per packet, which cost more than half of reading a large MP3 file.
///
/// Threads: one instance per thread.
class MpegFrameReader {
public:
    MpegFrameReader(const FileReader& file, std::int64_t first, std::int64_t end);

    /// The current frame's bytes, valid until advance(); empty at the end of the stretch, or
    /// when the file no longer holds a whole frame there (failed() then tells).
    std::span<const std::uint8_t> frame();
    void advance();
    bool failed() const { return failed_; }
    /// Back to the first frame, keeping what the window holds.
    void rewind();

private:
    bool fill(std::int64_t offset, std::int64_t length);

    const FileReader& file_;
    std::int64_t first_;
    std::int64_t end_;
    std::int64_t offset_;
    std::int64_t length_ = 0; ///< of the current frame, once frame() found it
    // Not a vector: every byte is read into it before it is looked at, and clearing a window of
    // a megabyte first would cost as much as reading it.
    std::unique_ptr<std::uint8_t[]> window_;
    std::int64_t windowCapacity_ = 0;
    std::int64_t windowSize_ = 0;
    std::int64_t windowStart_ = 0;
    bool failed_ = false;
};

} // namespace cleftone::audiofile
