#pragma once

#include "engine/audiofile/AudioFileTypes.h"

#include <QString>

namespace cleftone {

/// The strip job's failure message when the repair tool removed or emptied the temporary file.
inline constexpr char kRepairToolLeftNoUsableFile[] = "The MP3 repair tool left no usable file.";

/// The directory of this program's executable: QCoreApplication::applicationDirPath() when an
/// application object exists, else the directory of /proc/self/exe. Any thread.
QString applicationExecutableDirectory();

struct RepairPassResult {
    bool ran = false;         ///< the tool was started (false: skipped, or it could not start)
    bool outputUsable = true; ///< the temporary file is still a non-empty regular file
};

/// The MP3 repair pass: runs "mp3val -f -nb -si <file>" on the freshly written temporary file.
/// Every outcome of the tool goes to the system log only; the job fails only when the tool left
/// no usable file behind (see RepairPassResult::outputUsable).
///
/// What mp3val 0.1.8 does to the file, which the commit must allow for:
/// - a sound MP3 is left alone: same inode, same bytes;
/// - a damaged one is rebuilt into /tmp/mp3val.XXXXXX, the original renamed to "<file>.bak",
///   the rebuilt file renamed to the original name (copied, when /tmp is on another file system)
///   and given the original's mode, and "<file>.bak" deleted (-nb). The file at the path is then
///   a new inode: a descriptor held on the temporary file no longer refers to it, so the commit
///   opens the file by path to flush it;
/// - anything that is not MPEG audio (a WAV named .mp3) is "rebuilt" to 0 bytes;
/// - it exits with 0 in all these cases, even for a file that is missing.
/// The pass therefore runs only for output that really is MP3, and it checks the file afterwards.
///
/// Threads: the strip job's worker thread; blocks until the child exits.
class MP3RepairPass {
public:
    /// `toolDirectory`: where "mp3val" is looked for (empty: applicationExecutableDirectory()).
    explicit MP3RepairPass(QString toolDirectory = QString());

    /// True when `outFilePath`'s extension, lower-cased, is "mp3" and `type` is MP3.
    static bool appliesTo(const QString& outFilePath, AudioFileTypeID type);

    /// Runs the tool on `tempFilePath` when appliesTo(outFilePath, type); otherwise does nothing.
    RepairPassResult run(const QString& outFilePath, const QString& tempFilePath,
                         AudioFileTypeID type) const;

    QString programPath() const;

private:
    QString toolDirectory_;
};

} // namespace cleftone
