#pragma once

#include "engine/audiofile/ContainerProbe.h"

#include <cstdint>
#include <optional>

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

} // namespace cleftone::audiofile
