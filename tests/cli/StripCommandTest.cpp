// cleftone-strip run as a child process on real files: arguments and exit status, folder
// expansion and screening, output folder, failures, quiet mode, Ctrl-C and a killed run.

#include "audiofile/RoundTrip.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& list, std::ostream* os)
{
    *os << "[";
    for (const QString& text : list)
        *os << "\n  \"" << text.toStdString() << '"';
    *os << "]";
}

namespace cleftone::test {
namespace {

struct StripRun {
    bool finished = false;
    int exitCode = -1;
    QString out;
    QString err;

    QStringList outLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QStringList errLines() const { return err.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QStringList errorLogLines() const
    {
        return errLines().filter(QRegularExpression(QStringLiteral("^Cleftone Failed To Strip")));
    }
};

QString problemsOf(const QJsonObject& report)
{
    QStringList problems;
    for (const QJsonValue& problem : report.value(QLatin1String("output"))
                                         .toObject()
                                         .value(QLatin1String("problems"))
                                         .toArray())
        problems << problem.toString();
    return problems.join(QLatin1Char('\n'));
}

int videoStreams(const QJsonObject& probe)
{
    int count = 0;
    for (const QJsonValue& stream : probe.value(QLatin1String("streams")).toArray())
        count += stream.toObject().value(QLatin1String("codec_type")).toString() ==
                 QLatin1String("video");
    return count;
}

class StripCommandTest : public RoundTrip {
protected:
    void SetUp() override
    {
        RoundTrip::SetUp();
        // The tool's leftover journal goes here, not into the user's state folder.
        state = tempPath(QStringLiteral("state"));
        QDir().mkpath(state);
        // And its temporary folder is one the test can look into.
        tmpdir = tempPath(QStringLiteral("tmpdir"));
        QDir().mkpath(tmpdir);
    }

    QString journal() const { return state + QStringLiteral("/cleftone/leftovers"); }

    QString folderAt(const QString& relative)
    {
        const QString path = tempPath(relative);
        QDir().mkpath(path);
        return path;
    }

    QString place(const QString& fixtureName, const QString& path)
    {
        QDir().mkpath(QFileInfo(path).path());
        EXPECT_TRUE(QFile::copy(fixture(fixtureName), path)) << path.toStdString();
        ::chmod(QFile::encodeName(path).constData(), 0644);
        return path;
    }

    /// `ownGroup`: in a process group of its own, as a terminal's foreground job is.
    QProcess* start(const QStringList& arguments, bool ownGroup = false)
    {
        auto* process = new QProcess;
        if (ownGroup)
            process->setChildProcessModifier([] { ::setpgid(0, 0); });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_STATE_HOME"), state);
        environment.insert(QStringLiteral("TMPDIR"), tmpdir);
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(tmp.path());
        process->start(QStringLiteral(CLEFTONE_STRIP_EXECUTABLE), arguments);
        return process;
    }

    static StripRun finish(QProcess* process, int timeoutMs = 60000)
    {
        StripRun run;
        run.finished = process->waitForFinished(timeoutMs);
        if (!run.finished) {
            process->kill();
            process->waitForFinished(5000);
        }
        run.exitCode = process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
        run.out = QString::fromLocal8Bit(process->readAllStandardOutput());
        run.err = QString::fromLocal8Bit(process->readAllStandardError());
        delete process;
        return run;
    }

    StripRun strip(const QStringList& arguments) { return finish(start(arguments)); }

    static QStringList temporaryItemsIn(const QString& folder)
    {
        return QDir(folder).entryList(QStringList{"cleftone.*", ".cleftone-replace-*", "*_NoTag*"},
                                      QDir::AllEntries | QDir::Hidden | QDir::System);
    }

