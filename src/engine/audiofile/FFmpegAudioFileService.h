#pragma once

#include "engine/audiofile/AudioFileService.h"

#include <mutex>
#include <unordered_set>

namespace cleftone::audiofile {

/// The audio-file service on libavformat, with small readers and writers of its own where
/// libavformat reads tags as audio or writes blocks of its own.
class FFmpegAudioFileService final : public AudioFileService {
public:
    OSStatus AudioFileOpenURL(const std::string& path, std::int8_t permissions,
                              AudioFileTypeID typeHint, AudioFileID* outFile) override;
    OSStatus AudioFileGetPropertyInfo(AudioFileID file, AudioFilePropertyID property,
                                      std::uint32_t* outDataSize,
                                      std::uint32_t* outWritable) override;
    OSStatus AudioFileGetProperty(AudioFileID file, AudioFilePropertyID property,
                                  std::uint32_t* ioDataSize, void* outData) override;
    OSStatus AudioFileSetProperty(AudioFileID file, AudioFilePropertyID property,
                                  std::uint32_t dataSize, const void* data) override;
    OSStatus AudioFileCreateWithURL(const std::string& path, AudioFileTypeID type,
                                    const AudioStreamBasicDescription* format, std::uint32_t flags,
                                    AudioFileID* outFile) override;
    OSStatus AudioFileReadPacketData(AudioFileID file, bool useCache, std::uint32_t* ioNumBytes,
                                     AudioStreamPacketDescription* outPacketDescriptions,
                                     std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                     void* outBuffer) override;
    OSStatus AudioFileWritePackets(AudioFileID file, bool useCache, std::uint32_t numBytes,
                                   const AudioStreamPacketDescription* packetDescriptions,
                                   std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                   const void* buffer) override;
    OSStatus AudioFileClose(AudioFileID file) override;
    OSStatus AudioFileGetGlobalInfoSize(std::uint32_t selector, std::uint32_t specifierSize,
                                        const void* specifier, std::uint32_t* outDataSize) override;
    OSStatus AudioFileGetGlobalInfo(std::uint32_t selector, std::uint32_t specifierSize,
                                    const void* specifier, std::uint32_t* ioDataSize,
                                    void* outData) override;

private:
    // Handles are checked against this set, so a stale or foreign handle gives a status
    // instead of undefined behaviour.
    bool isOpen(AudioFileID file);
    void remember(AudioFileID file);
    bool forget(AudioFileID file);

    std::mutex m_mutex;
    std::unordered_set<AudioFileID> m_open;
};

/// Maps an FFmpeg error code to the service's four-character status.
OSStatus statusFromAvError(int error);

/// Maps an errno value to the service's four-character status.
OSStatus statusFromErrno(int error);

} // namespace cleftone::audiofile
