#pragma once

// Test helpers and the judge of stripped files, which asks ffmpeg, ffprobe and inspect_tags.py.

#include "engine/audiofile/AudioFileService.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <vector>

QT_BEGIN_NAMESPACE
void PrintTo(const QString& text, std::ostream* os);
QT_END_NAMESPACE

namespace cleftone::test {

/// A fixture file: CLEFTONE_TEST_DATA_DIR/audio/<relative>.
QString fixture(const QString& relative);
inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
inline void writeFile(const QString& path, const QByteArray& bytes, mode_t mode = 0644)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
    file.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}
/// The names of the items a strip job makes, found in `directory`.
inline QStringList temporaryNamesIn(const QString& directory)
{
    return QDir(directory).entryList({"cleftone.*", ".cleftone-replace-*", "*_NoTag*"},
                                     QDir::AllEntries | QDir::Hidden | QDir::System);
}
/// A four-character code as text, '?' for what is not printable.
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
/// A tagged MP3 (or Opus in Ogg, for "opus") of about 10 MB made with ffmpeg once per process,
/// at `directory`; or empty.
QString largeTagged(const QString& directory, const QString& extension = QStringLiteral("mp3"));

/// What the service said about a file while it was read (and copied).
struct CopyResult {
    std::string error; // empty on success; otherwise the call that failed and its status
    bool handleFromFailedOpen = false;
    AudioFileTypeID type = 0;
    AudioStreamBasicDescription format{};
    std::uint64_t packets = 0;
    std::uint64_t delivered = 0;
    std::vector<char> cookie;
};

/// Opens `in` and reads all packets as the strip job does, in blocks of at most 32768 bytes.
/// With an `out`, writes them into a new file of the same type, description and magic cookie.
CopyResult copyThroughService(const QString& in, const QString& out = QString());
inline CopyResult reopen(const QString& path)
{
    return copyThroughService(path);
}

/// ffmpeg's view of the first audio stream: per-packet and decoded MD5s, and its errors.
struct StreamDigest {
    QStringList packetHashes;
    QString decodedMd5;
    QByteArray errors;
};

/// A private temporary directory per test, and the judges.
class RoundTrip : public ::testing::Test {
protected:
    void SetUp() override;

    QString tempPath(const QString& name) const { return tmp.filePath(name); }
    /// tempPath(relative), created with its parents.
    QString folderAt(const QString& relative) const
    {
        QDir().mkpath(tempPath(relative));
        return tempPath(relative);
    }
    /// Copies a fixture through the service to a new temporary file, named in *outPath.
    CopyResult copy(const QString& fixtureName, QString* outPath);

    /// `dataOnly`: the packets' data without their side data.
    StreamDigest digest(const QString& path, bool dataOnly = false);
    /// ffprobe -show_format -show_streams -show_chapters, as JSON.
    QJsonObject probe(const QString& path);
    /// inspect_tags.py check: {"input": report, "output": report, "mismatch": [...]}.
    QJsonObject inspect(const QString& in, const QString& out);
    /// The judge of `out`, stripped from `in`: the same container type and stream, the packets
    /// and decoded audio of `ref` (the tag-free stream, for inputs whose trailing tags ffmpeg
    /// reads as audio; else `in`) with the same timing, and no tag, chapter, cover, chunk, box or
    /// writer string left. `tagged`: the inspector must find tags in `in`, or it proves nothing.
    void expectStripped(const QString& in, const QString& out, const QString& ref = {},
                        bool tagged = true);

    QTemporaryDir tmp;
    int digestCount = 0;
    int copyCount = 0;
};

} // namespace cleftone::test
