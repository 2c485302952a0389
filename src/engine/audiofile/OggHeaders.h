#pragma once

// The header packets of the audio codecs that Ogg carries, and what a strip keeps of them.

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/MetadataInspection.h"
#include "engine/audiofile/OggPages.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace cleftone::audiofile {

/// What a logical stream carries, told by its first packet.
enum class OggContent {
    Vorbis,
    Opus,
    Speex,
    Flac,
    OtherAudio, ///< audio that the strip does not know how to keep (CELT, PCM, old FLAC…)
    Video,      ///< Theora, Dirac, VP8 and the like
    Other,      ///< Skeleton, subtitles, and streams that name nothing known
};

/// The content of a stream whose first packet begins with `firstBytes` (8 bytes are enough).
OggContent identifyOggContent(std::span<const std::uint8_t> firstBytes);

/// The same stream by name, for the metadata report: "audio (Vorbis)", "video (Theora)",
/// "Skeleton"…
std::string oggStreamName(std::span<const std::uint8_t> firstBytes);

inline bool isStrippableAudio(OggContent content)
{
    return content == OggContent::Vorbis || content == OggContent::Opus ||
           content == OggContent::Speex || content == OggContent::Flac;
}

/// Gathers the header packets of one audio stream page by page, from its first page, and makes
/// the stripped headers of them: the comment header keeps the stream's vendor string and
/// nothing else, Opus loses what follows its comment list, FLAC keeps its STREAMINFO and
/// SEEKTABLE blocks and a VORBIS_COMMENT block with the vendor string alone. Comment packets too
/// large to hold are kept only as far as their vendor string. Threads: one instance per thread.
class OggHeaderGatherer {
public:
    explicit OggHeaderGatherer(OggContent content) : m_content(content) {}

    /// Adds the next page of the stream. InvalidFile when the pages do not frame packets.
    OSStatus addPage(const OggPage& page, std::span<const std::uint8_t> body);
    /// Whether every header packet is there.
    bool complete() const { return m_complete; }
    /// Where audio begins on the page that ends the headers, when it begins there: the index
    /// of its first lacing value. 0 when the headers end with their page.
    std::size_t audioSegment() const { return m_audioSegment; }
    /// The headers as the stripped stream carries them; InvalidFile when they are not the
    /// codec's. What they leave out goes to `dropped`, when given: the comments ("comments",
    /// named after the codec), Opus data after them ("commentData"), FLAC blocks ("flacBlock").
    OSStatus strip(std::vector<std::vector<std::uint8_t>>& out,
                   std::vector<MetadataBlock>* dropped = nullptr) const;

private:
    struct Packet {
        std::vector<std::uint8_t> bytes; ///< all of it, or the start of a large one
        std::size_t size = 0;
        bool whole() const { return bytes.size() == size; }
    };
    bool headersDone() const;
    std::size_t holdLimit() const;
    OSStatus stripFlac(std::vector<std::vector<std::uint8_t>>& out,
                       std::vector<MetadataBlock>* dropped) const;

    OggContent m_content;
    std::vector<Packet> m_packets;
    Packet m_current;
    bool m_pending = false; // m_current goes on on the next page
    bool m_complete = false;
    std::size_t m_audioSegment = 0;
    std::size_t m_held = 0;
};

} // namespace cleftone::audiofile
