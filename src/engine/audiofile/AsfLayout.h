#pragma once

// The objects of an ASF file (WMA, audio-only ASF) and what a strip keeps of them.

#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/MetadataInspection.h"

#include <cstdint>
#include <span>
#include <vector>

namespace cleftone::audiofile {

/// An ASF file as its strip writes it: the header object without the tag objects, the data
/// object's packets unchanged, and the index objects behind them.
struct AsfLayout {
    /// The stripped header object, its sizes and object count final and the file size in its
    /// File Properties object that of the stripped file, followed by the data object's own
    /// 50-byte header.
    std::vector<std::uint8_t> head;
    /// The index objects after the data object, verbatim and in file order.
    std::vector<std::uint8_t> tail;
    /// The data packets: a run of `packetSize`-byte packets at `packetsOffset`.
    std::int64_t packetsOffset = 0;
    std::int64_t packetsLength = 0;
    std::uint32_t packetSize = 0;
    /// Where the data object ends in the input.
    std::int64_t dataEnd = 0;
    /// False when a stream is not audio (video, images, script commands, files): the data
    /// packets interleave it with the audio, so the audio cannot be kept on its own.
    bool onlyAudio = true;
    /// The objects left out, in file order ("object" blocks named as the format names them),
    /// for the metadata report.
    std::vector<MetadataBlock> removed;
    /// Where the bytes after the last object begin, which are no object (appended tags).
    std::int64_t junk = 0;
};

/// Whether the bytes at `begin` start an ASF header object.
bool startsAsfHeader(const FileReader& file, std::int64_t begin);

/// Reads the layout of the ASF file whose header object starts at `begin`. Fails with
/// EndOfFile when the file ends inside the header, the data object or an index; with
/// InvalidFile when the header's sizes do not add up or the data packets are not of the one
/// size the header announces; with UnsupportedFileType when a live broadcast left the data
/// object's size unset.
OSStatus readAsfLayout(const FileReader& file, std::int64_t begin, AsfLayout& layout);

/// The bytes of data packets that a head made by readAsfLayout() announces, or -1 when the
/// bytes are not such a head.
std::int64_t asfPacketBytesOfHead(std::span<const std::uint8_t> head);

} // namespace cleftone::audiofile
