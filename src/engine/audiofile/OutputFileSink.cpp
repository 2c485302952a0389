#include "engine/audiofile/OutputFileSink.h"

#include "engine/audiofile/AudioFileTypes.h"
#include "engine/audiofile/AvPtr.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

// Write-behind: every this many bytes written in a row, writeback of them starts, so that the
// flush before the commit finds little left to do. Nothing waits for it here: waiting for the
// previous window as well made the copy slower on most formats measured, and the kernel's own
// dirty-page limits bound what a large copy keeps in memory.
constexpr std::int64_t kWriteBehindWindow = 8 * 1024 * 1024;

void startWriteBehind(FileSink* sink)
{
    if (sink->position - sink->writebackStartedUpTo < kWriteBehindWindow)
        return;
    const std::int64_t from = sink->writebackStartedUpTo;
    // Advisory only: errors here surface again at the flush before the commit.
    ::sync_file_range(sink->fd, from, sink->position - from, SYNC_FILE_RANGE_WRITE);
    sink->writebackStartedUpTo = sink->position;
}

int writeHeld(FileSink* sink, const std::uint8_t* buffer, int size)
{
    std::size_t skip = 0;
    if (sink->position < sink->heldFrom) {
        skip = std::size_t(std::min<std::int64_t>(size, sink->heldFrom - sink->position));
        if (const int error = writeAt(sink, buffer, skip, sink->position))
            return error;
    }
    if (skip < std::size_t(size)) {
        const std::size_t at = std::size_t(sink->position + std::int64_t(skip) - sink->heldFrom);
        const std::size_t count = std::size_t(size) - skip;
        if (sink->held.size() < at + count)
            sink->held.resize(at + count);
        std::memcpy(sink->held.data() + at, buffer + skip, count);
    }
    sink->position += size;
    return size;
}

std::int64_t seekHeld(FileSink* sink, std::int64_t offset, int whence)
{
    struct stat info {};
    const std::int64_t onDisk = ::fstat(sink->fd, &info) == 0 ? info.st_size : 0;
    const std::int64_t end = std::max(onDisk, sink->heldFrom + std::int64_t(sink->held.size()));
    if (whence == AVSEEK_SIZE)
        return end;
    const std::int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? sink->position : end;
    if (base + offset < 0)
        return AVERROR(EINVAL);
    sink->position = base + offset;
    return sink->position;
}

} // namespace

int writeAt(FileSink* sink, const std::uint8_t* buffer, std::size_t size, std::int64_t offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(sink->fd, buffer, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *sink->lastErrno = errno;
            return AVERROR(errno);
        }
        buffer += n;
        size -= std::size_t(n);
        offset += n;
    }
    return 0;
}

int writeSink(void* opaque, std::uint8_t* buffer, int size)
{
    auto* sink = static_cast<FileSink*>(opaque);
    for (const auto& rewrite : sink->rewriters)
        rewrite(sink->position, std::span(buffer, std::size_t(size)));
    if (sink->holding)
        return writeHeld(sink, buffer, size);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(sink->fd, buffer + done, std::size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *sink->lastErrno = errno;
            return AVERROR(errno);
        }
        done += int(n);
    }
    sink->position += done;
    startWriteBehind(sink);
    return done;
}

std::int64_t seekSink(void* opaque, std::int64_t offset, int whence)
{
    auto* sink = static_cast<FileSink*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (sink->holding)
        return seekHeld(sink, offset, whence);
    if (whence == AVSEEK_SIZE) {
        const off_t here = ::lseek(sink->fd, 0, SEEK_CUR);
        const off_t end = ::lseek(sink->fd, 0, SEEK_END);
        ::lseek(sink->fd, here, SEEK_SET);
        return end;
    }
    const off_t result = ::lseek(sink->fd, offset, whence);
    if (result < 0)
        return AVERROR(errno);
    // A seek back (a header patched at the end) only moves where the next window starts.
    sink->position = result;
    sink->writebackStartedUpTo = std::min<std::int64_t>(sink->writebackStartedUpTo, result);
    return result;
}

Rewriter blankBoxAt(std::int64_t offset)
{
    return [offset, size = std::int64_t(0)](std::int64_t position,
                                            std::span<std::uint8_t> bytes) mutable {
        // Every write of the file passes through here: only the bytes of the box are looked at.
        const std::int64_t end = position + std::int64_t(bytes.size());
        const std::int64_t boxEnd = offset + std::max<std::int64_t>(size, 8);
        if (end <= offset || position >= boxEnd)
            return;
        for (std::int64_t at = std::max(position, offset) - offset; offset + at < end; ++at) {
            if (at >= 8 && at >= size)
                break;
            std::uint8_t& byte = bytes[std::size_t(offset + at - position)];
            if (at < 4)
                size = (size << 8) | byte;
            else if (at < 8)
                byte = std::uint8_t("free"[at - 4]);
            else
                byte = 0;
        }
    };
}

// The MP4 muxer always writes a user-data box holding an empty iTunes item list, inside the
// movie box it writes last. Nothing in it is wanted, so it becomes a zero-filled free box of the
// same size: no offset moves. This is done on the trailer's bytes before they reach the file;
// reading the file back to find the box is not safe on every file system (FAT through FUSE
// answered such reads with stale data, and the patch landed in the sample-size table).
void blankMp4UserData(std::vector<std::uint8_t>& boxes)
{
    const auto boxAt = [&](std::size_t offset, std::size_t end, std::uint32_t& type,
                           std::uint64_t& size) {
        if (end - offset < 8)
            return false;
        const std::uint8_t* header = boxes.data() + offset;
        size = (std::uint64_t(header[0]) << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
        type = (std::uint32_t(header[4]) << 24) | (header[5] << 16) | (header[6] << 8) | header[7];
        if (size == 1 && end - offset >= 16) {
            size = 0;
            for (int i = 8; i < 16; ++i)
                size = (size << 8) | header[i];
        } else if (size == 0) {
            size = end - offset;
        }
        return size >= 8 && size <= end - offset;
    };
    std::uint32_t type = 0;
    std::uint64_t size = 0;
    for (std::size_t offset = 0; boxAt(offset, boxes.size(), type, size); offset += size) {
        if (type != fourCC("moov"))
            continue;
        const std::size_t end = offset + size;
        std::uint32_t childType = 0;
        std::uint64_t childSize = 0;
        for (std::size_t child = offset + 8; boxAt(child, end, childType, childSize);
             child += childSize) {
            if (childType == fourCC("udta")) {
                const bool largeSize = std::memcmp(boxes.data() + child, "\0\0\0\1", 4) == 0;
                const std::size_t header = largeSize ? 16 : 8;
                std::memcpy(boxes.data() + child + 4, "free", 4);
                std::memset(boxes.data() + child + header, 0, childSize - header);
            }
        }
    }
}

} // namespace cleftone::audiofile
