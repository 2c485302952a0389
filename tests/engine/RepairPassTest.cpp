#include "engine/RepairPass.h"

#include "StripTestSupport.h"

#include "platform/SystemLog.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

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
        // Megabytes on both pipes must not stall the child, and all of standard error is kept.
        {"head -c 8000000 /dev/zero | tr '\\0' o; head -c 3000000 /dev/zero | tr '\\0' e >&2; exit "
         "3",
         {"mp3val exited non-zero: status=3 stderr=" + QString(3000000, 'e')}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script.constData());
        SystemLogCapture log;
        const RepairPassResult result = fakeTool(c.script).run(kOut, temp, AudioFileType::MP3);
        EXPECT_TRUE(result.ran && result.outputUsable);
        EXPECT_TRUE(log.lines() == c.lines) << log.lines().join('\n').left(200).toStdString();
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

} // namespace
} // namespace cleftone::test
