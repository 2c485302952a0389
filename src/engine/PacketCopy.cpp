#include "engine/PacketCopy.h"

#include "engine/FailureText.h"
#include "engine/OSTypeString.h"
#include "engine/StripFailure.h"
#include "platform/PathBytes.h"
#include "platform/SystemLog.h"

#include <QFile>

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

// The user gets words to act on; the call and its status code go to the system log.
[[noreturn]] void failWithStatus(const char* call, OSStatus status, const QString& message)
{
    systemLog(QStringLiteral("%1 failed: %2")
                  .arg(QLatin1String(call), stringForOSType(static_cast<std::uint32_t>(status))));
    throw StripFailure(message);
}

bool isFormatRefusal(OSStatus status)
{
    return status == AudioFileError::UnsupportedDataFormat ||
           status == AudioFileError::UnsupportedFileType ||
           status == AudioFileError::UnsupportedProperty;
}

// "Cleftone cannot write AAC audio in a CAF file."
QString formatRefusal(AudioFileTypeID type, const AudioStreamBasicDescription& format)
{
    const QString codec = audioFormatName(format.mFormatID);
    const QString container = audioFileTypeName(type);
    return QStringLiteral("Cleftone cannot write %1 in %2 file.")
        .arg(codec.isEmpty() ? QStringLiteral("the audio of this file")
                             : QStringLiteral("%1 audio").arg(codec),
             container.isEmpty() ? QStringLiteral("this kind of")
                                 : QStringLiteral("a %1").arg(container));
}

QString writeFailure(OSStatus status)
{
    return QStringLiteral("Could not write the stripped copy: %1.").arg(reasonForStatus(status));
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
        failWithStatus("AudioFileCreateWithURL", createStatus,
                       isFormatRefusal(createStatus) ? formatRefusal(type, format)
                                                     : writeFailure(createStatus));
    }

    // A zero-length cookie is no cookie; handing it over would only let a strict service
    // refuse a file that needs none.
    const std::optional<QByteArray> cookie = input.magicCookieData();
    if (cookie && !cookie->isEmpty()) {
        const OSStatus status =
            service.AudioFileSetProperty(output.get(), AudioFileProperty::MagicCookieData,
                                         std::uint32_t(cookie->size()), cookie->constData());
        if (status != 0) {
            failWithStatus("AudioFileSetProperty kAudioFilePropertyMagicCookieData", status,
                           isFormatRefusal(status) ? formatRefusal(type, format)
                                                   : writeFailure(status));
        }
    }

    const quint64 totalPackets = input.audioDataPacketCount();
    const std::uint32_t maximumPacketSize = input.maximumPacketSize();
    if (maximumPacketSize == 0) {
        throw StripFailure(QStringLiteral("Could not read the audio of this file: it is damaged or "
                                          "in a form that Cleftone does not support."));
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
            throw StripFailure(QStringLiteral("There is not enough memory to copy the audio."));
        }
        const MallocPtr<AudioStreamPacketDescription> descriptions(
            static_cast<AudioStreamPacketDescription*>(
                std::malloc(sizeof(AudioStreamPacketDescription) * packetsAsked)));
        if (!descriptions) {
            throw StripFailure(QStringLiteral("There is not enough memory to copy the audio."));
        }

        const auto startingPacket = std::int64_t(totalPackets - remainingPackets);
        std::uint32_t bytesRead = bufferSize;
        std::uint32_t packetsRead = packetsAsked;
        const OSStatus readStatus = service.AudioFileReadPacketData(
            input.audioFile(), false, &bytesRead, descriptions.get(), startingPacket, &packetsRead,
            buffer.get());
        if (readStatus != 0) {
            failWithStatus("AudioFileReadPacketData", readStatus,
                           QStringLiteral("Could not read the audio of this file: %1.")
                               .arg(reasonForStatus(readStatus)));
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
            failWithStatus("AudioFileWritePackets", writeStatus,
                           isFormatRefusal(writeStatus) ? formatRefusal(type, format)
                                                        : writeFailure(writeStatus));
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
        failWithStatus("AudioFileClose", closeStatus,
                       isFormatRefusal(closeStatus) ? formatRefusal(type, format)
                                                    : writeFailure(closeStatus));
    }
    return PacketCopyOutcome::Completed;
}

} // namespace cleftone
