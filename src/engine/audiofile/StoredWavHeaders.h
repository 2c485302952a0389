#pragma once

// The WAV header and trailer that some lossless codecs store inside their own stream, so that
// decoding gives the original file back. Chunks in them beyond the format and the data (LIST,
// bext, id3…) are metadata that a strip cannot take out: the codec's checksums cover them.

#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/MetadataInspection.h"

#include <vector>

namespace cleftone::audiofile {

/// The chunks of the WAV header ("apeWavHeader") and trailer ("apeWavTrailer") stored in the
/// Monkey's Audio stream that starts at `begin` and ends (tags left out) at `end`, other than
/// those that describe the audio, with their whole sizes. Empty when none is stored.
std::vector<MetadataBlock> monkeysAudioStoredChunks(const FileReader& file, std::int64_t begin,
                                                    std::int64_t end);

/// The same for the WAV metadata block of the TAK stream at `begin` ("takWavHeader",
/// "takWavTrailer"); the whole block ("takWavMetadata") when its contents are not laid out
/// as expected.
std::vector<MetadataBlock> takStoredChunks(const FileReader& file, std::int64_t begin,
                                           std::int64_t end);

} // namespace cleftone::audiofile
