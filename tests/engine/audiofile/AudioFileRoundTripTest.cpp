// Round trips through the audio-file service, judged by independent readers: every writable
// container type comes back as the same type, with the same packets, decoding cleanly, and
// without any tag, chunk, box or writer string of the input's or of our own.

#include "RoundTrip.h"

#include "engine/audiofile/MetadataInspection.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <ostream>
#include <set>
#include <string_view>
#include <vector>

namespace cleftone::test {
namespace {

using namespace std::string_view_literals;
namespace T = AudioFileType;

struct Bytes {
    qsizetype at;
    std::string_view bytes;
};

struct Case {
    const char* name;
    const char* file;
    AudioFileTypeID type;
    const char* ref = nullptr; // the same stream without tags; the input itself if null
    bool tagged = true;
    // The output must equal `ref` byte for byte. For raw streams this is also what proves that
    // a trailing ID3v1/APEv2 tag, which libavformat glues onto the last packet, stayed out.
    bool byteExact = false;
    std::vector<Bytes> has = {};               // what the output holds at these offsets
    std::vector<std::string_view> absent = {}; // never anywhere in the output, packets included
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.file;
}

// fLaC, then STREAMINFO alone (type 0 marked last, 34 bytes) and a frame right after it; no
// comment block, so neither the input's nor FFmpeg's vendor string.
const std::vector<Bytes> kFlacHead = {{0, "fLaC\x80\0\0\x22"sv}, {42, "\xff\xf8"sv}};
const std::vector<std::string_view> kFlacVendors = {"libFLAC", "Lavf"};

const Case kCases[] = {
    {"Mp3Id3v23Apic", "mp3_id3v23_apic.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3Id3v24Apic", "mp3_id3v24_apic.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3Id3v1", "mp3_id3v1.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3Apev2", "mp3_apev2.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3AllTags", "mp3_all_tags.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3CbrInfo", "mp3_cbr_info.mp3", T::MP3, "ref/mp3_cbr_info.mp3", true, true},
    {"Mp3NoXing", "mp3_no_xing.mp3", T::MP3, "ref/mp3_no_xing.mp3", true, true},
    {"Mp2", "mp2_tags.mp2", T::MP2, "ref/mp2.mp2", true, true},
    {"Mp3Mpeg2", "mp3_mpeg2.mp3", T::MP3, "ref/mp3_mpeg2.mp3", true, true},
    {"Mp3Mpeg25", "mp3_mpeg25.mp3", T::MP3, "ref/mp3_mpeg25.mp3", true, true},
    {"Mp3Crc", "mp3_crc.mp3", T::MP3, "ref/mp3_crc.mp3", true, true},
    {"Mp3Id3v22", "mp3_id3_v22.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3Id3ExtendedHeader", "mp3_id3_exthdr.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3Id3Compressed", "mp3_id3_compressed.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3Id3Twice", "mp3_id3_twice.mp3", T::MP3, "ref/mp3_vbr.mp3", true, true},
    {"Mp3XingWrong", "mp3_xing_wrong.mp3", T::MP3},
    {"Mp3VbriWrong", "mp3_vbri_wrong.mp3", T::MP3, "ref/mp3_vbri.mp3", true, true},
    {"Mp3Junk", "mp3_junk.mp3", T::MP3, "ref/mp3_cbr_info.mp3", true, true},
    {"M4a", "m4a_aac_tags.m4a", T::M4A},
    {"M4bChapters", "m4b_aac_chapters.m4b", T::M4B, nullptr, true, false, {{4, "ftypM4B "}}},
    {"Mp4Alac", "mp4_alac.mp4", T::MPEG4},
    {"Mp4WithVideo", "mp4_aac_video.mp4", T::MPEG4, nullptr, true, false, {}, {"vide"}},
    {"ThreeGpAmr", "3gp_amr.3gp", T::ThreeGP},
    {"ThreeG2Aac", "3g2_aac.3g2", T::ThreeGP2},
    {"FtypMp42", "m4a_ftyp_mp42.m4a", T::MPEG4},
    {"FtypKddi", "3g2_ftyp_kddi.3g2", T::ThreeGP2},
    {"FtypM4bItunes", "m4b_ftyp_itunes.m4b", T::M4B},
    {"Mp4Flac", "mp4_flac.mp4", T::MPEG4},
    {"Mp4Opus", "mp4_opus.mp4", T::MPEG4},
    {"Mp4Ac3", "mp4_ac3.mp4", T::MPEG4},
    {"M4aEac3", "m4a_eac3.m4a", T::M4A},
    {"M4aFaststartBoxes", "m4a_faststart_boxes.m4a", T::M4A},
    {"Flac", "flac_tags.flac", T::FLAC, "ref/flac.flac", true, false, kFlacHead, kFlacVendors},
    {"FlacId3v2Front", "flac_id3v2_front.flac", T::FLAC, "ref/flac.flac", true, false, kFlacHead,
     kFlacVendors},
    {"FlacApplication", "flac_application.flac", T::FLAC, "ref/flac.flac", true, false, kFlacHead,
     kFlacVendors},
    {"FlacVariableBlocks",
     "flac_variable.flac",
     T::FLAC,
     "ref/flac_variable.flac",
     true,
     false,
     {{0, "fLaC\x80\0\0\x22"sv}, {42, "\xff\xf9"sv}},
     kFlacVendors},
    {"FlacApeId3v1Tail", "flac_ape_id3v1_tail.flac", T::FLAC, "ref/flac.flac", true, false,
     kFlacHead, kFlacVendors},
    {"WavInfoBextId3", "wav_info_bext_id3.wav", T::WAVE},
    {"Wav24Bit", "wav_24bit.wav", T::WAVE},
    {"Wav6ChannelFloat", "wav_6ch_float.wav", T::WAVE},
    {"WavOdd8Bit", "wav_odd_8bit.wav", T::WAVE},
    {"WavFact", "wav_fact.wav", T::WAVE},
    {"AiffOdd8Bit", "aiff_odd_8bit.aiff", T::AIFF},
    {"Rf64", "rf64_list.wav", T::RF64, nullptr, true, false, {{0, "RF64"}}},
    {"Wave64", "wave64.w64", T::Wave64, nullptr, false},
    {"Aiff", "aiff_chunks_id3.aiff", T::AIFF},
    {"AifcNone", "aifc_none.aifc", T::AIFC, nullptr, true, false, {{0, "FORM"}, {8, "AIFC"}}},
    {"AifcSowt", "aifc_sowt.aifc", T::AIFC},
    {"AifcFl32", "aifc_fl32.aifc", T::AIFC},
    {"CafPcm", "caf_pcm_info.caf", T::CAF},
    {"CafAlac", "caf_alac_info.caf", T::CAF},
    // The input's own cookie, bit rates included (FFmpeg keeps only the decoder config).
    {"CafAac", "caf_aac.caf", T::CAF, nullptr, true, false, {{82, "\0\0\x5d\xc0\0\0\x5d\xc0"sv}}},
    {"Au", "au_annotation.au", T::NeXT},
    {"SndMuLaw", "snd_mulaw.snd", T::NeXT},
    {"Adts", "adts_tags.aac", T::AAC_ADTS, "ref/adts.aac", true, true},
    {"Ac3", "ac3_tags.ac3", T::AC3, "ref/ac3.ac3", true, true},
    {"Eac3", "eac3_tags.ec3", T::EAC3, "ref/eac3.ec3", true, true},
    {"Amr", "amr_tags.amr", T::AMR, "ref/amr.amr", true, true},
};

template <typename List> qsizetype firstDifference(const List& a, const List& b)
{
    return std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin();
}

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

// Only tags that describe the container rather than the recording may be left. An "encoder"
// stream tag is allowed when it is the input's own, read from inside the audio (the LAME
// header), and never when it names FFmpeg.
void expectNoTags(const QJsonObject& tags, const QJsonObject& inputTags, const std::string& where)
{
    static const std::set<QString> technical{"major_brand",  "minor_version", "compatible_brands",
                                             "handler_name", "vendor_id",     "language"};
    for (auto it = tags.begin(); it != tags.end(); ++it) {
        const QString value = it.value().toString();
        if (technical.count(it.key()))
            continue;
        const bool ours = value.contains("Lav") || value.contains("ffmpeg", Qt::CaseInsensitive);
        if (it.key() == "encoder" && !ours && inputTags.value("encoder").toString() == value)
            continue;
        ADD_FAILURE() << where << " tag survived or was added: " << it.key().toStdString() << "="
                      << value.toStdString();
    }
}

class ServiceRoundTrip : public RoundTrip, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override
    {
        RoundTrip::SetUp();
        const std::string missing = missingTools({"ffmpeg", "ffprobe", "python3"});
        if (!missing.empty())
            GTEST_SKIP() << missing;
    }
};

TEST_P(ServiceRoundTrip, GivesSameTypeSamePacketsAndNoTags)
{
    const Case& c = GetParam();
    const QString in = fixture(c.file);
    const QString ref = c.ref ? fixture(c.ref) : in;
    QString out;
    const CopyResult copied = copy(c.file, &out);
    ASSERT_EQ(copied.error, "");
    EXPECT_EQ(typeText(copied.type), typeText(c.type)) << "container detected by content";

    const CopyResult back = reopen(out);
    ASSERT_EQ(back.error, "") << "reading the output back";
    EXPECT_EQ(typeText(back.type), typeText(c.type));
    EXPECT_EQ(back.packets, copied.packets);
    EXPECT_TRUE(copied.delivered == copied.packets && back.delivered == back.packets)
        << "delivered " << copied.delivered << " and " << back.delivered << " of " << back.packets;
    EXPECT_EQ(back.format.mFormatID, copied.format.mFormatID);
    EXPECT_EQ(back.format.mSampleRate, copied.format.mSampleRate);
    EXPECT_EQ(back.format.mChannelsPerFrame, copied.format.mChannelsPerFrame);

    // Same audio: packet by packet, and decoded (without delay and padding).
    const StreamDigest want = digest(ref), got = digest(out);
    ASSERT_FALSE(want.packetHashes.isEmpty()) << "ffmpeg read no packets from the reference";
    ASSERT_TRUE(want.decodedMd5.startsWith("MD5=")) << "ffmpeg could not decode the reference";
    EXPECT_TRUE(got.packetHashes == want.packetHashes)
        << got.packetHashes.size() << " packets instead of " << want.packetHashes.size()
        << "; first difference at packet " << firstDifference(got.packetHashes, want.packetHashes);
    EXPECT_EQ(got.decodedMd5, want.decodedMd5) << "decoded samples differ";
    EXPECT_EQ(got.errors.toStdString(), "") << "ffmpeg reported errors decoding the output";

    // Raw bytes the readers below would not notice.
    const QByteArray bytes = readAll(out);
    if (c.byteExact) {
        const QByteArray a = readAll(ref);
        EXPECT_TRUE(a == bytes) << "output is " << bytes.size() << " bytes, the tag-free stream "
                                << a.size() << "; first difference at byte "
                                << firstDifference(bytes, a);
    }
    for (const Bytes& b : c.has) {
        EXPECT_EQ(bytes.mid(b.at, qsizetype(b.bytes.size())),
                  QByteArray(b.bytes.data(), qsizetype(b.bytes.size())))
            << "at byte " << b.at;
    }
    for (std::string_view s : c.absent)
        EXPECT_FALSE(bytes.contains(QByteArray(s.data(), qsizetype(s.size())))) << s;

    // ffprobe: same container, one audio stream, no tags, no chapters, same timing.
    const QJsonObject pin = probe(in), pout = probe(out);
    const QJsonObject pref = c.ref ? probe(ref) : pin;
    const QJsonObject fin = pin.value("format").toObject(), fout = pout.value("format").toObject();
    EXPECT_EQ(fout.value("format_name"), fin.value("format_name"));
    for (const char* box : {"major_brand", "minor_version", "compatible_brands"})
        EXPECT_EQ(fout.value("tags").toObject().value(box),
                  fin.value("tags").toObject().value(box));
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
    expectNoTags(sout.value("tags").toObject(), sref.value("tags").toObject(), "stream");

    // The inspector: tags, chunks, boxes, blocks, writer strings, and MP3 Xing/LAME headers.
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

    // What cleftone-strip --show lists: what the input carries, and nothing on the output.
    const MetadataReport shown = inspectMetadata(QFile::encodeName(out).toStdString());
    EXPECT_TRUE(shown.readable);
    EXPECT_EQ(shown.items, std::vector<std::string>()) << "--show on the output";
    if (c.tagged) {
        EXPECT_FALSE(inspectMetadata(QFile::encodeName(in).toStdString()).items.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(EveryWritableType, ServiceRoundTrip, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace cleftone::test
