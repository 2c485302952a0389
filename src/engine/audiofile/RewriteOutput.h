#pragma once

#include "engine/audiofile/CodecMapping.h"
#include "engine/audiofile/ServiceFiles.h"

#include <memory>
#include <span>
#include <vector>

namespace cleftone::audiofile {

/// Buffered appends to a new file. A failed write is remembered and ends the writing.
/// Threads: the one thread that writes the file.
class ByteSink {
public:
    explicit ByteSink(int fd);
    void write(std::span<const std::uint8_t> bytes);
    /// Writes out what is buffered.
    OSStatus flush();
    /// 0, or the status of the first failed write.
    OSStatus status() const;
    /// Bytes appended so far, buffered or not.
    std::int64_t position() const { return m_position; }

private:
    int m_fd;
    int m_errno = 0;
    std::int64_t m_position = 0;
    std::vector<std::uint8_t> m_buffer;
};

/// Writes one container family whose strip is a rewrite, from the setup and the packets that
/// its reader made (RewriteInput.h). The defaults write the setup's head, the packets and the
/// setup's tail as they come; a family overrides what it checks or builds itself.
class FamilyWriter {
public:
    virtual ~FamilyWriter() = default;
    /// Before the first packet: checks the setup and writes what goes in front of the packets.
    virtual OSStatus start(ByteSink& sink, const StreamSetup& setup);
    /// One packet of variable size, or a run of packets of the constant size.
    virtual OSStatus write(ByteSink& sink, std::span<const std::uint8_t> packets);
    /// After the last packet.
    virtual OSStatus finish(ByteSink& sink, const StreamSetup& setup);
};

/// A new file of a family whose strip is a rewrite, written by that family's writer.
/// Used by one thread at a time.
class RewriteOutputFile final : public OutputFile {
public:
    static OSStatus create(const std::string& path, AudioFileTypeID type,
                           const AudioStreamBasicDescription& format, std::uint32_t flags,
                           std::unique_ptr<FamilyWriter> writer, std::unique_ptr<OutputFile>& out);
    ~RewriteOutputFile() override;

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
    RewriteOutputFile() = default;
    OSStatus start();

    int m_fd = -1;
    AudioFileTypeID m_type = 0;
    AudioStreamBasicDescription m_format;
    StreamSetup m_setup;
    std::vector<std::uint8_t> m_cookie; // as it was set
    std::unique_ptr<FamilyWriter> m_writer;
    std::unique_ptr<ByteSink> m_sink;
    bool m_started = false;
    OSStatus m_failure = 0;
    std::uint64_t m_packetsWritten = 0;
    std::uint64_t m_bytesWritten = 0;
};

} // namespace cleftone::audiofile
