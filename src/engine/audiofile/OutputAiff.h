#pragma once

#include "engine/audiofile/AvPtr.h"

#include <cstdint>

namespace cleftone::audiofile {

/// How AIFF-C names a codec in its COMM chunk.
struct AiffCompression {
    AVCodecID codec;
    std::uint32_t tag;
    const char* name;
};

/// The AIFF compression that carries `codec`, or none.
const AiffCompression* findAiffCompression(AVCodecID codec);

} // namespace cleftone::audiofile
