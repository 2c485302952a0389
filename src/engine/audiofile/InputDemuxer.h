#pragma once

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/AvPtr.h"

#include <cstdint>

// The demuxer a file is read through when the service does not read the packets itself.
namespace cleftone::audiofile {

// The byte range of the file that the demuxer may see.
struct Window {
    int fd;
    std::int64_t begin;
    std::int64_t end;
    std::int64_t position;
};

struct Demuxer {
    Window window{};
    IoContextPtr io;
    InputContext format;
    AVStream* stream = nullptr;
};

/// Opens a demuxer on bytes [begin, end) of `fd`, detecting the container by content alone
/// (never by a file name) and without parsing chapters. `demuxer.stream` is left unset.
OSStatus openWindow(Demuxer& demuxer, int fd, std::int64_t begin, std::int64_t end);

/// The audio stream a strip keeps: the default one if one is marked, else the first. Attached
/// pictures are not audio. Null when there is none.
AVStream* defaultAudioStream(const AVFormatContext* context);

/// Adds the tags FFmpeg read for the container and for `stream` to the info dictionary, keys in
/// lower case, and the container's duration where it knows one.
void addStreamInfo(AudioFileInfoDictionary& info, const AVFormatContext* context,
                   const AVStream* stream);

} // namespace cleftone::audiofile
