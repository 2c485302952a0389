#pragma once

#include "engine/AudioFileParser.h"
#include "engine/CopyVerification.h"
#include "engine/audiofile/AudioFileService.h"

#include <QString>

#include <cstdint>
#include <functional>

namespace cleftone {

/// The output audio file of a strip job: closes it when the job lets go of it, unless the
/// packet copy already has.
///
/// Threads: the job's worker thread only.
class OutputAudioFileHandle {
public:
    explicit OutputAudioFileHandle(AudioFileService& service) : service_(service) {}
    OutputAudioFileHandle(const OutputAudioFileHandle&) = delete;
    OutputAudioFileHandle& operator=(const OutputAudioFileHandle&) = delete;
    ~OutputAudioFileHandle() { close(); }

    AudioFileID get() const { return file_; }
    bool isOpen() const { return file_ != nullptr; }

    /// Takes ownership of `file` (closing a handle held before).
    void reset(AudioFileID file);

    /// Finishes and closes the file if it is open, returning the service's status (0 when
    /// nothing was open). Idempotent.
    OSStatus close();

private:
    AudioFileService& service_;
    AudioFileID file_ = nullptr;
};

enum class PacketCopyOutcome {
    Completed, ///< every packet copied and the output closed
    Cancelled, ///< stopped before a block; the output is left open for the job to close
};

/// Creates a file of `type` and stream `format` at `tempFilePath`, gives it the input's magic
/// cookie and copies all the input's packets into it unchanged and at the same packet indices,
/// in blocks of at most 32768 bytes (or one packet, when a packet is larger). Nothing else of
/// the input is carried over, which is what leaves its tags behind.
///
/// `isCancelled` is asked before each block. `output` must be closed on entry; the created
/// file is stored in it at once so that the job closes it on every early exit.
///
/// `record`, when given, receives a fingerprint of every block read, for checking the copy.
///
/// Throws `StripFailure` with the job's error-log message on every failure, including an input
/// that delivers fewer packets than it claims to hold.
///
/// Threads: the strip job's worker thread.
PacketCopyOutcome copyPackets(AudioFileService& service, const AudioFileParser& input,
                              AudioFileTypeID type, const AudioStreamBasicDescription& format,
                              const QString& tempFilePath, OutputAudioFileHandle& output,
                              const std::function<bool()>& isCancelled,
                              PacketRecord* record = nullptr);

/// How many packets of `maximumPacketSize` bytes go into one block: as many as fit in 32768
/// bytes, at least one. `maximumPacketSize` must not be 0.
std::uint32_t packetsPerBlock(std::uint32_t maximumPacketSize);

} // namespace cleftone
