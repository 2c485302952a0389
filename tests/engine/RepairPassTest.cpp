#include "engine/RepairPass.h"

#include "CommitTestSupport.h"

#include "platform/SystemLog.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace cleftone {
namespace {

using test::exists;
using test::readAll;
using test::writeFile;

class RepairPassTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        tools = dir.path() + QStringLiteral("/bin");
        ASSERT_TRUE(QDir().mkpath(tools));
        temp = dir.path() + QStringLiteral("/cleftone.Tmp123");
        writeFile(temp, "frames", 0644);
    }

    // A stand-in for mp3val: a script that gets the same arguments.
    MP3RepairPass fakeTool(const QByteArray& body)
    {
        writeFile(tools + QStringLiteral("/mp3val"), "#!/bin/sh\n" + body + "\n", 0755);
        return MP3RepairPass(tools);
    }

    // A real MP3 made by ffmpeg and lame; empty when they are missing.
    QString makeMP3()
    {
        const QString wav = dir.path() + QStringLiteral("/tone.wav");
        const QString mp3 = dir.path() + QStringLiteral("/tone.mp3");
        if (QStandardPaths::findExecutable(QStringLiteral("lame")).isEmpty() ||
            !test::runTool(QStringLiteral("ffmpeg"),
                           {"-v", "error", "-y", "-f", "lavfi", "-i",
                            "sine=frequency=440:duration=1", "-ar", "44100", "-ac", "2", wav}) ||
            !test::runTool(QStringLiteral("lame"), {"--quiet", "-b", "128", wav, mp3}))
            return QString();
        return mp3;
    }

    QTemporaryDir dir;
    QString tools;
    QString temp;
};

