#pragma once

#include <QString>

#include <optional>

namespace cleftone {

/// One file put into a Trash folder: its copy under "files" and its record under "info".
struct TrashedItem {
    QString filePath; ///< …/Trash/files/NAME
    QString infoPath; ///< …/Trash/info/NAME.trashinfo
};

/// The user's Trash, laid out as freedesktop.org desktops share it, so that any file
/// manager lists what Cleftone put there and can restore it to where it was.
///
/// A file on the file system of the user's data folder goes to $XDG_DATA_HOME/Trash (by default
/// ~/.local/share/Trash). A file on another file system goes to that file system's own Trash:
/// $topdir/.Trash/$uid when the administrator made $topdir/.Trash (a real folder with the
/// sticky bit), else $topdir/.Trash-$uid. A file is never trashed across file systems.
///
/// Threads: any; it keeps no state. Strip jobs call it on their worker thread.
class Trash {
public:
    /// Puts the file at `path` into its file system's Trash while leaving it at `path`: a hard
    /// link, or where the file system has none, a copy flushed to disk. The ".trashinfo" record
    /// is written first and exclusively, under a name free in both folders ("song.mp3", then
    /// "song.2.mp3"…). When the file is then renamed over, the Trash holds the original, and
    /// until then the path still does: at no moment is the original only half anywhere.
    ///
    /// Returns nothing and sets `error` to a short reason, e.g. "the Trash folder
    /// “/media/x/.Trash-1000” cannot be made: Read-only file system", when no Trash of that file
    /// system can be used; `path` is then left as it was.
    static std::optional<TrashedItem> keepCopy(const QString& path, QString* error);

    /// Takes `item` out of the Trash again (when the file it stands for was not replaced after
    /// all). Errors are ignored.
    static void discard(const TrashedItem& item);
};

} // namespace cleftone
