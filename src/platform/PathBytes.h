#pragma once

#include <QByteArray>
#include <QString>

namespace cleftone {

// Linux file names are bytes, not text: a name copied from an old archive may be Latin-1 and
// so not valid UTF-8. Paths are carried as QString everywhere, so each byte that is not part of
// valid UTF-8 is kept as a lone low surrogate, U+DC80 + (byte - 0x80) ("surrogate escape").
// Valid UTF-8 never decodes to such a code unit, so the mapping is exact both ways.
// QFile::encodeName and QFileInfo would replace those bytes and reach another file, or none:
// every place where a path becomes bytes (POSIX calls, the audio-file service) uses pathBytes().

/// The file system's bytes for `path`. Any thread.
QByteArray pathBytes(const QString& path);

/// The path text for the file system's `bytes`; pathBytes(pathFromBytes(b)) == b. Any thread.
QString pathFromBytes(const QByteArray& bytes);

/// The absolute path of `path` with every symbolic link, "." and ".." resolved (realpath(3)), or
/// empty when that fails. Any thread.
QString canonicalPath(const QString& path);

/// `path` for people to read: each escaped byte, and each control character (a newline in a
/// name would break a line of the error log), shown as U+FFFD. Never turned back into a path.
/// Any thread.
QString displayPath(const QString& path);

} // namespace cleftone
