// Renders the README's pictures from the real main window and Error Log window.
//
//   cleftone-screenshots [OUTPUT-DIR]        writes main-window.png, error-log.png and
//                                            settings.png
//   cleftone-screenshots --screen FILE.png   saves the whole screen of the display, for a look at
//                                            another program running on the same (virtual) display
//
// Everything that could differ between machines is pinned (style, palette, font, locale, time
// zone, time stamps, window sizes), so that a second run on the same system gives the same images
// and a change in a picture means a change in the window. The listed files are real, short
// audio files made with ffmpeg (bit-exact) and tagged as rippers and recorders tag them, so the
// Metadata column and the inspector show what they would show. scripts/screenshots.sh runs it
// under Xvfb.

#include "app/CleftoneAppDelegate.h"
#include "app/FileTable.h"
#include "app/MetadataInspector.h"
#include "errorlog/ErrorLogStore.h"
#include "errorlog/ErrorLogWindowController.h"
#include "platform/FolderBookmark.h"
#include "platform/PreferenceKeys.h"
#include "platform/Preferences.h"
#include "ui/PlatformTools.h"
#include "ui/SettingsWindowController.h"

#include <QApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QHeaderView>
#include <QIcon>
#include <QLocale>
#include <QMainWindow>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QStyle>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QWindow>

#include <algorithm>
#include <ctime>
#include <functional>
#include <memory>

using namespace cleftone;

namespace {

constexpr int kFailed = 1;
constexpr int kUsageError = 2;

constexpr int kWindowWidth = 640;
constexpr int kMainWindowWidth = 1000;
constexpr int kMainWindowHeight = 560;
constexpr int kMainWindowMaximumHeight = 600;
constexpr int kErrorLogHeight = 300;

/// What a walk over a dozen empty files may take on a slow, busy machine.
constexpr int kWalkTimeoutMs = 20000;

// A dozen files as a ripper or a recorder names and tags them. The folders make the paths (tool
// tips) look like a real music library.
struct LibraryFile {
    const char* path;
    const char* tags; // "key=value" pairs separated by '|'
    bool cover;
};
const LibraryFile kLibraryFiles[] = {
    {"Claude Debussy/Suite bergamasque/01 - Prélude.flac",
     "title=Prélude|artist=Claude Debussy|album=Suite bergamasque|track=1|date=1905|"
     "genre=Classical|comment=Ripped with care",
     true},
    {"Claude Debussy/Suite bergamasque/02 - Menuet.flac",
     "title=Menuet|artist=Claude Debussy|album=Suite bergamasque|track=2|date=1905|genre=Classical",
     true},
    {"Claude Debussy/Suite bergamasque/03 - Clair de lune.flac",
     "title=Clair de lune|artist=Claude Debussy|album=Suite bergamasque|track=3|date=1905|"
     "genre=Classical",
     true},
    {"Claude Debussy/Suite bergamasque/04 - Passepied.flac",
     "title=Passepied|artist=Claude Debussy|album=Suite bergamasque|track=4", false},
    {"Erik Satie/Trois Gymnopédies/01 - Gymnopédie No. 1.mp3",
     "title=Gymnopédie No. 1|artist=Erik Satie|album=Trois Gymnopédies|track=1/3|date=1888", true},
    {"Erik Satie/Trois Gymnopédies/02 - Gymnopédie No. 2.mp3",
     "title=Gymnopédie No. 2|artist=Erik Satie|album=Trois Gymnopédies|track=2/3|date=1888|"
     "genre=Classical|composer=Erik Satie|comment=Bought at the concert, 3 November 2024|"
     "encoded_by=Anna's laptop",
     true},
    {"Erik Satie/Trois Gymnopédies/03 - Gymnopédie No. 3.mp3",
     "title=Gymnopédie No. 3|artist=Erik Satie|album=Trois Gymnopédies|track=3/3", true},
    {"J. S. Bach/Goldberg Variations/01 - Aria.m4a",
     "title=Aria|artist=J. S. Bach|album=Goldberg Variations|track=1|date=1981", true},
    {"J. S. Bach/Goldberg Variations/02 - Variatio 1 a 1 Clav.m4a",
     "title=Variatio 1 a 1 Clav.|artist=J. S. Bach|album=Goldberg Variations|track=2", true},
    {"Recordings/Interview with the Composer (Take 3).wav",
     "title=Interview with the Composer|artist=Anna Berger|date=2024-11-03|"
     "comment=Recorded at home",
     false},
    {"Recordings/Rehearsal 2024-11-03.aiff", "", false},
    {"Recordings/Voice Memo 2024-11-03.m4a",
     "title=Voice Memo|date=2024-11-03T19:42:10Z|location=+48.8584+002.2945/", false},
};

// Three failures in the shape the strip job logs them, with messages the engine really gives.
const char* const kFailureLines[] = {
    "Cleftone Failed To Strip File: 03 - Clair de lune.flac.  Error:Read only 4180 of 6512 audio "
    "packets. The file may be truncated or damaged.",
    "Cleftone Failed To Strip File: 02 - Gymnopédie No. 2.mp3.  Error:Could not save “02 - "
    "Gymnopédie No. 2.mp3” in the folder “Stripped”: permission denied.",
    "Cleftone Failed To Strip File: Voice Memo 2024-11-03.m4a.  Error:This file is not an audio "
    "file that Cleftone can read.",
};

void printError(const QString& text)
{
    QTextStream(stderr) << "cleftone-screenshots: " << text << '\n';
}

/// Spins the event loop until `condition` holds; false when `timeoutMs` passed first.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(5);
    }
    return true;
}

