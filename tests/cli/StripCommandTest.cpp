// cleftone-strip run as a child process on real files.

#include "audiofile/RoundTrip.h"

#include "platform/PathBytes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QUrl>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone::test {
namespace {

struct StripRun {
    int exitCode = -1; // also when it did not end in time
    QString out;
    QString err;

    QStringList outLines() const { return out.split('\n', Qt::SkipEmptyParts); }
    QStringList errLines() const { return err.split('\n', Qt::SkipEmptyParts); }
};

class StripCommandTest : public RoundTrip {
protected:
    void SetUp() override
    {
        RoundTrip::SetUp();
        // The leftover journal and the temporary folder are ones the test can look into.
        state = folderAt("state");
        tmpdir = folderAt("tmpdir");
    }

    /// Copies a fixture to `relative` under the test's folder; the name may be any bytes
    /// (platform/PathBytes.h).
    QString place(const QString& fixtureName, const QString& relative)
    {
        const QString path = tempPath(relative);
        QDir().mkpath(QFileInfo(path).path());
        const QByteArray bytes = readAll(fixture(fixtureName));
        const int fd = ::open(pathBytes(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(::write(fd, bytes.constData(), bytes.size()), bytes.size()) << path.toStdString();
        ::close(fd);
        return path;
    }

    /// The summary's words for what stripping each fixture into its output removed.
    static QString removed(const QList<std::pair<QString, QString>>& fixturesAndOutputs)
    {
        qint64 bytes = 0;
        for (const auto& [fixtureName, path] : fixturesAndOutputs) {
            struct stat output {};
            ::stat(pathBytes(path).constData(), &output); // the name may be any bytes
            bytes += QFileInfo(fixture(fixtureName)).size() - output.st_size;
        }
        return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat);
    }

    bool untouched(const QString& path, const QString& fixtureName)
    {
        return readAll(path) == readAll(fixture(fixtureName));
    }

    /// `ownGroup`: in a process group of its own, as a terminal's foreground job is.
    QProcess* start(const QStringList& arguments, bool ownGroup = false)
    {
        auto* process = new QProcess;
        if (ownGroup)
            process->setChildProcessModifier([] { ::setpgid(0, 0); });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_STATE_HOME", state);
        environment.insert("TMPDIR", tmpdir);
        environment.insert("XDG_DATA_HOME", tempPath("data"));
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(tmp.path());
        process->start(QStringLiteral(CLEFTONE_STRIP_EXECUTABLE), arguments);
        return process;
    }

    /// The first line on standard output, once the first file is done.
    static QString firstLine(QProcess* process)
    {
        EXPECT_TRUE(process->waitForStarted(10000));
        QDeadlineTimer deadline(60000);
        while (!process->canReadLine() && !deadline.hasExpired())
            process->waitForReadyRead(100);
        return QString::fromLocal8Bit(process->readLine()).trimmed();
    }

    static StripRun finish(QProcess* process)
    {
        StripRun run;
        if (!process->waitForFinished(60000)) {
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

    QString state;
    QString tmpdir;
};

TEST_F(StripCommandTest, ArgumentsDecideTheExitStatus)
{
    const QString song = place("mp3_id3v1.mp3", "song.mp3");
    const QString notAFolder = place("bad/text.mp3", "file");
    const QString midi = place("bad/text.mp3", "tune.mid");
    place("bad/text.mp3", "only-midi/a.mid");

    const struct {
        QStringList arguments;
        int exitCode;
        const char* says; // on either stream
    } cases[] = {
        {{}, 2, "no files or folders given"},
        {{"--bogus", song}, 2, "Unknown option 'bogus'"},
        {{"--output-dir", tempPath("missing"), song}, 2, "the output folder does not exist"},
        {{"--output-dir", notAFolder, song}, 2, "the output folder does not exist"},
        {{song, "--output-dir"}, 2, "Missing value after '--output-dir'"},
        {{"--json", song}, 2, "--json goes with --show"},
        {{"--help"}, 0, "Exit status: 0 when every file was stripped"},
        {{midi},
         1,
         "Cleftone Failed To Strip File: tune.mid.  Error:Cleftone cannot strip .mid files.\n"
         "Stripped 0 of 1 files, 0 bytes of metadata removed; 1 failed."},
        {{"--show", midi}, 1, "Error:Cleftone cannot strip .mid files."},
        {{tempPath("only-midi")},
         0,
         "No supported audio files found; 1 audio file left out (Cleftone cannot strip them)."},
    };
    for (const auto& [arguments, exitCode, says] : cases) {
        SCOPED_TRACE(arguments.join(QLatin1Char(' ')).toStdString());
        const StripRun run = strip(arguments);
        EXPECT_EQ(run.exitCode, exitCode);
        EXPECT_TRUE((run.out + run.err).contains(QString::fromUtf8(says)))
            << run.out.toStdString() << run.err.toStdString();
        EXPECT_TRUE(untouched(song, "mp3_id3v1.mp3"));
    }
    EXPECT_EQ(temporaryNamesIn(tmp.path()), QStringList());
}

TEST_F(StripCommandTest, FoldersAreSearchedByExtensionWithoutFollowingLinksAndVideoIsOptIn)
{
    // Fixture, and where it goes.
    const std::pair<QString, QString> audio[] = {
        {"mp3_id3v23_apic.mp3", "library/LOUD.MP3"},
        {"flac_tags.flac", "library/b.Flac"},
        {"wav_info_bext_id3.wav", "library/.hidden.wav"},
        {"m4a_aac_tags.m4a", "library/.box/cover.m4a"},
        {"aiff_chunks_id3.aiff", "library/sub/deep/d.aiff"},
        // Names as file systems hold them, shown with U+FFFD where they are not text.
        {"mp3_id3v1.mp3", pathFromBytes("library/sub/caf\xE9 (Latin-1).mp3")},
        {"flac_tags.flac", "library/two\nlines.flac"},
        {"wav_info_bext_id3.wav", "library/" + QString(241, 'x') + ".wav"},
        {"m4a_aac_tags.m4a", "library/-dash.m4a"},
        {"aiff_chunks_id3.aiff", "library/back\\slash.aiff"},
    };
    QStringList expected;
    for (const auto& [fixtureName, relative] : audio)
        expected << "Stripped " + displayPath(place(fixtureName, relative));
    expected.sort();
    const QString notes = place("bad/text.mp3", "library/notes.txt");
    const QString movie = place("mp4_aac_video.mp4", "library/movie.mp4");
    // Audio Cleftone cannot strip is counted, except where hidden; playlists are not audio.
    for (const char* name : {"library/voice.ra", "library/sub/tune.mid", "library/.x.ra",
                             "library/.box/y.avi", "library/list.m3u"})
        place("bad/text.mp3", name);
    const QString outside = place("wav_24bit.wav", "outside/e.wav");
    ASSERT_TRUE(QFile::link(tempPath("outside"), tempPath("library/linked")));
    const QString readme = place("bad/text.mp3", "readme.txt");

    const StripRun run = strip({tempPath("library"), readme});
    EXPECT_EQ(run.exitCode, 1) << "a named file that cannot be stripped fails";
    QStringList stripped = run.outLines().filter(QRegularExpression("^Stripped /"));
    stripped.sort();
    EXPECT_EQ(stripped, expected);
    QList<std::pair<QString, QString>> outputs;
    for (const auto& [fixtureName, relative] : audio)
        outputs.append({fixtureName, tempPath(relative)});
    EXPECT_EQ(
        run.errLines(),
        (QStringList{"Skipping video file (use --include-video to keep only its audio): " + movie,
                     "Cleftone Failed To Strip File: readme.txt.  Error:Cleftone cannot strip "
                     ".txt files.",
                     "Stripped 10 of 11 files, " + removed(outputs) +
                         " of metadata removed; 2 audio files left out (Cleftone cannot strip "
                         "them); 1 failed."}))
        << "in the order given";
    for (const int i : {1, 2, 4}) // the containers the other tests here do not strip
        expectStripped(fixture(audio[i].first), tempPath(audio[i].second),
                       i == 1 ? fixture("ref/flac.flac") : QString());
    EXPECT_TRUE(untouched(movie, "mp4_aac_video.mp4"));
    EXPECT_TRUE(untouched(outside, "wav_24bit.wav"));
    EXPECT_TRUE(untouched(notes, "bad/text.mp3"));
    ::unlink(pathBytes(tempPath(audio[5].second)).constData()); // which QTemporaryDir cannot

    // Asked for, the video goes and the audio packets stay.
    const StripRun video = strip({"--include-video", movie});
    EXPECT_EQ(video.exitCode, 0) << video.err.toStdString();
    EXPECT_EQ(video.err, QString());
    expectStripped(fixture("mp4_aac_video.mp4"), movie);
}

TEST_F(StripCommandTest, EachFailureIsOneLineOnStandardErrorAndTheExitStatusIsOne)
{
    const QString text = place("bad/text.mp3", "music/text.mp3");
    const QString empty = place("bad/empty.mp3", "music/empty.mp3");
    const QString missing = tempPath("music/missing.wav");

    for (const bool quiet : {false, true}) {
        SCOPED_TRACE(quiet ? "--quiet" : "");
        const QString good =
            place("flac_tags.flac", quiet ? "music/quiet.flac" : "music/good.flac");
        QStringList arguments{good, text, empty, missing};
        if (quiet)
            arguments.prepend("--quiet");
        const StripRun run = strip(arguments);
        EXPECT_EQ(run.exitCode, 1);
        const QString error = ".  Error:This file is not an audio file that Cleftone can read.";
        EXPECT_EQ(run.errLines(),
                  (QStringList{
                      "Cleftone Failed To Strip File: text.mp3" + error,
                      "Cleftone Failed To Strip File: empty.mp3" + error,
                      "Cleftone Failed To Strip File: missing.wav.  Error:Could "
                      "not open the file: no such file or directory.",
                      "Stripped 1 of 4 files, " + removed({{"flac_tags.flac", good}}) +
                          " of metadata removed; 3 failed.",
                  }));
        EXPECT_EQ(run.outLines(), quiet ? QStringList() : QStringList{"Stripped " + good});
        EXPECT_TRUE(untouched(text, "bad/text.mp3"));
        EXPECT_TRUE(readAll(empty).isEmpty());
        EXPECT_FALSE(QFileInfo::exists(missing));
        EXPECT_EQ(temporaryNamesIn(tempPath("music")), QStringList());
    }

    // --show changes nothing: a tagged file lists its tags, a stripped one has none left.
    const QString tagged = place("flac_tags.flac", "music/tagged.flac");
    const QString wave = place("wav_info_bext_id3.wav", "music/tagged.wav");
    const QString stripped = tempPath("music/good.flac");
    const StripRun shown = strip({"--show", tagged, wave, stripped, text});
    EXPECT_EQ(shown.exitCode, 1);
    const QStringList lines = shown.outLines();
    for (const char* line : {"  Tag TITLE: CleftoneTag Title", "  Extra chunk: bext"})
        EXPECT_TRUE(lines.contains(line)) << shown.out.toStdString();
    EXPECT_EQ(lines.mid(lines.indexOf(stripped)),
              (QStringList{stripped, "  No metadata", text,
                           "  This file is not an audio file that Cleftone can read."}));
    EXPECT_TRUE(untouched(tagged, "flac_tags.flac"));
}

// Tags and covers as ffprobe sees them; after a strip nothing, and with --skip-clean a second
// run leaves every file as it is.
TEST_F(StripCommandTest, ShowJsonListsWhatFfprobeSeesAndSkipCleanLeavesStrippedFilesAlone)
{
    const QStringList fixtures{"mp3_id3v23_apic.mp3", "flac_tags.flac", "m4a_aac_tags.m4a",
                               "wav_info_bext_id3.wav", "aiff_chunks_id3.aiff"};
    // Numbered, so that the folder lists them in this order; the last name is not UTF-8.
    QStringList files;
    for (qsizetype i = 0; i < fixtures.size(); ++i)
        files << place(fixtures[i], pathFromBytes("music/" + QByteArray::number(i + 1) +
                                                  (i == 4 ? " caf\xE9" : "") + '.' +
                                                  fixtures[i].section('.', 1).toLatin1()));
    const auto shown = [&] {
        const StripRun run = strip({"--show", "--json", tempPath("music")});
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        return QJsonDocument::fromJson(run.out.toUtf8()).array();
    };
    const QJsonArray before = shown();
    ASSERT_EQ(before.size(), files.size());
    for (qsizetype i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(fixtures[i].toStdString());
        const QJsonObject report = before[i].toObject();
        for (const char* key : {"container", "codec", "tags", "pictures", "chapters", "blocks",
                                "metadataBytes", "readable", "kept"})
            EXPECT_TRUE(report.contains(key)) << key;
        EXPECT_GT(report["metadataBytes"].toInteger(), 0);
        EXPECT_FALSE(report["blocks"].toArray().isEmpty());
        QVariantMap tags;
        for (const QJsonValue tag : report["tags"].toArray())
            tags.insert(tag["key"].toString(), tag["value"].toString());
        const QJsonObject probed = probe(fixture(fixtures[i]));
        const QVariantMap probedTags = probed["format"]["tags"].toObject().toVariantMap();
        for (const auto& [key, value] : probedTags.asKeyValueRange()) {
            if (!key.contains("brand") && key != "minor_version" && key != "encoder") {
                EXPECT_EQ(tags.value(key), value) << key.toStdString();
            }
        }
        QList<QJsonObject> covers;
        for (const QJsonValue stream : probed["streams"].toArray()) {
            if (stream["disposition"]["attached_pic"].toInt() == 1)
                covers << stream.toObject();
        }
        const QJsonArray pictures = report["pictures"].toArray();
        ASSERT_EQ(pictures.size(), covers.size());
        for (qsizetype p = 0; p < pictures.size(); ++p) {
            const QJsonObject picture = pictures[p].toObject();
            EXPECT_EQ(picture["width"], covers[p]["width"]);
            EXPECT_EQ(picture["height"], covers[p]["height"]);
            EXPECT_EQ(picture["mimeType"], "image/jpeg");
            EXPECT_GT(picture["bytes"].toInt(), 0);
        }
    }
    EXPECT_EQ(before.last()["path"], tempPath("music/5 caf") + "\\xE9.aiff");
    EXPECT_TRUE(before.last()["pathEscaped"].toBool());

    ASSERT_EQ(strip({"--quiet", tempPath("music")}).exitCode, 0);
    for (const QJsonValue report : shown()) {
        for (const char* list : {"tags", "pictures", "chapters", "blocks"})
            EXPECT_EQ(report[list].toArray(), QJsonArray()) << list;
        EXPECT_EQ(report["metadataBytes"].toInteger(), 0);
    }

    std::vector<struct stat> stripped(files.size());
    for (qsizetype i = 0; i < files.size(); ++i)
        ::stat(pathBytes(files[i]).constData(), &stripped[i]);
    const StripRun again = strip({"--skip-clean", tempPath("music")});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(again.outLines().last(),
              "Stripped 0 files, 0 bytes of metadata removed; 5 already clean.");
    for (qsizetype i = 0; i < files.size(); ++i) {
        struct stat now {};
        ::stat(pathBytes(files[i]).constData(), &now);
        EXPECT_EQ(now.st_ino, stripped[i].st_ino);
        EXPECT_EQ(now.st_mtim.tv_nsec, stripped[i].st_mtim.tv_nsec);
        EXPECT_TRUE(again.outLines().contains("Already clean: " + displayPath(files[i])));
    }
    ::unlink(pathBytes(files.last()).constData()); // which QTemporaryDir cannot
}

TEST_F(StripCommandTest, OutputFolderGetsStrippedCopiesOfUniqueNamesAndInputsStayAsTheyWere)
{
    const QString first = place("mp3_id3v1.mp3", "in/a.mp3");
    const QString second = place("m4a_aac_tags.m4a", "in/nested/b.m4a");
    const QString sameName = place("mp3_all_tags.mp3", "other/a.mp3");
    const QString out = folderAt("out");
    writeFile(out + "/b.m4a", "an older b.m4a");

    // Relative paths are taken against the working directory; a file named twice is stripped
    // once; the first of a name wins.
    const StripRun run = strip({"--output-dir", "out", "in", first, sameName});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.errLines(), (QStringList{"Cleftone Failed To Strip File: a.mp3.  Error:Another "
                                           "file named \u201Ca.mp3\u201D is already written to "
                                           "the output folder (" +
                                               sameName + ").",
                                           "Stripped 2 of 3 files, " +
                                               removed({{"mp3_id3v1.mp3", out + "/a.mp3"},
                                                        {"m4a_aac_tags.m4a", out + "/b.m4a"}}) +
                                               " of metadata removed; 1 failed."}));
    EXPECT_TRUE(untouched(first, "mp3_id3v1.mp3"));
    EXPECT_TRUE(untouched(second, "m4a_aac_tags.m4a"));
    EXPECT_TRUE(untouched(sameName, "mp3_all_tags.mp3"));
    EXPECT_EQ(QDir(out).entryList(QDir::Files | QDir::Hidden), (QStringList{"a.mp3", "b.m4a"}))
        << "the folder structure is not copied";
    expectStripped(first, out + "/a.mp3", fixture("ref/mp3_vbr.mp3"));
    expectStripped(second, out + "/b.m4a");
}

TEST_F(StripCommandTest, QuietInPlaceStripOfALinkKeepsTheLinkAndTheOriginalInTheTrash)
{
    const QString song = place("mp3_id3v1.mp3", "music/my song.mp3");
    const QString link = tempPath("music/link.mp3");
    ASSERT_EQ(::symlink("my song.mp3", QFile::encodeName(link).constData()), 0);

    const StripRun run = strip({"--quiet", "--trash", link});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, QString());
    EXPECT_EQ(run.err, QString());
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    expectStripped(fixture("mp3_id3v1.mp3"), song, fixture("ref/mp3_vbr.mp3"));
    // Where a file manager finds it and knows where to restore it.
    const QString trash = tempPath("data/Trash");
    EXPECT_TRUE(untouched(trash + "/files/my song.mp3", "mp3_id3v1.mp3"));
    const QString info = readAll(trash + "/info/my song.mp3.trashinfo");
    EXPECT_TRUE(QRegularExpression("^\\[Trash Info\\]\nPath=" +
                                   QRegularExpression::escape(QUrl::toPercentEncoding(song, "/")) +
                                   "\nDeletionDate=\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\n$")
                    .match(info)
                    .hasMatch())
        << info.toStdString();

    // No Trash to be had: the file stays as it was.
    const QString other = place("mp3_id3v1.mp3", "music/other.mp3");
    ASSERT_TRUE(QDir(trash).removeRecursively());
    ASSERT_TRUE(QFile::copy(fixture("mp3_id3v1.mp3"), trash));
    const StripRun refused = strip({"--quiet", "--trash", other});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.errLines().value(0),
              "Cleftone Failed To Strip File: other.mp3.  Error:Could not move the original to "
              "the Trash: the Trash folder \u201C" +
                  trash + "\u201D cannot be used: Not a directory. The file was left unchanged.");
    EXPECT_TRUE(untouched(other, "mp3_id3v1.mp3"));
    EXPECT_EQ(temporaryNamesIn(tempPath("music")), QStringList());
}

TEST_F(StripCommandTest, InterruptStopsTheRunningFileAndLeavesTheRestUntouched)
{
    const QString large = largeTagged(folderAt("media"));
    ASSERT_FALSE(large.isEmpty()) << "ffmpeg could not make the test file";
    QStringList files;
    for (int i = 1; i <= 7; ++i) {
        files << folderAt("music") + QStringLiteral("/song%1.mp3").arg(i);
        ASSERT_TRUE(QFile::copy(large, files.last()));
    }
    const QByteArray original = readAll(files[6]);
    ASSERT_EQ(strip({"--quiet", files[6]}).exitCode, 0);
    const QByteArray stripped = readAll(files.takeLast());
    ASSERT_NE(stripped, original);
    QProcess* process = start(files, true);
    // Interrupt once the first file is done, while the second runs. Like Ctrl-C in a terminal,
    // the signal goes to the whole group, mp3val included when it runs.
    const QString first = firstLine(process);
    ::kill(-pid_t(process->processId()), SIGINT);
    const StripRun run = finish(process);
    EXPECT_EQ(first, "Stripped " + files[0]);
    EXPECT_EQ(run.exitCode, 1);

    // The files stripped are those reported, in order; every other file is untouched.
    qsizetype done = 0;
    while (done < files.size() && readAll(files[done]) == stripped)
        ++done;
    EXPECT_GE(done, 1);
    EXPECT_LT(done, files.size()) << "the run ended before the interrupt";
    for (qsizetype i = done; i < files.size(); ++i)
        EXPECT_TRUE(readAll(files[i]) == original) << files[i].toStdString() << " is neither";
    QStringList expected;
    for (qsizetype i = 0; i < done; ++i)
        expected << "Stripped " + files[i];
    EXPECT_EQ(QStringList{first} + run.outLines(), expected);
    // Diagnostics ("cleftone: mp3val killed by signal…") may come before the summary.
    EXPECT_EQ(
        run.errLines().filter(QRegularExpression("^(?!cleftone: )")),
        QStringList{QStringLiteral("Stripped %1 of 6 files, %2 of metadata removed; "
                                   "cancelled.")
                        .arg(done)
                        .arg(QLocale().formattedDataSize(done * (original.size() - stripped.size()),
                                                         1, QLocale::DataSizeSIFormat))});
    EXPECT_EQ(temporaryNamesIn(tempPath("music")), QStringList());
    EXPECT_EQ(QDir(state + "/cleftone/leftovers").entryList(QDir::Files), QStringList());
}

} // namespace
} // namespace cleftone::test

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
