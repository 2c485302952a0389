#include "engine/CopyVerification.h"

#include "engine/AudioFileParser.h"
#include "engine/PacketCopy.h"
#include "engine/audiofile/ContainerProbe.h"
#include "platform/PathBytes.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace cleftone {

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B97F4A7C15ull;
// How much of the copy one read of constant-size packets asks for: the copy blocks that the
// hashes were taken over are small (32 kB), a read per block would cost more than the reading.
constexpr std::size_t kCheckReadBytes = 1 << 20;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;

std::uint64_t rotl(std::uint64_t value, int bits)
{
    return (value << bits) | (value >> (64 - bits));
}

// A fast, non-cryptographic hash: every byte of every packet goes through it twice per job
// (while copying and while checking), so it runs four independent lanes with one multiply per
// eight bytes. Each step and the final combination are one-to-one in every lane, so a change
// confined to one lane (up to 8 bytes in every 32) always changes the hash; others are missed
// with a chance of about 2^-64.
std::uint64_t hashBytes(const std::byte* data, std::size_t size)
{
    const std::uint64_t seed = size * kPrime1;
    std::uint64_t lanes[4] = {seed, seed + kPrime2, seed ^ kPrime1, rotl(seed, 32)};
    const auto step = [](std::uint64_t lane, std::uint64_t word) {
        return rotl(lane ^ word, 27) * kPrime1;
    };
    for (; size >= 32; data += 32, size -= 32) {
        std::uint64_t words[4];
        std::memcpy(words, data, 32);
        for (int i = 0; i < 4; ++i)
            lanes[i] = step(lanes[i], words[i]);
    }
    for (int i = 0; size > 0; ++i) { // the length in the seed tells the zero padding apart
        std::uint64_t word = 0;
        const std::size_t take = std::min<std::size_t>(size, 8);
        std::memcpy(&word, data, take);
        lanes[i] = step(lanes[i], word);
        data += take;
        size -= take;
    }
    std::uint64_t hash = lanes[0];
    for (int i = 1; i < 4; ++i)
        hash = rotl(hash * kPrime2, 31) ^ lanes[i];
    hash ^= hash >> 33;
    hash *= 0xFF51AFD7ED558CCDull;
    hash ^= hash >> 33;
    return hash;
}

std::uint64_t chained(std::uint64_t streamHash, std::uint64_t packetHash)
{
    return rotl(streamHash ^ packetHash, 31) * kPrime2;
}

const std::uint8_t* bytesOf(const std::byte* data)
{
    return reinterpret_cast<const std::uint8_t*>(data);
}

bool isWholeMpegFrame(const std::byte* data, std::uint32_t size)
{
    if (size < 4)
        return false;
    const std::uint8_t* b = bytesOf(data);
    const std::uint32_t header = (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) |
                                 (std::uint32_t(b[2]) << 8) | std::uint32_t(b[3]);
    // A free-format frame (bitrate index 0) announces no length: a valid header is whole.
    if (((header >> 12) & 15) == 0)
        return audiofile::mpegAudioFrameLength(header | (1u << 12)) != 0;
    return audiofile::mpegAudioFrameLength(header) == int(size);
}

// A leading frame that carries the encoder's Xing, Info or VBRI header instead of audio.
bool isInfoFrame(const std::byte* data, std::uint32_t size)
{
    return audiofile::isMpegInfoFrame(std::span(bytesOf(data), size));
}

// For compressed audio the bit depth is the source's, told by the codec setup (compared on its
// own) and not always by the container: an ALAC track in MP4 reports it from its sample entry,
// the same track written anew does not. It matters where it shapes the packets, in PCM.
bool sameFormat(const AudioStreamBasicDescription& a, const AudioStreamBasicDescription& b)
{
    const bool pcm = a.mBytesPerPacket != 0;
    return a.mSampleRate == b.mSampleRate && a.mFormatID == b.mFormatID &&
           a.mFormatFlags == b.mFormatFlags && a.mBytesPerPacket == b.mBytesPerPacket &&
           a.mFramesPerPacket == b.mFramesPerPacket && a.mBytesPerFrame == b.mBytesPerFrame &&
           a.mChannelsPerFrame == b.mChannelsPerFrame &&
           (!pcm || a.mBitsPerChannel == b.mBitsPerChannel);
}