TEST_F(RepairPassTest, RunsOnlyForMP3OutputThatIsMP3Audio)
{
    EXPECT_TRUE(MP3RepairPass::appliesTo(QStringLiteral("/a/SONG.MP3"), AudioFileType::MP3));
    EXPECT_TRUE(MP3RepairPass::appliesTo(QStringLiteral("/a/b.c.Mp3"), AudioFileType::MP3));
    EXPECT_FALSE(MP3RepairPass::appliesTo(QStringLiteral("/a/song.mp2"), AudioFileType::MP2));
    EXPECT_FALSE(MP3RepairPass::appliesTo(QStringLiteral("/a/song.m4a"), AudioFileType::M4A));
    EXPECT_FALSE(MP3RepairPass::appliesTo(QStringLiteral("/a/wave.mp3"), AudioFileType::WAVE));
    EXPECT_FALSE(MP3RepairPass::appliesTo(QStringLiteral("/a.mp3/song"), AudioFileType::MP3));

    // Skipped means not started at all: this stand-in would empty the file.
    const MP3RepairPass pass = fakeTool(R"(: > "$4")");
    SystemLogCapture log;
    EXPECT_FALSE(pass.run(QStringLiteral("/out/song.m4a"), temp, AudioFileType::M4A).ran);
    EXPECT_FALSE(pass.run(QStringLiteral("/out/song.mp3"), temp, AudioFileType::WAVE).ran);
    EXPECT_EQ(readAll(temp), "frames");
    const RepairPassResult result =
        pass.run(QStringLiteral("/out/SONG.MP3"), temp, AudioFileType::MP3);
    EXPECT_TRUE(result.ran);
    EXPECT_FALSE(result.outputUsable) << "an emptied file is no file to commit";
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(RepairPassTest, RealToolKeepsGoodMP3AndRebuildsDamagedOneAtTheSamePath)
{
    const MP3RepairPass pass;
    if (!QFileInfo(pass.programPath()).isExecutable())
        GTEST_SKIP() << "no mp3val beside the test executable";
    const QString mp3 = makeMP3();
    if (mp3.isEmpty())
        GTEST_SKIP() << "ffmpeg or lame missing";
    const QByteArray good = readAll(mp3);
    SystemLogCapture log;

    writeFile(temp, good, 0640);
    const auto before = test::statOf(temp);
    RepairPassResult result = pass.run(QStringLiteral("/out/song.mp3"), temp, AudioFileType::MP3);
    EXPECT_TRUE(result.ran && result.outputUsable);
    EXPECT_EQ(readAll(temp), good);
    EXPECT_EQ(test::statOf(temp)->st_ino, before->st_ino) << "a sound file is left alone";

    // A frame cut short in the middle: rebuilt into a new file (inode) at the same path, with
    // the mode kept and no backup left.
    writeFile(temp, good.left(8000) + good.mid(8200), 0640);
    const auto damaged = test::statOf(temp);
    result = pass.run(QStringLiteral("/out/song.mp3"), temp, AudioFileType::MP3);
    EXPECT_TRUE(result.ran && result.outputUsable);
    const auto repaired = test::statOf(temp);
    EXPECT_LT(repaired->st_size, damaged->st_size);
    EXPECT_NE(repaired->st_ino, damaged->st_ino);
    EXPECT_EQ(repaired->st_mode & 0777, 0640u);
    EXPECT_FALSE(exists(temp + QStringLiteral(".bak")));

    // A WAV file named .mp3 is emptied by the tool, and still it exits with 0.
    writeFile(temp, readAll(dir.path() + QStringLiteral("/tone.wav")), 0644);
    EXPECT_FALSE(pass.run(QStringLiteral("/out/wave.mp3"), temp, AudioFileType::MP3).outputUsable);
    EXPECT_EQ(test::statOf(temp)->st_size, 0);
    EXPECT_TRUE(log.lines().isEmpty());
}

TEST_F(RepairPassTest, OutcomesOfTheToolGoToTheSystemLogOnly)
{
    struct Case {
        QByteArray script;
        QStringList lines;
    };
    const QList<Case> cases = {
        {"exit 1", {QStringLiteral("mp3val exited non-zero: status=1 stderr=(empty)")}},
        {"echo 'just chatter' >&2; exit 0", {}},
        {"echo dying >&2; kill -9 $$",
         {QStringLiteral("mp3val killed by signal: status=9 stderr=dying\n")}},
        {"printf 'bad \\377 utf8' >&2; exit 2",
         {QStringLiteral("mp3val exited non-zero: status=2 stderr=(empty)")}},
        {"printf 'caf\\303\\251' >&2; exit 255",
         {QStringLiteral("mp3val exited non-zero: status=255 stderr=café")}},
    };
    for (const Case& c : cases) {
        SystemLogCapture log;
        const RepairPassResult result =
            fakeTool(c.script).run(QStringLiteral("/o/s.mp3"), temp, AudioFileType::MP3);
        EXPECT_TRUE(result.ran && result.outputUsable) << c.script.constData();
        EXPECT_EQ(log.lines(), c.lines) << c.script.constData();
    }

    // The arguments, each one whole, and nothing from a shell in between.
    const QString odd = dir.path() + QStringLiteral("/it's a \"song\" $HOME;*.mp3");
    writeFile(odd, "frames");
    fakeTool(R"(printf '%s\n' "$@" > ")" + QFile::encodeName(tools) + R"(/args")")
        .run(odd, odd, AudioFileType::MP3);
    EXPECT_EQ(readAll(tools + QStringLiteral("/args")), "-f\n-nb\n-si\n" + odd.toUtf8() + "\n");
}

TEST_F(RepairPassTest, MegabytesOnBothPipesDoNotStallTheChild)
{
    const MP3RepairPass pass = fakeTool("head -c 8000000 /dev/zero | tr '\\0' o\n"
                                        "head -c 3000000 /dev/zero | tr '\\0' e >&2\n"
                                        "exit 3");
    SystemLogCapture log;
    auto run = std::async(std::launch::async, [&] {
        return pass.run(QStringLiteral("/o/s.mp3"), temp, AudioFileType::MP3);
    });
    ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready)
        << "the repair pass hangs on a talkative child";
    EXPECT_TRUE(run.get().ran);
    ASSERT_EQ(log.lines().size(), 1);
    const QString prefix = QStringLiteral("mp3val exited non-zero: status=3 stderr=");
    EXPECT_TRUE(log.lines()[0].startsWith(prefix));
    EXPECT_EQ(log.lines()[0].size(), prefix.size() + 3000000) << "the whole of standard error";
}

TEST_F(RepairPassTest, MissingToolOrLostFile)
{
    {
        SystemLogCapture log;
        const RepairPassResult result =
            MP3RepairPass(dir.path() + QStringLiteral("/nowhere"))
                .run(QStringLiteral("/o/s.mp3"), temp, AudioFileType::MP3);
        EXPECT_FALSE(result.ran);
        EXPECT_TRUE(result.outputUsable);
        ASSERT_EQ(log.lines().size(), 1);
        EXPECT_TRUE(log.lines()[0].startsWith(QStringLiteral("mp3val launch failed: ")));
        EXPECT_GT(log.lines()[0].size(), 22);
        EXPECT_EQ(readAll(temp), "frames");
    }
    EXPECT_FALSE(fakeTool(R"(rm "$4")")
                     .run(QStringLiteral("/o/s.mp3"), temp, AudioFileType::MP3)
                     .outputUsable);

    // Killed between moving the file aside and putting the rebuilt one in its place: our own
    // output comes back from the backup name.
    writeFile(temp, "frames");
    SystemLogCapture log;
    const RepairPassResult result = fakeTool(R"(mv "$4" "$4.bak"; kill -9 $$)")
                                        .run(QStringLiteral("/o/s.mp3"), temp, AudioFileType::MP3);
    EXPECT_TRUE(result.outputUsable);
    EXPECT_EQ(readAll(temp), "frames");
    EXPECT_FALSE(exists(temp + QStringLiteral(".bak")));
    EXPECT_EQ(log.lines(),
              QStringList{QStringLiteral("mp3val killed by signal: status=9 stderr=(empty)")});
}

} // namespace
} // namespace cleftone
