#pragma once

#include "engine/LeftoverJournal.h"

#include <QString>

#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace cleftone {

/// The replacement folders of one batch run: one private ".cleftone-replace-XXXXXX" per output
/// folder, made when the first job writes there and shared by every later job of the run that
/// writes into the same folder. Sharing saves each job a mkdtemp, a recursive removal and the
/// leftover-journal rewrites for its temporary file: the journal notes the folder once, and a
/// later start removes it with whatever it holds if this process is killed.
///
/// It also collects the output folders that received a renamed file, so that each is flushed
/// once per run instead of once per file. A crash before that flush still leaves the old or the
/// new file at every path: each file's data is flushed before its rename, and the rename is
/// atomic; only which of the two survives is decided by the flush.
///
/// Threads: any thread; calls are serialised internally. finish() runs once at the end of the
/// run, on the queue's worker (never on the window's thread: it flushes and removes folders).
class ReplacementFolders {
public:
    /// `journalDirectory` empty: the default leftover journal.
    explicit ReplacementFolders(const QString& journalDirectory = QString());
    ReplacementFolders(const ReplacementFolders&) = delete;
    ReplacementFolders& operator=(const ReplacementFolders&) = delete;
    /// Runs finish() if it has not run.
    ~ReplacementFolders();

    /// The run's replacement folder for `outputPath`'s folder, made on first use; none when
    /// that folder refuses.
    std::optional<QString> directoryFor(const QString& outputPath);

    /// A file was renamed into `folder`; it is flushed at the next flushFolders().
    void noteRenamedInto(const QString& folder);

    /// Flushes every folder noted since the last call.
    void flushFolders();

    /// Flushes the noted folders, removes the replacement folders with whatever they still hold
    /// and drops the journal record. Later calls to directoryFor() start afresh.
    void finish();

private:
    std::mutex mutex_;
    LeftoverRecord record_;
    std::map<QString, std::optional<QString>> directories_; // output folder -> its folder
    std::set<QString> unflushed_;
};

} // namespace cleftone
