#include "intake/FileScreening.h"

#include "engine/audiofile/VideoProbe.h"
#include "platform/PathBytes.h"

#include <QCollator>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QMimeDatabase>
#include <QSet>

#include <algorithm>
#include <array>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace cleftone {

namespace {

const QSet<QString>& videoExtensions()
{
    static const QSet<QString> extensions = [] {
        // The containers that may hold a film: Ogg (Theora), Matroska and WebM, and ASF too.
        constexpr std::array<const char*, 10> names = {"mp4", "m4v", "mov", "3gp",  "3g2",
                                                       "m4a", "ogg", "mkv", "webm", "asf"};
        QSet<QString> set;
        for (const char* name : names)
            set.insert(QString::fromLatin1(name));
        return set;
    }();
    return extensions;
}

struct FolderEntry {
    QString name;
    bool isFolder = false; // a real folder, not a link to one
    QCollatorSortKey key;
};

// One folder's entries in the order a person reads a listing: by the user's locale, case
// ignored, numbers by value ("Track 2" before "Track 10"). Sort keys make the comparisons
// cheap in folders of many thousand files.
std::vector<FolderEntry> sortedEntries(const QString& folder, const QCollator& collator)
{
    std::vector<FolderEntry> entries;
    // readdir() rather than QDirIterator: the entry's type comes with its name, so a folder of
    // many thousand files costs no stat() and no QFileInfo per entry.
    DIR* dir = ::opendir(pathBytes(folder).constData());
    if (!dir)
        return entries;
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            isFolder = ::fstatat(::dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                       S_ISDIR(info.st_mode);
        }
        // The name's bytes are kept, also where they are not UTF-8 (platform/PathBytes.h).
        QString decoded = pathFromBytes(QByteArray(name));
        QCollatorSortKey key = collator.sortKey(decoded);
        entries.push_back({std::move(decoded), isFolder, std::move(key)});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) {
        const int order = a.key.compare(b.key);
        return order != 0 ? order < 0 : a.name < b.name; // "a" and "A" in a fixed order
    });
    return entries;
}

// One entry met by the walk. `hidden`: its name, or the name of a folder it lies in below the
// walked folder, begins with a dot.
struct VisitedEntry {
    QString path;
    bool isFolder;
    bool hidden;
};

// Every entry below `prefix` (a folder path ending in "/"), depth first: a folder's entries
// follow it directly. Links to folders are listed but not followed into.
void walkFolder(const QString& prefix, const std::function<bool()>& cancelled,
                const std::function<void(const VisitedEntry&)>& visit)
{
    // The C locale collates by code point and knows no numbers; without a language of its own
    // a session gets the common root order instead.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setNumericMode(true);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    struct Level {
        QString prefix;
        std::vector<FolderEntry> entries;
        bool hidden = false;
        std::size_t next = 0;
    };
    // A stack of its own rather than recursion: folders may nest deeper than a thread's stack.
    std::vector<Level> levels;
    levels.push_back({prefix, sortedEntries(prefix, collator), false});
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.next == level.entries.size()) {
            levels.pop_back();
            continue;
        }
        if (cancelled())
            return;
        const FolderEntry& entry = level.entries[level.next++];
        const QString path = level.prefix + entry.name;
        const bool hidden = level.hidden || entry.name.startsWith(QLatin1Char('.'));
        const bool isFolder = entry.isFolder;
        visit({path, isFolder, hidden});
        if (isFolder) {
            const QString folder = path + QLatin1Char('/');
            levels.push_back({folder, sortedEntries(folder, collator), hidden});
        }
    }
}

// The first bytes of a regular file, for telling its type by content. Never opens anything else
// (a named pipe would block).
QByteArray headOfRegularFile(const QString& path)
{
    const QByteArray bytes = pathBytes(path);
    struct stat info {};
    if (::stat(bytes.constData(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
        return {};
    const int fd = ::open(bytes.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray head(4096, Qt::Uninitialized);
    const ssize_t got = ::read(fd, head.data(), std::size_t(head.size()));
    ::close(fd);
    head.resize(got > 0 ? qsizetype(got) : 0);
    return head;
}

QMimeType mediaTypeOf(const QString& path)
{
    const QMimeDatabase types;
    if (!pathExtension(path).isEmpty())
        return types.mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    const QByteArray head = headOfRegularFile(path);
    return head.isEmpty() ? QMimeType() : types.mimeTypeForData(head);
}

bool isAudioOrVideoType(const QMimeType& type)
{
    const QString name = type.name();
    if (!name.startsWith(QLatin1String("audio/")) && !name.startsWith(QLatin1String("video/")))
        return false;
    // Playlists and subtitles are text that points at media, not media.
    static const QSet<QString> playlists = {
        QStringLiteral("audio/x-scpls"), QStringLiteral("audio/x-ms-asx"),
        QStringLiteral("audio/x-mpegurl"), QStringLiteral("audio/mpegurl"),
        QStringLiteral("video/vnd.mpegurl")};
    return !playlists.contains(name) && !type.inherits(QStringLiteral("text/plain")) &&
           !type.inherits(QStringLiteral("application/xml"));
}

} // namespace

bool looksLikeAudioOrVideo(const QString& path)
{
    return isAudioOrVideoType(mediaTypeOf(path));
}

QString mediaTypeDescription(const QString& path)
{
    const QMimeType type = mediaTypeOf(path);
    return type.isValid() && !type.isDefault() ? type.comment() : QString();
}

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
    // Whether an extension names audio or video, asked once per extension of the batch.
    QHash<QString, bool> mediaExtensions;
    const auto leaveOut = [&](const VisitedEntry& entry, const QString& extension) {
        if (!sink.leaveOut || entry.hidden || entry.isFolder)
            return;
        bool media = false;
        if (extension.isEmpty()) {
            media = looksLikeAudioOrVideo(entry.path);
        } else {
            const auto known = mediaExtensions.constFind(extension);
            media = known != mediaExtensions.cend()
                        ? known.value()
                        : *mediaExtensions.insert(extension, looksLikeAudioOrVideo(entry.path));
        }
        if (media)
            sink.leaveOut(entry.path);
    };
    // The expensive video test runs only for names that are both supported and video-capable.
    const auto screenName = [&](const VisitedEntry& entry, bool isBatchPath) {
        const QString& path = entry.path;
        const QString extension = pathExtension(path).toLower();
        if (!supported.contains(extension)) {
            if (isBatchPath && sink.skipUnsupported)
                sink.skipUnsupported(path);
            else if (!isBatchPath)
                leaveOut(entry, extension);
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
            screenName({path, false, false}, true);
            continue;
        }
        walkFolder(path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/'), cancelled,
                   [&](const VisitedEntry& entry) { screenName(entry, false); });
    }
}

} // namespace cleftone
