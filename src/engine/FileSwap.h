#pragma once

#include <QString>

#include <optional>
#include <utility>

namespace cleftone {

class ReplacementFolders;

/// Why a file operation failed: a readable description for the user, and for the system log an
/// error domain and code with the system error beneath it when there is one.
struct FileError {
    QString description;
    QString domain;
    qint64 code = 0;
    std::optional<std::pair<QString, qint64>> underlying; ///< domain, code

    /// What the user is told: the description.
    QString message() const { return description; }
    /// For the system log: "<domain> <code>", followed by the underlying error's domain and
    /// code when there is one, e.g. "file-swap 1; errno 21".
    QString technicalDetail() const;
};

/// Error domain of CTFileSwap and its codes, for the system log. Underlying errors are in the
/// "errno" domain, with the errno value as code.
inline constexpr char kFileSwapErrorDomain[] = "file-swap";
inline constexpr char kErrnoDomain[] = "errno";
enum FileSwapErrorCode : qint64 {
    FileSwapReplaceFailed = 1, ///< something was at the destination and could not be replaced
    FileSwapMoveFailed = 2,    ///< nothing was there, and the new item could not be moved there
};

/// Puts a finished file in place of another.
///
/// Threads: any (it keeps no state); the strip job calls it on its worker thread.
class CTFileSwap {
public:
    /// Puts `newItem` at `destination`, replacing whatever is there (a file) or moving it there,
    /// and leaves nothing at `newItem`. The result carries only the new item's metadata.
    ///
    /// The new item's data reaches the disk before it is renamed over the destination, and the
    /// rename before this returns, so that a crash or a power loss leaves either the old or the
    /// new file at `destination`, never a truncated one. Across file systems the new item is
    /// copied into a sibling "cleftone.XXXXXX" beside the destination, which is then renamed
    /// over it in the same way.
    ///
    /// On failure returns false and fills `error` (if given); the destination is left as it was.
    static bool swapItemAtURL(const QString& destination, const QString& newItem, FileError* error);
    /// The same, except that the flush of the destination's folder after the rename is left to
    /// `folders` (when set), which flushes each folder once per run. With `newItemFlushed`, the
    /// caller flushed the new item already and nothing wrote to it since: it is renamed without
    /// another flush.
    static bool swapItemAtURL(const QString& destination, const QString& newItem, FileError* error,
                              ReplacementFolders* folders, bool newItemFlushed = false);
};

} // namespace cleftone
