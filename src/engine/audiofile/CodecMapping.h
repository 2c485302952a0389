#pragma once

// Translation between libavcodec's stream parameters and the service's stream description
// and magic cookie.

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/AvPtr.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace cleftone::audiofile {

/// What a stream needs besides its stream description: the codec's own setup bytes and the
/// few parameters the description has no field for. Travels as the magic cookie.
struct StreamSetup {
    std::vector<std::uint8_t> extradata;
    /// Absent: the default layout for the channel count. 0: channel order unspecified.
    std::optional<std::uint64_t> channelMask;
    /// Frames of encoder delay before the first sample to play (MP4 edit list, CAF priming).
    std::int64_t primingFrames = 0;
    /// Average bit rate, for containers that record it in their header.
    std::int64_t bitRate = 0;
    /// Frames of padding after the last sample to play (CAF remainder).
    std::int64_t remainderFrames = 0;
    /// The MP4 family's whole file-type box (brands, minor version) as the input had it.
    std::vector<std::uint8_t> fileType;
    /// CAF's AAC magic cookie as the input had it (FFmpeg keeps only the decoder config).
    std::vector<std::uint8_t> cafCookie;
    /// For the families whose strip is a rewrite (RewriteInput.h): what the writer puts before
    /// the first packet and after the last one, in the form the family's writer takes it.
    std::vector<std::uint8_t> head;
    std::vector<std::uint8_t> tail;
    /// The MP4 family's track as the service's own MP4 reader found it (Mp4TrackSetup), which
    /// its own writer takes over; absent when libavformat read the file.
    std::vector<std::uint8_t> mp4Track;

    bool empty() const
    {
        return extradata.empty() && !channelMask && !primingFrames && !bitRate &&
               !remainderFrames && fileType.empty() && cafCookie.empty() && head.empty() &&
               tail.empty() && mp4Track.empty();
    }
    std::vector<std::uint8_t> serialize() const;
    /// Bytes that are not a serialized setup are taken as plain codec setup bytes.
    static StreamSetup deserialize(const std::uint8_t* data, std::size_t size);
};

/// True for uncompressed and companded PCM: one frame is one packet.
bool isPcmCodec(AVCodecID codec);

/// True for codecs stored in fixed-size blocks that the service splits into one packet each.
bool isFixedBlockCodec(AVCodecID codec);

/// Stream description for a demuxed stream. `framesPerPacket` is the constant packet
/// duration when known, 0 otherwise.
AudioStreamBasicDescription describeStream(const AVCodecParameters& parameters,
                                           std::uint32_t framesPerPacket);

/// Stream parameters for a stream description and setup; false when the description names
/// no codec the service knows, or is not a usable audio format.
bool parametersFromDescription(const AudioStreamBasicDescription& format, const StreamSetup& setup,
                               AVCodecParameters& parameters);

/// Channel mask the setup records for these parameters (absent for the default layout).
std::optional<std::uint64_t> recordedChannelMask(const AVChannelLayout& layout);

} // namespace cleftone::audiofile
