#include "app/CleftoneAppDelegate.h"
#include "app/SingleInstance.h"
#include "app/translations/Translations.h"
#include "engine/LeftoverJournal.h"
#include "platform/BuildConfig.h"
#include "platform/MemoryTuning.h"
#include "platform/PathBytes.h"
#include "platform/Preferences.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QMainWindow>
#include <QTextStream>

#include <chrono>
#include <cstdio>

using namespace cleftone;

namespace {

void printUsage()
{
    QTextStream out(stdout);
    out << "Usage: cleftone [FILE-OR-FOLDER]...\n"
           "Removes tags, extra chunks and cover art from audio files without re-encoding.\n"
           "Files and folders named here are added to the list of the running window.\n"
           "  -h, --help     show this help\n"
           "  -v, --version  show the version\n";
}

} // namespace

int main(int argc, char** argv)
{
    tuneMemoryAllocator();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Cleftone"));
    QApplication::setApplicationDisplayName(QStringLiteral("Cleftone"));
    QApplication::setApplicationVersion(QString::fromUtf8(applicationVersion()));
    QGuiApplication::setDesktopFileName(QString::fromUtf8(bundleIdentifier()));
    QApplication::setWindowIcon(QIcon::fromTheme(QString::fromUtf8(bundleIdentifier()),
                                                 QIcon(QStringLiteral(":/icons/cleftone.svg"))));
    // Closing the main window quits by itself; a lone Error Log or Settings window must not
    // keep the process alive once the main window has gone.
    QApplication::setQuitOnLastWindowClosed(true);

    QStringList paths;
    bool onlyPaths = false;
    // QApplication has taken its own options out of argv. arguments() would decode the rest as
    // UTF-8, which loses the bytes of a file name that is not.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << pathFromBytes(QByteArray(argv[i]));
    for (const QString& argument : std::as_const(arguments)) {
        if (!onlyPaths && argument == QLatin1String("--")) {
            onlyPaths = true;
        } else if (!onlyPaths &&
                   (argument == QLatin1String("-h") || argument == QLatin1String("--help"))) {
            printUsage();
            return 0;
        } else if (!onlyPaths &&
                   (argument == QLatin1String("-v") || argument == QLatin1String("--version"))) {
            QTextStream(stdout) << "cleftone " << applicationVersion() << '\n';
            return 0;
        } else if (!onlyPaths && argument.startsWith(QLatin1Char('-')) &&
                   !QFileInfo::exists(argument)) {
            // Toolkit options (-platform, -style…) were consumed by QApplication already.
            QTextStream(stderr) << "cleftone: unknown option " << argument << '\n';
            return 2;
        } else {
            paths << QDir::current().absoluteFilePath(argument);
        }
    }

    // A second launch hands its files to the window that is already open.
    SingleInstance instance;
    using Result = SingleInstance::ForwardResult;
    constexpr std::chrono::seconds kForwardTimeout{5};
    for (int attempt = 0; attempt < 2; ++attempt) {
        const Result forwarded = instance.forwardToRunningInstance(paths, kForwardTimeout);
        if (forwarded == Result::Accepted)
            return 0;
        if (forwarded == Result::Refused)
            return 1;
        if (forwarded == Result::NoAnswer) {
            QTextStream(stderr) << "cleftone: the running Cleftone does not answer\n";
            return 1;
        }
        if (instance.listen())
            break;
    }

    installApplicationTranslator(app);
    removeLeftoversOfDeadProcesses();
    CleftoneAppDelegate::registerDefaultPreferences(Preferences::standard());

    CleftoneAppDelegate delegate;
    QMainWindow* window = delegate.window();
    instance.setOpenFilesHandler(
        [&delegate](const QStringList& files) { return delegate.applicationOpenFiles(files); });
    QObject::connect(&instance, &SingleInstance::activationRequested, window, [window] {
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->show();
        window->raise();
        window->activateWindow();
    });

    window->show();
    if (!paths.isEmpty())
        delegate.applicationOpenFiles(paths);
    return app.exec();
}
