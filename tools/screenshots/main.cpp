// Renders the README's pictures from the real main window and Error Log window.
//
//   cleftone-screenshots [OUTPUT-DIR]        writes main-window.png and error-log.png
//   cleftone-screenshots --screen FILE.png   saves the whole screen of the display, for a look at
//                                            another program running on the same (virtual) display
//
// Everything that could differ between machines is pinned (style, palette, font, locale, time
// zone, time stamps, window sizes), so that a second run on the same system gives the same images
// and a change in a picture means a change in the window. scripts/screenshots.sh runs it under
// Xvfb.

#include "app/CleftoneAppDelegate.h"
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
constexpr int kMainWindowHeight = 440;
constexpr int kMainWindowMaximumHeight = 600;
constexpr int kErrorLogHeight = 300;

/// What a walk over a dozen empty files may take on a slow, busy machine.
constexpr int kWalkTimeoutMs = 20000;

// A dozen files as a ripper or a recorder names them. The list shows names only; the folders
// make the paths (tool tips) look like a real music library.
const char* const kLibraryFiles[] = {
    "Claude Debussy/Suite bergamasque/01 - Prélude.flac",
    "Claude Debussy/Suite bergamasque/02 - Menuet.flac",
    "Claude Debussy/Suite bergamasque/03 - Clair de lune.flac",
    "Claude Debussy/Suite bergamasque/04 - Passepied.flac",
    "Erik Satie/Trois Gymnopédies/01 - Gymnopédie No. 1.mp3",
    "Erik Satie/Trois Gymnopédies/02 - Gymnopédie No. 2.mp3",
    "Erik Satie/Trois Gymnopédies/03 - Gymnopédie No. 3.mp3",
    "J. S. Bach/Goldberg Variations/01 - Aria.m4a",
    "J. S. Bach/Goldberg Variations/02 - Variatio 1 a 1 Clav.m4a",
    "Recordings/Interview with the Composer (Take 3).wav",
    "Recordings/Rehearsal 2024-11-03.aiff",
    "Recordings/Voice Memo 2024-11-03.m4a",
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

    QStringList files;
    for (const char* relative : kLibraryFiles) {
        const QString path = root.filePath(QStringLiteral("Music/") + QString::fromUtf8(relative));
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            printError(QStringLiteral("could not create %1").arg(path));
            return kFailed;
        }
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
    // The files are empty stand-ins: nothing in them to probe.
    environment.hasVideoTrack = [](const QString&) {
        return false;
    };
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

    QMainWindow* window = delegate->window();
    window->resize(kWindowWidth, kMainWindowHeight);
    window->show();
    settle(window);
    // Grown until the whole list shows, so the picture ends on a full row, not a cut one.
    QTableView* table = delegate->tableView();
    const int listHeight = table->horizontalHeader()->height() + table->verticalHeader()->length() +
                           2 * table->frameWidth();
    if (listHeight > table->height()) {
        window->resize(kWindowWidth, std::min(window->height() + listHeight - table->height(),
                                              kMainWindowMaximumHeight));
    }
    table->clearSelection();
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
