#pragma once

#include "engine/audiofile/AudioFileTypes.h"

#include <string>

namespace cleftone {

/// The audio-file service: opens, describes, creates, reads and writes audio containers.
///
/// Calls have the shapes of the platform's AudioFile functions: an opaque handle, a status
/// that is 0 on success and otherwise a four-character code, four-character property codes,
/// 40-byte stream descriptions and 16-byte packet descriptions.
///
/// Threads: the global tables may be asked from any thread at once. One handle is used by
/// one thread at a time; different handles may be used from different threads concurrently.
class AudioFileService {
public:
    virtual ~AudioFileService() = default;

    /// The FFmpeg-backed service used by the application. Lives for the whole process.
    static AudioFileService& system();

    /// Opens `path` (a file-system path, UTF-8) for reading. The container type is detected by
    /// content; `typeHint` 0 asks for detection only. `*outFile` is left null on failure.
    virtual OSStatus AudioFileOpenURL(const std::string& path, std::int8_t permissions,
                                      AudioFileTypeID typeHint, AudioFileID* outFile) = 0;

    /// Size in bytes of a property's value; `outWritable` may be null.
    virtual OSStatus AudioFileGetPropertyInfo(AudioFileID file, AudioFilePropertyID property,
                                              std::uint32_t* outDataSize,
                                              std::uint32_t* outWritable) = 0;

    /// Reads a property. `ioDataSize`: in, the storage size; out, the bytes written.
    /// "info" writes an owned `AudioFileInfoDictionary*` that the caller deletes.
    virtual OSStatus AudioFileGetProperty(AudioFileID file, AudioFilePropertyID property,
                                          std::uint32_t* ioDataSize, void* outData) = 0;

    /// Sets a property of a created file; "mgic" (the magic cookie) before the first packet.
    virtual OSStatus AudioFileSetProperty(AudioFileID file, AudioFilePropertyID property,
                                          std::uint32_t dataSize, const void* data) = 0;

    /// Creates a new file of `type` at `path` for the stream `format`. With
    /// kAudioFileFlags_EraseFile an existing file there is replaced; without, creation fails.
    virtual OSStatus AudioFileCreateWithURL(const std::string& path, AudioFileTypeID type,
                                            const AudioStreamBasicDescription* format,
                                            std::uint32_t flags, AudioFileID* outFile) = 0;

    /// Reads up to `*ioNumPackets` packets starting at `startingPacket` into `outBuffer`
    /// (`*ioNumBytes` bytes long). On return both counts say what was delivered. Fewer packets
    /// are delivered only at the end of the stream. Sequential reads are the fast path.
    /// Descriptions are filled for variable-size packets; packets of one constant size (PCM)
    /// need none and leave them as they were.
    virtual OSStatus AudioFileReadPacketData(AudioFileID file, bool useCache,
                                             std::uint32_t* ioNumBytes,
                                             AudioStreamPacketDescription* outPacketDescriptions,
                                             std::int64_t startingPacket,
                                             std::uint32_t* ioNumPackets, void* outBuffer) = 0;

    /// Appends `*ioNumPackets` packets (`numBytes` bytes in `buffer`) to a created file.
    /// `packetDescriptions` may be null for constant-size packets.
    virtual OSStatus AudioFileWritePackets(AudioFileID file, bool useCache, std::uint32_t numBytes,
                                           const AudioStreamPacketDescription* packetDescriptions,
                                           std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                           const void* buffer) = 0;

    /// Finishes (for a created file: writes its trailer) and closes. The handle is invalid
    /// afterwards, whatever the status.
    virtual OSStatus AudioFileClose(AudioFileID file) = 0;

    /// Global tables: "afwf" (writable types, an array of 32-bit codes, no specifier) and
    /// "fext" (extensions of the 4-byte type in `specifier`: an owned `AudioFileExtensionList*`).
    virtual OSStatus AudioFileGetGlobalInfoSize(std::uint32_t selector, std::uint32_t specifierSize,
                                                const void* specifier,
                                                std::uint32_t* outDataSize) = 0;
    virtual OSStatus AudioFileGetGlobalInfo(std::uint32_t selector, std::uint32_t specifierSize,
                                            const void* specifier, std::uint32_t* ioDataSize,
                                            void* outData) = 0;
};

} // namespace cleftone
