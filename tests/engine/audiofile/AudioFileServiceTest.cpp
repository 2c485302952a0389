// The audio-file service outside the happy path: broken input, its global tables, creation
// it must refuse, and handles used from several threads at once.

#include "RoundTrip.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cctype>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <type_traits>

namespace cleftone::test {
namespace {

using namespace std::chrono_literals;

AudioFileService& service()
{
    return AudioFileService::system();
}

// What happens when the engine opens a file and reads all its packets.
struct Drained {
    OSStatus openStatus = 0;
    bool handleLeftNull = true;
    std::string failedCall; // the first call after the open that did not return 0
    AudioFileTypeID type = 0;
    std::uint64_t packets = 0;
    std::uint64_t delivered = 0;

    std::string describe() const
    {
        return "open " + statusText(openStatus) + ", type '" + typeText(type) + "', " +
               std::to_string(packets) + " packets, " + std::to_string(delivered) +
               " delivered, failed call: " + (failedCall.empty() ? "none" : failedCall);
    }
};

Drained drain(const std::string& path)
{
    Drained d;
    AudioFileID file = nullptr;
    d.openStatus = service().AudioFileOpenURL(path, kAudioFileReadPermission, 0, &file);
    if (d.openStatus) {
        d.handleLeftNull = file == nullptr;
        return d;
    }
    auto get = [&](AudioFilePropertyID id, const char* name, void* value, std::uint32_t size) {
        if (!d.failedCall.empty())
            return;
        if (OSStatus st = service().AudioFileGetProperty(file, id, &size, value))
            d.failedCall = std::string(name) + " " + statusText(st);
    };
    AudioStreamBasicDescription format{};
    std::uint32_t maxPacket = 0;
    get(AudioFileProperty::FileFormat, "ffmt", &d.type, 4);
    get(AudioFileProperty::DataFormat, "dfmt", &format, 40);
    get(AudioFileProperty::AudioDataPacketCount, "pcnt", &d.packets, 8);
    get(AudioFileProperty::MaximumPacketSize, "psze", &maxPacket, 4);
    if (d.failedCall.empty() && d.packets > 0 && maxPacket > (16u << 20))
        d.failedCall = "psze claims " + std::to_string(maxPacket) + " bytes";
    if (d.failedCall.empty() && d.packets > 0 && maxPacket == 0)
        d.failedCall = "psze is 0";
    const std::uint64_t perBlock = maxPacket && maxPacket <= 32768 ? 32768 / maxPacket : 1;
    for (std::uint64_t done = 0; d.failedCall.empty() && done < d.packets;) {
        const auto asked = std::uint32_t(std::min(perBlock, d.packets - done));
        std::vector<char> buffer(std::size_t(maxPacket) * asked);
        std::vector<AudioStreamPacketDescription> descriptions(asked);
        std::uint32_t bytes = std::uint32_t(buffer.size()), count = asked;
        if (OSStatus st =
                service().AudioFileReadPacketData(file, false, &bytes, descriptions.data(),
                                                  std::int64_t(done), &count, buffer.data()))
            d.failedCall =
                "AudioFileReadPacketData at " + std::to_string(done) + " " + statusText(st);
        else
            d.delivered += count;
        done += asked;
    }
    service().AudioFileClose(file);
    return d;
}

// Starts `work` on a thread of its own, so that a hang fails the test instead of stalling the
// run (a std::async future would wait for it on destruction).
template <typename Work> std::future<std::invoke_result_t<Work>> detached(Work work)
{
    using Result = std::invoke_result_t<Work>;
    auto promise = std::make_shared<std::promise<Result>>();
    std::future<Result> result = promise->get_future();
    std::thread([promise, work = std::move(work)] { promise->set_value(work()); }).detach();
    return result;
}

std::optional<Drained> drainWithin(const QString& path, std::chrono::seconds limit = 20s)
{
    std::future<Drained> result = detached([p = path.toStdString()] { return drain(p); });
    if (result.wait_for(limit) != std::future_status::ready)
        return std::nullopt;
    return result.get();
}

class BadInput : public RoundTrip, public ::testing::WithParamInterface<const char*> {};

TEST_P(BadInput, GivesAStatusOrNothingToRead)
{
    QString path = fixture(GetParam());
    if (QString(GetParam()) == "x.wav") {
        path = tempPath("x.wav");
        ASSERT_TRUE(QDir().mkpath(path));
    }
    const std::optional<Drained> d = drainWithin(path);
    ASSERT_TRUE(d.has_value()) << "no answer within 20 s";
    EXPECT_TRUE(d->openStatus != 0 || !d->failedCall.empty() || d->packets == 0) << d->describe();
    EXPECT_TRUE(d->handleLeftNull) << "a failed open handed out a handle";
}

INSTANTIATE_TEST_SUITE_P(NotAudio, BadInput,
                         ::testing::Values("bad/empty.mp3", "bad/text.mp3", "bad/random.flac",
                                           "x.wav", "bad/no_such_file.mp3"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name;
                             for (const char* c = info.param; *c; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });

TEST_F(RoundTrip, TruncatedFileFailsOrReadsBackCompletely)
{
    for (const char* name : {"bad/truncated.mp3", "bad/truncated.m4a"}) {
        const std::optional<Drained> d = drainWithin(fixture(name));
        ASSERT_TRUE(d.has_value()) << name << ": no answer within 20 s";
        EXPECT_TRUE(d->openStatus != 0 || !d->failedCall.empty() || d->delivered == d->packets)
            << name << ": " << d->describe();
    }
}

TEST_F(RoundTrip, ContentDecidesTheTypeNotTheExtension)
{
    const struct {
        const char* file;
        const char* type;
    } cases[] = {{"bad/wav_named.mp3", "WAVE"}, {"bad/m4a_named.mp3", "m4af"}};
    for (const auto& c : cases) {
        EXPECT_EQ(typeText(reopen(fixture(c.file)).type), c.type) << c.file;
        QString out;
        ASSERT_EQ(copy(c.file, &out).error, "") << c.file;
        EXPECT_EQ(typeText(reopen(out).type), c.type) << c.file << " copied";
    }
}

// --- creation ------------------------------------------------------------------------------

TEST_F(RoundTrip, CreationRefusesStreamsTheContainerCannotCarry)
{
    const Reopened m4a = reopen(fixture("m4a_aac_tags.m4a"));
    ASSERT_EQ(m4a.status, 0);
    ASSERT_EQ(typeText(m4a.format.mFormatID), "aac ");
    AudioFileID file = nullptr;
    const OSStatus aacInCaf = service().AudioFileCreateWithURL(
        tempPath("aac.caf").toStdString(), AudioFileType::CAF, &m4a.format, 3, &file);
    EXPECT_NE(aacInCaf, 0) << "AAC into CAF";
    if (file)
        service().AudioFileClose(file);

    file = nullptr;
    const AudioStreamBasicDescription zero{};
    const OSStatus zeroWave = service().AudioFileCreateWithURL(
        tempPath("zero.wav").toStdString(), AudioFileType::WAVE, &zero, 3, &file);
    EXPECT_NE(zeroWave, 0) << "an all-zero stream description";
    if (file)
        service().AudioFileClose(file);
}

TEST_F(RoundTrip, CreationReplacesAnExistingFileOnlyWhenAskedTo)
{
    const Reopened wav = reopen(fixture("wav_24bit.wav"));
    ASSERT_EQ(wav.status, 0);
    const QString path = tempPath("cleftone.Rk2pQ7");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not yet audio");
    }
    AudioFileID file = nullptr;
    EXPECT_NE(service().AudioFileCreateWithURL(path.toStdString(), AudioFileType::WAVE, &wav.format,
                                               kAudioFileFlags_DontPageAlignAudioData, &file),
              0)
        << "created over an existing file without the erase flag";
    if (file)
        service().AudioFileClose(file);
    EXPECT_EQ(readAll(path), "not yet audio");

    file = nullptr;
    ASSERT_EQ(service().AudioFileCreateWithURL(path.toStdString(), AudioFileType::WAVE, &wav.format,
                                               3, &file),
              0);
    service().AudioFileClose(file);
    const Reopened empty = reopen(path);
    EXPECT_EQ(empty.status, 0) << "a file without packets must still be valid";
    EXPECT_EQ(typeText(empty.type), "WAVE");
    EXPECT_EQ(empty.packets, 0u);
}

// Handles are independent: copies on four threads give what one thread gives.
TEST_F(RoundTrip, HandlesOnDifferentThreadsDoNotInterfere)
{
    const char* names[] = {"mp3_all_tags.mp3", "flac_ape_id3v1_tail.flac", "m4a_aac_tags.m4a",
                           "wav_info_bext_id3.wav"};
    std::vector<QByteArray> alone;
    for (const char* name : names) {
        QString out;
        ASSERT_EQ(copy(name, &out).error, "") << name;
        alone.push_back(readAll(out));
    }
    std::vector<std::future<std::string>> runs;
    for (int i = 0; i < 4; ++i) {
        const QString in = fixture(names[i]), out = tempPath(QStringLiteral("thread%1").arg(i));
        runs.push_back(detached([in, out] { return copyThroughService(in, out).error; }));
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(runs[i].wait_for(60s), std::future_status::ready) << names[i];
        EXPECT_EQ(runs[i].get(), "") << names[i];
        EXPECT_TRUE(readAll(tempPath(QStringLiteral("thread%1").arg(i))) == alone[i]) << names[i];
    }
}

// --- global tables -------------------------------------------------------------------------

TEST(AudioFileGlobalInfo, WritableTypesListEveryContainer)
{
    std::uint32_t size = 0;
    ASSERT_EQ(
        service().AudioFileGetGlobalInfoSize(AudioFileGlobalInfo::WritableTypes, 0, nullptr, &size),
        0);
    ASSERT_EQ(size % 4, 0u);
    std::vector<AudioFileTypeID> types(size / 4);
    ASSERT_EQ(service().AudioFileGetGlobalInfo(AudioFileGlobalInfo::WritableTypes, 0, nullptr,
                                               &size, types.data()),
              0);
    ASSERT_EQ(size, types.size() * 4);
    std::set<std::string> listed;
    for (AudioFileTypeID t : types)
        listed.insert(typeText(t));
    for (const char* want :
         {"AIFF", "AIFC", "WAVE", "RF64", "W64f", "NeXT", "caff", "m4af", "m4bf", "mp4f",
          "3gpp", "3gp2", "adts", "ac-3", "ec-3", "amrf", "flac", "MPG3", "MPG2", "Oggf"})
        EXPECT_EQ(listed.count(want), 1u) << want << " is not listed as writable";
}

TEST(AudioFileGlobalInfo, ExtensionsCoverEachType)
{
    // Alternatives are separated by '|': one of them is enough.
    const std::vector<std::pair<AudioFileTypeID, std::vector<std::string>>> expected = {
        {AudioFileType::MP3, {"mp3"}},      {AudioFileType::MP2, {"mp2"}},
        {AudioFileType::M4A, {"m4a"}},      {AudioFileType::M4B, {"m4b"}},
        {AudioFileType::MPEG4, {"mp4"}},    {AudioFileType::ThreeGP, {"3gp"}},
        {AudioFileType::ThreeGP2, {"3g2"}}, {AudioFileType::FLAC, {"flac"}},
        {AudioFileType::WAVE, {"wav"}},     {AudioFileType::RF64, {"rf64"}},
        {AudioFileType::Wave64, {"w64"}},   {AudioFileType::AIFF, {"aif|aiff"}},
        {AudioFileType::AIFC, {"aifc"}},    {AudioFileType::CAF, {"caf"}},
        {AudioFileType::NeXT, {"au|snd"}},  {AudioFileType::AAC_ADTS, {"aac"}},
        {AudioFileType::AC3, {"ac3"}},      {AudioFileType::EAC3, {"ec3"}},
        {AudioFileType::AMR, {"amr"}},      {AudioFileType::Ogg, {"ogg"}},
    };
    for (const auto& [type, wanted] : expected) {
        AudioFileExtensionList* raw = nullptr;
        std::uint32_t size = sizeof(raw);
        const std::uint32_t spec = type;
        ASSERT_EQ(service().AudioFileGetGlobalInfo(AudioFileGlobalInfo::ExtensionsForType, 4, &spec,
                                                   &size, &raw),
                  0)
            << typeText(type);
        ASSERT_NE(raw, nullptr) << typeText(type);
        const std::unique_ptr<AudioFileExtensionList> list(raw);
        std::set<std::string> lower;
        for (const std::string& ext : *list) {
            EXPECT_FALSE(ext.empty() || ext[0] == '.') << typeText(type) << ": '" << ext << "'";
            lower.insert(QString::fromStdString(ext).toLower().toStdString());
        }
        for (const std::string& alternatives : wanted) {
            bool found = false;
            for (const QString& ext : QString::fromStdString(alternatives).split('|'))
                found = found || lower.count(ext.toStdString());
            EXPECT_TRUE(found) << typeText(type) << " lacks " << alternatives;
        }
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
