#include "engine/CapabilitySets.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace cleftone {

AudioFormatCapabilities::AudioFormatCapabilities(AudioFileService& service)
{
    std::uint32_t size = 0;
    if (service.AudioFileGetGlobalInfoSize(AudioFileGlobalInfo::WritableTypes, 0, nullptr, &size) !=
            0 ||
        size < sizeof(AudioFileTypeID)) {
        return;
    }
    std::vector<AudioFileTypeID> writable(size / sizeof(AudioFileTypeID));
    std::uint32_t ioSize = std::uint32_t(writable.size() * sizeof(AudioFileTypeID));
    if (service.AudioFileGetGlobalInfo(AudioFileGlobalInfo::WritableTypes, 0, nullptr, &ioSize,
                                       writable.data()) != 0) {
        return;
    }
    writable.resize(std::min<std::size_t>(writable.size(), ioSize / sizeof(AudioFileTypeID)));

    types_.reserve(qsizetype(writable.size()));
    QSet<QString> extensions;
    for (const AudioFileTypeID type : writable) {
        types_.insert(type);

        AudioFileExtensionList* raw = nullptr;
        std::uint32_t listSize = sizeof raw;
        const OSStatus status = service.AudioFileGetGlobalInfo(
            AudioFileGlobalInfo::ExtensionsForType, sizeof type, &type, &listSize, &raw);
        const std::unique_ptr<AudioFileExtensionList> list(raw);
        if (status != 0 || list == nullptr) {
            continue;
        }
        for (const std::string& extension : *list) {
            // An empty entry would admit every file that has no extension at all.
            if (!extension.empty()) {
                extensions.insert(QString::fromStdString(extension).toLower());
            }
        }
    }
    extensions_ = QStringList(extensions.cbegin(), extensions.cend());
    extensions_.sort(Qt::CaseSensitive);
}

const AudioFormatCapabilities& LazyAudioFormatCapabilities::get()
{
    std::call_once(once_, [this] { capabilities_.emplace(service_); });
    return *capabilities_;
}

namespace {

const AudioFormatCapabilities& systemCapabilities()
{
    // Never destroyed: intake threads may still ask while the process exits.
    static auto* lazy = new LazyAudioFormatCapabilities(AudioFileService::system());
    return lazy->get();
}

} // namespace

const QStringList& CTWritableAudioFileExtensions()
{
    return systemCapabilities().writableExtensions();
}

bool CTIsWritableAudioFileType(AudioFileTypeID type)
{
    return systemCapabilities().isWritableType(type);
}

} // namespace cleftone
