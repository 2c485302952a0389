#pragma once

#include <QStringList>

namespace cleftone {

class Preferences;

/// `cleftone-strip [--output-dir DIR] [--include-video] [--trash] [--skip-clean] [--quiet]
/// PATH...`: strips files and folders with the same engine, screening and error-log lines as the
/// window. A named file that Cleftone cannot strip fails; files a folder walk leaves out that
/// look like audio or video are counted in the summary.
/// `cleftone-strip --show [--json] PATH...` lists what a strip would remove and changes nothing.
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
    void reject(const QString& path, const QString& reason);

    bool quiet_ = false;
    int rejected_ = 0; ///< files refused before the run; they count as failures
    int leftOut_ = 0;  ///< audio or video files a folder walk left out
};

} // namespace cleftone
