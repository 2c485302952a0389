// Round trips through the audio-file service, judged by independent readers; broken input.

#include "RoundTrip.h"

#include "engine/audiofile/MetadataInspection.h"
#include "engine/audiofile/Mp4Input.h"
#include "engine/audiofile/RewriteFamilies.h"
#include "engine/audiofile/ServiceFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cctype>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <memory>
#include <string_view>
#include <thread>
#include <type_traits>
#include <unistd.h>
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
    const char* file;
    AudioFileTypeID type;
    // The same stream without tags, for inputs whose trailing tags ffmpeg reads as audio. The
    // output must equal it byte for byte, except for FLAC (whose STREAMINFO FFmpeg rewrites).
    const char* ref = nullptr;
    std::vector<Bytes> has = {};               // what the output holds at these offsets
    std::vector<std::string_view> absent = {}; // never anywhere in the output, packets included
    bool tagged = true;
    const char* kept = nullptr; // what --show names as kept, in the input and the output
};

// fLaC, then STREAMINFO alone (type 0 marked last, 34 bytes) and a frame right after it; no
// comment block, so neither the input's nor FFmpeg's vendor string.
const std::vector<Bytes> kFlacHead = {{0, "fLaC\x80\0\0\x22"sv}, {42, "\xff\xf8"sv}};
const std::vector<Bytes> kFlacVariableHead = {{0, kFlacHead[0].bytes}, {42, "\xff\xf9"sv}};
const std::vector<std::string_view> kFlacVendors = {"libFLAC", "Lavf"};

const char* const kApeWavHeader =
    "Kept: LIST chunk in the WAV header stored in the Monkey's Audio stream, 32 bytes";

