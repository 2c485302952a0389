// Round trips through the audio-file service, judged by independent readers: every writable
// container type comes back as the same type, with the same packets, decoding cleanly, and
// without any tag, chunk, box or writer string of the input's or of our own.

#include "RoundTrip.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <ostream>
#include <set>
#include <stdexcept>

namespace cleftone::test {
namespace {

namespace T = AudioFileType;

struct Case {
    const char* name;
    const char* file;
    AudioFileTypeID type;
    const char* ref = nullptr; // the same stream without tags; the input itself if null
    bool tagged = true;
    bool byteExact = false; // the output must equal `ref` byte for byte (raw streams)
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.file;
}

const Case kCases[] = {
    {"Mp3Id3v23Apic", "mp3_id3v23_apic.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3Id3v24Apic", "mp3_id3v24_apic.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3Id3v1", "mp3_id3v1.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3Apev2", "mp3_apev2.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3AllTags", "mp3_all_tags.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3CbrInfo", "mp3_cbr_info.mp3", T::MP3, "ref/mp3_cbr_info.mp3", true, true},
    {"Mp3NoXing", "mp3_no_xing.mp3", T::MP3, "ref/mp3_no_xing.mp3", true, true},
    {"Mp2", "mp2_tags.mp2", T::MP2, "ref/mp2.mp2", true, true},
    {"M4a", "m4a_aac_tags.m4a", T::M4A},
    {"M4bChapters", "m4b_aac_chapters.m4b", T::M4B},
    {"Mp4Alac", "mp4_alac.mp4", T::MPEG4},
    {"Mp4WithVideo", "mp4_aac_video.mp4", T::MPEG4},
    {"ThreeGpAmr", "3gp_amr.3gp", T::ThreeGP},
    {"ThreeG2Aac", "3g2_aac.3g2", T::ThreeGP2},
    {"Flac", "flac_tags.flac", T::FLAC, "ref/flac.flac"},
    {"FlacId3v2Front", "flac_id3v2_front.flac", T::FLAC, "ref/flac.flac"},
    {"FlacApeId3v1Tail", "flac_ape_id3v1_tail.flac", T::FLAC, "ref/flac.flac"},
    {"WavInfoBextId3", "wav_info_bext_id3.wav", T::WAVE},
    {"Wav24Bit", "wav_24bit.wav", T::WAVE},
    {"Wav6ChannelFloat", "wav_6ch_float.wav", T::WAVE},
    {"Rf64", "rf64_list.wav", T::RF64},
    {"Wave64", "wave64.w64", T::Wave64, nullptr, false},
    {"Aiff", "aiff_chunks_id3.aiff", T::AIFF},
    {"AifcNone", "aifc_none.aifc", T::AIFC},
    {"AifcSowt", "aifc_sowt.aifc", T::AIFC},
    {"AifcFl32", "aifc_fl32.aifc", T::AIFC},
    {"CafPcm", "caf_pcm_info.caf", T::CAF},
    {"CafAlac", "caf_alac_info.caf", T::CAF},
    {"Au", "au_annotation.au", T::NeXT},
    {"SndMuLaw", "snd_mulaw.snd", T::NeXT},
    {"Adts", "adts_tags.aac", T::AAC_ADTS, "ref/adts.aac", true, true},
    {"Ac3", "ac3_tags.ac3", T::AC3, "ref/ac3.ac3", true, true},
    {"Eac3", "eac3_tags.ec3", T::EAC3, "ref/eac3.ec3", true, true},
    {"Amr", "amr_tags.amr", T::AMR, "ref/amr.amr", true, true},
};

const Case& caseNamed(const char* name)
{
    for (const Case& c : kCases) {
        if (std::string(c.name) == name)
            return c;
    }
    throw std::logic_error(name);
}

const char* const kTools[] = {"ffmpeg", "ffprobe", "python3"};

#define REQUIRE_TOOLS()                                                                            \
    do {                                                                                           \
        const std::string missing = missingTools({kTools[0], kTools[1], kTools[2]});               \
        if (!missing.empty())                                                                      \
            GTEST_SKIP() << missing;                                                               \
    } while (0)

std::string lines(const QJsonValue& list)
{
    std::string text;
    for (const QJsonValue& v : list.toArray())
        text += "\n    " + v.toString().toStdString();
    return text;
}

std::string json(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString();
}

// Tags that describe the container rather than the recording.
bool isTechnicalTag(const QString& key)
{
    static const std::set<QString> keys{"major_brand",  "minor_version", "compatible_brands",
                                        "handler_name", "vendor_id",     "language"};
    return keys.count(key) != 0;
}

bool isOurWriter(const QString& value)
{
    return value.contains("Lav") || value.contains("ffmpeg", Qt::CaseInsensitive);
}

// Only technical tags may be left. An "encoder" stream tag is allowed when it is the input's own,
// read from inside the audio (the LAME header), and never when it names FFmpeg.
void expectNoTags(const QJsonObject& tags, const QJsonObject& inputTags, const std::string& where)
{
    for (auto it = tags.begin(); it != tags.end(); ++it) {
        const QString value = it.value().toString();
        if (isTechnicalTag(it.key()))
            continue;
        if (it.key() == "encoder" && !isOurWriter(value) &&
            inputTags.value("encoder").toString() == value)
            continue;
        ADD_FAILURE() << where << " tag survived or was added: " << it.key().toStdString() << "="
                      << value.toStdString();
    }
}

class ServiceRoundTrip : public RoundTrip, public ::testing::WithParamInterface<Case> {};

TEST_P(ServiceRoundTrip, GivesSameTypeSamePacketsAndNoTags)
{
    REQUIRE_TOOLS();
    const Case& c = GetParam();
    const QString in = fixture(c.file);
    const QString ref = c.ref ? fixture(c.ref) : in;
    QString out;
    const CopyResult copied = copy(c.file, &out);
    ASSERT_EQ(copied.error, "");
    EXPECT_EQ(typeText(copied.type), typeText(c.type)) << "container detected by content";

    const Reopened back = reopen(out);
    ASSERT_EQ(back.status, 0) << "reopening the output: " << statusText(back.status);
    EXPECT_EQ(typeText(back.type), typeText(c.type));
    EXPECT_EQ(back.packets, copied.packets);
    EXPECT_EQ(back.format.mFormatID, copied.format.mFormatID);
    EXPECT_EQ(back.format.mSampleRate, copied.format.mSampleRate);
    EXPECT_EQ(back.format.mChannelsPerFrame, copied.format.mChannelsPerFrame);

    // Same audio: packet by packet, and decoded.
    const StreamDigest want = digest(ref);
    const StreamDigest got = digest(out);
    ASSERT_FALSE(want.packetHashes.isEmpty()) << "ffmpeg read no packets from the reference";
    ASSERT_TRUE(want.decodedMd5.startsWith("MD5=")) << "ffmpeg could not decode the reference";
    EXPECT_EQ(got.packetHashes.size(), want.packetHashes.size()) << "packet count per ffmpeg";
    for (qsizetype i = 0; i < std::min(got.packetHashes.size(), want.packetHashes.size()); ++i) {
        if (got.packetHashes[i] != want.packetHashes[i]) {
            ADD_FAILURE() << "packet " << i << " differs: " << got.packetHashes[i].toStdString()
                          << " instead of " << want.packetHashes[i].toStdString();
            break;
        }
    }
    EXPECT_EQ(got.decodedMd5, want.decodedMd5) << "decoded samples differ";
    EXPECT_EQ(got.errors.toStdString(), "") << "ffmpeg reported errors decoding the output";
    if (c.byteExact) {
        const QByteArray a = readAll(ref), b = readAll(out);
        qsizetype at = 0;
        while (at < std::min(a.size(), b.size()) && a[at] == b[at])
            ++at;
        EXPECT_TRUE(a == b) << "output is " << b.size() << " bytes, the tag-free stream "
                            << a.size() << "; first difference at byte " << at;
    }

    // ffprobe: same container, one audio stream, no tags, no chapters, same timing.
    const QJsonObject pin = probe(in), pout = probe(out);
    const QJsonObject pref = c.ref ? probe(ref) : pin;
    const QJsonObject fin = pin.value("format").toObject(), fout = pout.value("format").toObject();
    EXPECT_EQ(fout.value("format_name"), fin.value("format_name"));
    EXPECT_EQ(fout.value("tags").toObject().value("major_brand"),
              fin.value("tags").toObject().value("major_brand"));
    const QJsonArray streams = pout.value("streams").toArray();
    ASSERT_EQ(streams.size(), 1) << "the output must hold only the audio: " << json(pout);
    const QJsonObject sout = streams[0].toObject(), sin = firstAudioStream(pin),
                      sref = firstAudioStream(pref);
    EXPECT_EQ(sout.value("codec_type").toString(), "audio");
    EXPECT_EQ(sout.value("codec_name"), sin.value("codec_name"));
    EXPECT_EQ(sout.value("disposition").toObject().value("attached_pic").toInt(), 0);
    EXPECT_EQ(sout.value("start_time"), sref.value("start_time")) << "encoder delay";
    EXPECT_EQ(sout.value("duration"), sref.value("duration")) << "delay, padding, length";
    EXPECT_TRUE(pout.value("chapters").toArray().isEmpty()) << json(pout);
    expectNoTags(fout.value("tags").toObject(), QJsonObject(), "container");
    expectNoTags(sout.value("tags").toObject(), sin.value("tags").toObject(), "stream");

    // Raw bytes: tags, chunks, boxes, blocks and writer strings.
    const QJsonObject report = inspect(in, out);
    const QJsonObject rin = report.value("input").toObject(),
                      rout = report.value("output").toObject();
    const QString kind = rout.value("kind").toString();
    ASSERT_TRUE(!kind.isEmpty() && kind != "unknown") << "the inspector cannot read the output";
    EXPECT_TRUE(rout.value("problems").toArray().isEmpty())
        << "in the output:" << lines(rout.value("problems"));
    EXPECT_TRUE(report.value("mismatch").toArray().isEmpty()) << lines(report.value("mismatch"));
    if (c.tagged) {
        EXPECT_FALSE(rin.value("problems").toArray().isEmpty())
            << "the inspector found no tags in the input, so it proves nothing here";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWritableType, ServiceRoundTrip, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

// --- the known traps, one by one ---------------------------------------------------------------

TEST_F(RoundTrip, AifcWithCompressionNoneStaysAifc)
{
    QString out;
    ASSERT_EQ(copy("aifc_none.aifc", &out).error, "");
    const QByteArray head = readAll(out).left(12);
    EXPECT_EQ(head.left(4), "FORM");
    EXPECT_EQ(head.mid(8, 4), "AIFC") << "form type";
    EXPECT_EQ(typeText(reopen(out).type), "AIFC");
}

TEST_F(RoundTrip, Rf64StaysRf64)
{
    QString out;
    ASSERT_EQ(copy("rf64_list.wav", &out).error, "");
    EXPECT_EQ(readAll(out).left(4), "RF64");
    EXPECT_EQ(typeText(reopen(out).type), "RF64");
}

TEST_F(RoundTrip, M4bKeepsItsBrand)
{
    QString out;
    ASSERT_EQ(copy("m4b_aac_chapters.m4b", &out).error, "");
    EXPECT_EQ(readAll(out).mid(4, 8), QByteArray("ftypM4B ")) << "major brand";
    EXPECT_EQ(typeText(reopen(out).type), "m4bf");
}

// libavformat glues a trailing ID3v1/APEv2 tag of these raw streams onto their last packet.
class TrailingTags : public RoundTrip, public ::testing::WithParamInterface<Case> {};

TEST_P(TrailingTags, StayOutOfTheLastPacket)
{
    REQUIRE_TOOLS();
    QString out;
    ASSERT_EQ(copy(GetParam().file, &out).error, "");
    const QByteArray bytes = readAll(out);
    EXPECT_FALSE(bytes.right(128).startsWith("TAG")) << "ID3v1 at the end";
    EXPECT_FALSE(bytes.contains("APETAGEX")) << "APEv2";
    const QStringList want = digest(fixture(GetParam().ref)).packetHashes;
    const QStringList got = digest(out).packetHashes;
    ASSERT_FALSE(want.isEmpty());
    ASSERT_FALSE(got.isEmpty());
    EXPECT_EQ(got.size(), want.size()) << "packets";
    EXPECT_EQ(got.last().toStdString(), want.last().toStdString()) << "last packet";
}

INSTANTIATE_TEST_SUITE_P(RawStreams, TrailingTags,
                         ::testing::Values(caseNamed("Ac3"), caseNamed("Eac3"), caseNamed("Amr"),
                                           caseNamed("FlacApeId3v1Tail"), caseNamed("Adts"),
                                           caseNamed("Mp3AllTags")),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RoundTrip, Mp3OutputHasNeitherId3v2NorId3v1)
{
    for (const char* name : {"mp3_id3v24_apic.mp3", "mp3_all_tags.mp3", "mp3_no_xing.mp3"}) {
        QString out;
        ASSERT_EQ(copy(name, &out).error, "");
        const QByteArray bytes = readAll(out);
        ASSERT_GE(bytes.size(), 128) << name;
        EXPECT_TRUE(quint8(bytes[0]) == 0xFF && (quint8(bytes[1]) & 0xE0) == 0xE0)
            << name << ": the output must start with a frame, not " << bytes.left(4).toHex().data();
        EXPECT_FALSE(bytes.right(128).startsWith("TAG")) << name;
    }
}

TEST_F(RoundTrip, FlacOutputHasOnlyStreamInfo)
{
    QString out;
    ASSERT_EQ(copy("flac_tags.flac", &out).error, "");
    const QByteArray bytes = readAll(out);
    ASSERT_GE(bytes.size(), 44);
    EXPECT_EQ(bytes.left(4), "fLaC");
    EXPECT_EQ(quint8(bytes[4]), 0x80) << "one block, STREAMINFO, marked last";
    EXPECT_EQ(bytes.mid(5, 3).toHex(), "000022") << "STREAMINFO is 34 bytes";
    EXPECT_EQ(bytes.mid(42, 2).toHex(), "fff8") << "a frame right after STREAMINFO";
    EXPECT_FALSE(bytes.contains("libFLAC")) << "vendor string of the input's comment block";
    EXPECT_FALSE(bytes.contains("Lavf")) << "vendor string of FFmpeg's comment block";
}

TEST_F(RoundTrip, CoverArtNeverBecomesAStream)
{
    REQUIRE_TOOLS();
    for (const char* name :
         {"mp3_id3v23_apic.mp3", "mp3_id3v24_apic.mp3", "m4a_aac_tags.m4a", "flac_tags.flac"}) {
        QString out;
        ASSERT_EQ(copy(name, &out).error, "");
        const QJsonArray streams = probe(out).value("streams").toArray();
        EXPECT_EQ(streams.size(), 1) << name << ": " << json(probe(out));
        EXPECT_FALSE(readAll(out).contains("CleftoneTag cover")) << name;
    }
}

TEST_F(RoundTrip, VideoTrackIsLeftOut)
{
    REQUIRE_TOOLS();
    QString out;
    ASSERT_EQ(copy("mp4_aac_video.mp4", &out).error, "");
    const QJsonObject p = probe(out);
    for (const QJsonValue& s : p.value("streams").toArray())
        EXPECT_EQ(s.toObject().value("codec_type").toString(), "audio") << json(p);
    EXPECT_FALSE(readAll(out).contains("vide")) << "a video handler box is in the output";
}

TEST_F(RoundTrip, Mp3WithoutXingFrameGetsNone)
{
    REQUIRE_TOOLS();
    QString out;
    ASSERT_EQ(copy("mp3_no_xing.mp3", &out).error, "");
    const QJsonObject r = inspect(fixture("mp3_no_xing.mp3"), out);
    EXPECT_TRUE(r.value("output").toObject().value("xing").isNull())
        << "encoder "
        << r.value("output").toObject().value("xing_encoder").toString().toStdString();
}

TEST_F(RoundTrip, LameHeaderIsKeptByteForByte)
{
    REQUIRE_TOOLS();
    for (const char* name : {"mp3_cbr_info.mp3", "mp3_id3v23_apic.mp3"}) {
        QString out;
        ASSERT_EQ(copy(name, &out).error, "");
        const QJsonObject r = inspect(fixture(name), out);
        const QJsonObject in = r.value("input").toObject(), got = r.value("output").toObject();
        ASSERT_FALSE(in.value("xing").isNull()) << name << " has no LAME header to keep";
        EXPECT_EQ(got.value("xing").toString().toStdString(),
                  in.value("xing").toString().toStdString())
            << name;
        EXPECT_EQ(got.value("xing_encoder").toString(), "LAME3.100") << name;
    }
}

TEST_F(RoundTrip, EncoderDelayAndPaddingSurvive)
{
    REQUIRE_TOOLS();
    // MP3: the LAME header's delay; M4A: the edit list's priming; both show in start time,
    // duration and in the decoded samples, which leave out delay and padding.
    for (const char* name : {"mp3_cbr_info.mp3", "m4a_aac_tags.m4a"}) {
        QString out;
        ASSERT_EQ(copy(name, &out).error, "");
        const QJsonObject want = firstAudioStream(probe(fixture(name)));
        const QJsonObject got = firstAudioStream(probe(out));
        EXPECT_EQ(got.value("start_time"), want.value("start_time")) << name;
        EXPECT_EQ(got.value("duration"), want.value("duration")) << name;
        EXPECT_EQ(digest(out).decodedMd5, digest(fixture(name)).decodedMd5) << name;
    }
}

} // namespace
} // namespace cleftone::test
