#pragma once

#include "engine/audiofile/RewriteFamilies.h"

namespace cleftone::audiofile {

/// Matroska (.mka, .mkv) and WebM: the strip keeps the EBML header, the segment information
/// without the user's strings, one audio track and its clusters, and seek and cue indexes that
/// point into the stripped file; tags, attachments, chapters and every other track go.
RewriteFamily matroskaFamily();

} // namespace cleftone::audiofile
