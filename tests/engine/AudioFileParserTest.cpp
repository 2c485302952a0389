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

TEST(AudioFileParserQueries, PropertiesUseTheirCodesAndStorageSizesAndAreNeverCached)
{
    ::testing::NiceMock<MockAudioFileService> service;
    FakeFile file;
    std::map<AudioFilePropertyID, QByteArray> values;
    answerProperties(service, &file, values);
    EXPECT_CALL(service, AudioFileClose(&file)).Times(2); // once by each parser
    AudioStreamBasicDescription format{44100, AudioFormat::LinearPCM, 0, 4, 0, 0, 2, 0, 0};
    values[fourCC("ffmt")] = bytesOf(AudioFileType::AIFC);
    values[fourCC("dfmt")] = bytesOf(format);
    values[fourCC("pcnt")] = bytesOf(quint64(0x2'0000'0001));
    values[fourCC("psze")] = bytesOf(quint32(417));
    values[fourCC("mgic")] = QByteArray("\x12\x10\x00\x01", 4);
    values[fourCC("id3t")] = QByteArray("ID3\x04\x00", 5);

    AudioFileParser parser(&file, service);
    EXPECT_EQ(parser.audioFileTypeID(), AudioFileType::AIFC);
    EXPECT_EQ(bytesOf(parser.audioStreamBasicDescription()), bytesOf(format));
    EXPECT_EQ(parser.audioDataPacketCount(), 0x2'0000'0001u);
    EXPECT_EQ(parser.maximumPacketSize(), 417u);
    EXPECT_EQ(parser.magicCookieData(), QByteArray("\x12\x10\x00\x01", 4));
    EXPECT_EQ(parser.ID3Tag(), QByteArray("ID3\x04\x00", 5));
    EXPECT_FALSE(parser.chunkIDs()); // not offered by this file
    // Chunk IDs are host-order codes; a trailing remainder is ignored.
    values[fourCC("chid")] = bytesOf(fourCC("LIST")) + bytesOf(fourCC("fmt ")) + "zz";
    EXPECT_EQ(parser.chunkIDs(), QStringList({"LIST", "fmt "}));
    values[fourCC("chid")] = "abc";
    EXPECT_EQ(parser.chunkIDs(), QStringList());
    values[fourCC("psze")] = bytesOf(quint32(4));
    EXPECT_EQ(parser.maximumPacketSize(), 4u);
    // A toolkit too old for ID3 tags is not asked for them.
    EXPECT_FALSE(AudioFileParser(&file, service, {.minimumQtVersionForID3Tag = QVersionNumber(99)})
                     .ID3Tag());

    // The service announces 10 bytes but delivers 6. The info dictionary is converted, and a
    // failed query that still hands one over yields none (and must not leak it).
    int infoQueries = 0;
    ON_CALL(service, AudioFileGetProperty(&file, _, _, _))
        .WillByDefault([&](AudioFileID, AudioFilePropertyID code, std::uint32_t* size, void* out) {
            if (code == fourCC("mgic")) {
                std::memcpy(out, "abcdef", 6);
                *size = 6;
                return OSStatus(0);
            }
            if (code != fourCC("info"))
                return AudioFileError::UnsupportedProperty;
            EXPECT_EQ(*size, 8u);
            auto* info = new AudioFileInfoDictionary{{"title", "Ünter"}, {"artist", "A"}};
            std::memcpy(out, &info, sizeof info);
            return ++infoQueries == 1 ? OSStatus(0) : AudioFileError::InvalidFile;
        });
    values[fourCC("mgic")] = QByteArray(10, 'x');
    EXPECT_EQ(parser.magicCookieData(), QByteArray("abcdef"));
    EXPECT_EQ(parser.propertyDictionary(),
              (QVariantMap{{"title", QString("Ünter")}, {"artist", QString("A")}}));
    EXPECT_FALSE(parser.propertyDictionary());
    EXPECT_EQ(parser.audioFileTypeID(), 0u) << "a failed query gives zero";
    EXPECT_EQ(bytesOf(parser.audioStreamBasicDescription()), QByteArray(40, '\0'));
}

} // namespace
} // namespace cleftone::test
