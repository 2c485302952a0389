// The audio-file service outside the happy path: broken input, its global tables, and
// creation it must refuse.

#include "RoundTrip.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
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

// Closes whatever was created, so that only the status is left to judge.
OSStatus create(const QString& path, AudioFileTypeID type,
                const AudioStreamBasicDescription& format, std::uint32_t flags)
{
    AudioFileID file = nullptr;
    const OSStatus status =
        service().AudioFileCreateWithURL(path.toStdString(), type, &format, flags, &file);
    if (file)
        service().AudioFileClose(file);
    return status;
}

// Not audio: refused, or nothing to read. Truncated audio: refused, or read to the end.
TEST_F(RoundTrip, BrokenInputGivesAStatusOrNothingMoreThanItHas)
{
    ASSERT_TRUE(QDir().mkpath(tempPath("x.wav")));
    const std::pair<QString, bool> cases[] = {
        {fixture("bad/empty.mp3"), false},   {fixture("bad/text.mp3"), false},
        {fixture("bad/random.flac"), false}, {tempPath("x.wav"), false},
        {fixture("bad/missing.mp3"), false}, {fixture("bad/truncated.mp3"), true},
        {fixture("bad/truncated.m4a"), true}};
    for (const auto& [path, holdsAudio] : cases) {
        SCOPED_TRACE(path.toStdString());
        std::future<CopyResult> run = detached([p = path] { return reopen(p); });
        ASSERT_EQ(run.wait_for(20s), std::future_status::ready) << "no answer in 20 s";
        const CopyResult r = run.get();
        EXPECT_TRUE(!r.error.empty() || r.delivered == r.packets) << r.delivered << " delivered";
        EXPECT_TRUE(!r.error.empty() || holdsAudio || r.packets == 0) << r.packets << " packets";
        EXPECT_FALSE(r.handleFromFailedOpen) << "a failed open handed out a handle";
    }
}

TEST_F(RoundTrip, CreationRefusesWhatTheContainerCannotCarryAndReplacesOnlyWhenAsked)
{
    const CopyResult m4a = reopen(fixture("m4a_aac_tags.m4a")),
                     opus = reopen(fixture("mp4_opus.mp4")), wav = reopen(fixture("wav_24bit.wav"));
    ASSERT_EQ(typeText(m4a.format.mFormatID), "aac ");
    EXPECT_NE(create(tempPath("aac.au"), AudioFileType::NeXT, m4a.format, 3), 0) << "AAC in AU";
    EXPECT_NE(create(tempPath("opus.caf"), AudioFileType::CAF, opus.format, 3), 0) << "Opus in CAF";
    EXPECT_NE(create(tempPath("zero.wav"), AudioFileType::WAVE, {}, 3), 0) << "no description";

    const QString path = tempPath("cleftone.Rk2pQ7");
    QFile existing(path);
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly) && existing.write("not yet audio") == 13);
    existing.close();
    EXPECT_NE(create(path, AudioFileType::WAVE, wav.format, kAudioFileFlags_DontPageAlignAudioData),
              0)
        << "created over an existing file without the erase flag";
    EXPECT_EQ(readAll(path), "not yet audio");
    ASSERT_EQ(create(path, AudioFileType::WAVE, wav.format, 3), 0);
    const CopyResult empty = reopen(path);
    EXPECT_EQ(empty.error, "") << "a file without packets must still be valid";
    EXPECT_EQ(typeText(empty.type), "WAVE");
    EXPECT_EQ(empty.packets, 0u);
}

// Every writable type is listed with its own code, and has its extension (one of the
// '|'-separated alternatives is enough) without a leading dot.
TEST(AudioFileGlobalInfo, WritableTypesAndTheirExtensions)
{
    std::uint32_t size = 0;
    ASSERT_EQ(
        service().AudioFileGetGlobalInfoSize(AudioFileGlobalInfo::WritableTypes, 0, nullptr, &size),
        0);
    std::vector<AudioFileTypeID> types(size / 4);
    ASSERT_EQ(service().AudioFileGetGlobalInfo(AudioFileGlobalInfo::WritableTypes, 0, nullptr,
                                               &size, types.data()),
              0);
    ASSERT_EQ(size, types.size() * 4);
    const std::pair<AudioFileTypeID, const char*> expected[] = {
        {fourCC("MPG3"), "mp3"},  {fourCC("MPG2"), "mp2"},  {fourCC("m4af"), "m4a"},
        {fourCC("m4bf"), "m4b"},  {fourCC("mp4f"), "mp4"},  {fourCC("3gpp"), "3gp"},
        {fourCC("3gp2"), "3g2"},  {fourCC("flac"), "flac"}, {fourCC("WAVE"), "wav"},
        {fourCC("RF64"), "rf64"}, {fourCC("W64f"), "w64"},  {fourCC("AIFF"), "aif|aiff"},
        {fourCC("AIFC"), "aifc"}, {fourCC("caff"), "caf"},  {fourCC("NeXT"), "au|snd"},
        {fourCC("adts"), "aac"},  {fourCC("ac-3"), "ac3"},  {fourCC("ec-3"), "ec3"},
        {fourCC("amrf"), "amr"},  {fourCC("Oggf"), "ogg"}};
    for (const auto& [type, alternatives] : expected) {
        SCOPED_TRACE(typeText(type));
        EXPECT_EQ(std::count(types.begin(), types.end(), type), 1) << "not listed as writable";
        AudioFileExtensionList* raw = nullptr;
        size = sizeof(raw);
        ASSERT_EQ(service().AudioFileGetGlobalInfo(AudioFileGlobalInfo::ExtensionsForType, 4, &type,
                                                   &size, &raw),
                  0);
        ASSERT_NE(raw, nullptr);
        const std::unique_ptr<AudioFileExtensionList> list(raw);
        bool found = false;
        for (const std::string& ext : *list) {
            EXPECT_FALSE(ext.empty() || ext[0] == '.') << "'" << ext << "'";
            found =
                found ||
                QString(alternatives).split('|').contains(QString::fromStdString(ext).toLower());
        }
        EXPECT_TRUE(found) << "lacks " << alternatives;
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
