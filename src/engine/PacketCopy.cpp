#include "engine/PacketCopy.h"

#include "engine/OSTypeString.h"
#include "engine/StripFailure.h"
#include "platform/PathBytes.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace cleftone {

namespace {

constexpr std::uint32_t kBlockBytes = 32768;

struct FreeDeleter {
    void operator()(void* memory) const noexcept { std::free(memory); }
};
template <typename T> using MallocPtr = std::unique_ptr<T, FreeDeleter>;

[[noreturn]] void failWithStatus(const char* what, OSStatus status)
{
    throw StripFailure(
        QStringLiteral("%1 Failed: %2")
            .arg(QLatin1String(what), stringForOSType(static_cast<std::uint32_t>(status))));
}

} // namespace

void OutputAudioFileHandle::reset(AudioFileID file)
{
    close();
    file_ = file;
}

OSStatus OutputAudioFileHandle::close()
{
    if (file_ == nullptr)
        return 0;
    AudioFileID file = file_;
    file_ = nullptr;
    return service_.AudioFileClose(file);
}

std::uint32_t packetsPerBlock(std::uint32_t maximumPacketSize)
{
    return maximumPacketSize <= kBlockBytes ? kBlockBytes / maximumPacketSize : 1;
}

PacketCopyOutcome copyPackets(AudioFileService& service, const AudioFileParser& input,
                              AudioFileTypeID type, const AudioStreamBasicDescription& format,
                              const QString& tempFilePath, OutputAudioFileHandle& output,
                              const std::function<bool()>& isCancelled, PacketRecord* record)
{
    AudioFileID created = nullptr;
    const OSStatus createStatus = service.AudioFileCreateWithURL(
        pathBytes(tempFilePath).toStdString(), type, &format,
        kAudioFileFlags_EraseFile | kAudioFileFlags_DontPageAlignAudioData, &created);
    // Whatever the service left behind is the job's to close, even after a failure.
    output.reset(created);
    if (createStatus != 0) {
        failWithStatus("AudioFileCreateWithURL", createStatus);
    }

    // A zero-length cookie is no cookie; handing it over would only let a strict service
    // refuse a file that needs none.
    const std::optional<QByteArray> cookie = input.magicCookieData();
    if (cookie && !cookie->isEmpty()) {
        const OSStatus status =
            service.AudioFileSetProperty(output.get(), AudioFileProperty::MagicCookieData,
                                         std::uint32_t(cookie->size()), cookie->constData());
        if (status != 0) {
            failWithStatus("AudioFileSetProperty kAudioFilePropertyMagicCookieData", status);
        }
    }

    const quint64 totalPackets = input.audioDataPacketCount();
    const std::uint32_t maximumPacketSize = input.maximumPacketSize();
    if (maximumPacketSize == 0) {
        throw StripFailure(QStringLiteral("Unable to read packets. Possible incompatible format."));
    }

    const std::uint32_t perBlock = packetsPerBlock(maximumPacketSize);
    if (record)
        record->begin(type, format, cookie.value_or(QByteArray()), perBlock);
    quint64 remainingPackets = totalPackets;
    quint64 packetsWritten = 0;
    while (remainingPackets > 0) {
        if (isCancelled && isCancelled()) {
            return PacketCopyOutcome::Cancelled;
        }
        const auto packetsAsked = std::uint32_t(std::min<quint64>(perBlock, remainingPackets));
        // At most max(32768, maximumPacketSize): fits in 32 bits.
        const std::uint32_t bufferSize = maximumPacketSize * packetsAsked;

        // Neither buffer is zero-filled: the read fills what it delivers, and a damaged file
        // claiming huge packets must not make us touch gigabytes before the read refuses it.
        // The descriptions are plain data, so raw storage serves (a vector would clear it).
        const MallocPtr<std::byte> buffer(static_cast<std::byte*>(std::malloc(bufferSize)));
        if (!buffer) {
            throw StripFailure(QStringLiteral("Unable to allocate outBuffer"));
        }
        const MallocPtr<AudioStreamPacketDescription> descriptions(
            static_cast<AudioStreamPacketDescription*>(
                std::malloc(sizeof(AudioStreamPacketDescription) * packetsAsked)));
        if (!descriptions) {
            throw StripFailure(QStringLiteral("Unable to allocate AudioStreamPacketDescription"));
        }

        const auto startingPacket = std::int64_t(totalPackets - remainingPackets);
        std::uint32_t bytesRead = bufferSize;
        std::uint32_t packetsRead = packetsAsked;
        const OSStatus readStatus = service.AudioFileReadPacketData(
            input.audioFile(), false, &bytesRead, descriptions.get(), startingPacket, &packetsRead,
            buffer.get());
        if (readStatus != 0) {
            failWithStatus("AudioFileReadPacketData", readStatus);
        }
        // Never trust the counts past the buffers they describe.
        packetsRead = std::min(packetsRead, packetsAsked);
        bytesRead = std::min(bytesRead, bufferSize);
        if (packetsRead == 0) {
            // The input ended early; every later read would come back empty too.
            break;
        }

        if (record)
            record->addBlock(buffer.get(), bytesRead, descriptions.get(), packetsRead);

        std::uint32_t packetsToWrite = packetsRead;
        const OSStatus writeStatus =
            service.AudioFileWritePackets(output.get(), false, bytesRead, descriptions.get(),
                                          startingPacket, &packetsToWrite, buffer.get());
        if (writeStatus != 0) {
            failWithStatus("AudioFileWritePackets", writeStatus);
        }
        packetsWritten += std::min(packetsToWrite, packetsRead);

        // Advance by what was asked for, not what came back, so the next block still starts
        // at the input's own packet index.
        remainingPackets -= packetsAsked;
    }

    // A short read would otherwise yield a shorter file and a job that reports success.
    if (packetsWritten < totalPackets) {
        throw StripFailure(QStringLiteral("Read only %1 of %2 audio packets. The file may be "
                                          "truncated or damaged.")
                               .arg(packetsWritten)
                               .arg(totalPackets));
    }

    // Closing writes what the container keeps at its end (sizes, sample tables); a file whose
    // close failed is incomplete and must not replace anything.
    if (const OSStatus closeStatus = output.close(); closeStatus != 0) {
        failWithStatus("AudioFileClose", closeStatus);
    }
    return PacketCopyOutcome::Completed;
}

} // namespace cleftone
