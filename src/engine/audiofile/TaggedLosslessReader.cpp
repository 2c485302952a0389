#include "engine/audiofile/TaggedLosslessReader.h"

#include "engine/audiofile/RewriteInput.h"
#include "engine/audiofile/StoredWavHeaders.h"
#include "engine/audiofile/WavPackBlocks.h"

#include <algorithm>
#include <cstring>

namespace cleftone::audiofile {

namespace {

struct Format {
    const char* magic;
    std::size_t magicSize;
    AudioFileTypeID type;
    /// The libavformat demuxer that reads it, or null where there is none.
    const char* demuxer;
};

constexpr Format kFormats[] = {
    {"MAC ", 4, AudioFileType::MonkeysAudio, "ape"},
    {"wvpk", 4, AudioFileType::WavPack, "wv"},
    {"MPCK", 4, AudioFileType::Musepack, "mpc8"},
    {"MP+", 3, AudioFileType::Musepack, "mpc"}, // stream version 7
    {"TTA1", 4, AudioFileType::TTA, "tta"},
    {"OFR ", 4, AudioFileType::OptimFROG, nullptr},
    {"tBaK", 4, AudioFileType::TAK, "tak"},
};

const Format* formatAt(const FileReader& file, std::int64_t begin)
{
    std::uint8_t magic[4];
    if (!file.readAt(begin, magic))
        return nullptr;
    for (const Format& format : kFormats)
        if (std::memcmp(magic, format.magic, format.magicSize) == 0)
            return &format;
    return nullptr;
}

std::uint32_t le32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

class TaggedLosslessReader final : public RewriteInputFile {
public:
    TaggedLosslessReader(int fd, ReadPurpose purpose) : RewriteInputFile(fd, purpose) {}

    OSStatus inspect()
    {
        const std::int64_t begin = skipLeadingTags(reader());
        const std::int64_t end = trimTrailingTags(reader(), begin, reader().size());
        const Format* format = formatAt(reader(), begin);
        if (!format || end <= begin)
            return AudioFileError::InvalidFile;
        m_type = format->type;
        m_id3Tag = ByteRange{0, begin};
        noteTagsInFront(begin);
        // Monkey's Audio and TAK keep the source's WAV header inside checksummed data.
        std::vector<MetadataBlock> stored;
        if (m_type == AudioFileType::MonkeysAudio)
            stored = monkeysAudioStoredChunks(reader(), begin, end);
        else if (m_type == AudioFileType::TAK)
            stored = takStoredChunks(reader(), begin, end);
        for (MetadataBlock& chunk : stored)
            noteKept(std::move(chunk.kind), std::move(chunk.name), chunk.bytes);
        const OSStatus described = format->demuxer
                                       ? describeWithFFmpeg(begin, end, format->demuxer, 1)
                                       : describeOptimFrog(begin);
        if (described)
            return described;
        ByteRange audio{begin, end - begin};
        if (m_type == AudioFileType::WavPack)
            audio = rewriteStoredRiff(begin, end);
        if (audio.length < 0)
            return AudioFileError::IO;
        noteBehind(end);
        return setRanges({audio}, 1) ? 0 : AudioFileError::InvalidFile;
    }

private:
    // WavPack's first and last blocks may keep the source file's RIFF chunks. They always
    // travel in the head and tail, rewritten where they can be rewritten exactly, so that the
    // stripped file is read back the same way: the packets are the bytes between them.
    ByteRange rewriteStoredRiff(std::int64_t begin, std::int64_t end)
    {
        auto riff = wavPackRiffChunks(reader(), begin, end);
        if (!riff)
            return {begin, end - begin};
        for (MetadataBlock& chunk : riff->removed)
            noteRemoved(std::move(chunk.kind), std::move(chunk.name), chunk.bytes);
        for (MetadataBlock& chunk : riff->kept)
            noteKept(std::move(chunk.kind), std::move(chunk.name), chunk.bytes);
        m_setup.head =
            riff->newFirstBlock.empty()
                ? reader().readRange(riff->firstBlock, riff->firstBlockEnd - riff->firstBlock)
                : std::move(riff->newFirstBlock);
        if (m_setup.head.empty())
            return {0, -1};
        if (riff->lastBlock == riff->firstBlock)
            return {riff->firstBlockEnd, end - riff->firstBlockEnd};
        m_setup.tail =
            riff->newLastBlock.empty()
                ? reader().readRange(riff->lastBlock, riff->lastBlockEnd - riff->lastBlock)
                : std::move(riff->newLastBlock);
        if (m_setup.tail.empty())
            return {0, -1};
        return {riff->firstBlockEnd, riff->lastBlock - riff->firstBlockEnd};
    }

    // libavformat has no OptimFROG reader: its header says the rate and the channels.
    OSStatus describeOptimFrog(std::int64_t begin)
    {
        // "OFR ", header size, 48-bit sample count, sample type, channel configuration, rate.
        std::uint8_t header[20];
        if (!reader().readAt(begin, header) || le32(header + 4) < 12)
            return AudioFileError::InvalidFile;
        const std::uint32_t rate = le32(header + 16);
        const std::uint32_t channels = std::uint32_t(header[15]) + 1;
        if (rate == 0 || rate > 1'000'000 || channels > 64)
            return AudioFileError::UnsupportedDataFormat;
        m_format = AudioStreamBasicDescription{};
        m_format.mSampleRate = rate;
        m_format.mFormatID = AudioFormat::ServiceCodec;
        m_format.mChannelsPerFrame = channels;
        m_format.mBytesPerPacket = 1;
        return 0;
    }
};

bool claims(const FileReader& file, std::int64_t begin)
{
    return formatAt(file, begin) != nullptr;
}

OSStatus open(int fd, ReadPurpose purpose, std::unique_ptr<InputFile>& out)
{
    auto file = std::make_unique<TaggedLosslessReader>(fd, purpose);
    if (const OSStatus status = file->inspect())
        return status;
    out = std::move(file);
    return 0;
}

std::unique_ptr<FamilyWriter> writer(AudioFileTypeID)
{
    return std::make_unique<FamilyWriter>();
}

} // namespace

RewriteFamily taggedLosslessFamily()
{
    return {{AudioFileType::MonkeysAudio, AudioFileType::WavPack, AudioFileType::Musepack,
             AudioFileType::TTA, AudioFileType::OptimFROG, AudioFileType::TAK},
            claims,
            open,
            writer};
}

} // namespace cleftone::audiofile
