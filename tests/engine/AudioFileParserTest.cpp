#include "engine/AudioFileParser.h"

#include "MockAudioFileService.h"

#include <QDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace cleftone::test {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgPointee;
using ::testing::StrictMock;

TEST(AudioFileParserOpen, ExpandsTildeOpensReadOnlyForDetectionAndClosesOnce)
{
    StrictMock<MockAudioFileService> service;
    FakeFile file;
    const std::string expected = (QDir::homePath() + "/Müsik/a b.mp3").toUtf8().toStdString();
    EXPECT_CALL(service, AudioFileOpenURL(expected, kAudioFileReadPermission, 0u, _))
        .WillOnce(DoAll(SetArgPointee<3>(&file), Return(0)));
    EXPECT_CALL(service, AudioFileClose(&file)).Times(1);

    AudioFileParser parser(QStringLiteral("~/Müsik/a b.mp3"), service);
    EXPECT_EQ(parser.audioFile(), &file);

    EXPECT_EQ(AudioFileParser::expandTilde("~"), QDir::homePath());
    EXPECT_EQ(AudioFileParser::expandTilde("/a/~/b"), "/a/~/b");
    EXPECT_EQ(AudioFileParser::expandTilde("~no-such-user-cleftone/x"), "~no-such-user-cleftone/x");
}

TEST(AudioFileParserOpen, UnopenedFileAnswersZeroAndNoneWithoutAskingOrClosing)
{
    StrictMock<MockAudioFileService> service; // any property query or close fails the test
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

class AudioFileParserQueries : public ::testing::Test {
protected:
    void SetUp() override
    {
        answerProperties(service, &file, values);
        EXPECT_CALL(service, AudioFileClose(&file)).Times(1);
    }

    NiceMock<MockAudioFileService> service;
    FakeFile file;
    std::map<AudioFilePropertyID, QByteArray> values;
};

TEST_F(AudioFileParserQueries, FixedSizePropertiesUseTheirCodesAndStorageSizes)
{
    AudioStreamBasicDescription format;
    format.mSampleRate = 44100;
    format.mFormatID = AudioFormat::LinearPCM;
    format.mBytesPerPacket = 4;
    format.mChannelsPerFrame = 2;
    values[fourCC("ffmt")] = bytesOf(AudioFileType::AIFC);
    values[fourCC("dfmt")] = bytesOf(format);
    values[fourCC("bcnt")] = bytesOf(quint64(0x1'0000'0004));
    values[fourCC("pcnt")] = bytesOf(quint64(0x2'0000'0001));
    values[fourCC("psze")] = bytesOf(quint32(417));
    values[fourCC("doff")] = bytesOf(qint64(-1));

    AudioFileParser parser(&file, service);
    EXPECT_EQ(parser.audioFileTypeID(), AudioFileType::AIFC);
    EXPECT_EQ(bytesOf(parser.audioStreamBasicDescription()), bytesOf(format));
    EXPECT_EQ(parser.audioDataByteCount(), 0x1'0000'0004u);
    EXPECT_EQ(parser.audioDataPacketCount(), 0x2'0000'0001u);
    EXPECT_EQ(parser.maximumPacketSize(), 417u);
    EXPECT_EQ(parser.audioDataOffset(), -1);

    // Nothing is cached: a changed answer shows at the next call; a failed one gives zero.
    values[fourCC("psze")] = bytesOf(quint32(4));
    EXPECT_EQ(parser.maximumPacketSize(), 4u);
    values.clear();
    EXPECT_EQ(parser.audioFileTypeID(), 0u);
    EXPECT_EQ(parser.audioDataPacketCount(), 0u);
    EXPECT_EQ(bytesOf(parser.audioStreamBasicDescription()), QByteArray(40, '\0'));
}

TEST_F(AudioFileParserQueries, VariableSizePropertiesKeepOnlyTheBytesDeliveredAndChunkIDsAreCodes)
{
    values[fourCC("mgic")] = QByteArray("\x12\x10\x00\x01", 4);
    values[fourCC("id3t")] = QByteArray("ID3\x04\x00", 5);
    AudioFileParser parser(&file, service);
    EXPECT_EQ(parser.magicCookieData(), QByteArray("\x12\x10\x00\x01", 4));
    EXPECT_EQ(parser.ID3Tag(), QByteArray("ID3\x04\x00", 5));
    EXPECT_FALSE(parser.chunkIDs()); // not offered by this file
    // Chunk IDs are host-order codes; a trailing remainder is ignored.
    values[fourCC("chid")] = bytesOf(fourCC("LIST")) + bytesOf(fourCC("fmt ")) + "zz";
    EXPECT_EQ(parser.chunkIDs(), QStringList({"LIST", "fmt "}));
    values[fourCC("chid")] = "abc";
    EXPECT_EQ(parser.chunkIDs(), QStringList());

    // The service announces 10 bytes but delivers 6.
    ON_CALL(service, AudioFileGetProperty(&file, fourCC("mgic"), _, _))
        .WillByDefault([](AudioFileID, AudioFilePropertyID, std::uint32_t* size, void* out) {
            EXPECT_EQ(*size, 10u);
            std::memcpy(out, "abcdef", 6);
            *size = 6;
            return 0;
        });
    values[fourCC("mgic")] = QByteArray(10, 'x');
    EXPECT_EQ(parser.magicCookieData(), QByteArray("abcdef"));
}

TEST_F(AudioFileParserQueries, InfoDictionaryIsConvertedAndReleased)
{
    ON_CALL(service, AudioFileGetProperty(&file, fourCC("info"), _, _))
        .WillByDefault([](AudioFileID, AudioFilePropertyID, std::uint32_t* size, void* out) {
            EXPECT_EQ(*size, 8u);
            auto* dictionary = new AudioFileInfoDictionary{{"title", "Ünter"}, {"artist", "A"}};
            std::memcpy(out, &dictionary, sizeof dictionary);
            return 0;
        });
    AudioFileParser parser(&file, service);
    const std::optional<QVariantMap> info = parser.propertyDictionary();
    ASSERT_TRUE(info);
    EXPECT_EQ(*info, (QVariantMap{{"title", QString("Ünter")}, {"artist", QString("A")}}));

    // A failed query that still hands a dictionary over yields none (and must not leak it).
    ON_CALL(service, AudioFileGetProperty(&file, fourCC("info"), _, _))
        .WillByDefault([](AudioFileID, AudioFilePropertyID, std::uint32_t*, void* out) {
            auto* dictionary = new AudioFileInfoDictionary{{"title", "x"}};
            std::memcpy(out, &dictionary, sizeof dictionary);
            return AudioFileError::InvalidFile;
        });
    EXPECT_FALSE(parser.propertyDictionary());
}

TEST_F(AudioFileParserQueries, ID3TagIsNotAskedForOnATooOldToolkit)
{
    values[fourCC("id3t")] = "ID3";
    EXPECT_CALL(service, AudioFileGetPropertyInfo(_, fourCC("id3t"), _, _)).Times(0);
    EXPECT_CALL(service, AudioFileGetProperty(_, fourCC("id3t"), _, _)).Times(0);
    AudioFileParser parser(&file, service, {.minimumQtVersionForID3Tag = QVersionNumber(99)});
    EXPECT_FALSE(parser.ID3Tag());
}

} // namespace
} // namespace cleftone::test
