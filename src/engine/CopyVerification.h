#pragma once

#include "engine/audiofile/AudioFileService.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace cleftone {

/// A fingerprint of what the packet copy read from the input, kept while copying so that the
/// finished copy can be checked without a second read of the input or a copy of its data.
///
/// Memory stays small whatever the file's size: for constant-size packets (PCM, where a packet
/// is one frame) one 64-bit hash per copy block of at most 32 kB; for variable-size packets one
/// 32-bit hash per packet (about 1 % of compressed audio), plus one 64-bit hash of the whole
/// stream so that a difference the short hashes miss is still found.
///
/// Threads: the strip job's worker thread.
class PacketRecord {
public:
    /// Called once, before the first block.
    void begin(AudioFileTypeID type, const AudioStreamBasicDescription& format,
               const QByteArray& cookie, std::uint32_t packetsPerBlock);
    /// One block as the copy read it. `descriptions` is ignored for constant-size packets.
    void addBlock(const std::byte* data, std::uint32_t bytes,
                  const AudioStreamPacketDescription* descriptions, std::uint32_t packets);

    AudioFileTypeID type() const { return type_; }
    const AudioStreamBasicDescription& format() const { return format_; }
    const QByteArray& cookie() const { return cookie_; }
    std::uint64_t packetCount() const { return packetCount_; }

private:
    friend class CopyVerifier;
    bool constantSize() const { return format_.mBytesPerPacket != 0; }

    AudioFileTypeID type_ = 0;
    AudioStreamBasicDescription format_;
    QByteArray cookie_;
    std::uint32_t packetsPerBlock_ = 1;
    std::uint64_t packetCount_ = 0;
    std::vector<std::uint64_t> blockHashes_; // constant-size packets
    std::deque<std::uint32_t> packetHashes_; // variable-size packets (no doubling spikes)
    std::uint64_t streamHash_ = 0;           // variable-size packets
    std::vector<bool> wellFormedFrames_;     // MP3 only: frames the repair tool must keep
    bool startsWithInfoFrame_ = false;       // MP3: a Xing/Info frame the tool may rewrite
};

/// How the copy may legitimately differ from what was read.
enum class CopyAllowance {
    Exact,             ///< every packet, in order, byte for byte
    RepairedMpegAudio, ///< the MP3 repair tool ran: it may drop frames that were not whole
                       ///< MPEG frames and rewrite a leading Xing/Info frame, nothing else
};

/// Opens `copyPath` through `service` as a new file and compares it with `record`: container
/// type, stream format, codec setup, packet count and every packet's bytes. Reads the copy
/// once. On a difference in one block of constant-size packets, `inputPath` (still unchanged)
/// is read again for that block only, to name the first packet that differs.
///
/// Returns none when the copy matches, otherwise the job's failure message.
/// Threads: the strip job's worker thread.
std::optional<QString> verifyCopy(AudioFileService& service, const QString& copyPath,
                                  const QString& inputPath, const PacketRecord& record,
                                  CopyAllowance allowance);

} // namespace cleftone
