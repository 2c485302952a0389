#pragma once

#include "engine/audiofile/AudioFileService.h"

#include <QByteArray>
#include <gmock/gmock.h>

#include <cstring>
#include <map>

namespace cleftone::test {

class MockAudioFileService : public AudioFileService {
public:
    MOCK_METHOD(OSStatus, AudioFileOpenURL,
                (const std::string&, std::int8_t, AudioFileTypeID, AudioFileID*), (override));
    MOCK_METHOD(OSStatus, AudioFileGetPropertyInfo,
                (AudioFileID, AudioFilePropertyID, std::uint32_t*, std::uint32_t*), (override));
    MOCK_METHOD(OSStatus, AudioFileGetProperty,
                (AudioFileID, AudioFilePropertyID, std::uint32_t*, void*), (override));
    MOCK_METHOD(OSStatus, AudioFileSetProperty,
                (AudioFileID, AudioFilePropertyID, std::uint32_t, const void*), (override));
    MOCK_METHOD(OSStatus, AudioFileCreateWithURL,
                (const std::string&, AudioFileTypeID, const AudioStreamBasicDescription*,
                 std::uint32_t, AudioFileID*),
                (override));
    MOCK_METHOD(OSStatus, AudioFileReadPacketData,
                (AudioFileID, bool, std::uint32_t*, AudioStreamPacketDescription*, std::int64_t,
                 std::uint32_t*, void*),
                (override));
    MOCK_METHOD(OSStatus, AudioFileWritePackets,
                (AudioFileID, bool, std::uint32_t, const AudioStreamPacketDescription*,
                 std::int64_t, std::uint32_t*, const void*),
                (override));
    MOCK_METHOD(OSStatus, AudioFileClose, (AudioFileID), (override));
    MOCK_METHOD(OSStatus, AudioFileGetGlobalInfoSize,
                (std::uint32_t, std::uint32_t, const void*, std::uint32_t*), (override));
    MOCK_METHOD(OSStatus, AudioFileGetGlobalInfo,
                (std::uint32_t, std::uint32_t, const void*, std::uint32_t*, void*), (override));
};

struct FakeFile : OpaqueAudioFileID {};

template <typename T> QByteArray bytesOf(const T& value)
{
    return QByteArray(reinterpret_cast<const char*>(&value), sizeof value);
}

/// Answers property queries on `file` from `values` (kept by reference). A property must be
/// read with storage of exactly its size, so a wrong storage size fails the query.
inline void answerProperties(MockAudioFileService& service, AudioFileID file,
                             const std::map<AudioFilePropertyID, QByteArray>& values)
{
    using ::testing::_;
    ON_CALL(service, AudioFileGetPropertyInfo(file, _, _, _))
        .WillByDefault(
            [&values](AudioFileID, AudioFilePropertyID code, std::uint32_t* size, std::uint32_t*) {
                const auto it = values.find(code);
                if (it == values.end())
                    return AudioFileError::UnsupportedProperty;
                *size = std::uint32_t(it->second.size());
                return OSStatus(0);
            });
    ON_CALL(service, AudioFileGetProperty(file, _, _, _))
        .WillByDefault(
            [&values](AudioFileID, AudioFilePropertyID code, std::uint32_t* size, void* out) {
                const auto it = values.find(code);
                if (it == values.end())
                    return AudioFileError::UnsupportedProperty;
                if (*size != std::uint32_t(it->second.size()))
                    return AudioFileError::BadPropertySize;
                std::memcpy(out, it->second.constData(), *size);
                return OSStatus(0);
            });
}

} // namespace cleftone::test
