#include "engine/audiofile/MatroskaFile.h"

#include "engine/audiofile/MatroskaLayout.h"
#include "engine/audiofile/RewriteInput.h"

#include <cstring>

namespace cleftone::audiofile {

namespace {

bool startsWithEbmlHeader(std::span<const std::uint8_t> bytes)
{
    return bytes.size() >= 4 && std::memcmp(bytes.data(), "\x1A\x45\xDF\xA3", 4) == 0;
}

// The head (the EBML header up to the first cluster) is worked out by the reader; the packets
// are the top-level elements from the first cluster on, in their stripped form.
class MatroskaInputFile final : public RewriteInputFile {
public:
    static OSStatus open(int fd, ReadPurpose purpose, std::unique_ptr<InputFile>& out)
    {
        std::unique_ptr<MatroskaInputFile> file(new MatroskaInputFile(fd, purpose));
        const std::int64_t begin = skipLeadingTags(file->reader());
        if (const OSStatus status = file->m_layout.scan(begin)) {
            if (!file->m_layout.secondSegment())
                return status;
            // Read, never written: the strip job names the type when it refuses the file.
            file->m_type = AudioFileType::MultiSegmentMatroska;
            out = std::move(file);
            return 0;
        }
        if (const OSStatus status =
                file->describeWithFFmpeg(begin, file->reader().size(), "matroska", 0))
            return status;
        file->m_type = file->m_layout.type();
        file->m_setup.head = file->m_layout.head();
        file->m_packetCount = file->m_layout.packetCount();
        file->m_byteCount = file->m_layout.byteCount();
        file->m_maxPacketSize = file->m_layout.maxPacketSize();
        file->m_dataOffset = file->m_layout.firstPacketOffset();
        if (begin > 0)
            file->m_id3Tag = ByteRange{0, begin};
        file->noteTagsInFront(begin);
        for (const MetadataBlock& region : file->m_layout.removed())
            file->noteRemoved(region.kind, region.name, region.bytes);
        file->noteBehind(file->m_layout.segmentEnd());
        out = std::move(file);
        return 0;
    }

protected:
    OSStatus restart() override
    {
        m_layout.restart();
        return 0;
    }
    OSStatus peekPacket(std::uint32_t* size) override { return m_layout.peek(size); }
    OSStatus takePacket(std::uint8_t* out) override { return m_layout.take(out); }

private:
    MatroskaInputFile(int fd, ReadPurpose purpose)
        : RewriteInputFile(fd, purpose), m_layout(reader())
    {}

    MatroskaLayout m_layout;
};

// Writes the head, the elements and nothing of its own; a head that is no EBML file is refused.
class MatroskaWriter final : public FamilyWriter {
public:
    OSStatus start(ByteSink& sink, const StreamSetup& setup) override
    {
        if (!startsWithEbmlHeader(setup.head))
            return AudioFileError::UnsupportedDataFormat;
        return FamilyWriter::start(sink, setup);
    }
};

} // namespace

RewriteFamily matroskaFamily()
{
    return RewriteFamily{{AudioFileType::Matroska, AudioFileType::WebM},
                         [](const FileReader& file, std::int64_t begin) {
                             std::uint8_t bytes[4] = {};
                             return file.readAt(begin, bytes) && startsWithEbmlHeader(bytes);
                         },
                         &MatroskaInputFile::open,
                         [](AudioFileTypeID) -> std::unique_ptr<FamilyWriter> {
                             return std::make_unique<MatroskaWriter>();
                         }};
}

} // namespace cleftone::audiofile