const Case kCases[] = {
    {"mp3_id3v23_apic.mp3", T::MP3, "ref/mp3_vbr.mp3"},
    {"mp3_id3v24_apic.mp3", T::MP3, "ref/mp3_vbr.mp3"},
    {"mp3_id3v1.mp3", T::MP3, "ref/mp3_vbr.mp3"},
    {"mp3_apev2.mp3", T::MP3, "ref/mp3_vbr.mp3"},
    {"mp3_all_tags.mp3", T::MP3, "ref/mp3_vbr.mp3"},
    {"mp3_cbr_info.mp3", T::MP3, "ref/mp3_cbr_info.mp3"},
    {"mp3_no_xing.mp3", T::MP3, "ref/mp3_no_xing.mp3"},
    {"mp2_tags.mp2", T::MP2, "ref/mp2.mp2"},
    {"mp3_mpeg2.mp3", T::MP3, "ref/mp3_mpeg2.mp3"},
    {"mp3_mpeg25.mp3", T::MP3, "ref/mp3_mpeg25.mp3"},
    {"mp3_crc.mp3", T::MP3, "ref/mp3_crc.mp3"},
    {"mp3_id3_v22.mp3", T::MP3, "ref/mp3_vbr.mp3"},
    {"mp3_id3_exthdr.mp3", T::MP3, "ref/mp3_vbr.mp3"},
    {"mp3_id3_compressed.mp3", T::MP3, "ref/mp3_vbr.mp3"},
    {"mp3_id3_twice.mp3", T::MP3, "ref/mp3_vbr.mp3"},
    {"mp3_xing_wrong.mp3", T::MP3},
    {"mp3_vbri_wrong.mp3", T::MP3, "ref/mp3_vbri.mp3"},
    {"mp3_junk.mp3", T::MP3, "ref/mp3_cbr_info.mp3"},
    {"m4a_aac_tags.m4a", T::M4A},
    {"m4b_aac_chapters.m4b", T::M4B, nullptr, {{4, "ftypM4B "}}},
    {"mp4_alac.mp4", T::MPEG4},
    {"mp4_aac_video.mp4", T::MPEG4, nullptr, {}, {"vide"}},
    {"3gp_amr.3gp", T::ThreeGP},
    {"3g2_aac.3g2", T::ThreeGP2},
    {"m4a_ftyp_mp42.m4a", T::MPEG4},
    {"3g2_ftyp_kddi.3g2", T::ThreeGP2},
    {"m4b_ftyp_itunes.m4b", T::M4B},
    {"mp4_flac.mp4", T::MPEG4},
    {"mp4_opus.mp4", T::MPEG4},
    {"mp4_ac3.mp4", T::MPEG4},
    {"m4a_eac3.m4a", T::M4A},
    {"m4a_faststart_boxes.m4a", T::M4A},
    {"m4a_co64_stz2.m4a", T::M4A},
    {"flac_tags.flac", T::FLAC, "ref/flac.flac", kFlacHead, kFlacVendors},
    {"flac_id3v2_front.flac", T::FLAC, "ref/flac.flac", kFlacHead, kFlacVendors},
    {"flac_application.flac", T::FLAC, "ref/flac.flac", kFlacHead, kFlacVendors},
    {"flac_variable.flac", T::FLAC, "ref/flac_variable.flac", kFlacVariableHead, kFlacVendors},
    {"flac_ape_id3v1_tail.flac", T::FLAC, "ref/flac.flac", kFlacHead, kFlacVendors},
    {"wav_info_bext_id3.wav", T::WAVE},
    {"wav_24bit.wav", T::WAVE},
    {"wav_6ch_float.wav", T::WAVE},
    {"wav_odd_8bit.wav", T::WAVE},
    {"wav_fact.wav", T::WAVE},
    // An ID3v2 tag in front of the RIFF data goes, and the file stays plain RIFF.
    {"wav_id3_front.wav", T::WAVE, nullptr, {{0, "RIFF"}}},
    {"aiff_odd_8bit.aiff", T::AIFF},
    {"rf64_list.wav", T::RF64, nullptr, {{0, "RF64"}}},
    {"wave64.w64", T::Wave64, nullptr, {}, {}, false},
    {"aiff_chunks_id3.aiff", T::AIFF},
    {"aiff_chan_quad.aiff", T::AIFF},
    {"aifc_none.aifc", T::AIFC, nullptr, {{0, "FORM"}, {8, "AIFC"}}},
    {"aifc_sowt.aifc", T::AIFC},
    {"aifc_fl32.aifc", T::AIFC},
    {"caf_pcm_info.caf", T::CAF},
    {"caf_alac_info.caf", T::CAF},
    // The input's own cookie, bit rates included (FFmpeg keeps only the decoder config).
    {"caf_aac.caf", T::CAF, nullptr, {{82, "\0\0\x5d\xc0\0\0\x5d\xc0"sv}}},
    {"au_annotation.au", T::NeXT},
    {"snd_mulaw.snd", T::NeXT},
    {"adts_tags.aac", T::AAC_ADTS, "ref/adts.aac"},
    {"ac3_tags.ac3", T::AC3, "ref/ac3.ac3"},
    {"eac3_tags.ec3", T::EAC3, "ref/eac3.ec3"},
    {"amr_tags.amr", T::AMR, "ref/amr.amr"},
    // Ogg: each link's comment header keeps its vendor string alone, other streams go.
    {"ogg_vorbis_tags.ogg", T::Ogg, "ref/ogg_vorbis.ogg"},
    {"ogg_id3_ape.ogg", T::Ogg, "ref/ogg_vorbis.ogg"},
    {"ogg_chained.ogg", T::Ogg, "ref/ogg_chained.ogg"},
    {"ogg_shared_page.ogg", T::Ogg},
    {"ogg_theora.ogg", T::Ogg, nullptr, {}, {"theora"}},
    {"opus_picture.opus", T::Ogg},
    {"opus_binary.opus", T::Ogg},
    {"speex_tags.spx", T::Ogg},
    {"flac_picture.oga", T::Ogg},
    // Lossless streams tagged with APEv2 are cut; DSD files keep only their sound chunks.
    {"wv_apev2_id3v1.wv", T::WavPack, "ref/wavpack.wv"},
    // The LIST chunk of the RIFF header stored in the first block goes, checksum and all.
    {"wv_riff_list.wv", T::WavPack, "ref/wavpack.wv"},
    {"tta_apev2_id3v1.tta", T::TTA, "ref/tta.tta"},
    {"mpc_apev2_id3v1.mpc", T::Musepack, "ref/musepack.mpc"},
    {"ape_apev2_id3v1.ape", T::MonkeysAudio, "ref/monkeys.ape"},
    {"ape_id3v2_front.ape", T::MonkeysAudio, "ref/monkeys.ape"},
    // A WAV header stored in the stream stays, checksummed as it is; --show names it.
    {"ape_wav_list.ape", T::MonkeysAudio, "ape_wav_list.ape", {}, {}, false, kApeWavHeader},
    {"dsf_id3.dsf", T::DSF, "ref/dsd.dsf"},
    {"dff_diin_comt.dff", T::DSDIFF, "ref/dsd.dff"},
    {"wma_tags.wma", T::ASF, "ref/wma.wma"},
    {"wma_markers.wma", T::ASF},
    {"mka_flac_mkvmerge.mka", T::Matroska},
    {"webm_opus_tags.webm", T::WebM},
    {"webm_live.webm", T::WebM},
    // Only the default audio track stays: no video, no second audio track.
    {"mkv_video_opus.mkv", T::Matroska, nullptr, {}, {"V_MPEG4"}},
    {"mkv_video_cues.mkv", T::Matroska, nullptr, {}, {"V_MPEG4"}},
    // The content decides the type, not the extension.
    {"bad/wav_named.mp3", T::WAVE, nullptr, {}, {}, false},
    {"bad/m4a_named.mp3", T::M4A},
};

