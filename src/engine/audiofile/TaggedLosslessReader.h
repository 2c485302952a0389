#pragma once

#include "engine/audiofile/RewriteFamilies.h"

namespace cleftone::audiofile {

/// The lossless formats that carry their tags as APEv2 (and ID3v1, Lyrics3, ID3v2 in front)
/// around a stream of their own: Monkey's Audio, WavPack, Musepack, TTA, OptimFROG and TAK.
///
/// Their strip is a cut: every byte from the stream's own header to its last frame stays as it
/// is, and the tags in front of and behind it go. The packets are those bytes, one byte each;
/// there is no cookie. The reader is RewriteInputFile's plain range reader; the writer is the
/// default one.
RewriteFamily taggedLosslessFamily();

} // namespace cleftone::audiofile
