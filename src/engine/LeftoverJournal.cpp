#include "engine/LeftoverJournal.h"

#include "engine/LeftoverJournalFormat.h"
#include "platform/PathBytes.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone {

namespace {

QMutex directoryOverrideMutex;
QString directoryOverride;

std::atomic<std::uint64_t> nextSerial{1};

QString parentOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

} // namespace

const char* leftoverKindName(LeftoverKind kind)
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

std::optional<LeftoverKind> leftoverKindFromName(const QString& name)
{
    for (LeftoverKind kind : {LeftoverKind::ReplacementDirectory, LeftoverKind::TemporaryFile,
                              LeftoverKind::FallbackFile}) {
        if (name == QLatin1String(leftoverKindName(kind)))
            return kind;
    }
    return std::nullopt;
}

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
    if (::lstat(pathBytes(entries_[entry].path).constData(), &info) == 0)
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
        object.insert(QStringLiteral("kind"), QLatin1String(leftoverKindName(entry.kind)));
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

} // namespace cleftone
