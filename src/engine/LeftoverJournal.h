#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace cleftone {

/// A process as the kernel knows it: its PID and its start time in clock ticks after boot
/// (field 22 of /proc/<pid>/stat). The start time tells a recycled PID from the process that
/// once had it.
struct ProcessIdentity {
    std::int64_t pid = 0;
    std::uint64_t startTime = 0;

    /// This process.
    static ProcessIdentity current();
    /// The process that now has `pid`; none when there is none, or it is a zombie.
    static std::optional<ProcessIdentity> of(std::int64_t pid);
    /// Whether this very process (same PID, same start time) still runs.
    bool isAlive() const;

    bool operator==(const ProcessIdentity&) const = default;
};

/// The folder of the leftover journal: $XDG_STATE_HOME/cleftone/leftovers, by default
/// ~/.local/state/cleftone/leftovers. Any thread.
QString leftoverJournalDirectory();

/// Points the journal elsewhere for the rest of the process (tests); an empty text restores the
/// default. Call before any job starts.
void setLeftoverJournalDirectory(const QString& directory);

/// The temporary things a job makes, which a killed process leaves behind.
enum class LeftoverKind {
    ReplacementDirectory, ///< ".cleftone-replace-XXXXXX", removed with its contents
    TemporaryFile,        ///< "cleftone.XXXXXX"
    FallbackFile,         ///< the "_NoTag" file beside the input, only the very file made
};

/// One job's entry in the leftover journal: what it is about to make and what it has made, so
/// that a later start can remove what this process leaves behind if it is killed. Each change
/// replaces the record file atomically; the file exists only while something is noted.
///
/// Journal trouble (an unwritable state folder) never stops a job; only the crash clean-up is
/// lost then.
///
/// Threads: one thread at a time (the owning job's worker thread).
class LeftoverRecord {
public:
    /// A record of this process in the default journal folder.
    LeftoverRecord();
    /// A record in `journalDirectory` (empty: the default) on behalf of `owner`.
    LeftoverRecord(const QString& journalDirectory, ProcessIdentity owner);
    LeftoverRecord(const LeftoverRecord&) = delete;
    LeftoverRecord& operator=(const LeftoverRecord&) = delete;
    /// Drops the record (unless abandoned).
    ~LeftoverRecord();

    /// Notes, before making it, an item of `kind` whose name `mkstemp`/`mkdtemp` will choose in
    /// `parentDirectory`. Returns the entry's handle.
    int expectIn(LeftoverKind kind, const QString& parentDirectory);
    /// Notes, before making it, an item whose path is known already.
    int expectAt(LeftoverKind kind, const QString& path);
    /// The entry's item now exists at `path`; its device and inode are recorded.
    void made(int entry, const QString& path);
    /// Records the device and inode now found at the entry's path again (after another program
    /// replaced the file there).
    void refresh(int entry);
    /// The entry's item is gone, or was not made.
    void forget(int entry);

    /// Removes the record file; later notes write it again.
    void drop();
    /// Leaves the record file as it is and writes no more (a simulated crash in tests).
    void abandon();

    /// Path of the record file.
    QString filePath() const;

private:
    struct Entry {
        LeftoverKind kind;
        QString parent;
        QString path;
        std::optional<std::pair<std::uint64_t, std::uint64_t>> identity; // device, inode
        bool live = true;
    };

    void write();

    QString directory_;
    ProcessIdentity owner_;
    std::uint64_t serial_;
    std::vector<Entry> entries_;
    bool fileWritten_ = false;
    bool abandoned_ = false;
};

/// Reads the journal and, for each record whose process no longer runs, removes the items it
/// names if they still look like Cleftone's own (name pattern, type, owner, and device and inode
/// where recorded), then drops the record. Nothing of a running process is touched, nor anything
/// that is not Cleftone's. Called once at start by the application and the command-line tool.
/// Any thread; returns the paths it removed.
QStringList removeLeftoversOfDeadProcesses();
QStringList removeLeftoversOfDeadProcesses(const QString& journalDirectory);

} // namespace cleftone
