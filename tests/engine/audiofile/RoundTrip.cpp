#include "RoundTrip.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <memory>

QT_BEGIN_NAMESPACE
void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

void PrintTo(const QByteArray& bytes, std::ostream* os)
{
    *os << '"';
    for (char c : bytes) {
        if (c >= 0x20 && c < 0x7F)
            *os << c;
        else
            *os << "\\x" << QByteArray(1, c).toHex().constData();
    }
    *os << '"';
}

void PrintTo(const QJsonValue& value, std::ostream* os)
{
    *os << QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).toStdString();
}
QT_END_NAMESPACE

namespace cleftone::test {

namespace {

AudioFileService& service()
{
    return AudioFileService::system();
}

struct Closer {
    void operator()(OpaqueAudioFileID* file) const { service().AudioFileClose(file); }
};
using FileHandle = std::unique_ptr<OpaqueAudioFileID, Closer>;

template <typename T> OSStatus getFixed(AudioFileID file, AudioFilePropertyID property, T* value)
{
    std::uint32_t size = sizeof(T);
    return service().AudioFileGetProperty(file, property, &size, value);
}

// Debian's python3 has mutagen; a python3 earlier on PATH (pyenv, venv) may not. Without
// mutagen the inspector still reads the bytes itself.
QString pythonWithMutagen()
{
    static const QString found = [] {
        const QStringList candidates{QStringLiteral("/usr/bin/python3"),
                                     QStandardPaths::findExecutable(QStringLiteral("python3"))};
        for (const QString& python : candidates) {
            if (python.isEmpty() || !QFileInfo(python).isExecutable())
                continue;
            QProcess p;
            p.start(python, {QStringLiteral("-c"), QStringLiteral("import mutagen")});
            if (p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit &&
                p.exitCode() == 0)
                return python;
        }
        return candidates.last();
    }();
    return found;
}

QString resolve(const QString& program)
{
    if (program == QLatin1String("python3"))
        return pythonWithMutagen();
    return QStandardPaths::findExecutable(program);
}

} // namespace

QString fixture(const QString& relative)
{
    return QStringLiteral(CLEFTONE_TEST_DATA_DIR "/audio/") + relative;
}

std::string typeText(std::uint32_t code)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((code >> shift) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

std::string statusText(OSStatus status)
{
    return "'" + typeText(std::uint32_t(status)) + "' (" + std::to_string(status) + ")";
}

ToolRun runTool(const QString& program, const QStringList& args, int timeoutMs)
{
    ToolRun run;
    QProcess p;
    p.start(resolve(program), args);
    run.started = p.waitForStarted(10000);
    if (!run.started)
        return run;
    p.closeWriteChannel();
    run.finished = p.waitForFinished(timeoutMs);
    if (!run.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    return run;
}

std::string missingTools(const QStringList& programs)
{
    std::string missing;
    for (const QString& program : programs) {
        if (resolve(program).isEmpty())
            missing += " " + program.toStdString();
    }
    return missing.empty() ? missing : "not installed:" + missing;
}

CopyResult copyThroughService(const QString& in, const QString& out)
{
    CopyResult r;
    auto fail = [&r](const char* call, OSStatus status) {
        r.error = std::string(call) + " failed: " + statusText(status);
        return r;
    };
    AudioFileID raw = nullptr;
    if (OSStatus st =
            service().AudioFileOpenURL(in.toStdString(), kAudioFileReadPermission, 0, &raw))
        return fail("AudioFileOpenURL", st);
    FileHandle input(raw);
    if (OSStatus st = getFixed(raw, AudioFileProperty::FileFormat, &r.type))
        return fail("GetProperty ffmt", st);
    if (OSStatus st = getFixed(raw, AudioFileProperty::DataFormat, &r.format))
        return fail("GetProperty dfmt", st);
    std::uint32_t cookieSize = 0;
    if (service().AudioFileGetPropertyInfo(raw, AudioFileProperty::MagicCookieData, &cookieSize,
                                           nullptr) == 0) {
        std::vector<char> cookie(cookieSize);
        if (OSStatus st = service().AudioFileGetProperty(raw, AudioFileProperty::MagicCookieData,
                                                         &cookieSize, cookie.data()))
            return fail("GetProperty mgic after GetPropertyInfo said it exists", st);
        cookie.resize(cookieSize);
        r.cookie = std::move(cookie);
    }
    if (OSStatus st = getFixed(raw, AudioFileProperty::AudioDataPacketCount, &r.packets))
        return fail("GetProperty pcnt", st);
    if (OSStatus st = getFixed(raw, AudioFileProperty::MaximumPacketSize, &r.maxPacketSize))
        return fail("GetProperty psze", st);

    AudioFileID rawOut = nullptr;
    if (OSStatus st = service().AudioFileCreateWithURL(
            out.toStdString(), r.type, &r.format,
            kAudioFileFlags_EraseFile | kAudioFileFlags_DontPageAlignAudioData, &rawOut))
        return fail("AudioFileCreateWithURL", st);
    FileHandle output(rawOut);
    if (r.cookie) {
        if (OSStatus st =
                service().AudioFileSetProperty(rawOut, AudioFileProperty::MagicCookieData,
                                               std::uint32_t(r.cookie->size()), r.cookie->data()))
            return fail("SetProperty mgic", st);
    }
    if (r.maxPacketSize == 0) {
        r.error = "maximum packet size is 0";
        return r;
    }
    const std::uint64_t perBlock = r.maxPacketSize <= 32768 ? 32768 / r.maxPacketSize : 1;
    std::uint64_t remaining = r.packets;
    while (remaining > 0) {
        const auto asked = std::uint32_t(std::min(perBlock, remaining));
        std::vector<char> buffer(std::size_t(r.maxPacketSize) * asked);
        std::vector<AudioStreamPacketDescription> descriptions(asked);
        const auto start = std::int64_t(r.packets - remaining);
        std::uint32_t bytes = std::uint32_t(buffer.size());
        std::uint32_t count = asked;
        if (OSStatus st = service().AudioFileReadPacketData(raw, false, &bytes, descriptions.data(),
                                                            start, &count, buffer.data()))
            return fail(("AudioFileReadPacketData at packet " + std::to_string(start)).c_str(), st);
        if (OSStatus st = service().AudioFileWritePackets(rawOut, false, bytes, descriptions.data(),
                                                          start, &count, buffer.data()))
            return fail(("AudioFileWritePackets at packet " + std::to_string(start)).c_str(), st);
        remaining -= asked;
        ++r.blocks;
    }
    input.reset();
    // The engine ignores this status, but a failed close means the trailer was not written.
    if (OSStatus st = service().AudioFileClose(output.release()))
        return fail("AudioFileClose of the output", st);
    return r;
}

Reopened reopen(const QString& path)
{
    Reopened r;
    AudioFileID raw = nullptr;
    r.status = service().AudioFileOpenURL(path.toStdString(), kAudioFileReadPermission, 0, &raw);
    if (r.status)
        return r;
    FileHandle file(raw);
    if ((r.status = getFixed(raw, AudioFileProperty::FileFormat, &r.type)))
        return r;
    if ((r.status = getFixed(raw, AudioFileProperty::DataFormat, &r.format)))
        return r;
    r.status = getFixed(raw, AudioFileProperty::AudioDataPacketCount, &r.packets);
    return r;
}

void RoundTrip::SetUp()
{
    ASSERT_TRUE(tmp.isValid());
}

CopyResult RoundTrip::copy(const QString& fixtureName, QString* outPath)
{
    // Named like the engine's temporary files: the extension tells the service nothing.
    *outPath = tempPath(QStringLiteral("cleftone.Tq%1").arg(++copyCount, 4, 10, QLatin1Char('0')));
    return copyThroughService(fixture(fixtureName), *outPath);
}

StreamDigest RoundTrip::digest(const QString& path)
{
    StreamDigest d;
    const QString stem = tempPath(QStringLiteral("digest%1").arg(++digestCount));
    const ToolRun run = runTool(QStringLiteral("ffmpeg"),
                                {"-nostdin", "-v", "error", "-i", path, "-map", "0:a:0", "-c",
                                 "copy", "-f", "framemd5", stem + ".framemd5", "-map", "0:a:0",
                                 "-c:a", "pcm_f64le", "-f", "md5", stem + ".md5"});
    EXPECT_TRUE(run.finished) << "ffmpeg did not finish on " << path.toStdString();
    d.errors = run.err;
    for (const QByteArray& line : readAll(stem + ".framemd5").split('\n')) {
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        d.packetHashes << QString::fromLatin1(line.split(',').last().trimmed());
    }
    d.decodedMd5 = QString::fromLatin1(readAll(stem + ".md5").trimmed());
    return d;
}

QJsonObject RoundTrip::probe(const QString& path)
{
    const ToolRun run =
        runTool(QStringLiteral("ffprobe"), {"-v", "error", "-show_format", "-show_streams",
                                            "-show_chapters", "-of", "json", path});
    EXPECT_EQ(run.exitCode, 0) << "ffprobe " << path.toStdString() << ": " << run.err.toStdString();
    return QJsonDocument::fromJson(run.out).object();
}

QJsonObject RoundTrip::inspect(const QString& in, const QString& out)
{
    const ToolRun run =
        runTool(QStringLiteral("python3"),
                {QStringLiteral(CLEFTONE_AUDIOFILE_TEST_DIR "/inspect_tags.py"), "check", in, out});
    EXPECT_EQ(run.exitCode, 0) << "inspect_tags.py: " << run.err.toStdString();
    return QJsonDocument::fromJson(run.out).object();
}

QByteArray RoundTrip::readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QJsonObject firstAudioStream(const QJsonObject& probe)
{
    for (const QJsonValue& s : probe.value("streams").toArray()) {
        if (s.toObject().value("codec_type").toString() == QLatin1String("audio"))
            return s.toObject();
    }
    return {};
}

QString largeTaggedMP3(const QString& directory)
{
    static QString made;
    if (!made.isEmpty() && QFile::exists(made))
        return made;
    // Encoding ten minutes would take seconds; ten copies of one encoded half minute make a
    // valid stream of the same size at once.
    const QString part = directory + QStringLiteral("/part.mp3");
    const QString joined = directory + QStringLiteral("/joined.mp3");
    const QString tagged = directory + QStringLiteral("/large.mp3");
    const ToolRun encode = runTool(QStringLiteral("ffmpeg"), {"-nostdin",
                                                              "-v",
                                                              "error",
                                                              "-y",
                                                              "-f",
                                                              "lavfi",
                                                              "-i",
                                                              "sine=frequency=440:duration=30",
                                                              "-ar",
                                                              "44100",
                                                              "-ac",
                                                              "2",
                                                              "-b:a",
                                                              "256k",
                                                              "-write_xing",
                                                              "0",
                                                              "-id3v2_version",
                                                              "0",
                                                              "-write_id3v1",
                                                              "0",
                                                              part});
    if (encode.exitCode != 0)
        return QString();
    QFile partFile(part);
    const QByteArray frames =
        partFile.open(QIODevice::ReadOnly) ? partFile.readAll() : QByteArray();
    QByteArray all;
    for (int i = 0; i < 10; ++i)
        all += frames;
    QFile joinedFile(joined);
    if (!joinedFile.open(QIODevice::WriteOnly) || joinedFile.write(all) != all.size())
        return QString();
    joinedFile.close();
    const ToolRun tag =
        runTool(QStringLiteral("ffmpeg"),
                {"-nostdin", "-v", "error", "-y", "-i", joined, "-c", "copy", "-metadata",
                 "title=CleftoneTag", "-metadata", "artist=CleftoneTag", tagged});
    QFile::remove(part);
    QFile::remove(joined);
    if (tag.exitCode != 0)
        return QString();
    made = tagged;
    return made;
}

} // namespace cleftone::test
