#pragma once

#include "engine/audiofile/AudioFileService.h"

#include <QSet>
#include <QStringList>

#include <mutex>
#include <optional>

namespace cleftone {

/// Which container types the audio-file service can write back, and the file-name extensions
/// of those types.
///
/// Threads: built on one thread; afterwards immutable and readable from any thread.
class AudioFormatCapabilities {
public:
    /// Reads the service's writable-type and extension tables. Never throws on a failing
    /// service: whatever cannot be read is simply absent.
    explicit AudioFormatCapabilities(AudioFileService& service);

    /// Distinct lower-case extensions without the dot, sorted by plain (code unit) comparison.
    const QStringList& writableExtensions() const { return extensions_; }
    bool isWritableType(AudioFileTypeID type) const { return types_.contains(type); }

private:
    QSet<AudioFileTypeID> types_;
    QStringList extensions_;
};

/// Builds an `AudioFormatCapabilities` on first request, exactly once, whichever threads ask
/// first; concurrent first callers wait for that one build.
///
/// Threads: any.
class LazyAudioFormatCapabilities {
public:
    explicit LazyAudioFormatCapabilities(AudioFileService& service) : service_(service) {}

    const AudioFormatCapabilities& get();

private:
    AudioFileService& service_;
    std::once_flag once_;
    std::optional<AudioFormatCapabilities> capabilities_;
};

/// The extensions of the system service's writable types (see `AudioFormatCapabilities`).
/// Always the same list object. Threads: any.
const QStringList& CTWritableAudioFileExtensions();

/// Whether the system service can write `type`. Threads: any.
bool CTIsWritableAudioFileType(AudioFileTypeID type);

} // namespace cleftone
