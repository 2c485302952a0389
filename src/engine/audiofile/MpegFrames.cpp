#include "engine/audiofile/MpegFrames.h"

#include <algorithm>

namespace cleftone::audiofile {

namespace {

constexpr std::int64_t kWindowSize = 1 << 20;
// Sync word, version, layer and sample rate: what stays the same in every frame of a stream.
constexpr std::uint32_t kFixedHeaderBits = 0xFFFE0C00u;

std::uint32_t samplesPerFrame(std::uint32_t header)
{
    const int version = (header >> 19) & 3; // 3: MPEG-1
    const int layer = (header >> 17) & 3;   // 3: I, 2: II, 1: III
    if (layer == 3)
        return 384;
    if (layer == 2 || version == 3)
        return 1152;
    return 576;
}

} // namespace

std::optional<MpegStreamHeader> readMpegStreamHeader(std::uint32_t header)
{
    if (mpegAudioFrameLength(header) == 0)
        return std::nullopt;
    static const int kRates[3] = {44100, 48000, 32000};
    const int version = (header >> 19) & 3; // 0: 2.5, 2: 2, 3: 1
    MpegStreamHeader stream;
    stream.layer = 4 - int((header >> 17) & 3);
    stream.sampleRate = kRates[(header >> 10) & 3] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    stream.channels = ((header >> 6) & 3) == 3 ? 1 : 2;
    stream.samplesPerFrame = samplesPerFrame(header);
    return stream;
}

std::optional<MpegFrameCount> countMpegAudioFrames(const FileReader& file, std::int64_t first,
                                                   std::int64_t end)
{
    if (first < 0 || end <= first || end > file.size())
        return std::nullopt;
    MpegFrameReader frames(file, first, end);
    return countMpegAudioFrames(frames);
}

std::optional<MpegFrameCount> countMpegAudioFrames(MpegFrameReader& frames)
{
    MpegFrameCount count;
    std::optional<std::uint32_t> reference;
    for (auto frame = frames.frame(); !frame.empty(); frames.advance(), frame = frames.frame()) {
        const std::uint32_t header = (std::uint32_t(frame[0]) << 24) |
                                     (std::uint32_t(frame[1]) << 16) |
                                     (std::uint32_t(frame[2]) << 8) | std::uint32_t(frame[3]);
        if (!reference) {
            reference = header & kFixedHeaderBits;
            count.samplesPerFrame = samplesPerFrame(header);
        } else if ((header & kFixedHeaderBits) != *reference) {
            return std::nullopt;
        }
        ++count.frames;
        count.bytes += frame.size();
        count.maximumFrameSize = std::max(count.maximumFrameSize, std::uint32_t(frame.size()));
    }
    if (frames.failed() || count.frames == 0)
        return std::nullopt;
    return count;
}

MpegFrameReader::MpegFrameReader(const FileReader& file, std::int64_t first, std::int64_t end)
    : file_(file), first_(first), end_(end), offset_(first)
{}

void MpegFrameReader::rewind()
{
    offset_ = first_;
    length_ = 0;
    failed_ = false;
}

bool MpegFrameReader::fill(std::int64_t offset, std::int64_t length)
{
    if (offset >= windowStart_ && offset + length <= windowStart_ + windowSize_)
        return true;
    const std::int64_t size = std::min(std::max(kWindowSize, length), end_ - offset);
    if (size > windowCapacity_) {
        window_ = std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t(size));
        windowCapacity_ = size;
    }
    windowStart_ = offset;
    windowSize_ = size;
    if (size < length || !file_.readAt(offset, std::span(window_.get(), std::size_t(size)))) {
        windowSize_ = 0;
        return false;
    }
    return true;
}

std::span<const std::uint8_t> MpegFrameReader::frame()
{
    if (failed_ || offset_ >= end_)
        return {};
    if (length_ == 0) {
        if (!fill(offset_, 4)) {
            failed_ = true;
            return {};
        }
        const std::uint8_t* bytes = window_.get() + (offset_ - windowStart_);
        length_ =
            mpegAudioFrameLength((std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
                                 (std::uint32_t(bytes[2]) << 8) | std::uint32_t(bytes[3]));
        // The file changed since it was counted: no longer one frame after another.
        if (length_ <= 4 || offset_ + length_ > end_ || !fill(offset_, length_)) {
            failed_ = true;
            length_ = 0;
            return {};
        }
    }
    return {window_.get() + (offset_ - windowStart_), std::size_t(length_)};
}

void MpegFrameReader::advance()
{
    offset_ += length_;
    length_ = 0;
}

} // namespace cleftone::audiofile
