#include "LeftoverJournal.h"

#include "platform/PathBytes.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone {

namespace {

QMutex directoryOverrideMutex;
QString directoryOverride;

std::atomic<std::uint64_t> nextSerial{1};

const char* kindName(LeftoverKind kind)
{
    switch (kind) {
    case LeftoverKind::ReplacementDirectory:
        return "replacementDirectory";
    case LeftoverKind::TemporaryFile:
        return "temporaryFile";
    case LeftoverKind::FallbackFile:
        return "fallbackFile";
    }
    return "";
}

std::optional<LeftoverKind> kindFromName(const QString& name)
{
    for (LeftoverKind kind : {LeftoverKind::ReplacementDirectory, LeftoverKind::TemporaryFile,
                              LeftoverKind::FallbackFile}) {
        if (name == QLatin1String(kindName(kind)))
            return kind;
    }
    return std::nullopt;
}

QString parentOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

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
            kindFromName(object.value(QStringLiteral("kind")).toString());
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

ProcessIdentity ProcessIdentity::current()
{
    static const ProcessIdentity self = [] {
        std::optional<ProcessIdentity> identity = of(::getpid());
        return identity ? *identity : ProcessIdentity{::getpid(), 0};
    }();
    // A forked child is another process with the same memory.
    if (self.pid != ::getpid()) {
        std::optional<ProcessIdentity> identity = of(::getpid());
        return identity ? *identity : ProcessIdentity{::getpid(), 0};
    }
    return self;
}

std::optional<ProcessIdentity> ProcessIdentity::of(std::int64_t pid)
{
    if (pid <= 0)
        return std::nullopt;
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // The command name (field 2) may hold blanks and parentheses; the fields after it do not.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(text.substr(close + 1));
    std::string state;
    fields >> state; // field 3
    if (state.empty() || state == "Z" || state == "X" || state == "x")
        return std::nullopt;
    std::string skipped;
    for (int field = 4; field < 22; ++field)
        fields >> skipped;
    std::uint64_t startTime = 0;
    if (!(fields >> startTime))
        return std::nullopt;
    return ProcessIdentity{pid, startTime};
}

bool ProcessIdentity::isAlive() const
{
    const std::optional<ProcessIdentity> now = of(pid);
    return now && now->startTime == startTime;
}

QString leftoverJournalDirectory()
{
    {
        QMutexLocker lock(&directoryOverrideMutex);
        if (!directoryOverride.isEmpty())
            return directoryOverride;
    }
    QString stateHome = qEnvironmentVariable("XDG_STATE_HOME");
    if (stateHome.isEmpty() || !stateHome.startsWith(QLatin1Char('/')))
        stateHome = QDir::homePath() + QStringLiteral("/.local/state");
    return stateHome + QStringLiteral("/cleftone/leftovers");
}

void setLeftoverJournalDirectory(const QString& directory)
{
    QMutexLocker lock(&directoryOverrideMutex);
    directoryOverride = directory;
}

LeftoverRecord::LeftoverRecord() : LeftoverRecord(QString(), ProcessIdentity::current())
{}

LeftoverRecord::LeftoverRecord(const QString& journalDirectory, ProcessIdentity owner)
    : directory_(journalDirectory.isEmpty() ? leftoverJournalDirectory() : journalDirectory),
      owner_(owner), serial_(nextSerial.fetch_add(1))
{}

LeftoverRecord::~LeftoverRecord()
{
    if (!abandoned_)
        drop();
}

QString LeftoverRecord::filePath() const
{
    return directory_ +
           QStringLiteral("/%1-%2-%3.json").arg(owner_.pid).arg(owner_.startTime).arg(serial_);
}

int LeftoverRecord::expectIn(LeftoverKind kind, const QString& parentDirectory)
{
    entries_.push_back(Entry{kind, parentDirectory, QString(), std::nullopt, true});
    write();
    return int(entries_.size()) - 1;
}

int LeftoverRecord::expectAt(LeftoverKind kind, const QString& path)
{
    entries_.push_back(Entry{kind, parentOf(path), path, std::nullopt, true});
    write();
    return int(entries_.size()) - 1;
}

void LeftoverRecord::made(int entry, const QString& path)
{
    if (entry < 0 || std::size_t(entry) >= entries_.size())
        return;
    entries_[entry].path = path;
    refresh(entry);
}

void LeftoverRecord::refresh(int entry)
{
    if (entry < 0 || std::size_t(entry) >= entries_.size() || !entries_[entry].live)
        return;
    struct stat info {};
    if (lstatPath(entries_[entry].path, &info))
        entries_[entry].identity =
            std::make_pair(std::uint64_t(info.st_dev), std::uint64_t(info.st_ino));
    write();
}

void LeftoverRecord::forget(int entry)
{
    if (entry < 0 || std::size_t(entry) >= entries_.size() || !entries_[entry].live)
        return;
    entries_[entry].live = false;
    write();
}

void LeftoverRecord::drop()
{
    if (abandoned_)
        return;
    for (Entry& entry : entries_)
        entry.live = false;
    if (fileWritten_) {
        ::unlink(pathBytes(filePath()).constData());
        fileWritten_ = false;
    }
}

void LeftoverRecord::abandon()
{
    abandoned_ = true;
}

void LeftoverRecord::write()
{
    if (abandoned_)
        return;
    QJsonArray array;
    for (const Entry& entry : entries_) {
        if (!entry.live)
            continue;
        QJsonObject object;
        object.insert(QStringLiteral("kind"), QLatin1String(kindName(entry.kind)));
        object.insert(QStringLiteral("parent"), entry.parent);
        if (!entry.path.isEmpty())
            object.insert(QStringLiteral("path"), entry.path);
        if (entry.identity) {
            object.insert(QStringLiteral("device"), QString::number(entry.identity->first));
            object.insert(QStringLiteral("inode"), QString::number(entry.identity->second));
        }
        array.append(object);
    }
    const QByteArray finalPath = pathBytes(filePath());
    if (array.isEmpty()) {
        if (fileWritten_) {
            ::unlink(finalPath.constData());
            fileWritten_ = false;
        }
        return;
    }
    if (!fileWritten_) {
        QDir().mkpath(directory_);
        ::chmod(pathBytes(directory_).constData(), 0700);
    }
    QJsonObject root;
    root.insert(QStringLiteral("pid"), QString::number(owner_.pid));
    root.insert(QStringLiteral("startTime"), QString::number(owner_.startTime));
    root.insert(QStringLiteral("entries"), array);
    const QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Compact);

    // Not flushed to disk: after a power loss the record may be missing, which costs only the
    // clean-up of a few temporary items, while a flush per note would slow every job.
    const QByteArray temporaryPath = finalPath + ".tmp";
    const int fd = ::open(temporaryPath.constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    qsizetype written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.constData() + written, size_t(text.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    ::close(fd);
    if (written != text.size() || ::rename(temporaryPath.constData(), finalPath.constData()) != 0) {
        ::unlink(temporaryPath.constData());
        return;
    }
    fileWritten_ = true;
}

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
