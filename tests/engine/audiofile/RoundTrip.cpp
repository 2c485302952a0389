#include "RoundTrip.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

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

QByteArray readAllOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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
    p.start(QStandardPaths::findExecutable(program), args);
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
        if (QStandardPaths::findExecutable(program).isEmpty())
            missing += " " + program.toStdString();
    }
    return missing.empty() ? missing : "not installed:" + missing;
}

CopyResult copyThroughService(const QString& in, const QString& out)
{
    CopyResult r;
    // Records the first failing call; true while none has failed.
    auto ok = [&r](const std::string& call, OSStatus status) {
        if (status && r.error.empty())
            r.error = call + " failed: " + statusText(status);
        return r.error.empty();
    };
    AudioFileID raw = nullptr;
    r.openStatus = service().AudioFileOpenURL(in.toStdString(), kAudioFileReadPermission, 0, &raw);
    r.handleFromFailedOpen = r.openStatus && raw;
    if (!ok("AudioFileOpenURL", r.openStatus))
        return r;
    FileHandle input(raw);
    std::uint32_t maxPacketSize = 0, cookieSize = 0;
    if (!ok("GetProperty ffmt", getFixed(raw, AudioFileProperty::FileFormat, &r.type)) ||
        !ok("GetProperty dfmt", getFixed(raw, AudioFileProperty::DataFormat, &r.format)))
        return r;
    std::optional<std::vector<char>> cookie;
    if (service().AudioFileGetPropertyInfo(raw, AudioFileProperty::MagicCookieData, &cookieSize,
                                           nullptr) == 0) {
        cookie.emplace(cookieSize);
        ok("GetProperty mgic after GetPropertyInfo said it exists",
           service().AudioFileGetProperty(raw, AudioFileProperty::MagicCookieData, &cookieSize,
                                          cookie->data()));
        cookie->resize(cookieSize);
    }
    if (!ok("GetProperty pcnt",
            getFixed(raw, AudioFileProperty::AudioDataPacketCount, &r.packets)) ||
        !ok("GetProperty psze",
            getFixed(raw, AudioFileProperty::MaximumPacketSize, &maxPacketSize)))
        return r;
    // Broken input must not make the test allocate whatever it claims.
    if (r.packets > 0 && (maxPacketSize == 0 || maxPacketSize > (16u << 20))) {
        r.error = "psze claims " + std::to_string(maxPacketSize) + " bytes";
        return r;
    }

    AudioFileID rawOut = nullptr;
    if (!out.isEmpty() &&
        !ok("AudioFileCreateWithURL",
            service().AudioFileCreateWithURL(
                out.toStdString(), r.type, &r.format,
                kAudioFileFlags_EraseFile | kAudioFileFlags_DontPageAlignAudioData, &rawOut)))
        return r;
    FileHandle output(rawOut);
    if (cookie && rawOut &&
        !ok("SetProperty mgic",
            service().AudioFileSetProperty(rawOut, AudioFileProperty::MagicCookieData,
                                           std::uint32_t(cookie->size()), cookie->data())))
        return r;
    const std::uint64_t perBlock =
        maxPacketSize && maxPacketSize <= 32768 ? 32768 / maxPacketSize : 1;
    // Like the engine, the next block starts after what was asked for, not what came back.
    for (std::uint64_t next = 0, asked = 0; next < r.packets; next += asked) {
        asked = std::min(perBlock, r.packets - next);
        std::vector<char> buffer(std::size_t(maxPacketSize * asked));
        std::vector<AudioStreamPacketDescription> descriptions(asked);
        const auto start = std::int64_t(next);
        const std::string at = " at packet " + std::to_string(start);
        auto bytes = std::uint32_t(buffer.size()), count = std::uint32_t(asked);
        if (!ok("AudioFileReadPacketData" + at,
                service().AudioFileReadPacketData(raw, false, &bytes, descriptions.data(), start,
                                                  &count, buffer.data())))
            return r;
        r.delivered += count;
        if (rawOut && !ok("AudioFileWritePackets" + at,
                          service().AudioFileWritePackets(rawOut, false, bytes, descriptions.data(),
                                                          start, &count, buffer.data())))
            return r;
    }
    input.reset();
    // The engine ignores this status, but a failed close means the trailer was not written.
    if (rawOut)
        ok("AudioFileClose of the output", service().AudioFileClose(output.release()));
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
    return readAllOf(path);
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
    const QString part = directory + "/part.mp3", joined = directory + "/joined.mp3",
                  tagged = directory + "/large.mp3";
    const QStringList quiet{"-nostdin", "-v", "error", "-y"};
    const QString encode = "-f lavfi -i sine=frequency=440:duration=30 -ar 44100 -ac 2 -b:a 256k "
                           "-write_xing 0 -id3v2_version 0 -write_id3v1 0";
    const QString tags = "-c copy -metadata title=CleftoneTag -metadata artist=CleftoneTag";
    if (runTool("ffmpeg", quiet + encode.split(' ') + QStringList{part}).exitCode != 0)
        return QString();
    const QByteArray frames = readAllOf(part).repeated(10);
    QFile joinedFile(joined);
    if (!joinedFile.open(QIODevice::WriteOnly) || joinedFile.write(frames) != frames.size())
        return QString();
    joinedFile.close();
    const ToolRun tag = runTool("ffmpeg", quiet + QStringList{"-i", joined} + tags.split(' ') +
                                              QStringList{tagged});
    QFile::remove(part);
    QFile::remove(joined);
    if (tag.exitCode != 0)
        return QString();
    made = tagged;
    return made;
}

} // namespace cleftone::test
