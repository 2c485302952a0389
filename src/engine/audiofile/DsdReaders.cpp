#include "engine/audiofile/DsdReaders.h"

#include "engine/audiofile/RewriteInput.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace cleftone::audiofile {

namespace {

std::uint64_t le64(const std::uint8_t* p)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

std::uint64_t be64(const std::uint8_t* p)
{
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
        value = (value << 8) | p[i];
    return value;
}

void putLe64(std::uint8_t* p, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        p[i] = std::uint8_t(value >> (8 * i));
}

void putBe64(std::uint8_t* p, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        p[i] = std::uint8_t(value >> (8 * (7 - i)));
}

void append(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// Chunks that describe the sound are small; one that claims more is damage, not data.
constexpr std::int64_t kMaxHeaderChunk = 16 << 20;

// DSF: "DSD " (size 28, file size, metadata pointer), "fmt " (size 52 and up), "data".
class DsfReader final : public RewriteInputFile {
public:
    DsfReader(int fd, ReadPurpose purpose) : RewriteInputFile(fd, purpose) {}

    OSStatus inspect()
    {
        std::uint8_t dsd[28];
        if (!reader().readAt(0, dsd) || std::memcmp(dsd, "DSD ", 4) != 0 || le64(dsd + 4) != 28)
            return AudioFileError::InvalidFile;
        std::uint8_t fmtHeader[12];
        if (!reader().readAt(28, fmtHeader) || std::memcmp(fmtHeader, "fmt ", 4) != 0)
            return AudioFileError::InvalidFile;
        const std::uint64_t fmtSize = le64(fmtHeader + 4);
        if (fmtSize < 52 || fmtSize > 4096)
            return AudioFileError::InvalidFile;
        const std::int64_t dataAt = 28 + std::int64_t(fmtSize);
        std::uint8_t dataHeader[12];
        if (!reader().readAt(dataAt, dataHeader) || std::memcmp(dataHeader, "data", 4) != 0)
            return AudioFileError::InvalidFile;
        const std::uint64_t dataSize = le64(dataHeader + 4);
        // A data chunk that claims more than the file holds: the file was cut short.
        if (dataSize < 12 || dataSize > std::uint64_t(reader().size() - dataAt))
            return AudioFileError::EndOfFile;
        const std::int64_t samples = std::int64_t(dataSize) - 12;

        m_type = AudioFileType::DSF;
        if (const OSStatus status =
                describeWithFFmpeg(0, reader().size(), "dsf", 1)) // the demuxer reads the ID3
            return status;
        noteTagAtEnd(dataAt + std::int64_t(dataSize), le64(dsd + 20));
        std::vector<std::uint8_t>& head = m_setup.head;
        head.assign(dsd, dsd + 28);
        putLe64(head.data() + 12, std::uint64_t(dataAt) + dataSize); // the new file size
        putLe64(head.data() + 20, 0);                                // no metadata
        append(head, reader().readRange(28, std::int64_t(fmtSize)));
        head.insert(head.end(), dataHeader, dataHeader + 12);
        if (head.size() != std::size_t(dataAt + 12))
            return AudioFileError::IO;
        return setRanges({ByteRange{dataAt + 12, samples}}, 1) ? 0 : AudioFileError::InvalidFile;
    }

private:
    // Everything after the sound goes: the ID3v2 tag that the metadata pointer names, and any
    // other bytes.
    void noteTagAtEnd(std::int64_t dataEnd, std::uint64_t pointer)
    {
        const std::int64_t size = reader().size();
        const std::int64_t tag = pointer >= std::uint64_t(dataEnd) && pointer < std::uint64_t(size)
                                     ? std::int64_t(pointer)
                                     : size;
        std::uint8_t header[10];
        const auto tagSize = reader().readAt(tag, header) ? id3v2TagSize(header) : std::nullopt;
        const std::int64_t tagBytes = tagSize ? std::min(*tagSize, size - tag) : 0;
        noteRemoved("trailing", std::string(), tag - dataEnd);
        noteRemoved("tagAtEnd", "ID3v2 tag", tagBytes);
        noteRemoved("trailing", std::string(), size - tag - tagBytes);
    }
};

struct IffChunk {
    std::uint32_t id;
    std::int64_t offset; // of the header
    std::int64_t size;   // of the body
    std::int64_t next;   // after the pad byte
};

constexpr std::uint32_t id(const char (&code)[5])
{
    return fourCC(code);
}

// DSDIFF: "FRM8", a 64-bit size, "DSD ", then chunks with 64-bit sizes, each padded to even.
class DsdiffReader final : public RewriteInputFile {
public:
    DsdiffReader(int fd, ReadPurpose purpose) : RewriteInputFile(fd, purpose) {}

    OSStatus inspect()
    {
        std::uint8_t form[16];
        if (!reader().readAt(0, form) || std::memcmp(form, "FRM8", 4) != 0 ||
            std::memcmp(form + 12, "DSD ", 4) != 0)
            return AudioFileError::InvalidFile;
        const std::uint64_t formSize = be64(form + 4);
        if (formSize < 4 || formSize > std::uint64_t(reader().size() - 12))
            return AudioFileError::EndOfFile;
        const std::int64_t formEnd = 12 + std::int64_t(formSize);

        std::vector<IffChunk> kept;
        std::optional<IffChunk> sound;
        for (std::int64_t at = 16; at + 12 <= formEnd;) {
            std::uint8_t header[12];
            if (!reader().readAt(at, header))
                return AudioFileError::InvalidFile;
            const std::uint64_t size = be64(header + 4);
            if (size > std::uint64_t(formEnd - at - 12))
                return AudioFileError::EndOfFile; // a chunk cut short
            const IffChunk chunk{
                std::uint32_t(header[0]) << 24 | header[1] << 16 | header[2] << 8 | header[3], at,
                std::int64_t(size),
                std::min(at + 12 + std::int64_t(size) + std::int64_t(size & 1), formEnd)};
            at = chunk.next;
            const bool isSound = chunk.id == id("DSD ") || chunk.id == id("DST ");
            if (!isSound && chunk.id != id("FVER") && chunk.id != id("PROP") &&
                chunk.id != id("DSTI")) {
                // DIIN, COMT, MANF, ID3 and whatever else: metadata, gone
                noteRemoved("chunk", fourCharacterText(header), chunk.next - chunk.offset);
                continue;
            }
            if (isSound && sound)
                return AudioFileError::InvalidFile; // one sound chunk per file
            if (!isSound && chunk.size > kMaxHeaderChunk)
                return AudioFileError::InvalidFile;
            kept.push_back(chunk);
            if (isSound)
                sound = chunk;
        }
        if (!sound)
            return AudioFileError::InvalidFile;
        const IffChunk soundChunk = *sound;

        m_type = AudioFileType::DSDIFF;
        if (const OSStatus status = describeWithFFmpeg(0, reader().size(), "iff", 1))
            return status;
        noteBehind(formEnd);

        // Where the sound data lands in the stripped file, for the frame index.
        std::int64_t newSoundBody = 16;
        for (const IffChunk& chunk : kept) {
            if (chunk.offset == soundChunk.offset)
                break;
            newSoundBody += chunk.next - chunk.offset;
        }
        newSoundBody += 12;
        const std::int64_t shift = newSoundBody - (soundChunk.offset + 12);

        std::vector<std::uint8_t>* part = &m_setup.head;
        std::uint64_t newFormSize = 4;
        for (const IffChunk& chunk : kept) {
            newFormSize += std::uint64_t(chunk.next - chunk.offset);
            if (chunk.offset == soundChunk.offset) {
                append(*part, reader().readRange(chunk.offset, 12));
                part = &m_setup.tail;
                if (chunk.next > chunk.offset + 12 + chunk.size)
                    part->push_back(0); // the sound data's pad byte
                continue;
            }
            std::vector<std::uint8_t> bytes =
                reader().readRange(chunk.offset, chunk.next - chunk.offset);
            if (bytes.size() != std::size_t(chunk.next - chunk.offset))
                return AudioFileError::IO;
            if (chunk.id == id("DSTI"))
                moveFrameIndex(bytes, soundChunk, shift);
            append(*part, bytes);
        }
        m_setup.head.insert(m_setup.head.begin(), form, form + 16);
        putBe64(m_setup.head.data() + 4, newFormSize);
        return setRanges({ByteRange{soundChunk.offset + 12, soundChunk.size}}, 1)
                   ? 0
                   : AudioFileError::InvalidFile;
    }

private:
    // The DST frame index gives each frame's offset from the start of the file: the frames
    // move with the sound data when chunks in front of it go.
    static void moveFrameIndex(std::vector<std::uint8_t>& chunk, const IffChunk& sound,
                               std::int64_t shift)
    {
        const std::int64_t soundBegin = sound.offset + 12;
        const std::int64_t soundEnd = soundBegin + sound.size;
        const std::size_t end = 12 + std::size_t(be64(chunk.data() + 4));
        for (std::size_t at = 12; at + 12 <= end && at + 12 <= chunk.size(); at += 12) {
            const auto offset = std::int64_t(be64(chunk.data() + at));
            if (offset >= soundBegin && offset < soundEnd)
                putBe64(chunk.data() + at, std::uint64_t(offset + shift));
        }
    }
};

template <typename Reader>
OSStatus openWith(int fd, ReadPurpose purpose, std::unique_ptr<InputFile>& out)
{
    auto file = std::make_unique<Reader>(fd, purpose);
    if (const OSStatus status = file->inspect())
        return status;
    out = std::move(file);
    return 0;
}

bool startsWith(const FileReader& file, std::int64_t begin, const char* magic)
{
    std::uint8_t head[4];
    return file.readAt(begin, head) && std::memcmp(head, magic, 4) == 0;
}

std::unique_ptr<FamilyWriter> plainWriter(AudioFileTypeID)
{
    return std::make_unique<FamilyWriter>();
}

} // namespace

RewriteFamily dsfFamily()
{
    // Both forms start the file: an ID3v2 tag goes at the end of a DSF file and inside the
    // form of a DSDIFF file, never in front.
    return {{AudioFileType::DSF},
            [](const FileReader& file, std::int64_t begin) {
                return begin == 0 && startsWith(file, 0, "DSD ");
            },
            openWith<DsfReader>,
            plainWriter};
}

RewriteFamily dsdiffFamily()
{
    return {{AudioFileType::DSDIFF},
            [](const FileReader& file, std::int64_t begin) {
                return begin == 0 && startsWith(file, 0, "FRM8");
            },
            openWith<DsdiffReader>,
            plainWriter};
}

} // namespace cleftone::audiofile
