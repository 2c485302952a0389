#include "engine/OSTypeString.h"

#include "engine/audiofile/AudioFileTypes.h"

#include <gtest/gtest.h>

namespace cleftone {
namespace {

TEST(StringForOSType, RendersCodesAsTheirCharactersOrAsOneNumber)
{
    EXPECT_EQ(stringForOSType(fourCC("WAVE")), "WAVE");
    EXPECT_EQ(stringForOSType(std::uint32_t(AudioFileError::UnsupportedFileType)), "typ?");
    EXPECT_EQ(stringForOSType(fourCC("~ !}")), "~ !}");

    EXPECT_EQ(stringForOSType(std::uint32_t(-50)), "-50");
    EXPECT_EQ(stringForOSType(0), "0");
    // One bad byte anywhere makes the whole code a number, never a half-printed token.
    EXPECT_EQ(stringForOSType(0x41424300), "1094861568");
    EXPECT_EQ(stringForOSType(0x7F414243), "2134983235");
    EXPECT_EQ(stringForOSType(0xC3A94142), QString::number(std::int32_t(0xC3A94142)));
}

} // namespace
} // namespace cleftone
