#pragma once

#include <QtGlobal>

class QMainWindow;

namespace cleftone {

class ErrorLogWindowController;
class PlatformTools;

/// How a run went: `successful` jobs, of which `alreadyClean` left a file without metadata as it
/// was, and `failed` ones.
struct RunCounts {
    qint64 successful = 0;
    qint64 failed = 0;
    qint64 alreadyClean = 0;
    qint64 bytesRemoved = 0;
};

/// The end of a run for the user: the count of stripped files, the metadata removed and the
/// files already clean in the status bar, and a sheet about the failed files that offers their
/// report. Nothing for a run in which nothing was handled. The texts are translated.
///
/// Threads: main thread only. `errorLog` must outlive the sheet.
void showRunSummary(QMainWindow* window, PlatformTools& tools, ErrorLogWindowController& errorLog,
                    const RunCounts& counts);

} // namespace cleftone
