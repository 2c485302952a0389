#include "intake/FileScreening.h"

#include "engine/audiofile/VideoProbe.h"
#include "intake/FolderWalk.h"
#include "platform/PathBytes.h"

#include <QFile>
#include <QSet>

#include <array>
#include <sys/stat.h>

namespace cleftone {

namespace {

const QSet<QString>& videoExtensions()
{
    static const QSet<QString> extensions = [] {
        constexpr std::array<const char*, 6> names = {"mp4", "m4v", "mov", "3gp", "3g2", "m4a"};
        QSet<QString> set;
        for (const char* name : names)
            set.insert(QString::fromLatin1(name));
        return set;
    }();
    return extensions;
}

} // namespace

QString pathExtension(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot < slash)
        return QString();
    return path.mid(dot + 1);
}

bool CTIsVideoExtension(const QString& extension)
{
    return videoExtensions().contains(extension.toLower());
}

bool CTFileHasVideoTrack(const QString& path)
{
    return fileHasVideoStream(pathBytes(path).toStdString());
}

void screenBatch(const QStringList& paths, const ScreeningRules& rules, const ScreeningSink& sink)
{
    // Built once per batch; every name of a large folder is looked up in it.
    const QSet<QString> supported(rules.supportedExtensions.cbegin(),
                                  rules.supportedExtensions.cend());
    const auto cancelled = [&] {
        return rules.isCancelled && rules.isCancelled();
    };
    const auto hasVideo = [&](const QString& path) {
        return rules.hasVideoTrack ? rules.hasVideoTrack(path) : CTFileHasVideoTrack(path);
    };
    // The expensive video test runs only for names that are both supported and video-capable.
    const auto screenName = [&](const QString& path, bool isBatchPath) {
        const QString extension = pathExtension(path).toLower();
        if (!supported.contains(extension)) {
            if (isBatchPath && sink.skipUnsupported)
                sink.skipUnsupported(path);
            return;
        }
        if (!rules.suppressVideoFileWarning && videoExtensions().contains(extension) &&
            hasVideo(path)) {
            if (sink.holdBackVideo)
                sink.holdBackVideo(path);
            return;
        }
        if (sink.admit)
            sink.admit(path);
    };

    for (const QString& path : paths) {
        if (cancelled())
            return;
        struct stat info {};
        if (::stat(pathBytes(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            screenName(path, true);
            continue;
        }
        walkFolder(path, [&](const QString& entry) {
            if (cancelled())
                return false;
            screenName(entry, false);
            return true;
        });
    }
}

} // namespace cleftone
