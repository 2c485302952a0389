#pragma once

#include "engine/audiofile/ContainerProbe.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cleftone::audiofile {

/// Offset of the first audio frame of a native FLAC stream that starts at `begin` ("fLaC" and
/// its metadata blocks); none when the bytes there are not such a stream.
std::optional<std::int64_t> flacFirstFrameOffset(const FileReader& file, std::int64_t begin);

/// One FLAC frame: where it lies and how many samples it holds.
struct FlacFrame {
    std::int64_t offset = 0;
    std::int64_t size = 0;
    std::uint32_t blockSize = 0;
};

/// FLAC's own limit on a frame's size (its 24-bit size fields).
inline constexpr std::int64_t kFlacMaxFrameSize = (1 << 24) - 1;

/// Walks the frames of a native FLAC stream from its first frame to `end`, without decoding.
/// A frame ends where the next valid frame header begins: a sync code, a header whose CRC-8
/// holds, the stream's own sample rate, channel and sample-size codes, and the next frame or
/// sample number in sequence. The last frame runs to `end`.
///
/// libavformat's FLAC parser finds the same frames in a sound stream, but it is the slowest part
/// of reading a large FLAC file, and it would be run twice (once to count, once to copy).
///
/// Threads: one instance per thread.
class FlacFrameScanner {
public:
    FlacFrameScanner(const FileReader& file, std::int64_t firstFrame, std::int64_t end);

    /// The next frame, or none at the end (or when the first header is not valid).
    std::optional<FlacFrame> next();

    /// Reads the bytes of `frame`, the one next() just gave, into `out` (frame.size bytes).
    /// Finding the frame's end has usually read them already, so they are copied from there.
    bool read(const FlacFrame& frame, std::span<std::uint8_t> out) const;

private:
    struct Header {
        std::uint32_t blockSize = 0;
        std::uint64_t number = 0; ///< frame number (fixed blocks) or first sample number
        /// Sample-rate code; channel count and sample-size code: the same in every frame.
        std::uint8_t codes[2] = {};
        bool variableBlocks = false;
    };
    std::optional<Header> headerAt(std::int64_t offset);
    bool fill(std::int64_t offset, std::size_t length);
    std::int64_t findNextFrame(std::int64_t from);

    const FileReader& file_;
    std::int64_t end_;
    std::int64_t current_;
    std::optional<Header> currentHeader_;
    std::optional<Header> reference_;
    std::vector<std::uint8_t> window_;
    std::int64_t windowStart_ = 0;
};

} // namespace cleftone::audiofile
