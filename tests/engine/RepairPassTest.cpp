#include "engine/RepairPass.h"

#include "CommitTestSupport.h"

#include "platform/SystemLog.h"

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
