#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace cleftone {

/// Where a folder bookmark leads now.
struct ResolvedFolder {
    QString path;
    /// The folder at `path` is not the one the bookmark was made from (it was replaced): make a
    /// new bookmark from `path` and store that instead.
    bool isStale = false;
};

/// A stored reference to a folder the user chose, kept in the preferences between launches.
///
/// The bytes are opaque to callers: they record the folder's canonical path and its file-system
/// identity (device and inode), behind a magic, a format version and a checksum.
///
/// Threads: all functions may be called from any thread.
class FolderBookmark {
public:
    /// Makes a bookmark of the folder at `folderPath`. On failure gives nothing and, when
    /// `error` is given, a readable reason in it.
    static std::optional<QByteArray> create(const QString& folderPath, QString* error = nullptr);

    /// The folder the bookmark leads to. Fails, with a readable reason in `errorDescription`,
    /// when the bytes are not a bookmark ("The bookmark data is damaged.") or when there is no
    /// folder at the recorded path any more ("The folder no longer exists.").
    static std::optional<ResolvedFolder> resolve(const QByteArray& bookmark,
                                                 QString* errorDescription = nullptr);

    /// True when files can be written into the folder at `path` now: it exists, is a folder,
    /// and the process may write and enter it.
    static bool startAccessing(const QString& path);

    /// Pairs with startAccessing(). Does nothing: this platform grants folder access through
    /// file permissions alone, so nothing is held open between the two calls. Callers keep the
    /// pairing so that a sandbox that does hold access can be added here alone.
    static void stopAccessing(const QString& path);
};

} // namespace cleftone
