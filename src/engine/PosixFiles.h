#pragma once

#include <QString>

#include <cstddef>

namespace cleftone {

// Small POSIX steps that the commit, the Trash and the replacement folders share. Paths are
// turned into the file system's own bytes, so names that are not UTF-8 work too.
// Threads: any.

/// The folder holding `path`: "/a/b/song.mp3" gives "/a/b", "/song.mp3" gives "/", a bare name
/// gives ".".
QString folderOfPath(QString path);

/// Flushes a file's data (or with `folder`, a folder's entries) to the disk: 0 or the errno
/// of the step that failed. A file system that keeps nothing to flush (EINVAL) counts as done.
int syncPath(const QString& path, bool folder = false);

/// Makes a rename in `folder` durable, as far as it can: the data was flushed before the
/// rename, so whatever the folder holds after a crash is a whole file, old or new.
void syncFolder(const QString& folder);

/// Writes all of `data` to `fd`, going on after interruptions: 0 or the errno.
int writeAll(int fd, const char* data, std::size_t size);

/// Copies what is left to read of `from` into `to`: 0 or the errno.
int copyContents(int from, int to);

} // namespace cleftone
