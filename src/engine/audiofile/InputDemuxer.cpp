#include "engine/audiofile/InputDemuxer.h"

#include "engine/audiofile/FFmpegAudioFileService.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

constexpr int kIoBufferSize = 64 * 1024;

int readWindow(void* opaque, std::uint8_t* buffer, int size)
{
    auto* window = static_cast<Window*>(opaque);
    if (window->position >= window->end)
        return AVERROR_EOF;
    const auto wanted = std::min<std::int64_t>(size, window->end - window->position);
    for (;;) {
        const ssize_t n = ::pread(window->fd, buffer, std::size_t(wanted), window->position);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return AVERROR(errno);
        if (n == 0)
            return AVERROR_EOF;
        window->position += n;
        return int(n);
    }
}

std::int64_t seekWindow(void* opaque, std::int64_t offset, int whence)
{
    auto* window = static_cast<Window*>(opaque);
    std::int64_t target;
    switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE:
        return window->end - window->begin;
    case SEEK_SET:
        target = window->begin + offset;
        break;
    case SEEK_CUR:
        target = window->position + offset;
        break;
    case SEEK_END:
        target = window->end + offset;
        break;
    default:
        return AVERROR(EINVAL);
    }
    if (target < window->begin)
        return AVERROR(EINVAL);
    window->position = target;
    return target - window->begin;
}

} // namespace

OSStatus openWindow(Demuxer& demuxer, int fd, std::int64_t begin, std::int64_t end)
{
    configureFFmpeg();
    demuxer.window = Window{fd, begin, end, begin};
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer)
        return AudioFileError::MemoryFull;
    demuxer.io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, &demuxer.window, readWindow,
                                        nullptr, seekWindow));
    if (!demuxer.io) {
        av_free(buffer);
        return AudioFileError::MemoryFull;
    }

    AVFormatContext* context = avformat_alloc_context();
    if (!context)
        return AudioFileError::MemoryFull;
    context->pb = demuxer.io.get();
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Tags, chapters and cover art are never read into the output; chapters need not be parsed.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "ignore_chapters", "1", 0);
    // An empty URL: detection goes by content alone, never by the file name.
    const int error = avformat_open_input(&context, "", nullptr, &options);
    av_dict_free(&options);
    if (error < 0)
        return error == AVERROR_INVALIDDATA ? AudioFileError::UnsupportedFileType
                                            : statusFromAvError(error);
    demuxer.format.reset(context);
    return 0;
}

AVStream* defaultAudioStream(const AVFormatContext* context)
{
    AVStream* chosen = nullptr;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        AVStream* stream = context->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO ||
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        if (!chosen || (stream->disposition & AV_DISPOSITION_DEFAULT &&
                        !(chosen->disposition & AV_DISPOSITION_DEFAULT)))
            chosen = stream;
    }
    return chosen;
}

namespace {

void addMetadata(AudioFileInfoDictionary& info, const AVDictionary* metadata)
{
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        std::string key = entry->key;
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        info.emplace(std::move(key), entry->value);
    }
}

} // namespace

void addStreamInfo(AudioFileInfoDictionary& info, const AVFormatContext* context,
                   const AVStream* stream)
{
    addMetadata(info, context->metadata);
    addMetadata(info, stream->metadata);
    if (context->duration > 0)
        info["approximate duration in seconds"] =
            std::to_string(double(context->duration) / AV_TIME_BASE);
}

} // namespace cleftone::audiofile