QString mismatch(const QString& what)
{
    return QStringLiteral("The stripped copy did not match the original audio (%1). "
                          "The original was not changed.")
        .arg(what);
}

QString packetDiffers(std::uint64_t packet)
{
    return mismatch(QStringLiteral("packet %1 differs").arg(packet));
}

// Packets read from a file. Constant-size packets need no descriptions: the service leaves
// them alone, and a window of 4-byte PCM frames would otherwise carry 16 bytes for each.
struct Block {
    explicit Block(std::uint32_t packets, std::uint32_t maximumPacketSize, bool described = true)
        : data(std::size_t(packets) * maximumPacketSize), descriptions(described ? packets : 0),
          capacity(packets)
    {}
    std::vector<std::byte> data;
    std::vector<AudioStreamPacketDescription> descriptions;
    std::uint32_t capacity;
    std::uint32_t bytes = 0;
    std::uint32_t packets = 0;

    OSStatus read(AudioFileService& service, AudioFileID file, std::int64_t start,
                  std::uint32_t asked)
    {
        bytes = std::uint32_t(data.size());
        packets = std::min<std::uint32_t>(asked, capacity);
        const OSStatus status = service.AudioFileReadPacketData(
            file, false, &bytes, descriptions.empty() ? nullptr : descriptions.data(), start,
            &packets, data.data());
        packets = std::min<std::uint32_t>(packets, asked);
        bytes = std::min<std::uint32_t>(bytes, std::uint32_t(data.size()));
        return status;
    }
    std::pair<const std::byte*, std::uint32_t> packet(std::uint32_t i) const
    {
        const auto& d = descriptions[i];
        if (d.mStartOffset < 0 || std::uint64_t(d.mStartOffset) + d.mDataByteSize > bytes)
            return {nullptr, 0};
        return {data.data() + d.mStartOffset, d.mDataByteSize};
    }
};

std::unique_ptr<AudioFileParser> openForReading(AudioFileService& service, const QString& path)
{
    AudioFileID file = nullptr;
    if (service.AudioFileOpenURL(pathBytes(path).toStdString(), kAudioFileReadPermission, 0,
                                 &file) != 0 ||
        !file)
        return nullptr;
    return std::make_unique<AudioFileParser>(file, service);
}

} // namespace

void PacketRecord::begin(AudioFileTypeID type, const AudioStreamBasicDescription& format,
                         const QByteArray& cookie, std::uint32_t packetsPerBlock)
{
    type_ = type;
    format_ = format;
    cookie_ = cookie;
    packetsPerBlock_ = std::max<std::uint32_t>(packetsPerBlock, 1);
}

void PacketRecord::addBlock(const std::byte* data, std::uint32_t bytes,
                            const AudioStreamPacketDescription* descriptions, std::uint32_t packets)
{
    if (constantSize()) {
        blockHashes_.push_back(hashBytes(data, bytes));
        packetCount_ += packets;
        return;
    }
    const bool mpeg = type_ == AudioFileType::MP3;
    for (std::uint32_t i = 0; i < packets; ++i) {
        const auto& d = descriptions[i];
        const bool inside =
            d.mStartOffset >= 0 && std::uint64_t(d.mStartOffset) + d.mDataByteSize <= bytes;
        const std::byte* packet = inside ? data + d.mStartOffset : data;
        const std::uint32_t size = inside ? d.mDataByteSize : 0;
        const std::uint64_t hash = hashBytes(packet, size);
        packetHashes_.push_back(std::uint32_t(hash));
        streamHash_ = chained(streamHash_, hash);
        if (mpeg) {
            if (packetCount_ == 0)
                startsWithInfoFrame_ = isInfoFrame(packet, size);
            wellFormedFrames_.push_back(isWholeMpegFrame(packet, size));
        }
        ++packetCount_;
    }
}

