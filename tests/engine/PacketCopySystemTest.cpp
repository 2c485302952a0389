#include "engine/AudioFileParser.h"
#include "engine/CapabilitySets.h"
#include "engine/PacketCopy.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>

namespace cleftone {
namespace {

/// The payload of a RIFF file's "data" chunk.
QByteArray riffData(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    for (qsizetype at = 12; at + 8 <= bytes.size();) {
        quint32 size = 0;
        std::memcpy(&size, bytes.constData() + at + 4, 4); // little-endian host
        if (bytes.mid(at, 4) == "data") {
            return bytes.mid(at + 8, size);
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

TEST(PacketCopySystem, TaggedWaveKeepsItsSamplesAndLosesItsTag)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString in = dir.filePath("in.wav");
    const QString out = dir.filePath("cleftone.out");
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-nostdin", "-v", "error", "-f", "lavfi", "-i",
                            "sine=frequency=440:sample_rate=8000:duration=0.5", "-ac", "2", "-c:a",
                            "pcm_s16le", "-metadata", "title=CleftoneTag", in});
    if (!ffmpeg.waitForStarted(10000)) {
        GTEST_SKIP() << "ffmpeg is not available";
    }
    ASSERT_TRUE(ffmpeg.waitForFinished(30000));
    ASSERT_EQ(ffmpeg.exitCode(), 0);
    QFile tagged(in);
    ASSERT_TRUE(tagged.open(QIODevice::ReadOnly));
    ASSERT_TRUE(tagged.readAll().contains("CleftoneTag"));

    const QStringList& extensions = CTWritableAudioFileExtensions();
    EXPECT_TRUE(extensions.contains("wav"));
    EXPECT_TRUE(std::is_sorted(extensions.begin(), extensions.end()));
    EXPECT_TRUE(CTIsWritableAudioFileType(AudioFileType::WAVE));
    EXPECT_FALSE(CTIsWritableAudioFileType(AudioFileType::Ogg));

    {
        AudioFileParser input(in);
        ASSERT_EQ(input.audioFileTypeID(), AudioFileType::WAVE);
        EXPECT_EQ(input.maximumPacketSize(), 4u);
        EXPECT_EQ(input.audioDataPacketCount(), 4000u);
        OutputAudioFileHandle output(AudioFileService::system());
        EXPECT_EQ(copyPackets(AudioFileService::system(), input, input.audioFileTypeID(),
                              input.audioStreamBasicDescription(), out, output, {}),
                  PacketCopyOutcome::Completed);
        EXPECT_FALSE(output.isOpen());
    }

    const QByteArray samples = riffData(in);
    EXPECT_EQ(samples.size(), 16000);
    EXPECT_TRUE(riffData(out) == samples);
    QFile result(out);
    ASSERT_TRUE(result.open(QIODevice::ReadOnly));
    EXPECT_FALSE(result.readAll().contains("CleftoneTag"));
}

} // namespace
} // namespace cleftone
