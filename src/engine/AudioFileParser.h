#pragma once

#include "engine/audiofile/AudioFileService.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QVersionNumber>

#include <optional>

namespace cleftone {

/// What the running toolkit must offer before a parser asks for some properties.
struct AudioFileParserOptions {
    /// `ID3Tag()` answers only when the running Qt is at least this version; below it the
    /// getter yields none without asking the service.
    QVersionNumber minimumQtVersionForID3Tag{6, 0, 0};
};

/// One audio file opened for reading through the audio-file service, and the answers to
/// questions about it. Every getter is one fresh query of the service (nothing is cached) and
/// none of them throws: a failed query yields none, or a zeroed value.
///
/// A file that could not be opened still gives a parser; its handle is null and every getter
/// fails (so `audioFileTypeID()` is 0).
///
/// Threads: a parser belongs to one strip job and is used only on that job's worker thread.
class AudioFileParser {
public:
    /// Opens `path` read-only and lets the service detect the container type. A leading
    /// "~" or "~user" is expanded to that user's home folder.
    explicit AudioFileParser(const QString& path,
                             AudioFileService& service = AudioFileService::system(),
                             AudioFileParserOptions options = {});

    /// Takes ownership of an already open handle (which may be null).
    explicit AudioFileParser(AudioFileID file,
                             AudioFileService& service = AudioFileService::system(),
                             AudioFileParserOptions options = {});

    AudioFileParser(const AudioFileParser&) = delete;
    AudioFileParser& operator=(const AudioFileParser&) = delete;

    /// Closes the handle if one is open.
    ~AudioFileParser();

    AudioFileTypeID audioFileTypeID() const;
    AudioStreamBasicDescription audioStreamBasicDescription() const;
    std::optional<QByteArray> magicCookieData() const;
    quint64 audioDataByteCount() const;
    quint64 audioDataPacketCount() const;
    quint32 maximumPacketSize() const;
    qint64 audioDataOffset() const;
    /// The container's chunk IDs as four-character strings, in file order.
    std::optional<QStringList> chunkIDs() const;
    /// The service's info dictionary (keys and values as strings).
    std::optional<QVariantMap> propertyDictionary() const;
    std::optional<QByteArray> ID3Tag() const;

    /// The open handle, or null. Still owned by the parser.
    AudioFileID audioFile() const { return audioFile_; }
    /// What the service said when the file was opened by path: only a failure message reads it.
    OSStatus openStatus() const { return openStatus_; }

    /// `path` with a leading "~" or "~user" replaced by that user's home folder; any other
    /// path, and a "~user" naming no known user, is returned unchanged.
    static QString expandTilde(const QString& path);

private:
    template <typename T> T fixedSizeProperty(AudioFilePropertyID property) const;
    std::optional<QByteArray> variableSizeProperty(AudioFilePropertyID property,
                                                   bool zeroFill) const;

    AudioFileService& service_;
    AudioFileParserOptions options_;
    AudioFileID audioFile_ = nullptr;
    OSStatus openStatus_ = 0;
};

} // namespace cleftone
