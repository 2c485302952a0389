#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// The byte path from a writer to the output file: positioned writes, write-behind, and bytes
// rewritten or held back on their way. Used by the one thread that writes the file.
namespace cleftone::audiofile {

/// Changes bytes on their way to the file: the header boxes a muxer insists on writing and the
/// service replaces. Called with the file position of the first byte.
using Rewriter = std::function<void(std::int64_t position, std::span<std::uint8_t> bytes)>;

struct FileSink {
    int fd = -1;
    int* lastErrno = nullptr;
    std::int64_t position = 0;
    std::vector<Rewriter> rewriters;
    std::int64_t writebackStartedUpTo = 0; // writeback started for [0, this)
    // While an MP4 trailer is written, what goes at or past `heldFrom` stays in `held` until
    // finish() has blanked the user data in it; `position` then stands in for the descriptor's
    // offset.
    bool holding = false;
    std::int64_t heldFrom = 0;
    std::vector<std::uint8_t> held;
};

/// The I/O callbacks of an AVIOContext whose opaque pointer is a FileSink.
int writeSink(void* opaque, std::uint8_t* buffer, int size);
std::int64_t seekSink(void* opaque, std::int64_t offset, int whence);

/// Writes `size` bytes at `offset`, past any holding; 0 or a negative AVERROR.
int writeAt(FileSink* sink, const std::uint8_t* buffer, std::size_t size, std::int64_t offset);

/// Turns the box written at `offset` into a zero-filled free box of the same size, so that no
/// offset after it moves. Boxes at the start of the file are written once, in order.
Rewriter blankBoxAt(std::int64_t offset);

/// Blanks the empty user-data box that the MP4 muxer writes into the movie box (see the .cpp).
void blankMp4UserData(std::vector<std::uint8_t>& boxes);

} // namespace cleftone::audiofile
