#include "engine/audiofile/AsfFile.h"

#include "engine/audiofile/AsfLayout.h"
#include "engine/audiofile/RewriteInput.h"

namespace cleftone::audiofile {

namespace {

// The packets are the ASF data packets, of the one size the file announces; the magic cookie
// carries the stripped header before them and the indexes after them.
// Threads: one thread at a time.
class AsfInputFile final : public RewriteInputFile {
public:
    static OSStatus open(int fd, ReadPurpose purpose, std::unique_ptr<InputFile>& out)
    {
        std::unique_ptr<AsfInputFile> file(new AsfInputFile(fd, purpose));
        if (const OSStatus status = file->read())
            return status;
        out = std::move(file);
        return 0;
    }

private:
    AsfInputFile(int fd, ReadPurpose purpose) : RewriteInputFile(fd, purpose) {}

    OSStatus read()
    {
        const std::int64_t begin = skipLeadingTags(reader());
        if (begin > 0)
            m_id3Tag = {0, begin};
        AsfLayout layout;
        if (const OSStatus status = readAsfLayout(reader(), begin, layout))
            return status;
        if (!setRanges({{layout.packetsOffset, layout.packetsLength}}, layout.packetSize))
            return AudioFileError::InvalidFile;
        if (const OSStatus status =
                describeWithFFmpeg(begin, layout.dataEnd, "asf", layout.packetSize))
            return status;
        m_type = layout.onlyAudio ? AudioFileType::ASF : AudioFileType::ASFVideo;
        noteTagsInFront(begin);
        for (MetadataBlock& object : layout.removed)
            noteRemoved(std::move(object.kind), std::move(object.name), object.bytes);
        noteBehind(layout.junk);
        m_setup.head = std::move(layout.head);
        m_setup.tail = std::move(layout.tail);
        return 0;
    }
};

// Writes the head, the packets and the tail, and checks that the packets fill the data object
// exactly as the head announces it.
// Threads: the one thread that writes the file.
class AsfWriter final : public FamilyWriter {
public:
    OSStatus start(ByteSink& sink, const StreamSetup& setup) override
    {
        m_expected = asfPacketBytesOfHead(setup.head);
        if (m_expected < 0)
            return AudioFileError::Parameter;
        sink.write(setup.head);
        return 0;
    }

    OSStatus write(ByteSink& sink, std::span<const std::uint8_t> packets) override
    {
        if (std::int64_t(packets.size()) > m_expected - m_written)
            return AudioFileError::Parameter;
        m_written += std::int64_t(packets.size());
        sink.write(packets);
        return 0;
    }

    OSStatus finish(ByteSink& sink, const StreamSetup& setup) override
    {
        if (m_written != m_expected)
            return AudioFileError::Parameter;
        sink.write(setup.tail);
        return 0;
    }

private:
    std::int64_t m_expected = 0;
    std::int64_t m_written = 0;
};

} // namespace

RewriteFamily asfFamily()
{
    return {{AudioFileType::ASF},
            startsAsfHeader,
            AsfInputFile::open,
            [](AudioFileTypeID) -> std::unique_ptr<FamilyWriter> {
                return std::make_unique<AsfWriter>();
            }};
}

} // namespace cleftone::audiofile
