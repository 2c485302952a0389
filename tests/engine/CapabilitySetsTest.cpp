#include "engine/CapabilitySets.h"

#include "MockAudioFileService.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

namespace cleftone::test {
namespace {

using ::testing::_;
using ::testing::NiceMock;

/// The service's global tables: each writable type with its extensions (none: query fails).
using Table = std::vector<std::pair<AudioFileTypeID, std::optional<AudioFileExtensionList>>>;

void answerGlobalTables(MockAudioFileService& service, const Table& table)
{
    ON_CALL(service, AudioFileGetGlobalInfoSize(AudioFileGlobalInfo::WritableTypes, 0, _, _))
        .WillByDefault([&table](std::uint32_t, std::uint32_t, const void*, std::uint32_t* size) {
            *size = std::uint32_t(table.size() * 4);
            return 0;
        });
    ON_CALL(service, AudioFileGetGlobalInfo(_, _, _, _, _))
        .WillByDefault([&table](std::uint32_t selector, std::uint32_t specifierSize,
                                const void* specifier, std::uint32_t* size, void* out) {
            if (selector == AudioFileGlobalInfo::WritableTypes) {
                EXPECT_EQ(*size, table.size() * 4);
                for (std::size_t i = 0; i < table.size(); ++i)
                    static_cast<AudioFileTypeID*>(out)[i] = table[i].first;
                return OSStatus(0);
            }
            EXPECT_EQ(selector, AudioFileGlobalInfo::ExtensionsForType);
            EXPECT_EQ(specifierSize, 4u);
            EXPECT_EQ(*size, 8u);
            const AudioFileTypeID type = *static_cast<const AudioFileTypeID*>(specifier);
            for (const auto& [code, extensions] : table) {
                if (code == type && extensions) {
                    *static_cast<AudioFileExtensionList**>(out) =
                        new AudioFileExtensionList(*extensions);
                    return OSStatus(0);
                }
            }
            return AudioFileError::UnsupportedFileType;
        });
}

TEST(AudioFormatCapabilities, MergesExtensionsLeavesOggOutAndSurvivesAFailingService)
{
    const Table table = {
        {AudioFileType::WAVE, AudioFileExtensionList{"WAV", "wave"}},
        {AudioFileType::Ogg, AudioFileExtensionList{"ogg", "oga", "OPUS"}},
        {AudioFileType::AIFF, AudioFileExtensionList{"aiff", "Aif"}},
        {AudioFileType::AIFC, AudioFileExtensionList{"aifc", "AIF", "aiff", ""}},
        {AudioFileType::CAF, std::nullopt},
        {fourCC("opus"), AudioFileExtensionList{"opus"}},
    };
    NiceMock<MockAudioFileService> service;
    answerGlobalTables(service, table);
    EXPECT_CALL(service, AudioFileGetGlobalInfo(AudioFileGlobalInfo::WritableTypes, 0, _, _, _));
    EXPECT_CALL(service, AudioFileGetGlobalInfo(AudioFileGlobalInfo::ExtensionsForType, _, _, _, _))
        .Times(5); // never asked for Ogg's

    const AudioFormatCapabilities capabilities(service);
    EXPECT_EQ(capabilities.writableExtensions(),
              QStringList({"aif", "aifc", "aiff", "opus", "wav", "wave"}));
    for (const AudioFileTypeID type : {AudioFileType::WAVE, AudioFileType::AIFF,
                                       AudioFileType::AIFC, AudioFileType::CAF, fourCC("opus")}) {
        EXPECT_TRUE(capabilities.isWritableType(type));
    }
    EXPECT_FALSE(capabilities.isWritableType(AudioFileType::Ogg));
    EXPECT_FALSE(capabilities.isWritableType(AudioFileType::MP3));
    EXPECT_FALSE(capabilities.isWritableType(0));

    NiceMock<MockAudioFileService> failing; // every call answers 0 and leaves its output alone
    const AudioFormatCapabilities none(failing);
    EXPECT_TRUE(none.writableExtensions().isEmpty());
    EXPECT_FALSE(none.isWritableType(0));
}

} // namespace
} // namespace cleftone::test