bool isMp4Family(AudioFileTypeID type)
{
    return type == T::M4A || type == T::M4B || type == T::MPEG4 || type == T::ThreeGP ||
           type == T::ThreeGP2;
}

// Why the service's own MP4 reader leaves a file to libavformat ("none": it reads it).
std::string mp4Fallback(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    std::unique_ptr<audiofile::InputFile> file;
    const audiofile::Mp4Fallback why = audiofile::Mp4InputFile::open(fd, file);
    if (why != audiofile::Mp4Fallback::None)
        ::close(fd);
    return audiofile::mp4FallbackName(why);
}

class ServiceRoundTrip : public RoundTrip, public ::testing::WithParamInterface<Case> {
protected:
    void roundTrip(const Case& c);
    bool throughLibavformat = false;
};

void ServiceRoundTrip::roundTrip(const Case& c)
{
    const QString in = fixture(c.file);
    QString out;
    const CopyResult copied = copy(c.file, &out);
    ASSERT_EQ(copied.error, "");
    EXPECT_EQ(typeText(copied.type), typeText(c.type)) << "container detected by content";
    EXPECT_EQ(copied.delivered, copied.packets);
    if (isMp4Family(c.type) && !throughLibavformat) {
        EXPECT_EQ(mp4Fallback(in), "none") << "the service's own MP4 reader left it to libavformat";
    }
    // What the copy check compares: the stripped file reads back with the same setup.
    const CopyResult back = reopen(out);
    EXPECT_TRUE(back.cookie == copied.cookie) << "the codec setup reads back otherwise";
    EXPECT_EQ(back.packets, copied.packets);
    expectStripped(in, out, c.ref ? fixture(c.ref) : QString(), c.tagged);

    // Raw bytes the readers would not notice. For raw streams the exact match is also what
    // proves that a trailing ID3v1/APEv2 tag, which libavformat glues onto the last packet,
    // stayed out.
    const QByteArray bytes = readAll(out);
    if (c.ref && c.type != T::FLAC) {
        const QByteArray want = readAll(fixture(c.ref));
        EXPECT_TRUE(bytes == want)
            << "output is " << bytes.size() << " bytes, the tag-free stream " << want.size();
    }
    for (const Bytes& b : c.has) {
        EXPECT_EQ(bytes.mid(b.at, qsizetype(b.bytes.size())).toStdString(), b.bytes)
            << "at byte " << b.at;
    }
    for (std::string_view s : c.absent)
        EXPECT_FALSE(bytes.contains(QByteArray(s.data(), qsizetype(s.size())))) << s;

    // What cleftone-strip --show lists: what the input carries, and nothing on the output but
    // what the strip keeps. For the families with readers of their own it counts exactly the
    // bytes that go.
    const MetadataReport shown = inspectMetadata(QFile::encodeName(out).toStdString());
    EXPECT_TRUE(shown.readable);
    EXPECT_EQ(reportLines(shown), std::vector<std::string>()) << "--show on the output";
    EXPECT_EQ(shown.metadataBytes, 0);
    const std::vector<std::string> kept =
        c.kept ? std::vector<std::string>{c.kept} : std::vector<std::string>();
    EXPECT_EQ(keptLines(shown), kept);
    const MetadataReport input = inspectMetadata(QFile::encodeName(in).toStdString());
    EXPECT_EQ(keptLines(input), kept);
    EXPECT_NE(input.carriesNothing(), c.tagged);
    if (audiofile::rewriteFamilyFor(c.type)) {
        EXPECT_EQ(input.metadataBytes, QFileInfo(in).size() - QFileInfo(out).size());
    }
}

