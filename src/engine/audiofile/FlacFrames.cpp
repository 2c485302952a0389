#include "engine/audiofile/FlacFrames.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace cleftone::audiofile {

namespace {

constexpr std::size_t kWindowSize = 1 << 20;
constexpr std::size_t kMaxHeaderSize = 16;
// The smallest possible frame: a header, one constant subframe and the CRC-16.
constexpr std::int64_t kMinFrameSize = 10;

constexpr std::array<std::uint8_t, 256> makeCrc8Table()
{
    std::array<std::uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        std::uint8_t crc = std::uint8_t(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = std::uint8_t((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
        table[std::size_t(i)] = crc;
    }
    return table;
}

constexpr auto kCrc8 = makeCrc8Table();

} // namespace

std::optional<std::int64_t> flacFirstFrameOffset(const FileReader& file, std::int64_t begin)
{
    std::uint8_t magic[4];
    if (!file.readAt(begin, magic) || std::memcmp(magic, "fLaC", 4) != 0)
        return std::nullopt;
    std::int64_t offset = begin + 4;
    for (int blocks = 0; blocks < 4096; ++blocks) {
        std::uint8_t header[4];
        if (!file.readAt(offset, header))
            return std::nullopt;
        const std::int64_t length =
            (std::int64_t(header[1]) << 16) | (std::int64_t(header[2]) << 8) | header[3];
        offset += 4 + length;
        if (header[0] & 0x80)
            return offset <= file.size() ? std::optional(offset) : std::nullopt;
    }
    return std::nullopt;
}

FlacFrameScanner::FlacFrameScanner(const FileReader& file, std::int64_t firstFrame,
                                   std::int64_t end)
    : file_(file), end_(end), current_(firstFrame)
{
    currentHeader_ = headerAt(firstFrame);
    reference_ = currentHeader_;
}

bool FlacFrameScanner::fill(std::int64_t offset, std::size_t length)
{
    if (offset < 0 || offset + std::int64_t(length) > end_)
        return false;
    if (offset >= windowStart_ &&
        offset + std::int64_t(length) <= windowStart_ + std::int64_t(window_.size()))
        return true;
    const auto size = std::size_t(
        std::min<std::int64_t>(std::max<std::size_t>(kWindowSize, length), end_ - offset));
    window_.resize(size);
    windowStart_ = offset;
    if (!file_.readAt(offset, window_)) {
        window_.clear();
        return false;
    }
    return true;
}

std::optional<FlacFrameScanner::Header> FlacFrameScanner::headerAt(std::int64_t offset)
{
    const auto available = std::size_t(std::min<std::int64_t>(kMaxHeaderSize, end_ - offset));
    if (available < 6 || !fill(offset, available))
        return std::nullopt;
    const std::uint8_t* h = window_.data() + (offset - windowStart_);

    if (h[0] != 0xFF || (h[1] & 0xFE) != 0xF8)
        return std::nullopt;
    Header header;
    header.variableBlocks = h[1] & 1;
    const int blockCode = h[2] >> 4;
    const int rateCode = h[2] & 0x0F;
    const int channelCode = h[3] >> 4;
    const int sizeCode = (h[3] >> 1) & 7;
    if (blockCode == 0 || rateCode == 15 || channelCode > 10 || sizeCode == 3 || (h[3] & 1))
        return std::nullopt;

    // The frame or sample number, in UTF-8-like coding.
    std::size_t position = 4;
    const std::uint8_t lead = h[position++];
    int extra = 0;
    std::uint64_t number = 0;
    if (lead < 0x80) {
        number = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        number = lead & 0x1F, extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
        number = lead & 0x0F, extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
        number = lead & 0x07, extra = 3;
    } else if ((lead & 0xFC) == 0xF8) {
        number = lead & 0x03, extra = 4;
    } else if ((lead & 0xFE) == 0xFC) {
        number = lead & 0x01, extra = 5;
    } else if (lead == 0xFE && header.variableBlocks) {
        extra = 6;
    } else {
        return std::nullopt;
    }
    if (position + std::size_t(extra) + 4 > available)
        return std::nullopt;
    for (int i = 0; i < extra; ++i) {
        const std::uint8_t byte = h[position++];
        if ((byte & 0xC0) != 0x80)
            return std::nullopt;
        number = (number << 6) | (byte & 0x3F);
    }
    header.number = number;

    if (blockCode == 1)
        header.blockSize = 192;
    else if (blockCode <= 5)
        header.blockSize = 576u << (blockCode - 2);
    else if (blockCode == 6)
        header.blockSize = std::uint32_t(h[position++]) + 1;
    else if (blockCode == 7) {
        header.blockSize = ((std::uint32_t(h[position]) << 8) | h[position + 1]) + 1;
        position += 2;
    } else
        header.blockSize = 256u << (blockCode - 8);
    if (rateCode == 12)
        position += 1;
    else if (rateCode == 13 || rateCode == 14)
        position += 2;
    if (position >= available)
        return std::nullopt;

    std::uint8_t crc = 0;
    for (std::size_t i = 0; i < position; ++i)
        crc = kCrc8[crc ^ h[i]];
    if (crc != h[position])
        return std::nullopt;

    // Stereo frames switch freely between independent and side channel coding; the channel
    // count stays.
    const int channels = channelCode < 8 ? channelCode + 1 : 2;
    header.codes[0] = h[2] & 0x0F;
    header.codes[1] = std::uint8_t((channels << 4) | (h[3] & 0x0F));
    return header;
}

std::int64_t FlacFrameScanner::findNextFrame(std::int64_t from)
{
    const Header& previous = *currentHeader_;
    const std::uint64_t expected =
        previous.number + (previous.variableBlocks ? previous.blockSize : 1);
    const std::uint8_t secondByte = std::uint8_t(0xF8 | (reference_->variableBlocks ? 1 : 0));

    std::int64_t position = from;
    while (position + 1 < end_) {
        if (!fill(position, 2)) {
            return end_;
        }
        const std::uint8_t* start = window_.data() + (position - windowStart_);
        const std::uint8_t* stop = window_.data() + window_.size();
        const auto* found =
            static_cast<const std::uint8_t*>(std::memchr(start, 0xFF, std::size_t(stop - start)));
        if (!found) {
            position = windowStart_ + std::int64_t(window_.size());
            continue;
        }
        position = windowStart_ + (found - window_.data());
        if (position + 1 >= end_)
            break;
        if (!fill(position, 2))
            break;
        if (window_[std::size_t(position - windowStart_ + 1)] == secondByte) {
            const std::optional<Header> candidate = headerAt(position);
            if (candidate && candidate->number == expected &&
                candidate->codes[0] == reference_->codes[0] &&
                candidate->codes[1] == reference_->codes[1])
                return position;
        }
        ++position;
    }
    return end_;
}

std::optional<FlacFrame> FlacFrameScanner::next()
{
    if (!currentHeader_ || current_ >= end_)
        return std::nullopt;
    const std::int64_t nextFrame = findNextFrame(current_ + kMinFrameSize);
    FlacFrame frame{current_, nextFrame - current_, currentHeader_->blockSize};
    current_ = nextFrame;
    currentHeader_ = nextFrame < end_ ? headerAt(nextFrame) : std::nullopt;
    return frame;
}

bool FlacFrameScanner::read(const FlacFrame& frame, std::span<std::uint8_t> out) const
{
    if (frame.offset >= windowStart_ &&
        frame.offset + std::int64_t(out.size()) <= windowStart_ + std::int64_t(window_.size())) {
        std::memcpy(out.data(), window_.data() + (frame.offset - windowStart_), out.size());
        return true;
    }
    return file_.readAt(frame.offset, out);
}

} // namespace cleftone::audiofile
