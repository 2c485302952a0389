#include "engine/LeftoverJournal.h"
#include "engine/LeftoverJournalFormat.h"
#include "platform/PathBytes.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// The sweep at start-up: what the records of processes that are gone still name, and is still
// what those processes made, is removed.
namespace cleftone {

namespace {

QString lastComponent(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

bool lstatPath(const QString& path, struct stat* info)
{
    return ::lstat(pathBytes(path).constData(), info) == 0;
}

// Record files are named "<pid>-<start time>-<serial>.json"; a record is rewritten through
// "<name>.tmp" and a rename, so a reader only ever sees whole records.
const QRegularExpression& recordNamePattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^([0-9]+)-([0-9]+)-([0-9]+)\\.json(\\.tmp)?$"));
    return pattern;
}

// The names mkstemp and mkdtemp give: six letters or digits in place of the X's.
bool hasTemporaryFileName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^cleftone\\.[A-Za-z0-9]{6}$"));
    return pattern.match(name).hasMatch();
}

bool hasReplacementDirectoryName(const QString& name)
{
    static const QRegularExpression pattern(QStringLiteral("^\\.cleftone-replace-[A-Za-z0-9]{6}$"));
    return pattern.match(name).hasMatch();
}

// Boot time in seconds since the epoch, to turn a start time in ticks into a wall-clock time.
std::optional<std::int64_t> bootTime()
{
    std::ifstream stat("/proc/stat");
    std::string key;
    while (stat >> key) {
        if (key == "btime") {
            std::int64_t value = 0;
            if (stat >> value)
                return value;
            return std::nullopt;
        }
        stat.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return std::nullopt;
}

struct JournalEntry {
    LeftoverKind kind = LeftoverKind::TemporaryFile;
    QString parent;
    QString path;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> identity;
};

struct JournalRecord {
    QString fileName;
    ProcessIdentity owner;
    bool temporary = false; // a "<name>.tmp" left by an interrupted rewrite
    std::vector<JournalEntry> entries;
};

std::optional<JournalRecord> recordFromFileName(const QString& fileName)
{
    const QRegularExpressionMatch match = recordNamePattern().match(fileName);
    if (!match.hasMatch())
        return std::nullopt;
    bool pidOk = false;
    bool startOk = false;
    JournalRecord record;
    record.fileName = fileName;
    record.owner.pid = match.captured(1).toLongLong(&pidOk);
    record.owner.startTime = match.captured(2).toULongLong(&startOk);
    record.temporary = match.hasCaptured(4);
    if (!pidOk || !startOk)
        return std::nullopt;
    return record;
}

bool readEntries(const QString& filePath, std::vector<JournalEntry>* entries)
{
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return false;
    for (const QJsonValue& value : document.object().value(QStringLiteral("entries")).toArray()) {
        const QJsonObject object = value.toObject();
        const std::optional<LeftoverKind> kind =
            leftoverKindFromName(object.value(QStringLiteral("kind")).toString());
        if (!kind)
            continue;
        JournalEntry entry;
        entry.kind = *kind;
        entry.parent = object.value(QStringLiteral("parent")).toString();
        entry.path = object.value(QStringLiteral("path")).toString();
        const QString device = object.value(QStringLiteral("device")).toString();
        const QString inode = object.value(QStringLiteral("inode")).toString();
        if (!device.isEmpty() && !inode.isEmpty())
            entry.identity = std::make_pair(device.toULongLong(), inode.toULongLong());
        entries->push_back(entry);
    }
    return true;
}

QStringList recordFileNames(const QString& directory)
{
    return QDir(directory).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

bool isOwnedByUs(const struct stat& info)
{
    return info.st_uid == ::geteuid();
}

bool sameIdentity(const struct stat& info, const JournalEntry& entry)
{
    return entry.identity && entry.identity->first == std::uint64_t(info.st_dev) &&
           entry.identity->second == std::uint64_t(info.st_ino);
}

bool unlinkPath(const QString& path)
{
    return ::unlink(pathBytes(path).constData()) == 0;
}

bool removeFile(const QString& path, QStringList* removed)
{
    if (!unlinkPath(path))
        return false;
    removed->append(path);
    return true;
}

// Removes an item a dead job recorded by name, if it still is what the job made there. The
// repair tool renames the file it rebuilds to "<name>.bak" for a moment; a tool killed then
// leaves the job's file under that name, which goes too.
void removeRecordedItem(const JournalEntry& entry, QStringList* removed)
{
    const QString name = lastComponent(entry.path);
    const QString backup = entry.path + QStringLiteral(".bak");
    struct stat info {};
    switch (entry.kind) {
    case LeftoverKind::ReplacementDirectory:
        if (hasReplacementDirectoryName(name) && lstatPath(entry.path, &info) &&
            isOwnedByUs(info) && S_ISDIR(info.st_mode) && sameIdentity(info, entry)) {
            std::error_code error;
            std::filesystem::remove_all(pathBytes(entry.path).toStdString(), error);
            if (!error)
                removed->append(entry.path);
        }
        return;
    case LeftoverKind::TemporaryFile:
        // The repair tool replaces the file (a new inode), so the name, type, owner and device
        // identify it here, not the inode.
        if (!hasTemporaryFileName(name))
            return;
        for (const QString& path : {entry.path, backup}) {
            if (lstatPath(path, &info) && isOwnedByUs(info) && S_ISREG(info.st_mode) &&
                (!entry.identity || entry.identity->first == std::uint64_t(info.st_dev)))
                removeFile(path, removed);
        }
        return;
    case LeftoverKind::FallbackFile:
        // Beside the user's own files: only the very file the job created (under either name,
        // since a rename keeps the inode).
        for (const QString& path : {entry.path, backup}) {
            if (lstatPath(path, &info) && isOwnedByUs(info) && S_ISREG(info.st_mode) &&
                sameIdentity(info, entry))
                removeFile(path, removed);
        }
        return;
    }
}

} // namespace

QStringList removeLeftoversOfDeadProcesses()
{
    return removeLeftoversOfDeadProcesses(leftoverJournalDirectory());
}

QStringList removeLeftoversOfDeadProcesses(const QString& journalDirectory)
{
    QStringList removed;

    // 1. Records of processes that are gone. What they name can no longer change.
    std::vector<JournalRecord> dead;
    for (const QString& fileName : recordFileNames(journalDirectory)) {
        std::optional<JournalRecord> record = recordFromFileName(fileName);
        if (!record || record->owner.isAlive())
            continue;
        if (!record->temporary)
            readEntries(journalDirectory + QLatin1Char('/') + fileName, &record->entries);
        dead.push_back(std::move(*record));
    }
    if (dead.empty())
        return removed;

    // 2. A job that died between mkstemp/mkdtemp and noting the chosen name left an empty item
    // under a name only its record's folder tells. Those folders are listed before the running
    // jobs' records are read: a running job notes a folder before it makes anything there, so
    // every item in the listing that belongs to a running job is covered by what is read next.
    std::map<QString, QStringList> listings;
    for (const JournalRecord& record : dead) {
        for (const JournalEntry& entry : record.entries) {
            if (entry.path.isEmpty() && entry.kind != LeftoverKind::FallbackFile &&
                entry.parent.startsWith(QLatin1Char('/')) && !listings.count(entry.parent))
                listings[entry.parent] = QDir(entry.parent)
                                             .entryList(QDir::AllEntries | QDir::Hidden |
                                                        QDir::System | QDir::NoDotAndDotDot);
        }
    }

    // 3. What the running jobs have made or are about to make.
    std::set<QString> liveRecordedPaths;
    std::set<std::pair<int, QString>> livePending; // kind, folder
    for (const QString& fileName : recordFileNames(journalDirectory)) {
        const std::optional<JournalRecord> record = recordFromFileName(fileName);
        if (!record || record->temporary || !record->owner.isAlive())
            continue;
        std::vector<JournalEntry> entries;
        readEntries(journalDirectory + QLatin1Char('/') + fileName, &entries);
        for (const JournalEntry& entry : entries) {
            if (!entry.path.isEmpty())
                liveRecordedPaths.insert(entry.path);
            else
                livePending.insert({int(entry.kind), entry.parent});
        }
    }
    std::set<QString> recordedPaths = liveRecordedPaths;
    for (const JournalRecord& record : dead) {
        for (const JournalEntry& entry : record.entries) {
            if (!entry.path.isEmpty())
                recordedPaths.insert(entry.path);
        }
    }

    const std::optional<std::int64_t> boot = bootTime();
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);

    for (const JournalRecord& record : dead) {
        bool keep = false;
        // Files first: a temporary file may lie inside the replacement directory.
        std::vector<JournalEntry> entries = record.entries;
        std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            return a.kind != LeftoverKind::ReplacementDirectory &&
                   b.kind == LeftoverKind::ReplacementDirectory;
        });
        for (const JournalEntry& entry : entries) {
            if (!entry.path.isEmpty()) {
                // A path a running job holds now is its own, whoever had it before.
                if (!liveRecordedPaths.count(entry.path))
                    removeRecordedItem(entry, &removed);
                continue;
            }
            if (entry.kind == LeftoverKind::FallbackFile ||
                !entry.parent.startsWith(QLatin1Char('/')))
                continue; // nothing there can be told apart from the user's files
            if (livePending.count({int(entry.kind), entry.parent})) {
                keep = true; // a running job may be making its item there right now
                continue;
            }
            // Only empty items made while that process ran, under Cleftone's own names.
            const std::int64_t startedAt =
                boot && ticksPerSecond > 0
                    ? *boot + std::int64_t(record.owner.startTime / std::uint64_t(ticksPerSecond))
                    : 0;
            for (const QString& name : listings[entry.parent]) {
                const QString path =
                    (entry.parent.endsWith(QLatin1Char('/')) ? entry.parent
                                                             : entry.parent + QLatin1Char('/')) +
                    name;
                if (recordedPaths.count(path))
                    continue;
                struct stat info {};
                if (!lstatPath(path, &info) || !isOwnedByUs(info) ||
                    std::int64_t(info.st_mtime) + 2 < startedAt)
                    continue;
                if (entry.kind == LeftoverKind::TemporaryFile && hasTemporaryFileName(name) &&
                    S_ISREG(info.st_mode) && info.st_size == 0 && unlinkPath(path)) {
                    removed.append(path);
                } else if (entry.kind == LeftoverKind::ReplacementDirectory &&
                           hasReplacementDirectoryName(name) && S_ISDIR(info.st_mode) &&
                           ::rmdir(pathBytes(path).constData()) == 0) {
                    removed.append(path); // rmdir: only when empty
                }
            }
        }
        if (!keep) {
            const QByteArray recordPath =
                pathBytes(journalDirectory + QLatin1Char('/') + record.fileName);
            ::unlink(recordPath.constData());
        }
    }
    return removed;
}

} // namespace cleftone
