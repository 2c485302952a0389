#include "RepairPass.h"

#include "platform/PathBytes.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace cleftone {

namespace {

bool existsAsFile(const QString& path, struct stat* info)
{
    return ::lstat(pathBytes(path).constData(), info) == 0 && S_ISREG(info->st_mode);
}

QString decodedOrEmpty(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

struct ChildOutcome {
    bool started = false;
    int launchError = 0;
    bool killed = false;
    int status = 0; // exit code, or the signal number when killed
    QByteArray standardError;
};

// Runs the program directly (no shell), standard output to /dev/null, standard error collected
// in full through a pipe until the child closes it, then reaped. Much lighter per file than
// QProcess, which sets up an event-driven channel machinery for every child.
ChildOutcome runChild(const QByteArray& program, const QList<QByteArray>& arguments)
{
    ChildOutcome outcome;
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) {
        outcome.launchError = errno;
        return outcome;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, errorPipe[1], STDERR_FILENO);
    // The worker's blocked signals and ignored SIGPIPE must not reach the child.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.constData()));
    for (const QByteArray& argument : arguments)
        argv.push_back(const_cast<char*>(argument.constData()));
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int spawnError =
        ::posix_spawn(&pid, program.constData(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(errorPipe[1]);
    if (spawnError != 0) {
        ::close(errorPipe[0]);
        outcome.launchError = spawnError;
        return outcome;
    }
    outcome.started = true;

    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(errorPipe[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        outcome.standardError.append(buffer, n);
    }
    ::close(errorPipe[0]);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.killed = WIFSIGNALED(status);
    outcome.status = outcome.killed ? WTERMSIG(status) : WEXITSTATUS(status);
    return outcome;
}

} // namespace

QString applicationExecutableDirectory()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).path();
}

MP3RepairPass::MP3RepairPass(QString toolDirectory)
    : toolDirectory_(toolDirectory.isEmpty() ? applicationExecutableDirectory()
                                             : std::move(toolDirectory))
{}

QString MP3RepairPass::programPath() const
{
    return toolDirectory_ + QStringLiteral("/mp3val");
}

bool MP3RepairPass::appliesTo(const QString& outFilePath, AudioFileTypeID type)
{
    // mp3val "repairs" anything that is not MPEG audio into an empty file, so the name alone
    // (a WAV file called .mp3) is not enough.
    const QString name = outFilePath.mid(outFilePath.lastIndexOf(QLatin1Char('/')) + 1);
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && name.mid(dot + 1).toLower() == QLatin1String("mp3") &&
           type == AudioFileType::MP3;
}

RepairPassResult MP3RepairPass::run(const QString& outFilePath, const QString& tempFilePath,
                                    AudioFileTypeID type) const
{
    RepairPassResult result;
    if (!appliesTo(outFilePath, type))
        return result;

    const QString backup = tempFilePath + QStringLiteral(".bak");
    struct stat info {};
    const bool backupWasThere = existsAsFile(backup, &info);

    const ChildOutcome child =
        runChild(pathBytes(programPath()), {QByteArrayLiteral("-f"), QByteArrayLiteral("-nb"),
                                            QByteArrayLiteral("-si"), pathBytes(tempFilePath)});
    if (!child.started) {
        systemLog(
            QStringLiteral("mp3val launch failed: %1").arg(qt_error_string(child.launchError)));
        return result;
    }
    result.ran = true;
    if (child.killed || child.status != 0) {
        const QString errorText = decodedOrEmpty(child.standardError);
        systemLog(QStringLiteral("mp3val %1: status=%2 stderr=%3")
                      .arg(child.killed ? QStringLiteral("killed by signal")
                                        : QStringLiteral("exited non-zero"),
                           QString::number(qint32(child.status)),
                           errorText.isEmpty() ? QStringLiteral("(empty)") : errorText));
    }

    // A tool stopped between renaming the file to "<file>.bak" and putting the rebuilt one in
    // its place leaves our unrepaired output under the backup name: take it back.
    if (!backupWasThere && existsAsFile(backup, &info)) {
        struct stat current {};
        if (::lstat(pathBytes(tempFilePath).constData(), &current) != 0)
            ::rename(pathBytes(backup).constData(), pathBytes(tempFilePath).constData());
        else
            ::unlink(pathBytes(backup).constData());
    }

    result.outputUsable = existsAsFile(tempFilePath, &info) && info.st_size > 0;
    return result;
}

} // namespace cleftone
