#pragma once

// Helpers of the audio-file service tests: the engine's packet copy through the service, and
// independent readers (ffmpeg, ffprobe, inspect_tags.py) run as child processes.
// Everything here runs on the calling thread.

#include "engine/audiofile/AudioFileService.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

// Readable failure messages for the Qt values the tests compare (found by argument lookup).
QT_BEGIN_NAMESPACE
void PrintTo(const QString& text, std::ostream* os);
void PrintTo(const QByteArray& bytes, std::ostream* os);
void PrintTo(const QJsonValue& value, std::ostream* os);
QT_END_NAMESPACE

namespace cleftone::test {

/// A fixture file: CLEFTONE_TEST_DATA_DIR/audio/<relative>.
QString fixture(const QString& relative);

/// "'typ?' (1954115647)": a status as its four characters and as a number.
std::string statusText(OSStatus status);
std::string typeText(std::uint32_t code);

struct ToolRun {
    bool started = false;
    bool finished = false; // within the time limit
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

/// Runs a program found on PATH without a shell.
ToolRun runTool(const QString& program, const QStringList& args, int timeoutMs = 30000);
/// A tagged MP3 of about 10 MB made with ffmpeg (ten copies of a 30-second 256 kbit/s stream,
/// then ID3v2 tags), or empty when ffmpeg fails. Made once per process, at `directory`.
QString largeTaggedMP3(const QString& directory);
/// Empty when the tools are there, otherwise why the test cannot run.
std::string missingTools(const QStringList& programs);

/// What the service said about a file while it was read (and copied).
struct CopyResult {
    std::string error; // empty on success; otherwise the call that failed and its status
    OSStatus openStatus = 0;
    bool handleFromFailedOpen = false;
    AudioFileTypeID type = 0;
    AudioStreamBasicDescription format{};
    std::uint64_t packets = 0;
    std::uint64_t delivered = 0;
};

/// Opens `in` with type hint 0 and reads all packets as the strip job does, in blocks of at most
/// 32768 bytes. With an `out`, first creates a file of the same type there with the stream
/// description and magic cookie, writes every block into it and closes it.
CopyResult copyThroughService(const QString& in, const QString& out = QString());
/// Reads `path` through the service without writing anything.
inline CopyResult reopen(const QString& path)
{
    return copyThroughService(path);
}

/// ffmpeg's view of the first audio stream: per-packet MD5s (`-c copy -f framemd5`, the hash
/// column only), the MD5 of the decoded samples, and whatever ffmpeg printed at level "error".
struct StreamDigest {
    QStringList packetHashes;
    QString decodedMd5;
    QByteArray errors;
};

/// Round-trip helpers with a private temporary directory per test.
class RoundTrip : public ::testing::Test {
protected:
    void SetUp() override;

    QString tempPath(const QString& name) const { return tmp.filePath(name); }
    /// Copies a fixture through the service to a new temporary file, named in *outPath.
    CopyResult copy(const QString& fixtureName, QString* outPath);

    StreamDigest digest(const QString& path);
    /// ffprobe -show_format -show_streams -show_chapters, as JSON.
    QJsonObject probe(const QString& path);
    /// inspect_tags.py check: {"input": report, "output": report, "mismatch": [...]}.
    QJsonObject inspect(const QString& in, const QString& out);

    static QByteArray readAll(const QString& path);

    QTemporaryDir tmp;
    int digestCount = 0;
    int copyCount = 0;
};

/// The first stream of an ffprobe result whose codec_type is audio (empty if none).
QJsonObject firstAudioStream(const QJsonObject& probe);

} // namespace cleftone::test
