#pragma once

#include "engine/audiofile/AudioFileTypes.h"

#include <algorithm>
#include <cstring>
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
