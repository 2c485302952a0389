#pragma once

#include "engine/audiofile/RewriteFamilies.h"

namespace cleftone::audiofile {

/// ASF: WMA and audio-only ASF files. Their strip leaves the tag objects (with the pictures they
/// carry), the branding, marker, script command and padding objects out of the header; the data
/// packets and the index objects stay byte for byte. A file with a stream that is not audio
/// reads as AudioFileType::ASFVideo, which is never written.
RewriteFamily asfFamily();

} // namespace cleftone::audiofile
