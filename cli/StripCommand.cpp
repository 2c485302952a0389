#include "StripCommand.h"

#include "ShowReports.h"

#include "engine/CapabilitySets.h"
#include "engine/CleftoneOperation.h"
#include "engine/LeftoverJournal.h"
#include "engine/ReplacementFolders.h"
#include "intake/FileScreening.h"
#include "platform/BuildConfig.h"
#include "platform/DisplayName.h"
#include "platform/MainThread.h"
#include "platform/OperationQueue.h"
#include "platform/PathBytes.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone {

namespace {

int interruptPipe[2] = {-1, -1};

void onInterrupt(int)
{
    const char byte = 1;
    // Only async-signal-safe work here; the event loop does the rest.
    [[maybe_unused]] const auto written = ::write(interruptPipe[1], &byte, 1);
}

// Text of our own, several lines long.
void printText(FILE* stream, const QString& text)
{
    std::fputs(text.toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

QString audioFiles(int count)
{
    return count == 1 ? QStringLiteral("1 audio file")
                      : QStringLiteral("%1 audio files").arg(count);
}

void printLine(FILE* stream, const QString& text)
{
    // One line whatever the paths in it hold: bytes that are not UTF-8, and a newline in a name,
    // show as U+FFFD.
    std::fputs(displayPath(text).toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

} // namespace

int StripCommand::run(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Removes tags, info chunks and cover art from audio files without re-encoding them.\n"
        "Folders are searched recursively. Each file is replaced in place unless --output-dir "
        "is given."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption outputDir(
        QStringList{QStringLiteral("o"), QStringLiteral("output-dir")},
        QStringLiteral("Write the stripped files into <dir> instead of replacing the originals."),
        QStringLiteral("dir"));
    const QCommandLineOption includeVideo(
        QStringLiteral("include-video"),
        QStringLiteral("Also strip files that contain video; only their audio is kept."));
    const QCommandLineOption trash(
        QStringLiteral("trash"),
        QStringLiteral("Move each original into the Trash before replacing it, so that it can "
                       "be restored from there."));
    const QCommandLineOption skipClean(
        QStringLiteral("skip-clean"),
        QStringLiteral("Leave files that carry no metadata untouched (bytes, times and inode) "
                       "instead of rewriting them; MP3 files that need repair are still "
                       "rewritten."));
    const QCommandLineOption quiet(QStringList{QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Print only failures."));
    const QCommandLineOption show(
        QStringLiteral("show"),
        QStringLiteral("List the metadata that a strip would remove from each file, and change "
                       "nothing."));
    const QCommandLineOption json(
        QStringLiteral("json"),
        QStringLiteral("With --show: print one JSON array with an object per file."));
    parser.addOptions({outputDir, includeVideo, trash, skipClean, quiet, show, json});
    parser.addPositionalArgument(QStringLiteral("path"),
                                 QStringLiteral("Audio files or folders to strip."),
                                 QStringLiteral("PATH..."));
    parser.setApplicationDescription(
        parser.applicationDescription() +
        QStringLiteral("\n\nExit status: 0 when every file was stripped (or left clean), 1 when "
                       "any file failed or the run was stopped, 2 on a usage error."));

    if (!parser.parse(arguments)) {
        printLine(stderr, QStringLiteral("cleftone-strip: ") + parser.errorText());
        printText(stderr, parser.helpText());
        return kUsageError;
    }
    // --help-all would add Qt's own options, which mean nothing to a tool without a display.
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        printText(stdout, parser.helpText());
        return kAllStripped;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printLine(stdout, QStringLiteral("cleftone-strip %1").arg(applicationVersion()));
        return kAllStripped;
    }
    const QStringList paths = parser.positionalArguments();
    if (paths.isEmpty()) {
        printLine(stderr, QStringLiteral("cleftone-strip: no files or folders given"));
        printText(stderr, parser.helpText());
        return kUsageError;
    }
    quiet_ = parser.isSet(quiet);
    if (parser.isSet(json) && !parser.isSet(show)) {
        printLine(stderr, QStringLiteral("cleftone-strip: --json goes with --show"));
        return kUsageError;
    }
    if (parser.isSet(show)) {
        const bool allRead = showReports(collectFiles(paths, true), parser.isSet(json), stdout);
        return allRead && rejected_ == 0 ? kAllStripped : kFailures;
    }

    QString destination = QString::fromLatin1(kOverwriteExistingFile);
    if (parser.isSet(outputDir)) {
        const QString folder = parser.value(outputDir);
        struct stat info {};
        if (::stat(pathBytes(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            printLine(stderr, QStringLiteral("cleftone-strip: the output folder does not exist: %1")
                                  .arg(parser.value(outputDir)));
            return kUsageError;
        }
        destination =
            QDir::isAbsolutePath(folder) ? folder : QDir::current().absoluteFilePath(folder);
    }

    removeLeftoversOfDeadProcesses();

    // The jobs read their destination from a settings store: give them one of their own, so
    // the command line never reads or changes the window's preferences. It lives in memory only
    // (a registered default over a file that can never exist), so that a run killed with
    // SIGKILL leaves no settings folder behind.
    Preferences settings(QStringLiteral("/dev/null/cleftone-strip.conf"));
    settings.registerDefaults(
        {{QString::fromLatin1(kDestinationDirectoryKey), destination},
         {QString::fromLatin1(kMoveOriginalsToTrashKey), parser.isSet(trash)},
         {QString::fromLatin1(kLeaveCleanFilesUntouchedKey), parser.isSet(skipClean)}});

    QStringList files = collectFiles(paths, parser.isSet(includeVideo));
    if (parser.isSet(outputDir))
        files = withoutNameClashes(files);
    if (files.isEmpty() && rejected_ == 0) {
        if (!quiet_)
            printLine(stdout, leftOut_ > 0 ? QStringLiteral("No supported audio files found; %1 "
                                                            "left out (Cleftone cannot strip "
                                                            "them).")
                                                 .arg(audioFiles(leftOut_))
                                           : QStringLiteral("No supported audio files found."));
        return kAllStripped;
    }
    return stripAll(files, settings);
}

QStringList StripCommand::collectFiles(const QStringList& paths, bool includeVideo)
{
    QStringList files;
    QSet<QString> seen;
    ScreeningRules rules;
    rules.supportedExtensions = CTWritableAudioFileExtensions();
    rules.suppressVideoFileWarning = includeVideo;
    ScreeningSink sink;
    sink.admit = [&](const QString& path) {
        if (!seen.contains(path)) {
            seen.insert(path);
            files.append(path);
        }
    };
    sink.holdBackVideo = [&](const QString& path) {
        printLine(stderr, QStringLiteral("Skipping video file (use --include-video to keep only "
                                         "its audio): %1")
                              .arg(path));
    };
    sink.skipUnsupported = [&](const QString& path) {
        const QString extension = pathExtension(path);
        reject(path, extension.isEmpty()
                         ? QStringLiteral("Cleftone takes audio files by the extension of their "
                                          "format, and this name has none.")
                         : QStringLiteral("Cleftone cannot strip .%1 files.").arg(extension));
    };
    sink.leaveOut = [&](const QString&) {
        ++leftOut_;
    };
    // Paths are taken as given, relative ones against the working directory.
    QStringList absolute;
    for (const QString& path : paths)
        absolute.append(QDir::isAbsolutePath(path) ? path : QDir::current().absoluteFilePath(path));
    screenBatch(absolute, rules, sink);
    return files;
}

QStringList StripCommand::withoutNameClashes(const QStringList& files)
{
    // Every file keeps its name in the output folder, so two files of one name from different
    // folders would overwrite each other's copy. The first one wins; the others fail.
    QSet<QString> names;
    QStringList kept;
    for (const QString& file : files) {
        const QString name = file.mid(file.lastIndexOf(QLatin1Char('/')) + 1);
        if (names.contains(name)) {
            reject(file, QStringLiteral("Another file named \u201C%1\u201D is already written "
                                        "to the output folder (%2).")
                             .arg(name, file));
            continue;
        }
        names.insert(name);
        kept.append(file);
    }
    return kept;
}

void StripCommand::reject(const QString& path, const QString& reason)
{
    ++rejected_;
    printLine(stderr, QStringLiteral("Cleftone Failed To Strip File: %1.  Error:%2")
                          .arg(displayNameAtPath(path), reason));
}

int StripCommand::stripAll(const QStringList& files, Preferences& settings)
{
    const bool showProgress = !quiet_ && ::isatty(STDERR_FILENO);
    int done = 0;
    int failed = 0;
    int clean = 0;
    qint64 bytesRemoved = 0;
    bool cancelled = false;

    OperationQueue queue(QString::fromLatin1(bundleIdentifier()) + QStringLiteral(".queue"));
    queue.setMaxConcurrentOperationCount(1);

    StripEnvironment environment;
    environment.sandboxed = false;
    environment.logError = [](const QString& line) {
        printLine(stderr, line);
    };
    const auto folders = std::make_shared<ReplacementFolders>();
    environment.replacementFolders = folders;

    QEventLoop loop;
    std::vector<std::shared_ptr<Operation>> operations;
    auto finaliser = std::make_shared<BlockOperation>([&loop, folders] {
        folders->finish();
        postToMainThread([&loop] { loop.quit(); });
    });
    for (const QString& file : files) {
        auto operation = std::make_shared<CleftoneOperation>(file, environment);
        operation->setDefaultsOverride(&settings);
        std::weak_ptr<CleftoneOperation> weak = operation;
        operation->setCompletionBlock([&, weak, file] {
            const auto finished = weak.lock();
            if (!finished)
                return;
            // A job cancelled before it started keeps success() true without having touched
            // its file; one that never chose an output path never ran.
            const bool stoppedUnfinished =
                finished->isCancelled() &&
                (!finished->success() || finished->outFilePath().isEmpty());
            const bool succeeded = finished->success();
            const bool untouched = succeeded && finished->leftUntouched();
            const qint64 removed = finished->bytesRemoved();
            postToMainThread([&, file, stoppedUnfinished, succeeded, untouched, removed] {
                if (stoppedUnfinished)
                    return;
                ++done;
                if (!succeeded)
                    ++failed;
                if (untouched)
                    ++clean;
                bytesRemoved += removed;
                if (showProgress)
                    std::fprintf(stderr, "\r\033[K[%d/%lld] %s", done, (long long)files.size(),
                                 displayNameAtPath(file).toUtf8().constData());
                else if (!quiet_ && succeeded)
                    printLine(stdout, (untouched ? QStringLiteral("Already clean: %1")
                                                 : QStringLiteral("Stripped %1"))
                                          .arg(file));
            });
        });
        finaliser->addDependency(operation);
        operations.push_back(operation);
    }
    operations.push_back(finaliser);

    // Ctrl-C stops like the window's Stop: the running file stops at its next block and keeps
    // its original; files not yet started are not touched.
    if (::pipe2(interruptPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return kFailures;
    QSocketNotifier interrupts(interruptPipe[0], QSocketNotifier::Read);
    QObject::connect(&interrupts, &QSocketNotifier::activated, [&] {
        char byte;
        while (::read(interruptPipe[0], &byte, 1) > 0) {
        }
        cancelled = true;
        for (const auto& operation : operations)
            if (operation != finaliser)
                operation->cancel();
    });
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    struct sigaction previous {};
    ::sigaction(SIGINT, &action, &previous);
    ::sigaction(SIGTERM, &action, nullptr);

    queue.addOperations(operations, false);
    loop.exec();

    ::sigaction(SIGINT, &previous, nullptr);
    ::close(interruptPipe[0]);
    ::close(interruptPipe[1]);
    if (showProgress)
        std::fputs("\r\033[K", stderr);

    // Files left clean are neither stripped nor failed; they are named on their own.
    const int stripped = done - failed - clean;
    failed += rejected_;
    const qsizetype total = files.size() + rejected_ - clean;
    QString summary = stripped == total
                          ? QStringLiteral("Stripped %1 file%2")
                                .arg(stripped)
                                .arg(total == 1 ? QString() : QStringLiteral("s"))
                          : QStringLiteral("Stripped %1 of %2 files").arg(stripped).arg(total);
    // SI units, as the desktop's file manager shows sizes.
    summary += QStringLiteral(", %1 of metadata removed")
                   .arg(QLocale().formattedDataSize(bytesRemoved, 1, QLocale::DataSizeSIFormat));
    if (clean)
        summary += QStringLiteral("; %1 already clean").arg(clean);
    if (leftOut_)
        summary +=
            QStringLiteral("; %1 left out (Cleftone cannot strip them)").arg(audioFiles(leftOut_));
    if (failed)
        summary += QStringLiteral("; %1 failed").arg(failed);
    if (cancelled)
        summary += QStringLiteral("; cancelled");
    if (!quiet_ || failed || cancelled)
        printLine(failed || cancelled ? stderr : stdout, summary + QLatin1Char('.'));
    return stripped == total ? kAllStripped : kFailures;
}

} // namespace cleftone
