#pragma once

#include "engine/audiofile/RewriteFamilies.h"

namespace cleftone::audiofile {

/// Ogg files (.ogg, .oga, .opus, .spx) with Vorbis, Opus, Speex or FLAC audio.
///
/// The reader keeps, of each link of a chained file, its first audio stream; video, Skeleton
/// and other streams are left out. The stripped headers of the first link travel in the magic
/// cookie (OggHeaders::encode()), and OggWriter lays them out as pages. The packets are the
/// rest of the stripped file, page by page: each later link's header pages, laid out anew, and
/// every audio page as the input has it, but for its sequence number (counted on from the new
/// header pages) and its checksum. ID3v2 tags in front and ID3v1, APEv2 or Lyrics3 tags
/// behind are left out; pages that do not follow each other, or a checksum that does not hold,
/// make the file damaged.
RewriteFamily oggFamily();

} // namespace cleftone::audiofile
