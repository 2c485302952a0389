#pragma once

#include "engine/audiofile/AudioFileTypes.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace cleftone::audiofile {

/// Size in bytes of a property whose value has a fixed size; 0 for any other property.
constexpr std::uint32_t fixedPropertySize(AudioFilePropertyID property)
{
    switch (property) {
    case AudioFileProperty::FileFormat:
    case AudioFileProperty::MaximumPacketSize:
        return 4;
    case AudioFileProperty::AudioDataByteCount:
    case AudioFileProperty::AudioDataPacketCount:
    case AudioFileProperty::DataOffset:
    case AudioFileProperty::InfoDictionary:
        return 8;
    case AudioFileProperty::DataFormat:
        return sizeof(AudioStreamBasicDescription);
    default:
        return 0;
    }
}

/// Copies a fixed-size value into the caller's storage, which must be large enough.
template <typename T> OSStatus storeFixedProperty(const T& value, std::uint32_t* ioSize, void* out)
{
    if (*ioSize < sizeof(value) || !out)
        return AudioFileError::BadPropertySize;
    std::memcpy(out, &value, sizeof(value));
    *ioSize = sizeof(value);
    return 0;
}

/// Copies a variable-size value up to the storage given; the size says how much. Without
/// storage, the size says how much there is.
inline OSStatus storeBytesProperty(const std::vector<std::uint8_t>& value, std::uint32_t* ioSize,
                                   void* out)
{
    if (!out) {
        *ioSize = std::uint32_t(value.size());
        return AudioFileError::BadPropertySize;
    }
    const auto size = std::min<std::size_t>(*ioSize, value.size());
    if (size > 0)
        std::memcpy(out, value.data(), size);
    *ioSize = std::uint32_t(size);
    return 0;
}

/// What every input file says of its stream, one fixed-size property each.
struct StreamProperties {
    AudioFileTypeID type = 0;
    AudioStreamBasicDescription format;
    std::uint64_t byteCount = 0;
    std::uint64_t packetCount = 0;
    std::uint32_t maxPacketSize = 0;
    std::int64_t dataOffset = 0;
};

/// Stores `property` when it is one of the stream's; none for any other property.
inline std::optional<OSStatus> storeStreamProperty(const StreamProperties& stream,
                                                   AudioFilePropertyID property,
                                                   std::uint32_t* ioSize, void* out)
{
    switch (property) {
    case AudioFileProperty::FileFormat:
        return storeFixedProperty(stream.type, ioSize, out);
    case AudioFileProperty::DataFormat:
        return storeFixedProperty(stream.format, ioSize, out);
    case AudioFileProperty::AudioDataByteCount:
        return storeFixedProperty(stream.byteCount, ioSize, out);
    case AudioFileProperty::AudioDataPacketCount:
        return storeFixedProperty(stream.packetCount, ioSize, out);
    case AudioFileProperty::MaximumPacketSize:
        return storeFixedProperty(stream.maxPacketSize, ioSize, out);
    case AudioFileProperty::DataOffset:
        return storeFixedProperty(stream.dataOffset, ioSize, out);
    default:
        return std::nullopt;
    }
}

/// What every output file says of the stream it writes, one fixed-size property each.
struct WrittenProperties {
    AudioFileTypeID type = 0;
    AudioStreamBasicDescription format;
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
};

/// Size in bytes of one of an output file's properties; 0 for any other property.
constexpr std::uint32_t writtenPropertySize(AudioFilePropertyID property)
{
    switch (property) {
    case AudioFileProperty::FileFormat:
    case AudioFileProperty::DataFormat:
    case AudioFileProperty::AudioDataPacketCount:
    case AudioFileProperty::AudioDataByteCount:
        return fixedPropertySize(property);
    default:
        return 0;
    }
}

/// The size of one of an output file's properties; UnsupportedProperty for any other.
inline OSStatus writtenPropertyInfo(AudioFilePropertyID property, std::uint32_t* outSize)
{
    if (!outSize)
        return AudioFileError::Parameter;
    const std::uint32_t size = writtenPropertySize(property);
    if (!size)
        return AudioFileError::UnsupportedProperty;
    *outSize = size;
    return 0;
}

/// Stores `property` when it is one of an output file's; none for any other property.
inline std::optional<OSStatus> storeWrittenProperty(const WrittenProperties& written,
                                                    AudioFilePropertyID property,
                                                    std::uint32_t* ioSize, void* out)
{
    switch (property) {
    case AudioFileProperty::FileFormat:
        return storeFixedProperty(written.type, ioSize, out);
    case AudioFileProperty::DataFormat:
        return storeFixedProperty(written.format, ioSize, out);
    case AudioFileProperty::AudioDataPacketCount:
        return storeFixedProperty(written.packets, ioSize, out);
    case AudioFileProperty::AudioDataByteCount:
        return storeFixedProperty(written.bytes, ioSize, out);
    default:
        return std::nullopt;
    }
}

/// Hands the caller an owned copy of the info dictionary, as the "info" property does.
inline OSStatus storeInfoDictionary(const AudioFileInfoDictionary& info, std::uint32_t* ioSize,
                                    void* out)
{
    if (*ioSize < sizeof(void*) || !out)
        return AudioFileError::BadPropertySize;
    auto* dictionary = new AudioFileInfoDictionary(info);
    std::memcpy(out, &dictionary, sizeof(dictionary));
    *ioSize = sizeof(dictionary);
    return 0;
}

} // namespace cleftone::audiofile