/// Makes one short, tagged audio file with ffmpeg; the container follows the extension.
bool makeAudioFile(const QString& path, const LibraryFile& spec, const QString& cover)
{
    QStringList arguments{
        "-hide_banner", "-nostdin", "-v",
        "error",        "-y",       "-f",
        "lavfi",        "-i",       "sine=frequency=440:sample_rate=22050:duration=1"};
    if (spec.cover)
        arguments << "-i" << cover << "-map"
                  << "0:a"
                  << "-map"
                  << "1:v"
                  << "-c:v"
                  << "copy"
                  << "-disposition:v"
                  << "attached_pic";
    const QString extension = QFileInfo(path).suffix();
    if (extension == QLatin1String("mp3"))
        arguments << "-c:a"
                  << "libmp3lame"
                  << "-b:a"
                  << "64k"
                  << "-id3v2_version"
                  << "3";
    else if (extension == QLatin1String("m4a"))
        arguments << "-c:a"
                  << "aac"
                  << "-b:a"
                  << "32k"
                  << "-f"
                  << "ipod";
    else if (extension == QLatin1String("wav"))
        arguments << "-write_bext"
                  << "1";
    arguments << "-fflags"
              << "+bitexact"
              << "-flags:a"
              << "+bitexact"
              << "-flags:v"
              << "+bitexact"
              << "-map_metadata"
              << "-1";
    for (const QString& tag : QString::fromUtf8(spec.tags).split('|', Qt::SkipEmptyParts))
        arguments << "-metadata" << tag;
    arguments << path;
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), arguments);
    if (!ffmpeg.waitForFinished(30000) || ffmpeg.exitCode() != 0) {
        printError(QStringLiteral("ffmpeg could not make %1: %2")
                       .arg(path, QString::fromLocal8Bit(ffmpeg.readAllStandardError())));
        return false;
    }
    return true;
}

/// A cover picture: a gradient with a frame, as a 300 by 300 JPEG.
bool makeCover(const QString& path)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-hide_banner", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                  "gradients=s=300x300:n=3:c0=0x1d3557:c1=0x457b9d:c2=0xf1faee:x0=0:y0=0:"
                  "x1=300:y1=300:seed=7,drawbox=x=40:y=40:w=220:h=220:color=white@0.25:t=6",
                  "-frames:v", "1", "-fflags", "+bitexact", "-flags", "+bitexact", "-q:v", "3",
                  path});
    return ffmpeg.waitForFinished(30000) && ffmpeg.exitCode() == 0;
}

