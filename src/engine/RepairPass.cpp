#include "RepairPass.h"

#include "platform/PathBytes.h"
#include "platform/SystemLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringDecoder>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

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

    QProcess tool;
    tool.setProgram(programPath());
    // QProcess hands arguments over as UTF-8, which would change a path that is not. Then the
    // tool starts in the file's folder and is given the name alone ("cleftone.XXXXXX", ASCII,
    // unless the "_NoTag" fallback is in use).
    QString fileArgument = tempFilePath;
    if (pathBytes(tempFilePath) != tempFilePath.toUtf8()) {
        const qsizetype slash = tempFilePath.lastIndexOf(QLatin1Char('/'));
        const QByteArray folder = pathBytes(tempFilePath.left(std::max<qsizetype>(slash, 1)));
        fileArgument = QStringLiteral("./") + tempFilePath.mid(slash + 1);
        tool.setChildProcessModifier([folder] {
            if (::chdir(folder.constData()) != 0)
                ::_exit(127);
        });
    }
    tool.setArguments(
        {QStringLiteral("-f"), QStringLiteral("-nb"), QStringLiteral("-si"), fileArgument});
    // Standard output is thrown away as it comes; standard error is read into memory while
    // waiting, so that neither pipe can fill up and stall the child.
    tool.setStandardOutputFile(QProcess::nullDevice());
    tool.start(QIODevice::ReadOnly);
    if (!tool.waitForStarted(-1)) {
        systemLog(QStringLiteral("mp3val launch failed: %1").arg(tool.errorString()));
        return result;
    }
    result.ran = true;
    tool.waitForFinished(-1);

    const bool killed = tool.exitStatus() == QProcess::CrashExit;
    if (killed || tool.exitCode() != 0) {
        // After a crash Qt reports the signal number as the exit code.
        const QString errorText = decodedOrEmpty(tool.readAllStandardError());
        systemLog(QStringLiteral("mp3val %1: status=%2 stderr=%3")
                      .arg(killed ? QStringLiteral("killed by signal")
                                  : QStringLiteral("exited non-zero"),
                           QString::number(qint32(tool.exitCode())),
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
