#pragma once

#include <QString>

#include <functional>

namespace cleftone {

/// Calls `visit` with the path of every item below `folder` (files, folders, links and other
/// items; hidden ones too), depth first, each folder's items before the items below them are
/// reached. Symbolic links are reported but not followed. Names are read as the file system's
/// bytes and carried as path text that maps back to exactly those bytes (platform/PathBytes.h),
/// so a name that is not UTF-8 is reported like any other. Each path starts with `folder` as
/// given. `visit` returns false to stop the walk. A folder that cannot be read is skipped.
///
/// Threads: any; it only reads the file system.
void walkFolder(const QString& folder, const std::function<bool(const QString&)>& visit);

} // namespace cleftone