TEST_P(ServiceRoundTrip, GivesSameTypeSamePacketsAndNoTags)
{
    roundTrip(GetParam());
}

std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    std::string name = info.param.file;
    for (char& ch : name)
        ch = std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(EveryWritableType, ServiceRoundTrip, ::testing::ValuesIn(kCases),
                         caseName);

// The MP4 family once more through libavformat's demuxer and muxer, which read and write what
// the service's own MP4 reader leaves to them (fragmented files, other codecs, damaged tables).
class LibavformatMp4RoundTrip : public ServiceRoundTrip {
protected:
    void SetUp() override
    {
        ServiceRoundTrip::SetUp();
        throughLibavformat = true;
        audiofile::setMp4ThroughLibavformat(true);
    }
    void TearDown() override { audiofile::setMp4ThroughLibavformat(false); }
};

TEST_P(LibavformatMp4RoundTrip, GivesSameTypeSamePacketsAndNoTags)
{
    roundTrip(GetParam());
}

std::vector<Case> mp4Cases()
{
    std::vector<Case> cases;
    for (const Case& c : kCases)
        if (isMp4Family(c.type))
            cases.push_back(c);
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Mp4Family, LibavformatMp4RoundTrip, ::testing::ValuesIn(mp4Cases()),
                         caseName);

// An MP3 of many read windows: every frame reaches the copy, across the windows' edges.
TEST_F(RoundTrip, LongMp3KeepsEveryFrame)
{
    const QString in = largeTagged(folderAt("media"));
    ASSERT_FALSE(in.isEmpty()) << "ffmpeg could not make the test file";
    const QString out = tempPath("long.mp3");
    const CopyResult r = copyThroughService(in, out);
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(r.delivered, r.packets);
    const QStringList expected = digest(in, true).packetHashes;
    EXPECT_GT(expected.size(), 10000);
    EXPECT_EQ(digest(out, true).packetHashes, expected);
}

// A thread of its own, so that a hang fails the test (a std::async future would wait for it).
template <typename Work> std::future<std::invoke_result_t<Work>> detached(Work work)
{
    using Result = std::invoke_result_t<Work>;
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> result = promise->get_future();
    std::thread([promise, work = std::move(work)] { promise->set_value(work()); }).detach();
    return result;
}

// Not audio: refused, or nothing to read. Truncated audio: refused, or read to the end.
TEST_F(RoundTrip, BrokenInputGivesAStatusOrNothingMoreThanItHas)
{
    ASSERT_TRUE(QDir().mkpath(tempPath("x.wav")));
    const std::pair<QString, bool> cases[] = {
        {fixture("bad/empty.mp3"), false},         {fixture("bad/text.mp3"), false},
        {fixture("bad/random.flac"), false},       {tempPath("x.wav"), false},
        {fixture("bad/missing.mp3"), false},       {fixture("bad/truncated.mp3"), true},
        {fixture("bad/truncated.m4a"), true},      {fixture("bad/truncated.dsf"), false},
        {fixture("bad/truncated.wma"), false},     {fixture("bad/truncated.mka"), false},
        {fixture("bad/two_segments.webm"), false}, {fixture("bad/ogg_truncated.ogg"), false},
        {fixture("bad/truncated.dff"), false},     {fixture("bad/truncated.wv"), true}};
    for (const auto& [path, holdsAudio] : cases) {
        SCOPED_TRACE(path.toStdString());
        std::future<CopyResult> run = detached([p = path] { return reopen(p); });
        ASSERT_EQ(run.wait_for(std::chrono::seconds(20)), std::future_status::ready)
            << "no answer in 20 s";
        const CopyResult r = run.get();
        EXPECT_TRUE(!r.error.empty() || r.delivered == r.packets) << r.delivered << " delivered";
        EXPECT_TRUE(!r.error.empty() || holdsAudio || r.packets == 0) << r.packets << " packets";
        EXPECT_FALSE(r.handleFromFailedOpen) << "a failed open handed out a handle";
    }
}

} // namespace
} // namespace cleftone::test

int main(int argc, char** argv)
{
    // QProcess wants an application object; nothing here runs its event loop.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
