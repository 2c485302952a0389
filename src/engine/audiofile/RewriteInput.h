#pragma once

#include "engine/audiofile/CodecMapping.h"
#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/ServiceFiles.h"

#include <vector>

namespace cleftone::audiofile {

/// A stretch of the input file, in bytes.
struct ByteRange {
    std::int64_t offset = 0;
    std::int64_t length = 0;
};

/// Base of the readers of the container families whose strip rewrites a header or cuts tag
/// regions out, rather than re-muxing packets: Ogg, Matroska and WebM, ASF, the APEv2-tagged
/// lossless formats, DSF and DSDIFF.
///
/// At open a reader works out the whole stripped file. The bytes that its writer puts before
/// the first packet and after the last one travel in the magic cookie (StreamSetup::head and
/// ::tail). The packets are the units in between, in the form they take in the stripped file:
/// whole Ogg pages, Matroska top-level elements, ASF data packets or plain audio bytes. Every
/// audio packet of the codec lies inside them unchanged. Reading a stripped file gives the same
/// cookie and packets again, which is what the copy check compares.
///
/// Packets are either of one constant size, cut from byte ranges of the input (setRanges()), or
/// of variable size, made in order by the subclass (restart(), peekPacket(), takePacket()).
///
/// Threads: one thread at a time, like every handle of the service.
class RewriteInputFile : public InputFile {
public:
    ~RewriteInputFile() override;

    OSStatus propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const override;
    OSStatus property(AudioFilePropertyID property, std::uint32_t* ioSize,
                      void* out) const override;
    OSStatus readPackets(std::uint32_t* ioNumBytes, AudioStreamPacketDescription* descriptions,
                         std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                         void* buffer) override;

    AudioFileTypeID type() const { return m_type; }
    std::int64_t inputSize() const { return m_reader.size(); }
    /// The size of the stripped file that the family's writer makes of these packets: by
    /// default the head, the packets and the tail.
    virtual std::int64_t strippedSize() const;
    /// What the strip leaves out, as open() found it, for the metadata report (--show).
    const std::vector<MetadataBlock>& removedRegions() const { return m_removed; }
    /// Metadata inside the codec's own blocks that the strip keeps, for the same report.
    const std::vector<MetadataBlock>& keptRegions() const { return m_kept; }

protected:
    /// Takes ownership of `fd`, an open regular file.
    RewriteInputFile(int fd, ReadPurpose purpose);

    int fd() const { return m_fd; }
    const FileReader& reader() const { return m_reader; }

    /// Makes the packets constant-size: `ranges` of the input, in order, cut into packets of
    /// `packetSize` bytes. Sets the packet and byte counts, the maximum packet size and the
    /// data offset. False when the ranges do not add up to whole packets or lie outside the
    /// file.
    bool setRanges(std::vector<ByteRange> ranges, std::uint32_t packetSize);

    /// Variable-size packets, made in order: back to the first packet.
    virtual OSStatus restart();
    /// The size of the next packet, without taking it; EndOfFile after the last.
    virtual OSStatus peekPacket(std::uint32_t* size);
    /// Writes the packet that peekPacket() sized into `out` and moves on to the next.
    virtual OSStatus takePacket(std::uint8_t* out);

    /// The stream description for these packets: what FFmpeg reads of the file's audio stream
    /// in [begin, end), with `bytesPerPacket` as the packets' constant size (0: variable).
    /// Also fills m_info with the tags FFmpeg reads. Fails when FFmpeg cannot read the stream
    /// or the demuxer is not `demuxer` (a prefix of its name is enough). Does nothing for a
    /// reader opened for its layout only.
    OSStatus describeWithFFmpeg(std::int64_t begin, std::int64_t end, const char* demuxer,
                                std::uint32_t bytesPerPacket);

    /// Notes a region the strip leaves out (see removedRegions()); nothing for an empty one.
    void noteRemoved(std::string kind, std::string name, std::int64_t bytes);
    /// Notes metadata that the strip keeps (see keptRegions()).
    void noteKept(std::string kind, std::string name, std::int64_t bytes);
    /// Notes the ID3v2 tags before `begin`.
    void noteTagsInFront(std::int64_t begin);
    /// Notes what lies from `end` to the end of the file: the tags that taggers append, each
    /// by its name, and any other bytes.
    void noteBehind(std::int64_t end);

    AudioFileTypeID m_type = 0;
    AudioStreamBasicDescription m_format;
    StreamSetup m_setup;
    AudioFileInfoDictionary m_info;
    std::uint64_t m_packetCount = 0;
    std::uint64_t m_byteCount = 0;
    std::uint32_t m_maxPacketSize = 0;
    std::int64_t m_dataOffset = 0;
    /// An ID3v2 tag the strip leaves out, for the "id3t" property.
    ByteRange m_id3Tag;

private:
    OSStatus readConstant(std::uint32_t* ioNumBytes, std::uint32_t* ioNumPackets,
                          std::uint8_t* buffer);
    OSStatus readVariable(std::uint32_t* ioNumBytes, AudioStreamPacketDescription* descriptions,
                          std::uint32_t* ioNumPackets, std::uint8_t* buffer);
    OSStatus seekVariable(std::int64_t packet);

    int m_fd = -1;
    ReadPurpose m_purpose;
    FileReader m_reader;
    std::vector<ByteRange> m_ranges;
    std::uint32_t m_packetSize = 0;
    std::int64_t m_cursor = 0; // the next packet that a variable read gives
    std::vector<std::uint8_t> m_skipped;
    std::vector<MetadataBlock> m_removed;
    std::vector<MetadataBlock> m_kept;
};

} // namespace cleftone::audiofile
