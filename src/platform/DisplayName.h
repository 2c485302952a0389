#pragma once

#include <QString>

namespace cleftone {

/// The name of the item at `path` as a file manager shows it: its last path component. A
/// trailing '/' is ignored ("/a/b/" gives "b"); the root gives "/". Bytes that are not UTF-8 and
/// control characters show as U+FFFD (displayPath()), so the name is for people only. Any thread.
QString displayNameAtPath(const QString& path);

} // namespace cleftone
