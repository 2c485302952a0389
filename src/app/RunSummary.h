#pragma once

#include <QtGlobal>

class QMainWindow;

namespace cleftone {

class ErrorLogWindowController;
class PlatformTools;

/// The end of a run for the user: the count of stripped files and the metadata removed in the
/// status bar, and a sheet about the failed files that offers their report. Nothing for a run
/// in which nothing was handled. These are the window's only translated texts.
///
/// Threads: main thread only. `errorLog` must outlive the sheet.
void showRunSummary(QMainWindow* window, PlatformTools& tools, ErrorLogWindowController& errorLog,
                    qint64 successful, qint64 failed, qint64 bytesRemoved);

} // namespace cleftone