    QString state;
    QString tmpdir;
};

TEST_F(StripCommandTest, ArgumentsDecideTheExitStatus)
{
    const QString song =
        place(QStringLiteral("mp3_id3v1.mp3"), tempPath(QStringLiteral("song.mp3")));
    const QByteArray bytes = readAll(song);
    const QString notAFolder = tempPath(QStringLiteral("file"));
    place(QStringLiteral("bad/text.mp3"), notAFolder);

    const StripRun help = strip({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* option : {"--output-dir", "--include-video", "--quiet", "PATH..."})
        EXPECT_TRUE(help.out.contains(QLatin1String(option))) << option;
    EXPECT_EQ(strip({"--help-all"}).exitCode, 0);
    const StripRun version = strip({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^cleftone-strip \\d+\\.\\d+\\.\\d+\\n$"))
                    .match(version.out)
                    .hasMatch())
        << version.out.toStdString();

    const struct {
        QStringList arguments;
        const char* says;
    } usageErrors[] = {
        {{}, "no files or folders given"},
        {{"--bogus", song}, "Unknown option 'bogus'"},
        {{"--output-dir", tempPath(QStringLiteral("missing")), song},
         "the output folder does not exist"},
        {{"--output-dir", notAFolder, song}, "the output folder does not exist"},
        {{song, "--output-dir"}, "Missing value after '--output-dir'"},
    };
    for (const auto& usage : usageErrors) {
        SCOPED_TRACE(usage.arguments.join(QLatin1Char(' ')).toStdString());
        const StripRun run = strip(usage.arguments);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.err.contains(QLatin1String(usage.says))) << run.err.toStdString();
        EXPECT_EQ(readAll(song), bytes);
    }
    EXPECT_EQ(temporaryItemsIn(tmp.path()), QStringList());
}

TEST_F(StripCommandTest, FoldersAreSearchedByExtensionWithoutFollowingLinks)
{
    const QString library = folderAt(QStringLiteral("library"));
    // Fixture, and where it goes.
    const std::vector<std::pair<QString, QString>> audio{
        {"mp3_id3v23_apic.mp3", library + QStringLiteral("/LOUD.MP3")},
        {"flac_tags.flac", library + QStringLiteral("/b.Flac")},
        {"wav_info_bext_id3.wav", library + QStringLiteral("/.hidden.wav")},
        {"m4a_aac_tags.m4a", library + QStringLiteral("/.box/cover.m4a")},
        {"aiff_chunks_id3.aiff", library + QStringLiteral("/sub/deep/d.aiff")},
    };
    for (const auto& [fixtureName, path] : audio)
        place(fixtureName, path);
    const QString cover = audio[3].second;
    const QString notes = library + QStringLiteral("/notes.txt");
    place(QStringLiteral("bad/text.mp3"), notes);
    const QString movie =
        place(QStringLiteral("mp4_aac_video.mp4"), library + QStringLiteral("/movie.mp4"));
    const QString outside =
        place(QStringLiteral("wav_24bit.wav"), tempPath(QStringLiteral("outside/e.wav")));
    ASSERT_TRUE(QFile::link(QFileInfo(outside).path(), library + QStringLiteral("/linked")));
    const QString readme = tempPath(QStringLiteral("readme.txt"));
    place(QStringLiteral("bad/text.mp3"), readme);
    ASSERT_EQ(videoStreams(probe(cover)), 1) << "the M4A fixture should carry cover art";

    const StripRun run = strip({library, readme});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    QStringList stripped = run.outLines().filter(QRegularExpression(QStringLiteral("^Stripped /")));
    stripped.sort();
    QStringList expected;
    for (const auto& [fixtureName, path] : audio)
        expected << QStringLiteral("Stripped ") + path;
    expected.sort();
    EXPECT_EQ(stripped, expected);
    EXPECT_EQ(run.outLines().last(), QStringLiteral("Stripped 5 of 5 files."));
    EXPECT_EQ(run.errLines(),
              (QStringList{QStringLiteral("Skipping video file (use --include-video to keep only "
                                          "its audio): ") +
                               movie,
                           QStringLiteral("Skipping, not a supported audio file: ") + readme}))
        << "in the order given";

    for (const auto& [fixtureName, path] : audio)
        EXPECT_EQ(problemsOf(inspect(fixture(fixtureName), path)), QString()) << path.toStdString();
    EXPECT_EQ(videoStreams(probe(cover)), 0) << "the cover art went with the tags";
    EXPECT_EQ(readAll(movie), readAll(fixture(QStringLiteral("mp4_aac_video.mp4"))));
    EXPECT_EQ(readAll(outside), readAll(fixture(QStringLiteral("wav_24bit.wav"))));
    EXPECT_EQ(readAll(notes), readAll(fixture(QStringLiteral("bad/text.mp3"))));
}

TEST_F(StripCommandTest, IncludedVideoIsStrippedToItsAudio)
{
    const QString movie =
        place(QStringLiteral("mp4_aac_video.mp4"), tempPath(QStringLiteral("movie.mp4")));
    const QStringList audioPackets = digest(movie).packetHashes;
    ASSERT_EQ(videoStreams(probe(movie)), 1);

    const StripRun run = strip({"--include-video", movie});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.err, QString());
    const QJsonObject after = probe(movie);
    EXPECT_EQ(after.value(QLatin1String("streams")).toArray().size(), 1);
    EXPECT_FALSE(firstAudioStream(after).isEmpty());
    EXPECT_EQ(digest(movie).packetHashes, audioPackets);
}

TEST_F(StripCommandTest, EachFailureIsOneLineOnStandardErrorAndTheExitStatusIsOne)
{
    const QString folder = folderAt(QStringLiteral("music"));
    const QString good =
        place(QStringLiteral("flac_tags.flac"), folder + QStringLiteral("/good.flac"));
    const QString text =
        place(QStringLiteral("bad/text.mp3"), folder + QStringLiteral("/text.mp3"));
    const QString empty =
        place(QStringLiteral("bad/empty.mp3"), folder + QStringLiteral("/empty.mp3"));
    const QString missing = folder + QStringLiteral("/missing.wav");

    for (const bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "--quiet" : "");
        QStringList arguments{good, text, empty, missing};
        if (quiet)
            arguments.prepend(QStringLiteral("--quiet"));
        const StripRun run = strip(arguments);
        EXPECT_EQ(run.exitCode, 1);
        const QString format = QStringLiteral("Core Audio cannot write this audio format (0).");
        EXPECT_EQ(run.errLines(),
                  (QStringList{
                      "Cleftone Failed To Strip File: text.mp3.  Error:" + format,
                      "Cleftone Failed To Strip File: empty.mp3.  Error:" + format,
                      "Cleftone Failed To Strip File: missing.wav.  Error:" + format,
                      "Stripped 1 of 4 files; 3 failed.",
                  }));
        EXPECT_EQ(run.outLines(),
                  quiet ? QStringList() : QStringList{QStringLiteral("Stripped ") + good});
        EXPECT_EQ(readAll(text), readAll(fixture(QStringLiteral("bad/text.mp3"))));
        EXPECT_TRUE(readAll(empty).isEmpty());
        EXPECT_FALSE(QFileInfo::exists(missing));
        EXPECT_EQ(temporaryItemsIn(folder), QStringList());
    }
}

TEST_F(StripCommandTest, OutputFolderGetsStrippedCopiesAndInputsStayAsTheyWere)
{
    const QString first =
        place(QStringLiteral("mp3_all_tags.mp3"), tempPath(QStringLiteral("in/a.mp3")));
    const QString second =
        place(QStringLiteral("m4a_aac_tags.m4a"), tempPath(QStringLiteral("in/nested/b.m4a")));
    const QString out = folderAt(QStringLiteral("out"));
    QFile older(out + QStringLiteral("/b.m4a"));
    ASSERT_TRUE(older.open(QIODevice::WriteOnly));
    older.write("an older b.m4a");
    older.close();

    // Relative paths are taken against the working directory.
    const StripRun run = strip({"--output-dir", "out", "in"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(readAll(first), readAll(fixture(QStringLiteral("mp3_all_tags.mp3"))));
    EXPECT_EQ(readAll(second), readAll(fixture(QStringLiteral("m4a_aac_tags.m4a"))));
    EXPECT_EQ(QDir(out).entryList(QDir::Files | QDir::Hidden), (QStringList{"a.mp3", "b.m4a"}))
        << "the folder structure is not copied";
    EXPECT_EQ(problemsOf(inspect(first, out + QStringLiteral("/a.mp3"))), QString());
    EXPECT_EQ(problemsOf(inspect(second, out + QStringLiteral("/b.m4a"))), QString());
    EXPECT_EQ(digest(out + QStringLiteral("/b.m4a")).packetHashes, digest(second).packetHashes);
}

TEST_F(StripCommandTest, TwoFilesOfOneNameNeverOverwriteEachOthersCopy)
{
    const QString first =
        place(QStringLiteral("mp3_id3v1.mp3"), tempPath(QStringLiteral("in/a/song.mp3")));
    const QString second =
        place(QStringLiteral("mp3_all_tags.mp3"), tempPath(QStringLiteral("in/b/song.mp3")));
    const QString out = folderAt(QStringLiteral("out"));

    const StripRun run = strip({"--output-dir", out, first, second});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains(QStringLiteral("Cleftone Failed To Strip File: song.mp3.  "
                                                "Error:Another file named")))
        << run.err.toStdString();
    // The first one named is written; the second is refused and stays as it was.
    EXPECT_EQ(digest(out + QStringLiteral("/song.mp3")).packetHashes, digest(first).packetHashes);
    EXPECT_EQ(readAll(second), readAll(fixture(QStringLiteral("mp3_all_tags.mp3"))));
}

TEST_F(StripCommandTest, InPlaceStripOfALinkStripsTheFileAndKeepsTheLink)
{
    const QString song =
        place(QStringLiteral("mp3_id3v1.mp3"), tempPath(QStringLiteral("music/song.mp3")));
    const QString link = tempPath(QStringLiteral("music/link.mp3"));
    ASSERT_EQ(::symlink("song.mp3", QFile::encodeName(link).constData()), 0);

    const StripRun run = strip({link});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(problemsOf(inspect(fixture(QStringLiteral("mp3_id3v1.mp3")), song)), QString());
}

TEST_F(StripCommandTest, QuietRunPrintsNothingWhenEveryFileIsStripped)
{
    const QString song =
        place(QStringLiteral("mp3_id3v1.mp3"), tempPath(QStringLiteral("song.mp3")));
    const StripRun run = strip({"--quiet", song});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, QString());
    EXPECT_EQ(run.err, QString());
    EXPECT_NE(readAll(song), readAll(fixture(QStringLiteral("mp3_id3v1.mp3"))));
}

TEST_F(StripCommandTest, InterruptStopsTheRunningFileAndLeavesTheRestUntouched)
{
    const QString large = largeTaggedMP3(folderAt(QStringLiteral("media")));
    ASSERT_FALSE(large.isEmpty()) << "ffmpeg could not make the test file";
    const QByteArray original = readAll(large);
    const QString referencePath = tempPath(QStringLiteral("reference.mp3"));
    ASSERT_TRUE(QFile::copy(large, referencePath));
    ASSERT_EQ(strip({"--quiet", referencePath}).exitCode, 0);
    const QByteArray stripped = readAll(referencePath);
    ASSERT_NE(stripped, original);

    const QString folder = folderAt(QStringLiteral("music"));
    QStringList files;
    for (int i = 1; i <= 6; ++i) {
        files << folder + QStringLiteral("/song%1.mp3").arg(i);
        ASSERT_TRUE(QFile::copy(large, files.last()));
    }
    QProcess* process = start(files, true);
    ASSERT_TRUE(process->waitForStarted(10000));
    // Interrupt once the first file is done, while the second runs. Like Ctrl-C in a terminal,
    // the signal goes to the whole group, mp3val included when it runs.
    QDeadlineTimer deadline(60000);
    while (!process->canReadLine() && !deadline.hasExpired())
        process->waitForReadyRead(100);
    const QString first = QString::fromLocal8Bit(process->readLine()).trimmed();
    ::kill(-pid_t(process->processId()), SIGINT);
    const StripRun run = finish(process);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(first, QStringLiteral("Stripped ") + files[0]);

    EXPECT_EQ(run.exitCode, 1);
    // The files stripped are those reported, in order; every other file is untouched.
    const QStringList reported = QStringList{first} + run.outLines();
    qsizetype done = 0;
    while (done < files.size() && readAll(files[done]) == stripped)
        ++done;
    EXPECT_GE(done, 1);
    EXPECT_LT(done, files.size()) << "the run ended before the interrupt";
    for (qsizetype i = done; i < files.size(); ++i)
        EXPECT_TRUE(readAll(files[i]) == original) << files[i].toStdString() << " is neither";
    QStringList expected;
    for (qsizetype i = 0; i < done; ++i)
        expected << QStringLiteral("Stripped ") + files[i];
    EXPECT_EQ(reported, expected);
    // Diagnostics ("cleftone: mp3val killed by signal…") may come before the summary.
    EXPECT_EQ(run.errLines().filter(QRegularExpression(QStringLiteral("^(?!cleftone: )"))),
              QStringList{QStringLiteral("Stripped %1 of 6 files; cancelled.").arg(done)});
    EXPECT_EQ(temporaryItemsIn(folder), QStringList());
    EXPECT_EQ(QDir(journal()).entryList(QDir::Files), QStringList());
}

TEST_F(StripCommandTest, NextRunRemovesWhatAKilledRunLeftBehind)
{
    const QString large = largeTaggedMP3(folderAt(QStringLiteral("media")));
    ASSERT_FALSE(large.isEmpty()) << "ffmpeg could not make the test file";
    const QString folder = folderAt(QStringLiteral("music"));
    const QString other =
        place(QStringLiteral("mp3_id3v1.mp3"), tempPath(QStringLiteral("other.mp3")));

    bool leftSomething = false;
    for (int attempt = 1; attempt <= 5 && !leftSomething; ++attempt) {
        QStringList files;
        for (int i = 1; i <= 3; ++i) {
            files << folder + QStringLiteral("/song%1.mp3").arg(i);
            QFile::remove(files.last());
            ASSERT_TRUE(QFile::copy(large, files.last()));
        }
        QProcess* process = start(files);
        ASSERT_TRUE(process->waitForStarted(10000));
        QDeadlineTimer deadline(60000);
        while (!process->canReadLine() && !deadline.hasExpired())
            process->waitForReadyRead(100);
        QThread::msleep(ulong(20 * attempt));
        ::kill(pid_t(process->processId()), SIGKILL);
        finish(process);
        EXPECT_EQ(QDir(tmpdir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList())
            << "a killed run leaves nothing in the temporary folder";
        // Give an orphaned mp3val time to end.
        QThread::msleep(300);
        leftSomething = !temporaryItemsIn(folder).isEmpty();
        if (!leftSomething)
            continue;

        const StripRun next = strip({"--quiet", other});
        EXPECT_EQ(next.exitCode, 0);
        EXPECT_EQ(temporaryItemsIn(folder), QStringList());
        EXPECT_EQ(QDir(journal()).entryList(QDir::Files), QStringList());
    }
    EXPECT_TRUE(leftSomething) << "no kill landed while a file was being stripped";
}

} // namespace
} // namespace cleftone::test

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
