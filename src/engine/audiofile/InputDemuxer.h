#pragma once

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

} // namespace cleftone::audiofile
