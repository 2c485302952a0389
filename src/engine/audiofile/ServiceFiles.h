#pragma once

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/MetadataInspection.h"

#include <memory>
#include <optional>
#include <string>

// The two kinds of files behind the service's handles. Each container family has its reader
// and its writer behind these; the service only routes calls to them.
namespace cleftone::audiofile {

/// What a family's reader is opened for: the packets of a strip, or only the layout of the
/// stripped file (what it removes and keeps), which spares it describing the stream with FFmpeg.
enum class ReadPurpose { Packets, Layout };

/// A file opened for reading: one audio stream, its exact packet count and a packet reader.
/// Used by one thread at a time.
class InputFile : public OpaqueAudioFileID {
public:
    virtual OSStatus propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const = 0;
    virtual OSStatus property(AudioFilePropertyID property, std::uint32_t* ioSize,
                              void* out) const = 0;
    /// As AudioFileService::AudioFileReadPacketData. Sequential reads are the fast path.
    virtual OSStatus readPackets(std::uint32_t* ioNumBytes,
                                 AudioStreamPacketDescription* descriptions,
                                 std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                 void* buffer) = 0;
};

/// A new file being written: packets appended in order after the magic cookie is set.
/// Used by one thread at a time.
class OutputFile : public OpaqueAudioFileID {
public:
    virtual OSStatus propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const = 0;
    virtual OSStatus property(AudioFilePropertyID property, std::uint32_t* ioSize,
                              void* out) const = 0;
    virtual OSStatus setProperty(AudioFilePropertyID property, std::uint32_t size,
                                 const void* data) = 0;
    virtual OSStatus writePackets(std::uint32_t numBytes,
                                  const AudioStreamPacketDescription* descriptions,
                                  std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                  const void* buffer) = 0;
    /// Writes what the container keeps at its end and closes the file.
    virtual OSStatus finish() = 0;
};

/// The checks every reader makes before it reads: the arguments, an empty request and a start
/// past the last packet. Gives the status to return at once, or nothing when there is reading
/// to do.
std::optional<OSStatus> checkReadRequest(std::uint32_t* ioNumBytes, std::uint32_t* ioNumPackets,
                                         const void* buffer, std::int64_t startingPacket,
                                         std::uint64_t packetCount);

/// Opens `path` with the reader of its container family, detected by content.
OSStatus openInputFile(const std::string& path, std::unique_ptr<InputFile>& out);

/// What the strip of one file removes and keeps, as the reader of its container family found
/// it when it worked out the stripped file.
struct StripRegions {
    /// The regions the strip leaves out, as the family's layout names and sizes them: tags
    /// around the audio, extra elements, objects and chunks, comment headers, other streams.
    std::vector<MetadataBlock> removed;
    /// Metadata stored inside the codec's own blocks that the strip cannot take out exactly.
    std::vector<MetadataBlock> kept;
    /// How much smaller the stripped file is than the input: the regions above together with
    /// what goes with them (index entries, page and element headers, size fields).
    std::int64_t removedBytes = 0;
};

/// For a file of a family with a reader of its own (Ogg, Matroska and WebM, ASF, the
/// APEv2-tagged lossless formats, DSF, DSDIFF): what its strip removes and keeps. Nullopt for
/// every other file, for one that the family's reader refuses, and for one it reads but would
/// not write (video interleaved in ASF, a second Matroska segment). Reads the file the way a
/// strip opens it; changes nothing.
///
/// Threads: any.
std::optional<StripRegions> familyStripRegions(const std::string& path);

/// Test-only: when on, MP4-family files are read through libavformat, and so written by its
/// muxer, as the files that the service's own MP4 reader leaves to it (Mp4Fallback). Off by
/// default; any thread may set it, and it applies to the files opened afterwards.
void setMp4ThroughLibavformat(bool on);

/// Creates a file of `type` at `path` with the writer of its container family.
OSStatus createOutputFile(const std::string& path, AudioFileTypeID type,
                          const AudioStreamBasicDescription& format, std::uint32_t flags,
                          std::unique_ptr<OutputFile>& out);

} // namespace cleftone::audiofile
