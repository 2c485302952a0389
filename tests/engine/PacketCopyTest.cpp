#include "engine/PacketCopy.h"

#include "MockAudioFileService.h"

#include "engine/StripFailure.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <tuple>

namespace cleftone::test {
namespace {

using ::testing::_;
using ::testing::DoAll;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::SetArgPointee;

/// Packet `index` of the fake input: `size` bytes that differ from packet to packet.
QByteArray packetBytes(std::int64_t index, std::uint32_t size)
{
    QByteArray bytes(qsizetype(size), '\0');
    for (std::uint32_t i = 0; i < size; ++i)
        bytes[i] = char(index * 31 + i * 7);
    return bytes;
}

// The first packet, the packets asked for and the buffer's size.
using Read = std::tuple<std::int64_t, std::uint32_t, std::uint32_t>;

class PacketCopyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        answerProperties(service, &input, values);
        ON_CALL(service, AudioFileCreateWithURL(_, _, _, _, _))
            .WillByDefault(DoAll(SetArgPointee<4>(&output), Return(0)));
        ON_CALL(service, AudioFileClose(&output)).WillByDefault([this](AudioFileID) {
            ++outputCloses;
            return 0;
        });
        ON_CALL(service, AudioFileReadPacketData(&input, false, _, _, _, _, _))
            .WillByDefault([this](AudioFileID, bool, std::uint32_t* bytes,
                                  AudioStreamPacketDescription* descriptions, std::int64_t start,
                                  std::uint32_t* packets, void* buffer) {
                reads.push_back({start, *packets, *bytes});
                if (reads.size() > 1000)
                    return AudioFileError::Unspecified; // a copy that never ends
                const std::uint32_t size = maximumPacketSize;
                const auto available = std::max<std::int64_t>(0, readablePackets - start);
                *packets = std::uint32_t(std::min<std::int64_t>(*packets, available));
                for (std::uint32_t i = 0; i < *packets; ++i) {
                    std::memcpy(static_cast<char*>(buffer) + i * size,
                                packetBytes(start + i, size).constData(), size);
                    descriptions[i] = {std::int64_t(i) * size, 0, size};
                }
                *bytes = *packets * size;
                return 0;
            });
        ON_CALL(service, AudioFileWritePackets(&output, false, _, _, _, _, _))
            .WillByDefault([this](AudioFileID, bool, std::uint32_t bytes,
                                  const AudioStreamPacketDescription*, std::int64_t, std::uint32_t*,
                                  const void* buffer) {
                written.append(static_cast<const char*>(buffer), qsizetype(bytes));
                return 0;
            });
    }

    void setInput(quint64 packets, std::uint32_t maximumSize)
    {
        values[AudioFileProperty::AudioDataPacketCount] = bytesOf(packets);
        values[AudioFileProperty::MaximumPacketSize] = bytesOf(maximumSize);
        maximumPacketSize = maximumSize;
        readablePackets = std::int64_t(packets);
    }

    PacketCopyOutcome copy(const std::function<bool()>& isCancelled = {})
    {
        AudioFileParser parser(&input, service);
        OutputAudioFileHandle handle(service);
        return copyPackets(service, parser, AudioFileType::WAVE, format, "/tmp/x/cleftone.Ab3d9Z",
                           handle, isCancelled);
    }

    QString failure()
    {
        try {
            copy();
        } catch (const StripFailure& e) {
            return e.message();
        }
        return QStringLiteral("(no failure)");
    }

    QByteArray expectedBytes(std::int64_t packets) const
    {
        QByteArray bytes;
        for (std::int64_t i = 0; i < packets; ++i)
            bytes += packetBytes(i, maximumPacketSize);
        return bytes;
    }

    NiceMock<MockAudioFileService> service;
    FakeFile input;
    FakeFile output;
    std::map<AudioFilePropertyID, QByteArray> values;
    AudioStreamBasicDescription format{44100, AudioFormat::LinearPCM, 12, 4, 1, 4, 2, 16, 0};
    std::uint32_t maximumPacketSize = 0;
    std::int64_t readablePackets = 0;
    std::vector<Read> reads;
    QByteArray written;
    int outputCloses = 0;
};

TEST_F(PacketCopyTest, EachRefusalFailsWithItsMessageAndTheOutputIsClosed)
{
    setInput(10, 4);
    values[AudioFileProperty::MagicCookieData] = "c";
    // A file whose close failed lacks what the container keeps at its end.
    ON_CALL(service, AudioFileClose(&output)).WillByDefault([this](AudioFileID) {
        ++outputCloses;
        return AudioFileError::NoSpace;
    });
    EXPECT_EQ(failure(), "Could not write the stripped copy: no space left on device.");
    EXPECT_EQ(outputCloses, 1);

    ON_CALL(service, AudioFileWritePackets(_, _, _, _, _, _, _))
        .WillByDefault(Return(AudioFileError::NoSpace));
    EXPECT_EQ(failure(), "Could not write the stripped copy: no space left on device.");
    EXPECT_EQ(outputCloses, 2);

    ON_CALL(service, AudioFileReadPacketData(_, _, _, _, _, _, _)).WillByDefault(Return(-50));
    EXPECT_EQ(failure(), "Could not read the audio of this file: an unexpected error occurred.");
    EXPECT_EQ(outputCloses, 3);

    setInput(10, 0);
    EXPECT_EQ(failure(), "Could not read the audio of this file: it is damaged or in a form that "
                         "Cleftone does not support.");
    EXPECT_EQ(outputCloses, 4);

    ON_CALL(service, AudioFileSetProperty(_, _, _, _))
        .WillByDefault(Return(AudioFileError::UnsupportedProperty));
    EXPECT_EQ(failure(), "Cleftone cannot write PCM audio in a WAVE file.");
    EXPECT_EQ(outputCloses, 5);

    ON_CALL(service, AudioFileCreateWithURL(_, _, _, _, _))
        .WillByDefault(Return(AudioFileError::UnsupportedDataFormat));
    format.mFormatID = AudioFormat::MPEG4AAC;
    EXPECT_EQ(failure(), "Cleftone cannot write AAC audio in a WAVE file.");
    ON_CALL(service, AudioFileCreateWithURL(_, _, _, _, _))
        .WillByDefault(Return(AudioFileError::Permissions));
    EXPECT_EQ(failure(), "Could not write the stripped copy: permission denied.");
    EXPECT_EQ(outputCloses, 5); // nothing was created
}

TEST_F(PacketCopyTest, ShortReadFailsInsteadOfWritingATruncatedFile)
{
    setInput(200, 417); // blocks of 78
    readablePackets = 100;
    EXPECT_EQ(failure(), "Read only 100 of 200 audio packets. The file may be "
                         "truncated or damaged.");
    // The second block came back short, the third empty; nothing more was asked
    // for.
    EXPECT_EQ(reads, (std::vector<Read>{{0, 78, 32526}, {78, 78, 32526}, {156, 44, 18348}}));
    EXPECT_TRUE(written == expectedBytes(100));
    EXPECT_EQ(outputCloses, 1);

    // An input that delivers nothing at all ends after one read.
    reads.clear();
    setInput(std::numeric_limits<quint64>::max(), 4);
    readablePackets = 0;
    EXPECT_EQ(failure(), QStringLiteral("Read only 0 of %1 audio packets. The file may be "
                                        "truncated or damaged.")
                             .arg(std::numeric_limits<quint64>::max()));
    EXPECT_EQ(reads.size(), 1u);
}

} // namespace
} // namespace cleftone::test
