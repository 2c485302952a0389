#pragma once

#include <QStringList>

namespace cleftone {

class Preferences;

/// `cleftone-strip [--output-dir DIR] [--include-video] [--trash] [--quiet] PATH...`: strips files
/// and folders with the same engine, screening and error-log lines as the window.
/// `cleftone-strip --show PATH...` lists what a strip would remove and changes nothing.
///
/// Threads: the main thread, with a QCoreApplication; run() returns when every file is done.
class StripCommand {
public:
    static constexpr int kAllStripped = 0;
    static constexpr int kFailures = 1;
    static constexpr int kUsageError = 2;

    /// `arguments` includes the program name first. Returns the exit status.
    int run(const QStringList& arguments);

private:
    QStringList collectFiles(const QStringList& paths, bool includeVideo);
    QStringList withoutNameClashes(const QStringList& files);
    int stripAll(const QStringList& files, Preferences& settings);
    /// --show: what each file carries, one finding a line; nothing is changed.
    int showAll(const QStringList& files);

    bool quiet_ = false;
    int rejected_ = 0; ///< files refused before the run; they count as failures
};

} // namespace cleftone
