#include "engine/RepairPass.h"

#include "CommitTestSupport.h"

#include "platform/SystemLog.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace cleftone::test {
namespace {

const QString kOut = "/o/s.mp3";

class RepairPassTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        tools = dir.filePath("bin");
        ASSERT_TRUE(QDir().mkpath(tools));
        temp = dir.filePath("cleftone.Tmp123");
        writeFile(temp, "frames", 0644);
    }

    // A stand-in for mp3val: a script that gets the same arguments.
    MP3RepairPass fakeTool(const QByteArray& body)
    {
        writeFile(tools + "/mp3val", "#!/bin/sh\n" + body + "\n", 0755);
        return MP3RepairPass(tools);
    }

    QTemporaryDir dir;
    QString tools;
    QString temp;
};

TEST(RepairPassAppliesTo, OnlyMP3OutputThatIsMP3Audio)
{
    EXPECT_TRUE(MP3RepairPass::appliesTo("/a/SONG.MP3", AudioFileType::MP3));
    EXPECT_TRUE(MP3RepairPass::appliesTo("/a/b.c.Mp3", AudioFileType::MP3));
    EXPECT_FALSE(MP3RepairPass::appliesTo("/a/song.mp2", AudioFileType::MP2));
    EXPECT_FALSE(MP3RepairPass::appliesTo("/a/song.m4a", AudioFileType::M4A));
    EXPECT_FALSE(MP3RepairPass::appliesTo("/a/wave.mp3", AudioFileType::WAVE));
    EXPECT_FALSE(MP3RepairPass::appliesTo("/a.mp3/song", AudioFileType::MP3));
}

TEST_F(RepairPassTest, RealToolKeepsGoodMP3AndRebuildsDamagedOneAtTheSamePath)
{
    const MP3RepairPass pass;
    if (!QFileInfo(pass.programPath()).isExecutable())
        GTEST_SKIP() << "no mp3val beside the test executable";
    const QByteArray good = readAll(CLEFTONE_TEST_DATA_DIR "/audio/ref/mp3_cbr_info.mp3");
    ASSERT_FALSE(good.isEmpty());
    SystemLogCapture log;

    writeFile(temp, good, 0640);
    const auto before = statOf(temp);
    RepairPassResult result = pass.run(kOut, temp, AudioFileType::MP3);
    EXPECT_TRUE(result.ran && result.outputUsable);
    EXPECT_EQ(readAll(temp), good);
    EXPECT_EQ(statOf(temp)->st_ino, before->st_ino) << "a sound file is left alone";

    // A frame cut short in the middle: rebuilt into a new file (inode) at the same path, with
    // the mode kept and no backup left.
    writeFile(temp, good.left(4000) + good.mid(4200), 0640);
    const auto damaged = statOf(temp);
    result = pass.run(kOut, temp, AudioFileType::MP3);
    EXPECT_TRUE(result.ran && result.outputUsable);
    const auto repaired = statOf(temp);
    EXPECT_LT(repaired->st_size, damaged->st_size);
    EXPECT_NE(repaired->st_ino, damaged->st_ino);
    EXPECT_EQ(repaired->st_mode & 0777, 0640u);
    EXPECT_FALSE(exists(temp + ".bak"));

    // A WAV file named .mp3 is emptied by the tool, and still it exits with 0.
    writeFile(temp, readAll(CLEFTONE_TEST_DATA_DIR "/audio/bad/wav_named.mp3"));
    EXPECT_FALSE(pass.run(kOut, temp, AudioFileType::MP3).outputUsable);
    EXPECT_EQ(statOf(temp)->st_size, 0);
    EXPECT_EQ(log.lines(), QStringList());
}

TEST_F(RepairPassTest, OutcomesOfTheToolGoToTheSystemLogOnly)
{
    const struct {
        QByteArray script;
        QStringList lines;
    } cases[] = {
        {"exit 1", {"mp3val exited non-zero: status=1 stderr=(empty)"}},
        {"echo 'just chatter' >&2; exit 0", {}},
        {"echo dying >&2; kill -9 $$", {"mp3val killed by signal: status=9 stderr=dying\n"}},
        {"printf 'bad \\377 utf8' >&2; exit 2",
         {"mp3val exited non-zero: status=2 stderr=(empty)"}},
        {"printf 'caf\\303\\251' >&2; exit 255",
         {"mp3val exited non-zero: status=255 stderr=café"}},
        // Killed between moving our file aside and putting the rebuilt one in its place: our
        // own output comes back from the backup name.
        {R"(mv "$4" "$4.bak"; kill -9 $$)", {"mp3val killed by signal: status=9 stderr=(empty)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script.constData());
        SystemLogCapture log;
        const RepairPassResult result = fakeTool(c.script).run(kOut, temp, AudioFileType::MP3);
        EXPECT_TRUE(result.ran && result.outputUsable);
        EXPECT_EQ(log.lines(), c.lines);
        EXPECT_EQ(readAll(temp), "frames");
        EXPECT_FALSE(exists(temp + ".bak"));
    }

    // The arguments, each one whole, and nothing from a shell in between.
    const QString odd = dir.filePath("it's a \"song\" $HOME;*.mp3");
    writeFile(odd, "frames");
    fakeTool(R"(printf '%s\n' "$@" > ")" + QFile::encodeName(tools) + R"(/args")")
        .run(odd, odd, AudioFileType::MP3);
    EXPECT_EQ(readAll(tools + "/args"), "-f\n-nb\n-si\n" + odd.toUtf8() + "\n");
}

TEST_F(RepairPassTest, MegabytesOnBothPipesDoNotStallTheChild)
{
    const MP3RepairPass pass = fakeTool("head -c 8000000 /dev/zero | tr '\\0' o\n"
                                        "head -c 3000000 /dev/zero | tr '\\0' e >&2\n"
                                        "exit 3");
    SystemLogCapture log;
    auto run =
        std::async(std::launch::async, [&] { return pass.run(kOut, temp, AudioFileType::MP3); });
    ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the repair pass hangs on a talkative child";
    EXPECT_TRUE(run.get().ran);
    ASSERT_EQ(log.lines().size(), 1);
    const QString prefix = "mp3val exited non-zero: status=3 stderr=";
    EXPECT_TRUE(log.lines()[0].startsWith(prefix));
    EXPECT_EQ(log.lines()[0].size(), prefix.size() + 3000000) << "the whole of standard error";
}

} // namespace
} // namespace cleftone::test
