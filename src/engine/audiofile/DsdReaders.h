#pragma once

#include "engine/audiofile/RewriteFamilies.h"

namespace cleftone::audiofile {

/// DSF (Sony's DSD stream file): a DSD chunk, a fmt chunk and a data chunk, with an ID3v2 tag
/// at the end that the DSD chunk points to.
///
/// The strip drops the tag, sets the pointer to 0 and the file size to the new one. The head
/// is the three chunk headers and the fmt chunk, final; the packets are the sample bytes, one
/// byte each.
RewriteFamily dsfFamily();

/// DSDIFF (Philips' DSD interchange file format, .dff): an FRM8 form of chunks.
///
/// The strip keeps FVER, PROP, the sound data (DSD or DST) and the DST frame index (DSTI,
/// whose offsets are moved by what went before the sound data); it drops DIIN, COMT, MANF,
/// ID3 and every other chunk. The head and tail are the kept chunks before and after the sound
/// data, final; the packets are the sound data's bytes, one byte each.
RewriteFamily dsdiffFamily();

} // namespace cleftone::audiofile
