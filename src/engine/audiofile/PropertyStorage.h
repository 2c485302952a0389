#pragma once

#include "engine/audiofile/AudioFileTypes.h"

#include <cstring>

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

} // namespace cleftone::audiofile
