#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace cleftone {

/// The file-name extension of a path: the text after the last dot of its last component,
/// empty when there is none. Not lower-cased.
QString pathExtension(const QString& path);

/// True for the six extensions whose files may hold video: mp4, m4v, mov, 3gp, 3g2, m4a
/// (compared lower-cased). Threads: any.
bool CTIsVideoExtension(const QString& extension);

/// True when the file holds a real video track (cover art does not count); false for a file
/// that cannot be opened. Threads: any but the main thread (it opens the file).
bool CTFileHasVideoTrack(const QString& path);

/// True when the file at `path` looks like audio or video that someone would want stripped: its
/// extension names an audio or video type (playlists and other text do not count), or, for a
/// name without an extension, its first bytes do. Only regular files are read. Threads: any.
bool looksLikeAudioOrVideo(const QString& path);

/// How the file-type database describes what `path` holds, by its name ("MIDI audio"); for a
/// name without an extension, by its first bytes. Empty when it knows nothing. Threads: any.
QString mediaTypeDescription(const QString& path);

/// How one batch of dropped or named paths is screened.
struct ScreeningRules {
    /// Lower-case extensions that are admitted; usually CTWritableAudioFileExtensions().
    QStringList supportedExtensions;
    /// List files that hold video like any other, without the video test.
    bool suppressVideoFileWarning = false;
    /// Asked before each path and each folder entry; true stops the batch.
    std::function<bool()> isCancelled;
    /// The video test; CTFileHasVideoTrack when unset.
    std::function<bool(const QString&)> hasVideoTrack;
};

/// What screening does with each path it finds.
struct ScreeningSink {
    std::function<void(const QString&)> admit;
    std::function<void(const QString&)> holdBackVideo;
    /// A path of the batch itself (not a folder entry) whose extension is not supported.
    std::function<void(const QString&)> skipUnsupported;
    /// A file found in a folder whose extension is not supported but which looksLikeAudioOrVideo().
    /// Hidden files (and files in hidden folders) are not passed on. Unset: nothing is read for it.
    std::function<void(const QString&)> leaveOut;
};

/// Screens one batch, in order. A path that is a folder (a link to one is followed) is expanded
/// recursively: every entry below it at any depth, hidden ones included, links inside it not
/// followed into, judged by its name alone. Each folder's entries come in natural order (the
/// user's locale, case ignored, "Track 2" before "Track 10"), a subfolder's entries right after
/// the subfolder. Any other path, existing or not, is judged as a
/// file. A name is admitted when its lower-cased extension is supported; one whose extension
/// may hold video is tested for a video track (unless the rules suppress that) and held back
/// when it has one. Paths are passed on exactly as submitted, or as folder + relative path.
///
/// Threads: any; the window runs it on its walker thread, the command-line tool on its main
/// thread. Sink callbacks run on the calling thread.
void screenBatch(const QStringList& paths, const ScreeningRules& rules, const ScreeningSink& sink);

} // namespace cleftone
