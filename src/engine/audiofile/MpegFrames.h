#pragma once

#include "engine/audiofile/ContainerProbe.h"

#include <cstdint>
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

private:
    bool fill(std::int64_t offset, std::int64_t length);

    const FileReader& file_;
    std::int64_t end_;
    std::int64_t offset_;
    std::int64_t length_ = 0; ///< of the current frame, once frame() found it
    std::vector<std::uint8_t> window_;
    std::int64_t windowStart_ = 0;
    bool failed_ = false;
};

} // namespace cleftone::audiofile
