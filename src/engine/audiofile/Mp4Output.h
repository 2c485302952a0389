#pragma once

#include "engine/audiofile/CodecMapping.h"
#include "engine/audiofile/Mp4Movie.h"
#include "engine/audiofile/OutputFileSink.h"
#include "engine/audiofile/ServiceFiles.h"

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cleftone::audiofile {

/// What the writer keeps of the samples it wrote, in compact form: one 32-bit size per sample,
/// and runs for everything else. The sizes grow in small blocks, never by copying the whole
/// table into one twice as large.
struct Mp4WrittenTrack {
    std::deque<std::uint32_t> sizes;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> durations; ///< (samples, duration) runs
    std::vector<std::uint64_t> chunkOffsets;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> chunkRuns; ///< (first chunk, samples)
    std::uint64_t mediaDuration = 0;
    /// The size every sample has, or 0 when they differ.
    std::uint32_t commonSize() const;
};

/// The movie box for one audio track, without the sample sizes, which go in at `sizesAt`
/// (4 bytes each, when `withSizes`) straight from the track's array.
struct Mp4MovieBox {
    std::vector<std::uint8_t> bytes;
    std::size_t sizesAt = 0;
    bool withSizes = false;
};
Mp4MovieBox buildMp4MovieBox(const Mp4TrackSetup& setup, const Mp4WrittenTrack& track);

/// A new MP4-family file. When the magic cookie carries the input's track setup (the input went
/// through the service's own MP4 reader), the service writes the file itself: the input's
/// file-type box, the media data, and a movie box with the input's sample descriptions and edit
/// list, and sample tables built from what was written. Otherwise libavformat's muxer writes it
/// (OutputAudioFile), as it does for the inputs that libavformat read.
///
/// Threads: one thread at a time, like every handle of the service.
class Mp4OutputFile final : public OutputFile {
public:
    static OSStatus create(const std::string& path, AudioFileTypeID type,
                           const AudioStreamBasicDescription& format, std::uint32_t flags,
                           std::unique_ptr<OutputFile>& out);
    ~Mp4OutputFile() override;

    OSStatus propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const override;
    OSStatus property(AudioFilePropertyID property, std::uint32_t* ioSize,
                      void* out) const override;
    OSStatus setProperty(AudioFilePropertyID property, std::uint32_t size,
                         const void* data) override;
    OSStatus writePackets(std::uint32_t numBytes, const AudioStreamPacketDescription* descriptions,
                          std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                          const void* buffer) override;
    OSStatus finish() override;

private:
    Mp4OutputFile() = default;
    OSStatus start();
    void append(const std::uint8_t* data, std::size_t size);
    OSStatus flush();
    void addSample(std::uint32_t size, std::uint32_t duration);
    OSStatus finishOwn();

    std::string m_path;
    AudioFileTypeID m_type = 0;
    AudioStreamBasicDescription m_format;
    // libavformat's muxer, until a cookie with a track setup hands the file to the service.
    std::unique_ptr<OutputFile> m_muxed;

    std::optional<Mp4TrackSetup> m_track;
    std::vector<std::uint8_t> m_fileType;
    int m_fd = -1;
    int m_errno = 0;
    FileSink m_sink;
    std::vector<std::uint8_t> m_buffer;
    std::int64_t m_mediaData = 0; // where the free box and the mdat header start
    Mp4WrittenTrack m_written;
    std::uint64_t m_chunkBytes = 0;
    std::uint32_t m_chunkSamples = 0;
    bool m_started = false;
    OSStatus m_failure = 0;
    std::uint64_t m_packetsWritten = 0;
    std::uint64_t m_bytesWritten = 0;
};

/// Whether this process wrote the open file `fd` with libavformat's MP4 muxer. Such a file is
/// read back through libavformat as well, so that checking a copy compares what one reader
/// makes of the input and of the copy. Any thread.
bool isMuxedMp4(int fd);

} // namespace cleftone::audiofile