/// Lets a freshly shown window be mapped, laid out and painted before it is grabbed.
void settle(QWidget* window)
{
    waitUntil(
        [window] {
            return window->isVisible() && window->windowHandle() &&
                   window->windowHandle()->isExposed();
        },
        5000);
    for (int turn = 0; turn < 10; ++turn) {
        QCoreApplication::processEvents();
        QThread::msleep(20);
    }
}

bool save(QWidget* window, const QString& path)
{
    const QPixmap picture = window->grab();
    if (picture.isNull() || !picture.save(path, "PNG")) {
        printError(QStringLiteral("could not write %1").arg(path));
        return false;
    }
    QTextStream(stdout) << "wrote " << QDir::current().relativeFilePath(path) << " ("
                        << picture.width() << "x" << picture.height() << ")\n";
    return true;
}

void pinLookAndFeel()
{
    // Fusion and its own palette look the same on every desktop, unlike the platform theme.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setPalette(QApplication::style()->standardPalette());
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(10);
    QApplication::setFont(font);
    QIcon::setThemeName(QStringLiteral("Adwaita"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

int grabScreen(const QString& path)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    const QPixmap picture = screen ? screen->grabWindow(0) : QPixmap();
    if (picture.isNull() || !picture.save(path, "PNG")) {
        printError(QStringLiteral("could not grab the screen into %1").arg(path));
        return kFailed;
    }
    return 0;
}

int renderScreenshots(const QString& outputDir)
{
    if (!QDir().mkpath(outputDir)) {
        printError(QStringLiteral("could not create %1").arg(outputDir));
        return kFailed;
    }

    QTemporaryDir scratch;
    if (!scratch.isValid()) {
        printError(QStringLiteral("no temporary folder"));
        return kFailed;
    }
    const QDir root(scratch.path());

    const QString cover = root.filePath(QStringLiteral("cover.jpg"));
    if (!makeCover(cover)) {
        printError(QStringLiteral("ffmpeg could not make the cover picture"));
        return kFailed;
    }
    QStringList files;
    for (const LibraryFile& spec : kLibraryFiles) {
        const QString path = root.filePath(QStringLiteral("Music/") + QString::fromUtf8(spec.path));
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!makeAudioFile(path, spec, cover))
            return kFailed;
        files << path;
    }

    // The destination is set before the window exists, so the pop-up shows it the way a
    // returning user sees it: restored from the settings at start-up.
    const QString destination = root.filePath(QStringLiteral("Stripped"));
    QDir().mkpath(destination);
    QString bookmarkError;
    const std::optional<QByteArray> bookmark = FolderBookmark::create(destination, &bookmarkError);
    if (!bookmark) {
        printError(QStringLiteral("no bookmark for %1: %2").arg(destination, bookmarkError));
        return kFailed;
    }
    Preferences preferences(root.filePath(QStringLiteral("prefs.ini")));
    CleftoneAppDelegate::registerDefaultPreferences(preferences);
    preferences.setValue(QString::fromLatin1(kDestinationDirectoryKey), destination);
    preferences.setValue(QString::fromLatin1(kDestinationFolderBookmarkKey), *bookmark);

    ErrorLogStore store;
    ErrorLogWindowController errorLog(store, PlatformTools::defaultTools());

    AppDelegateEnvironment environment;
    environment.preferences = &preferences;
    environment.errorLog = &errorLog;
    environment.sandboxed = false;
    environment.automaticUpdateChecks = false;
    const auto delegate = std::make_unique<CleftoneAppDelegate>(std::move(environment));

    bool walked = false;
    QObject::connect(delegate.get(), &CleftoneAppDelegate::walkDidFinish,
                     [&walked] { walked = true; });
    if (!delegate->applicationOpenFiles(files) ||
        !waitUntil([&walked] { return walked; }, kWalkTimeoutMs)) {
        printError(
            QStringLiteral("the files were not listed within %1 s").arg(kWalkTimeoutMs / 1000));
        return kFailed;
    }
    if (delegate->operationsController()->count() != files.size()) {
        printError(QStringLiteral("listed %1 of %2 files")
                       .arg(delegate->operationsController()->count())
                       .arg(files.size()));
        return kFailed;
    }

    // Every row's metadata read, the inspector open on one of the MP3 files with a cover.
    OperationsArrayController& list = *delegate->operationsController();
    if (!waitUntil([&list] { return list.waitingCount() == 0; }, kWalkTimeoutMs)) {
        printError(QStringLiteral("the files were not inspected in time"));
        return kFailed;
    }
    QMainWindow* window = delegate->window();
    window->resize(kMainWindowWidth, kMainWindowHeight);
    window->show();
    settle(window);
    QTableView* table = delegate->tableView();
    const QModelIndexList shown = table->model()->match(
        table->model()->index(0, 0), Qt::DisplayRole, QStringLiteral("02 - Gymnopédie No. 2.mp3"));
    if (shown.isEmpty()) {
        printError(QStringLiteral("the file to inspect is not listed"));
        return kFailed;
    }
    table->setCurrentIndex(shown.first());
    MetadataInspector& inspector = *delegate->inspector();
    inspector.show();
    if (!waitUntil([&inspector] { return !inspector.isLoading(); }, kWalkTimeoutMs)) {
        printError(QStringLiteral("the inspector did not read the file in time"));
        return kFailed;
    }
    // Grown until the whole list shows, so the picture ends on a full row, not a cut one.
    const int listHeight = table->horizontalHeader()->height() + table->verticalHeader()->length() +
                           2 * table->frameWidth();
    if (listHeight > table->height()) {
        window->resize(kMainWindowWidth, std::min(window->height() + listHeight - table->height(),
                                                  kMainWindowMaximumHeight));
    }
    settle(window);
    if (!save(window, QDir(outputDir).filePath(QStringLiteral("main-window.png"))))
        return kFailed;

    // The window is open while the failures come in, as during a run with View > Error Log
    // showing: each row is measured as it arrives, at the window's final width.
    QMainWindow* logWindow = errorLog.window();
    logWindow->resize(kWindowWidth, kErrorLogHeight);
    logWindow->show();
    settle(logWindow);
    QDateTime stamp(QDate(2025, 3, 14), QTime(21, 7, 12), Qt::UTC);
    ErrorLogStore::setClockForTesting([&stamp] { return stamp; });
    for (const char* line : kFailureLines) {
        store.logMessage(QString::fromUtf8(line));
        stamp = stamp.addSecs(3);
    }
    ErrorLogStore::setClockForTesting({});
    settle(logWindow);
    if (!save(logWindow, QDir(outputDir).filePath(QStringLiteral("error-log.png"))))
        return kFailed;

    logWindow->close();

    // Settings with every row a build can show, the update row included.
    SettingsWindowController settings(preferences, true);
    settings.window()->show();
    settle(settings.window());
    if (!save(settings.window(), QDir(outputDir).filePath(QStringLiteral("settings.png"))))
        return kFailed;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // Pinned before Qt reads them: one device pixel per pixel, 96 dpi text, UTC time stamps.
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    qputenv("QT_FONT_DPI", "96");
    qputenv("TZ", "UTC");
    tzset();
    // Settings, state and caches go to throw-away test locations, never the user's own.
    QStandardPaths::setTestModeEnabled(true);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Cleftone"));
    QApplication::setApplicationDisplayName(QStringLiteral("Cleftone"));
    pinLookAndFeel();

    const QStringList arguments = app.arguments().mid(1);
    if (arguments.size() == 2 && arguments.at(0) == QLatin1String("--screen"))
        return grabScreen(arguments.at(1));
    if (arguments.size() > 1 || (arguments.size() == 1 && arguments.at(0).startsWith('-'))) {
        QTextStream(stderr) << "Usage: cleftone-screenshots [OUTPUT-DIR]\n"
                               "       cleftone-screenshots --screen FILE.png\n";
        return kUsageError;
    }
    const QString outputDir = arguments.value(0, QStringLiteral("docs/screenshots"));
    return renderScreenshots(QDir::current().absoluteFilePath(outputDir));
}
