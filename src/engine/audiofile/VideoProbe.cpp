#include "engine/audiofile/VideoProbe.h"

#include "engine/audiofile/AvPtr.h"

namespace cleftone {

bool fileHasVideoStream(const std::string& path)
{
    AVDictionary* options = nullptr;
    av_dict_set(&options, "ignore_chapters", "1", 0);
    audiofile::InputContext context = audiofile::openRegularFile(path, &options);
    av_dict_free(&options);
    if (!context)
        return false;

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
