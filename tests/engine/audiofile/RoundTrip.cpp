#include "RoundTrip.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
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

QJsonObject firstAudioStream(const QJsonObject& probe)
{
    for (const QJsonValue& s : probe.value("streams").toArray()) {
        if (s.toObject().value("codec_type").toString() == QLatin1String("audio"))
            return s.toObject();
    }
    return {};
}

std::string lines(const QJsonValue& list)
{
    std::string text;
    for (const QJsonValue& v : list.toArray())
        text += "\n    " + v.toString().toStdString();
    return text;
}

std::string text(const QJsonValue& value)
{
    return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).toStdString();
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

CopyResult copyThroughService(const QString& in, const QString& out)
{
    CopyResult r;
    // Records the first failing call; true while none has failed.
    auto ok = [&r](const std::string& call, OSStatus status) {
        if (status && r.error.empty())
            r.error = call + " failed: '" + typeText(std::uint32_t(status)) + "' (" +
                      std::to_string(status) + ")";
        return r.error.empty();
    };
    AudioFileID raw = nullptr;
    const OSStatus opened =
        service().AudioFileOpenURL(in.toStdString(), kAudioFileReadPermission, 0, &raw);
    r.handleFromFailedOpen = opened && raw;
    if (!ok("AudioFileOpenURL", opened))
        return r;
    FileHandle input(raw);
    std::uint32_t maxPacketSize = 0, cookieSize = 0;
    std::optional<std::vector<char>> cookie;
    if (service().AudioFileGetPropertyInfo(raw, AudioFileProperty::MagicCookieData, &cookieSize,
                                           nullptr) == 0) {
        cookie.emplace(cookieSize);
        ok("GetProperty mgic after GetPropertyInfo said it exists",
           service().AudioFileGetProperty(raw, AudioFileProperty::MagicCookieData, &cookieSize,
                                          cookie->data()));
        cookie->resize(cookieSize);
        r.cookie = *cookie;
    }
    if (!ok("GetProperty ffmt", getFixed(raw, AudioFileProperty::FileFormat, &r.type)) ||
        !ok("GetProperty dfmt", getFixed(raw, AudioFileProperty::DataFormat, &r.format)) ||
        !ok("GetProperty pcnt",
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
        const std::string at = " at packet " + std::to_string(next);
        auto bytes = std::uint32_t(buffer.size()), count = std::uint32_t(asked);
        if (!ok("AudioFileReadPacketData" + at,
                service().AudioFileReadPacketData(raw, false, &bytes, descriptions.data(),
                                                  std::int64_t(next), &count, buffer.data())))
            return r;
        r.delivered += count;
        if (rawOut &&
            !ok("AudioFileWritePackets" + at,
                service().AudioFileWritePackets(rawOut, false, bytes, descriptions.data(),
                                                std::int64_t(next), &count, buffer.data())))
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

StreamDigest RoundTrip::digest(const QString& path, bool dataOnly)
{
    StreamDigest d;
    const QString stem = tempPath(QStringLiteral("digest%1").arg(++digestCount));
    const ToolRun run = runTool(QStringLiteral("ffmpeg"), {"-nostdin",
                                                           "-v",
                                                           "error",
                                                           "-i",
                                                           path,
                                                           "-map",
                                                           "0:a:0",
                                                           "-c",
                                                           "copy",
                                                           "-f",
                                                           "framemd5",
                                                           "-format_version",
                                                           dataOnly ? "1" : "2",
                                                           stem + ".framemd5",
                                                           "-map",
                                                           "0:a:0",
                                                           "-c:a",
                                                           "pcm_f64le",
                                                           "-f",
                                                           "md5",
                                                           stem + ".md5"});
    EXPECT_TRUE(run.finished) << "ffmpeg did not finish on " << path.toStdString();
    d.errors = run.err;
    for (const QByteArray& line : readAll(stem + ".framemd5").split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
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

void RoundTrip::expectStripped(const QString& in, const QString& out, const QString& ref,
                               bool tagged)
{
    SCOPED_TRACE("judging " + out.toStdString() + ", stripped from " + in.toStdString());
    const CopyResult back = reopen(out);
    EXPECT_EQ(back.error, "") << "the service cannot read it back";
    EXPECT_EQ(typeText(back.type), typeText(reopen(in).type));
    EXPECT_EQ(back.delivered, back.packets);

    // Same audio: packet by packet, and decoded (without delay and padding).
    const QString source = ref.isEmpty() ? in : ref;
    // FFmpeg hands an Ogg stream's comments to its first packet as side data. What else the
    // side data of Ogg packets says (the samples to trim) shows in the decoded audio.
    const bool dataOnly = back.type == AudioFileType::Ogg;
    const StreamDigest want = digest(source, dataOnly), got = digest(out, dataOnly);
    ASSERT_FALSE(want.packetHashes.isEmpty()) << "ffmpeg read no packets from the reference";
    ASSERT_TRUE(want.decodedMd5.startsWith("MD5=")) << "ffmpeg could not decode the reference";
    const auto differ = std::mismatch(got.packetHashes.begin(), got.packetHashes.end(),
                                      want.packetHashes.begin(), want.packetHashes.end());
    EXPECT_TRUE(got.packetHashes == want.packetHashes)
        << got.packetHashes.size() << " packets instead of " << want.packetHashes.size()
        << "; first difference at packet " << differ.first - got.packetHashes.begin();
    EXPECT_EQ(got.decodedMd5, want.decodedMd5) << "decoded samples differ";
    EXPECT_EQ(got.errors.toStdString(), "") << "ffmpeg reported errors decoding the output";

    // ffprobe: same container, one audio stream, same timing (tags: the inspector's part).
    const QJsonObject pin = probe(in), pout = probe(out), pref = ref.isEmpty() ? pin : probe(ref);
    const QJsonObject fin = pin.value("format").toObject(), fout = pout.value("format").toObject();
    for (const char* key : {"format_name", "major_brand", "minor_version", "compatible_brands"}) {
        const auto of = [key](const QJsonObject& format) {
            return text(format.contains(key) ? format.value(key)
                                             : format.value("tags").toObject().value(key));
        };
        EXPECT_EQ(of(fout), of(fin)) << key;
    }
    const QJsonArray streams = pout.value("streams").toArray();
    ASSERT_EQ(streams.size(), 1) << "the output must hold only the audio: " << text(pout);
    const QJsonObject sout = streams[0].toObject(), sref = firstAudioStream(pref);
    EXPECT_EQ(text(sout.value("codec_name")), text(firstAudioStream(pin).value("codec_name")));
    EXPECT_EQ(text(sout.value("start_time")), text(sref.value("start_time"))) << "encoder delay";
    EXPECT_EQ(text(sout.value("duration")), text(sref.value("duration"))) << "delay, padding";

    // The inspector: tags, chunks, boxes, blocks, writer strings, and MP3 Xing/LAME headers.
    const QJsonObject report = inspect(in, out);
    const QJsonObject rout = report.value("output").toObject();
    const QString kind = rout.value("kind").toString();
    EXPECT_TRUE(!kind.isEmpty() && kind != "unknown") << "the inspector cannot read the output";
    EXPECT_EQ(lines(rout.value("problems")), "") << "in the output";
    EXPECT_EQ(lines(report.value("mismatch")), "");
    if (tagged) {
        EXPECT_NE(lines(report.value("input").toObject().value("problems")), "")
            << "the inspector found no tags in the input, so it proves nothing here";
    }
}

QString largeTagged(const QString& directory, const QString& extension)
{
    static QMap<QString, QString> made;
    if (QFile::exists(made.value(extension)))
        return made.value(extension);
    // Encoding ten minutes would take seconds; ten copies of one encoded half minute make a
    // valid stream of the same size at once.
    const QString part = directory + "/part." + extension,
                  tagged = directory + "/large." + extension;
    const QStringList quiet{"-nostdin", "-v", "error", "-y"}, loop{"-stream_loop", "9", "-i", part};
    const QString encode =
        "-f lavfi -i sine=frequency=440:duration=30 -ac 2 " +
        QString(extension == "opus" ? "-b:a 256k -ar 48000 -c:a libopus"
                : extension == "wv" ? "-ar 44100 -c:a wavpack" // APEv2 tags behind the blocks
                                    : "-b:a 256k -ar 44100 -write_xing 0 -id3v2_version 0 "
                                      "-write_id3v1 0");
    const QString tag = "-c copy -metadata title=CleftoneTag -metadata artist=CleftoneTag";
    const bool encoded =
        runTool("ffmpeg", quiet + encode.split(' ') + QStringList{part}).exitCode == 0;
    const bool ok =
        encoded &&
        runTool("ffmpeg", quiet + loop + tag.split(' ') + QStringList{tagged}).exitCode == 0;
    QFile::remove(part);
    made[extension] = ok ? tagged : QString();
    return made[extension];
}

} // namespace cleftone::test
