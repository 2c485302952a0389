#pragma once

#include <QString>

namespace cleftone {

/// When `outFilePath` is the file `inFilePath` names (the file is stripped in place), gives the
/// stripped copy at `copyPath` that file's identity before it takes the file's place: owner and
/// group (as far as this process may set them; each is kept on its own), the exact mode and the
/// POSIX access ACL. Extended attributes in the user namespace are metadata and stay behind: the
/// copy is a new file that never had them. Does nothing for a file written into a destination
/// folder. Errors are ignored: the copy keeps what could not be set.
///
/// Threads: the strip job's worker thread.
void keepIdentityInPlace(const QString& inFilePath, const QString& outFilePath,
                         const QString& copyPath);

} // namespace cleftone
