#pragma once

#include "engine/audiofile/CodecMapping.h"
#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/Mp4Movie.h"
#include "engine/audiofile/ServiceFiles.h"

#include <memory>
#include <optional>
#include <vector>

namespace cleftone::audiofile {

/// An MP4-family file (M4A, M4B, MP4, 3GP, 3G2) read by the service itself from its sample
/// tables: the samples of its audio track are handed out of large reads of the media data, and
/// the tables are walked in order rather than held in memory. Files it cannot read this way
/// (Mp4Fallback) are read through libavformat instead.
///
/// The magic cookie carries the input's file-type box and track setup (Mp4TrackSetup), which the
/// service's own MP4 writer takes over as they stand.
///
/// Threads: one thread at a time, like every handle of the service.
class Mp4InputFile final : public InputFile {
public:
    /// Reads the file at `fd` when it can. On None it owns `fd` in `out`; otherwise `fd` is
    /// left open for the caller and `out` untouched.
    static Mp4Fallback open(int fd, std::unique_ptr<InputFile>& out);
    ~Mp4InputFile() override;

    OSStatus propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const override;
    OSStatus property(AudioFilePropertyID property, std::uint32_t* ioSize,
                      void* out) const override;
    OSStatus readPackets(std::uint32_t* ioNumBytes, AudioStreamPacketDescription* descriptions,
                         std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                         void* buffer) override;

private:
    explicit Mp4InputFile(int fd);
    Mp4Fallback measure();
    OSStatus seek(std::int64_t packet);
    /// Makes [offset, offset + size) readable from the window.
    bool fill(std::int64_t offset, std::uint32_t size);

    int m_fd = -1;
    FileReader m_reader;
    Mp4Movie m_movie;
    AudioStreamBasicDescription m_format;
    std::vector<std::uint8_t> m_cookie;

    std::uint64_t m_packetCount = 0;
    std::uint64_t m_byteCount = 0;
    std::uint32_t m_maxPacketSize = 0;
    std::int64_t m_dataOffset = 0;
    std::int64_t m_dataEnd = 0;

    std::optional<Mp4SampleWalker> m_walker;
    std::int64_t m_cursor = 0; // the packet the walker's next sample is
    Mp4Sample m_pending;
    bool m_hasPending = false;
    std::vector<std::uint8_t> m_window;
    std::int64_t m_windowOffset = 0;
    std::int64_t m_windowSize = 0;
};

} // namespace cleftone::audiofile
