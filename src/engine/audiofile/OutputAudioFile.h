#pragma once

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/AvPtr.h"
#include "engine/audiofile/CodecMapping.h"
#include "engine/audiofile/ServiceFiles.h"

#include <memory>
#include <string>

namespace cleftone::audiofile {

struct ContainerInfo;
class CafWriter;

/// A new audio file written by a libavformat muxer or one of the service's own writers for the
/// families that a strip re-muxes packet by packet: one audio stream, packets appended in
/// order. The container header is written with the first packet (or at close), once the magic
/// cookie is known. Used by one thread at a time.
class OutputAudioFile final : public OutputFile {
public:
    static OSStatus create(const std::string& path, AudioFileTypeID type,
                           const AudioStreamBasicDescription& format, std::uint32_t flags,
                           std::unique_ptr<OutputFile>& out);
    ~OutputAudioFile() override;

    OSStatus propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const override;
    OSStatus property(AudioFilePropertyID property, std::uint32_t* ioSize,
                      void* out) const override;
    OSStatus setProperty(AudioFilePropertyID property, std::uint32_t size,
                         const void* data) override;
    OSStatus writePackets(std::uint32_t numBytes, const AudioStreamPacketDescription* descriptions,
                          std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                          const void* buffer) override;
    OSStatus finish() override;

    /// Hands the created file over to another writer while nothing is written yet, and leaves
    /// this object with nothing to write or close; -1 once something was written.
    int takeDescriptor();

    enum class Writer { Muxer, Flac, Aiff, Caf };

private:
    OutputAudioFile() = default;

    OSStatus start();
    OSStatus startMuxer();
    OSStatus startFlac();
    OSStatus startAiff();
    OSStatus finishAiff();
    OSStatus writeToMuxer(const std::uint8_t* data, std::uint32_t size, std::int64_t frames);
    OSStatus ioStatus() const;

    int m_fd = -1;
    int m_ioErrno = 0;
    AudioFileTypeID m_type = 0;
    const ContainerInfo* m_container = nullptr;
    std::string m_muxerName;
    AudioStreamBasicDescription m_format;
    StreamSetup m_setup;
    Writer m_writer = Writer::Muxer;
    AVCodecID m_codec = AV_CODEC_ID_NONE;

    IoContextPtr m_io;
    OutputContext m_muxer;
    AVStream* m_stream = nullptr;
    PacketPtr m_packet;

    bool m_started = false;
    OSStatus m_failure = 0;
    std::int64_t m_nextFrame = 0;
    std::uint64_t m_packetsWritten = 0;
    std::uint64_t m_bytesWritten = 0;
    std::int64_t m_aiffFramesOffset = 0;
    std::int64_t m_aiffDataOffset = 0;
    std::unique_ptr<CafWriter> m_caf;
};

} // namespace cleftone::audiofile
