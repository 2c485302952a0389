#include "engine/audiofile/VideoProbe.h"

#include "engine/audiofile/AvPtr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone {

bool fileHasVideoStream(const std::string& path)
{
    // Only regular files: opening a FIFO would block the walk.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0)
        return false;

    audiofile::configureFFmpeg();
    AVFormatContext* raw = nullptr;
    // The "file:" protocol prefix keeps a name with a colon from being read as a protocol.
    const std::string url = "file:" + path;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "ignore_chapters", "1", 0);
    const int error = avformat_open_input(&raw, url.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (error < 0)
        return false;
    audiofile::InputContext context(raw);

    // Containers with a header (MP4, MOV, Matroska…) list their streams on opening; reading
    // packets to find more would cost far more than this question is worth.
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return true;
    }
    return false;
}

} // namespace cleftone
