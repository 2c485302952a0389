#include "engine/AudioFileParser.h"

#include "MockAudioFileService.h"

#include <QDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace cleftone::test {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::Return;
using ::testing::SetArgPointee;
using ::testing::StrictMock;

TEST(AudioFileParserOpen, ExpandsTildeOpensReadOnlyAndClosesOnlyWhatItOpened)
{
    StrictMock<MockAudioFileService> service; // any unexpected query or close fails the test
    FakeFile file;
    const std::string expected = (QDir::homePath() + "/Müsik/a b.mp3").toUtf8().toStdString();
    EXPECT_CALL(service, AudioFileOpenURL(expected, kAudioFileReadPermission, 0u, _))
        .WillOnce(DoAll(SetArgPointee<3>(&file), Return(0)));
    EXPECT_CALL(service, AudioFileClose(&file)).Times(1);
    EXPECT_EQ(AudioFileParser(QStringLiteral("~/Müsik/a b.mp3"), service).audioFile(), &file);

    EXPECT_EQ(AudioFileParser::expandTilde("~"), QDir::homePath());
    EXPECT_EQ(AudioFileParser::expandTilde("/a/~/b"), "/a/~/b");
    EXPECT_EQ(AudioFileParser::expandTilde("~no-such-user-cleftone/x"), "~no-such-user-cleftone/x");

    // Unopened: zero and none, without asking the service.
    EXPECT_CALL(service, AudioFileOpenURL("/nowhere/x.wav", _, _, _))
        .WillOnce(Return(AudioFileError::FileNotFound));
    AudioFileParser parser(QStringLiteral("/nowhere/x.wav"), service);
    EXPECT_EQ(parser.audioFile(), nullptr);
    EXPECT_EQ(parser.audioFileTypeID(), 0u);
    EXPECT_EQ(parser.audioStreamBasicDescription().mFormatID, 0u);
    EXPECT_FALSE(parser.magicCookieData());
    EXPECT_FALSE(parser.propertyDictionary());
    EXPECT_FALSE(parser.ID3Tag());
}

} // namespace
} // namespace cleftone::test
