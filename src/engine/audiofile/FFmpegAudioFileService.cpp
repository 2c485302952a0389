#include "engine/audiofile/FFmpegAudioFileService.h"

#include "engine/audiofile/AvPtr.h"
#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/ServiceFiles.h"

#include <cerrno>
#include <cstring>

namespace cleftone {

AudioFileService& AudioFileService::system()
{
    static audiofile::FFmpegAudioFileService service;
    return service;
}

namespace audiofile {

OSStatus statusFromErrno(int error)
{
    switch (error) {
    case 0:
        return 0;
    case ENOENT:
    case ENOTDIR:
        return AudioFileError::FileNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return AudioFileError::Permissions;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return AudioFileError::NoSpace;
    case ENOMEM:
        return AudioFileError::MemoryFull;
    case EEXIST:
    case EISDIR:
        return AudioFileError::InvalidFile;
    case EINVAL:
        return AudioFileError::Parameter;
    default:
        return AudioFileError::IO;
    }
}

OSStatus statusFromAvError(int error)
{
    if (error >= 0)
        return 0;
    switch (error) {
    case AVERROR_EOF:
        return AudioFileError::EndOfFile;
    case AVERROR_INVALIDDATA:
        return AudioFileError::InvalidFile;
    case AVERROR_DEMUXER_NOT_FOUND:
    case AVERROR_MUXER_NOT_FOUND:
        return AudioFileError::UnsupportedFileType;
    case AVERROR_DECODER_NOT_FOUND:
    case AVERROR_ENCODER_NOT_FOUND:
    case AVERROR_PATCHWELCOME:
        return AudioFileError::UnsupportedDataFormat;
    default:
        break;
    }
    // AVERROR(e) is -e for POSIX error numbers.
    if (error > -4096)
        return statusFromErrno(-error);
    return AudioFileError::Unspecified;
}

bool FFmpegAudioFileService::isOpen(AudioFileID file)
{
    std::lock_guard lock(m_mutex);
    return file && m_open.contains(file);
}

void FFmpegAudioFileService::remember(AudioFileID file)
{
    std::lock_guard lock(m_mutex);
    m_open.insert(file);
}

bool FFmpegAudioFileService::forget(AudioFileID file)
{
    std::lock_guard lock(m_mutex);
    return m_open.erase(file) == 1;
}

OSStatus FFmpegAudioFileService::AudioFileOpenURL(const std::string& path, std::int8_t permissions,
                                                  AudioFileTypeID /*typeHint*/,
                                                  AudioFileID* outFile)
{
    configureFFmpeg();
    if (!outFile)
        return AudioFileError::Parameter;
    *outFile = nullptr;
    if (permissions != kAudioFileReadPermission)
        return AudioFileError::Permissions; // the service opens files for reading only
    std::unique_ptr<InputFile> file;
    if (const OSStatus status = openInputFile(path, file))
        return status;
    *outFile = file.release();
    remember(*outFile);
    return 0;
}

OSStatus FFmpegAudioFileService::AudioFileGetPropertyInfo(AudioFileID file,
                                                          AudioFilePropertyID property,
                                                          std::uint32_t* outDataSize,
                                                          std::uint32_t* outWritable)
{
    if (!isOpen(file))
        return AudioFileError::NotOpen;
    std::uint32_t size = 0;
    OSStatus status;
    bool writable = false;
    if (auto* input = dynamic_cast<InputFile*>(file)) {
        status = input->propertyInfo(property, &size);
    } else {
        auto* output = static_cast<OutputFile*>(file);
        status = output->propertyInfo(property, &size);
        writable = property == AudioFileProperty::MagicCookieData;
    }
    if (outDataSize)
        *outDataSize = size;
    if (outWritable)
        *outWritable = writable;
    return status;
}

OSStatus FFmpegAudioFileService::AudioFileGetProperty(AudioFileID file,
                                                      AudioFilePropertyID property,
                                                      std::uint32_t* ioDataSize, void* outData)
{
    if (!isOpen(file))
        return AudioFileError::NotOpen;
    if (auto* input = dynamic_cast<InputFile*>(file))
        return input->property(property, ioDataSize, outData);
    return static_cast<OutputFile*>(file)->property(property, ioDataSize, outData);
}

OSStatus FFmpegAudioFileService::AudioFileSetProperty(AudioFileID file,
                                                      AudioFilePropertyID property,
                                                      std::uint32_t dataSize, const void* data)
{
    if (!isOpen(file))
        return AudioFileError::NotOpen;
    auto* output = dynamic_cast<OutputFile*>(file);
    if (!output)
        return AudioFileError::Permissions; // files opened for reading are not changed
    return output->setProperty(property, dataSize, data);
}

OSStatus FFmpegAudioFileService::AudioFileCreateWithURL(const std::string& path,
                                                        AudioFileTypeID type,
                                                        const AudioStreamBasicDescription* format,
                                                        std::uint32_t flags, AudioFileID* outFile)
{
    configureFFmpeg();
    if (!outFile || !format)
        return AudioFileError::Parameter;
    *outFile = nullptr;
    std::unique_ptr<OutputFile> file;
    if (const OSStatus status = createOutputFile(path, type, *format, flags, file))
        return status;
    *outFile = file.release();
    remember(*outFile);
    return 0;
}

OSStatus FFmpegAudioFileService::AudioFileReadPacketData(
    AudioFileID file, bool /*useCache*/, std::uint32_t* ioNumBytes,
    AudioStreamPacketDescription* outPacketDescriptions, std::int64_t startingPacket,
    std::uint32_t* ioNumPackets, void* outBuffer)
{
    if (!isOpen(file))
        return AudioFileError::NotOpen;
    auto* input = dynamic_cast<InputFile*>(file);
    if (!input)
        return AudioFileError::Permissions;
    return input->readPackets(ioNumBytes, outPacketDescriptions, startingPacket, ioNumPackets,
                              outBuffer);
}

OSStatus FFmpegAudioFileService::AudioFileWritePackets(
    AudioFileID file, bool /*useCache*/, std::uint32_t numBytes,
    const AudioStreamPacketDescription* packetDescriptions, std::int64_t startingPacket,
    std::uint32_t* ioNumPackets, const void* buffer)
{
    if (!isOpen(file))
        return AudioFileError::NotOpen;
    auto* output = dynamic_cast<OutputFile*>(file);
    if (!output)
        return AudioFileError::Permissions;
    return output->writePackets(numBytes, packetDescriptions, startingPacket, ioNumPackets, buffer);
}

OSStatus FFmpegAudioFileService::AudioFileClose(AudioFileID file)
{
    if (!forget(file))
        return AudioFileError::NotOpen;
    OSStatus status = 0;
    if (auto* output = dynamic_cast<OutputFile*>(file))
        status = output->finish();
    delete file;
    return status;
}

OSStatus FFmpegAudioFileService::AudioFileGetGlobalInfoSize(std::uint32_t selector,
                                                            std::uint32_t specifierSize,
                                                            const void* specifier,
                                                            std::uint32_t* outDataSize)
{
    if (!outDataSize)
        return AudioFileError::Parameter;
    switch (selector) {
    case AudioFileGlobalInfo::WritableTypes:
        *outDataSize = std::uint32_t(writableContainers().size() * sizeof(AudioFileTypeID));
        return 0;
    case AudioFileGlobalInfo::ExtensionsForType: {
        if (specifierSize != sizeof(AudioFileTypeID) || !specifier)
            return AudioFileError::BadPropertySize;
        AudioFileTypeID type;
        std::memcpy(&type, specifier, sizeof(type));
        if (!findWritableContainer(type))
            return AudioFileError::UnsupportedFileType;
        *outDataSize = sizeof(AudioFileExtensionList*);
        return 0;
    }
    default:
        return AudioFileError::UnsupportedProperty;
    }
}

OSStatus FFmpegAudioFileService::AudioFileGetGlobalInfo(std::uint32_t selector,
                                                        std::uint32_t specifierSize,
                                                        const void* specifier,
                                                        std::uint32_t* ioDataSize, void* outData)
{
    if (!ioDataSize || !outData)
        return AudioFileError::Parameter;
    switch (selector) {
    case AudioFileGlobalInfo::WritableTypes: {
        const auto& containers = writableContainers();
        const std::uint32_t count = std::min<std::uint32_t>(*ioDataSize / sizeof(AudioFileTypeID),
                                                            std::uint32_t(containers.size()));
        auto* types = static_cast<AudioFileTypeID*>(outData);
        for (std::uint32_t i = 0; i < count; ++i)
            types[i] = containers[i].type;
        *ioDataSize = count * sizeof(AudioFileTypeID);
        return 0;
    }
    case AudioFileGlobalInfo::ExtensionsForType: {
        if (specifierSize != sizeof(AudioFileTypeID) || !specifier)
            return AudioFileError::BadPropertySize;
        if (*ioDataSize < sizeof(AudioFileExtensionList*))
            return AudioFileError::BadPropertySize;
        AudioFileTypeID type;
        std::memcpy(&type, specifier, sizeof(type));
        const ContainerInfo* container = findWritableContainer(type);
        if (!container)
            return AudioFileError::UnsupportedFileType;
        auto* extensions =
            new AudioFileExtensionList(container->extensions.begin(), container->extensions.end());
        std::memcpy(outData, &extensions, sizeof(extensions));
        *ioDataSize = sizeof(extensions);
        return 0;
    }
    default:
        return AudioFileError::UnsupportedProperty;
    }
}

} // namespace audiofile
} // namespace cleftone
