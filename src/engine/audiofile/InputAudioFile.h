#pragma once

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/AvPtr.h"
#include "engine/audiofile/CodecMapping.h"
#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/FlacFrames.h"
#include "engine/audiofile/MpegFrames.h"
#include "engine/audiofile/ServiceFiles.h"

#include <memory>
#include <optional>
#include <string>

namespace cleftone::audiofile {

struct Demuxer;

/// An audio file read through libavformat, with the service's own frame walkers for MPEG audio
/// and FLAC and straight reads of PCM data chunks: every container family that a strip re-muxes
/// packet by packet. Used by one thread at a time.
class InputAudioFile final : public InputFile {
public:
    /// Takes ownership of `fd`, an open regular file, and reads its stream.
    static OSStatus open(int fd, std::unique_ptr<InputFile>& out);
    ~InputAudioFile() override;

    OSStatus propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const override;
    OSStatus property(AudioFilePropertyID property, std::uint32_t* ioSize,
                      void* out) const override;
    OSStatus readPackets(std::uint32_t* ioNumBytes, AudioStreamPacketDescription* descriptions,
                         std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                         void* buffer) override;

private:
    explicit InputAudioFile(int fd);

    OSStatus openDemuxer(std::unique_ptr<Demuxer>& out, bool analyse) const;
    OSStatus inspect();
    /// MPEG audio whose frames tile the stream from its first byte, described from the frame
    /// headers alone; false leaves the file to the demuxer.
    bool describeMpegFrames();
    OSStatus countPackets();
    OSStatus countFlacFrames();
    bool hasPacketSource() const
    {
        return m_directBlocks || m_demuxer || m_flacFrames || m_mpegFrames;
    }
    OSStatus countBlocks(const AVPacket& first);
    struct ContainerCounts {
        std::uint64_t packets;
        std::int64_t framesPerPacket; ///< 0 when packets differ in length
    };
    /// The packet count as the container states it, where it does so exactly.
    std::optional<ContainerCounts> countFromContainer();
    OSStatus rewindTo(std::int64_t packet);
    /// Next demuxed packet of our stream into m_pending; false at the end or on error.
    bool fetchPacket(int* error);
    OSStatus readVariable(std::uint32_t* ioNumBytes, AudioStreamPacketDescription* descriptions,
                          std::uint32_t* ioNumPackets, std::uint8_t* buffer);
    OSStatus readBlocks(std::uint32_t* ioNumBytes, AudioStreamPacketDescription* descriptions,
                        std::uint32_t* ioNumPackets, std::uint8_t* buffer);
    std::int64_t framesOf(const AVPacket& packet) const;

    int m_fd = -1;
    FileReader m_reader;
    // The container proper, past any ID3v2 tag in front: where its chunks are counted from.
    FileReader m_chunks;
    std::int64_t m_begin = 0;
    std::int64_t m_end = 0;
    bool m_chunked = false;

    AudioFileTypeID m_type = 0;
    AudioStreamBasicDescription m_format;
    StreamSetup m_setup;
    // Filled at open from the demuxer, or on first request where no demuxer was needed.
    mutable AudioFileInfoDictionary m_info;
    mutable bool m_infoPending = false;
    // The stream parameters as analysed at open; the reading demuxers skip that analysis.
    AVPtr<AVCodecParameters, avcodec_parameters_free> m_parameters;
    int m_streamIndex = -1;
    AVRational m_timeBase{1, 1};
    int m_sampleRate = 0;

    std::uint64_t m_packetCount = 0;
    std::uint64_t m_byteCount = 0;
    std::uint32_t m_maxPacketSize = 0;
    std::int64_t m_dataOffset = 0;
    // PCM and ADPCM: the stream is cut into packets of exactly this many bytes.
    std::uint32_t m_blockSize = 0;
    // PCM in WAV, AIFF, CAF, AU and Wave64: read straight from the data chunk.
    bool m_directBlocks = false;
    // An MPEG audio Xing/Info/VBRI frame that the demuxer consumes as a header: packet 0.
    std::vector<std::uint8_t> m_infoFrame;

    std::unique_ptr<Demuxer> m_demuxer;
    // Native FLAC is read frame by frame by the service's own scanner, not the demuxer.
    std::int64_t m_flacFirstFrame = -1;
    std::unique_ptr<FlacFrameScanner> m_flacFrames;
    /// Where the frames of an MPEG audio stream start when they tile it exactly; they are then
    /// read straight from the file, m_mpegFrameSamples frames each.
    std::int64_t m_mpegFirstFrame = -1;
    std::uint32_t m_mpegFrameSamples = 0;
    std::unique_ptr<MpegFrameReader> m_mpegFrames;
    PacketPtr m_pending;
    int m_pendingOffset = 0;
    bool m_hasPending = false;
    std::int64_t m_cursor = 0;
};

} // namespace cleftone::audiofile
