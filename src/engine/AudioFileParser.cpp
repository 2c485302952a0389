#include "engine/AudioFileParser.h"

#include "platform/PathBytes.h"

#include <QDir>
#include <QFile>
#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <pwd.h>
#include <utility>
#include <vector>

namespace cleftone {

namespace {

QString homeFolderOfUser(const QString& user)
{
    const QByteArray name = pathBytes(user);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        return {};
    }
    return pathFromBytes(found->pw_dir);
}

} // namespace

AudioFileParser::AudioFileParser(const QString& path, AudioFileService& service,
                                 AudioFileParserOptions options)
    : AudioFileParser(AudioFileID{nullptr}, service, std::move(options))
{
    // A file that cannot be opened gives a parser whose queries all fail, and the job reports
    // it through the container-type check; the status only shapes that message.
    AudioFileID file = nullptr;
    openStatus_ = service_.AudioFileOpenURL(pathBytes(expandTilde(path)).toStdString(),
                                            kAudioFileReadPermission, 0, &file);
    audioFile_ = file;
}

AudioFileParser::AudioFileParser(AudioFileID file, AudioFileService& service,
                                 AudioFileParserOptions options)
    : service_(service), options_(std::move(options)), audioFile_(file)
{}

AudioFileParser::~AudioFileParser()
{
    if (audioFile_ != nullptr) {
        service_.AudioFileClose(audioFile_);
        audioFile_ = nullptr;
    }
}

QString AudioFileParser::expandTilde(const QString& path)
{
    if (!path.startsWith(QLatin1Char('~'))) {
        return path;
    }
    const qsizetype slash = path.indexOf(QLatin1Char('/'));
    const QString user = path.mid(1, slash < 0 ? -1 : slash - 1);
    const QString home = user.isEmpty() ? QDir::homePath() : homeFolderOfUser(user);
    if (home.isEmpty()) {
        return path;
    }
    if (slash < 0) {
        return home;
    }
    // A home folder of "/" must not give "//Music".
    return (home.endsWith(QLatin1Char('/')) ? home.chopped(1) : home) + path.mid(slash);
}

template <typename T> T AudioFileParser::fixedSizeProperty(AudioFilePropertyID property) const
{
    // A null handle is never handed to the service: there is nothing it could answer.
    T value{};
    if (audioFile_ == nullptr) {
        return value;
    }
    std::uint32_t size = sizeof(T);
    if (service_.AudioFileGetProperty(audioFile_, property, &size, &value) != 0) {
        return T{};
    }
    return value;
}

std::optional<QByteArray> AudioFileParser::variableSizeProperty(AudioFilePropertyID property,
                                                                bool zeroFill) const
{
    if (audioFile_ == nullptr) {
        return std::nullopt;
    }
    std::uint32_t size = 0;
    if (service_.AudioFileGetPropertyInfo(audioFile_, property, &size, nullptr) != 0) {
        return std::nullopt;
    }
    try {
        // One spare byte keeps the pointer valid for a property of size 0.
        const std::size_t capacity = std::size_t(size) + 1;
        std::unique_ptr<char[]> scratch = zeroFill
                                              ? std::make_unique<char[]>(capacity)
                                              : std::make_unique_for_overwrite<char[]>(capacity);
        std::uint32_t ioSize = size;
        if (service_.AudioFileGetProperty(audioFile_, property, &ioSize, scratch.get()) != 0) {
            return std::nullopt;
        }
        return QByteArray(scratch.get(), qsizetype(std::min(ioSize, size)));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

AudioFileTypeID AudioFileParser::audioFileTypeID() const
{
    return fixedSizeProperty<AudioFileTypeID>(AudioFileProperty::FileFormat);
}

AudioStreamBasicDescription AudioFileParser::audioStreamBasicDescription() const
{
    return fixedSizeProperty<AudioStreamBasicDescription>(AudioFileProperty::DataFormat);
}

std::optional<QByteArray> AudioFileParser::magicCookieData() const
{
    return variableSizeProperty(AudioFileProperty::MagicCookieData, true);
}

quint64 AudioFileParser::audioDataByteCount() const
{
    return fixedSizeProperty<quint64>(AudioFileProperty::AudioDataByteCount);
}

quint64 AudioFileParser::audioDataPacketCount() const
{
    return fixedSizeProperty<quint64>(AudioFileProperty::AudioDataPacketCount);
}

quint32 AudioFileParser::maximumPacketSize() const
{
    return fixedSizeProperty<quint32>(AudioFileProperty::MaximumPacketSize);
}

qint64 AudioFileParser::audioDataOffset() const
{
    return fixedSizeProperty<qint64>(AudioFileProperty::DataOffset);
}

std::optional<QStringList> AudioFileParser::chunkIDs() const
{
    const std::optional<QByteArray> data = variableSizeProperty(AudioFileProperty::ChunkIDs, true);
    if (!data) {
        return std::nullopt;
    }
    QStringList ids;
    for (qsizetype offset = 0; offset + 4 <= data->size(); offset += 4) {
        std::uint32_t id = 0;
        std::memcpy(&id, data->constData() + offset, sizeof id);
        const char text[4] = {char(id >> 24), char(id >> 16), char(id >> 8), char(id)};
        ids.append(QString::fromLatin1(text, 4));
    }
    return ids;
}

std::optional<QVariantMap> AudioFileParser::propertyDictionary() const
{
    if (audioFile_ == nullptr) {
        return std::nullopt;
    }
    AudioFileInfoDictionary* raw = nullptr;
    std::uint32_t size = sizeof raw;
    const OSStatus status =
        service_.AudioFileGetProperty(audioFile_, AudioFileProperty::InfoDictionary, &size, &raw);
    // The service hands the dictionary over even on some failures; it is ours to delete.
    const std::unique_ptr<AudioFileInfoDictionary> dictionary(raw);
    if (status != 0 || dictionary == nullptr) {
        return std::nullopt;
    }
    QVariantMap map;
    for (const auto& [key, value] : *dictionary) {
        map.insert(QString::fromStdString(key), QString::fromStdString(value));
    }
    return map;
}

std::optional<QByteArray> AudioFileParser::ID3Tag() const
{
    const QVersionNumber running = QVersionNumber::fromString(QLatin1String(qVersion()));
    if (running < options_.minimumQtVersionForID3Tag) {
        return std::nullopt;
    }
    return variableSizeProperty(AudioFileProperty::ID3Tag, false);
}

} // namespace cleftone