// Walks the copy once, block by block, against the record.
class CopyVerifier {
public:
    CopyVerifier(AudioFileService& service, AudioFileParser& copy, const PacketRecord& record)
        : service_(service), copy_(copy), record_(record)
    {}

    std::optional<QString> constantSizePackets(const QString& inputPath)
    {
        const std::uint32_t perBlock = record_.packetsPerBlock_;
        const std::uint32_t packetSize = record_.format_.mBytesPerPacket;
        const std::size_t blocksPerRead =
            std::max<std::size_t>(1, kCheckReadBytes / (std::size_t(perBlock) * packetSize));
        Block window(std::uint32_t(blocksPerRead * perBlock), packetSize, false);
        const std::uint64_t total = record_.packetCount_;
        const std::size_t blocks = record_.blockHashes_.size();
        for (std::size_t first = 0; first < blocks; first += blocksPerRead) {
            const std::uint64_t start = std::uint64_t(first) * perBlock;
            const auto asked = std::uint32_t(
                std::min<std::uint64_t>(std::uint64_t(blocksPerRead) * perBlock, total - start));
            if (window.read(service_, copy_.audioFile(), std::int64_t(start), asked) != 0 ||
                window.packets != asked)
                return packetDiffers(start + window.packets);
            for (std::size_t b = first; b < std::min(blocks, first + blocksPerRead); ++b) {
                const std::uint64_t offset = std::uint64_t(b - first) * perBlock;
                const auto packets =
                    std::uint32_t(std::min<std::uint64_t>(perBlock, asked - offset));
                const std::byte* data = window.data.data() + offset * packetSize;
                if (hashBytes(data, std::size_t(packets) * packetSize) != record_.blockHashes_[b])
                    return packetDiffers(start + offset +
                                         firstDifference(inputPath, data, start + offset, packets));
            }
        }
        return std::nullopt;
    }

