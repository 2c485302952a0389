#pragma once

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/AvPtr.h"
#include "engine/audiofile/CodecMapping.h"

#include <cstdint>
#include <vector>

namespace cleftone::audiofile {

/// Writes AAC into a CAF file, which this FFmpeg's CAF muxer cannot do: the description, the
/// magic cookie, the data chunk and, at the end, the packet table with the stream's priming
/// and remainder frames. Nothing else. Used by the thread that owns the output file.
class CafWriter {
public:
    CafWriter(const AudioStreamBasicDescription& format, const StreamSetup& setup);

    /// Writes everything before the first packet; false when the setup is no AAC setup.
    bool start(AVIOContext* io);
    /// Records one packet that the caller writes into the data chunk.
    void addPacket(std::uint32_t size, std::int64_t frames);
    /// Completes the data chunk and appends the packet table.
    OSStatus finish(AVIOContext* io);

private:
    AudioStreamBasicDescription m_format;
    StreamSetup m_setup;
    std::int64_t m_dataSizeOffset = 0;
    std::int64_t m_frames = 0;
    std::uint64_t m_packets = 0;
    // Each packet's size as a CAF variable-length integer.
    std::vector<std::uint8_t> m_sizes;
};

} // namespace cleftone::audiofile