    std::optional<QString> variableSizePackets(CopyAllowance allowance)
    {
        const std::uint32_t maximum = copy_.maximumPacketSize();
        const std::uint64_t total = copy_.audioDataPacketCount();
        if (maximum == 0 && total > 0)
            return mismatch(QStringLiteral("its packets could not be read"));
        const std::uint32_t perBlock = maximum ? packetsPerBlock(maximum) : 1;
        Block block(perBlock, std::max<std::uint32_t>(maximum, 1));
        const bool repaired = allowance == CopyAllowance::RepairedMpegAudio;
        const auto& expected = record_.packetHashes_;
        std::uint64_t streamHash = 0;
        std::size_t next = 0;    // the input packet the copy's next packet should be
        bool changed = false;    // the repair tool dropped or rewrote a frame
        std::size_t rebuilt = 0; // frames the copy may still hold in place of broken ones
        for (std::uint64_t start = 0; start < total; start += perBlock) {
            const auto asked = std::uint32_t(std::min<std::uint64_t>(perBlock, total - start));
            if (block.read(service_, copy_.audioFile(), std::int64_t(start), asked) != 0 ||
                block.packets != asked)
                return packetDiffers(std::min<std::uint64_t>(next, expected.size()));
            for (std::uint32_t i = 0; i < block.packets; ++i) {
                const auto [data, size] = block.packet(i);
                if (!data)
                    return packetDiffers(next);
                const std::uint64_t hash = hashBytes(data, size);
                streamHash = chained(streamHash, hash);
                if (repaired && start + i == 0 && record_.startsWithInfoFrame_ &&
                    isInfoFrame(data, size)) {
                    next = 1; // the tool may correct the frame count in it
                    changed = changed || expected.empty() || expected[0] != std::uint32_t(hash);
                    continue;
                }
                // Around a frame the tool judged broken it drops or rebuilds frames: the broken
                // run and the whole frame just before it may give way to as many whole frames.
                // Everywhere else every frame must be there, unchanged and in order.
                const auto expectedHere = [&] {
                    return next < expected.size() && expected[next] == std::uint32_t(hash);
                };
                if (repaired && next < expected.size() && !expectedHere()) {
                    std::size_t end = next;
                    if (record_.wellFormedFrames_[end] && end + 1 < expected.size() &&
                        !record_.wellFormedFrames_[end + 1])
                        ++end;
                    while (end < expected.size() && !record_.wellFormedFrames_[end])
                        ++end;
                    rebuilt += end - next;
                    changed = changed || end > next;
                    next = end;
                }
                if (!expectedHere()) {
                    if (rebuilt > 0 && isWholeMpegFrame(data, size)) {
                        --rebuilt;
                        continue;
                    }
                    return packetDiffers(std::min<std::uint64_t>(next, expected.size()));
                }
                rebuilt = 0;
                ++next;
            }
        }
        // At the end of a damaged stream (a cut-off last frame, junk after it), the tool also
        // drops the whole frame just before the damage: nothing else may be missing there.
        std::size_t damagedTail = expected.size();
        while (repaired && damagedTail > 0 && !record_.wellFormedFrames_[damagedTail - 1])
            --damagedTail;
        for (; next < expected.size(); ++next) {
            const bool lastBeforeDamage = damagedTail < expected.size() && next + 1 == damagedTail;
            if (!repaired || (record_.wellFormedFrames_[next] && !lastBeforeDamage))
                return packetDiffers(next);
            changed = true;
        }
        // Where nothing was dropped or rewritten, the whole stream must match too: the short
        // per-packet hashes alone would let one change in four billion through.
        if (!changed && streamHash != record_.streamHash_)
            return mismatch(QStringLiteral("its audio differs"));
        return std::nullopt;
    }

private:
    // Reads the one block again from the input to say which of its packets differs.
    std::uint32_t firstDifference(const QString& inputPath, const std::byte* copied,
                                  std::uint64_t start, std::uint32_t packets)
    {
        const std::unique_ptr<AudioFileParser> input = openForReading(service_, inputPath);
        if (!input)
            return 0;
        Block original(record_.packetsPerBlock_, record_.format_.mBytesPerPacket, false);
        if (original.read(service_, input->audioFile(), std::int64_t(start), packets) != 0)
            return 0;
        const std::uint32_t size = record_.format_.mBytesPerPacket;
        for (std::uint32_t i = 0; i < packets; ++i) {
            const std::size_t offset = std::size_t(i) * size;
            if (offset + size > original.bytes ||
                std::memcmp(copied + offset, original.data.data() + offset, size) != 0)
                return i;
        }
        return 0;
    }

    AudioFileService& service_;
    AudioFileParser& copy_;
    const PacketRecord& record_;
};

std::optional<QString> verifyCopy(AudioFileService& service, const QString& copyPath,
                                  const QString& inputPath, const PacketRecord& record,
                                  CopyAllowance allowance)
{
    const std::unique_ptr<AudioFileParser> copy = openForReading(service, copyPath);
    if (!copy)
        return mismatch(QStringLiteral("it could not be opened"));
    if (copy->audioFileTypeID() != record.type())
        return mismatch(QStringLiteral("its file type differs"));
    if (!sameFormat(copy->audioStreamBasicDescription(), record.format()))
        return mismatch(QStringLiteral("its stream format differs"));
    if (copy->magicCookieData().value_or(QByteArray()) != record.cookie())
        return mismatch(QStringLiteral("its codec setup differs"));

    CopyVerifier verifier(service, *copy, record);
    if (record.format().mBytesPerPacket != 0) {
        const quint64 count = copy->audioDataPacketCount();
        if (count != record.packetCount())
            return mismatch(QStringLiteral("it holds %1 packets instead of %2")
                                .arg(count)
                                .arg(record.packetCount()));
        return verifier.constantSizePackets(inputPath);
    }
    if (allowance == CopyAllowance::Exact && copy->audioDataPacketCount() != record.packetCount())
        return mismatch(QStringLiteral("it holds %1 packets instead of %2")
                            .arg(copy->audioDataPacketCount())
                            .arg(record.packetCount()));
    return verifier.variableSizePackets(allowance);
}

} // namespace cleftone
