#include "engine/audiofile/Mp4Movie.h"

#include <limits>

// The sample walk over the tables of a track, and the track setup as it travels in the cookie.
namespace cleftone::audiofile {

namespace {

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(value >> shift));
}

} // namespace

std::vector<std::uint8_t> Mp4TrackSetup::serialize() const
{
    std::vector<std::uint8_t> out;
    out.reserve(8 + sampleDescriptions.size() + editList.size() + sampleGroups.size());
    putBe32(out, movieTimeScale);
    putBe32(out, mediaTimeScale);
    out.insert(out.end(), sampleDescriptions.begin(), sampleDescriptions.end());
    out.insert(out.end(), editList.begin(), editList.end());
    out.insert(out.end(), sampleGroups.begin(), sampleGroups.end());
    return out;
}

std::optional<Mp4TrackSetup> Mp4TrackSetup::parse(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 8)
        return std::nullopt;
    Mp4TrackSetup setup;
    setup.movieTimeScale = readBe32(bytes.data());
    setup.mediaTimeScale = readBe32(bytes.data() + 4);
    if (setup.movieTimeScale == 0 || setup.mediaTimeScale == 0)
        return std::nullopt;
    // Whole boxes with 32-bit sizes: the sample descriptions first, then an edit list, then
    // sample groups.
    std::size_t at = 8;
    while (at < bytes.size()) {
        if (bytes.size() - at < 8)
            return std::nullopt;
        const std::uint32_t size = readBe32(bytes.data() + at);
        const std::uint32_t type = readBe32(bytes.data() + at + 4);
        if (size < 8 || size > bytes.size() - at)
            return std::nullopt;
        const auto box = bytes.subspan(at, size);
        if (type == fourCC("stsd") && at == 8)
            setup.sampleDescriptions.assign(box.begin(), box.end());
        else if (type == fourCC("elst") && setup.editList.empty() && setup.sampleGroups.empty() &&
                 !setup.sampleDescriptions.empty())
            setup.editList.assign(box.begin(), box.end());
        else if ((type == fourCC("sgpd") || type == fourCC("sbgp")) &&
                 !setup.sampleDescriptions.empty())
            setup.sampleGroups.insert(setup.sampleGroups.end(), box.begin(), box.end());
        else
            return std::nullopt;
        at += size;
    }
    if (setup.sampleDescriptions.size() < 16)
        return std::nullopt;
    return setup;
}

Mp4SampleWalker::Mp4SampleWalker(const FileReader& file, const Mp4SampleTables& tables)
    : m_tables(tables),
      m_chunks(file, tables.chunkOffsets, tables.chunkCount, tables.chunkOffsetBytes),
      m_runs(file, tables.runs, tables.runCount, 12),
      m_durations(file, tables.durations, tables.durationCount, 8)
{
    if (tables.constantSize == 0) {
        // Entries of 4 bits are read a byte at a time, two samples per byte.
        const std::uint32_t bytes = tables.sizeBits == 4 ? 1 : tables.sizeBits / 8;
        const std::uint64_t count =
            tables.sizeBits == 4 ? (tables.sampleCount + 1) / 2 : tables.sampleCount;
        m_sizes = Mp4TableCursor(file, tables.sizes, count, bytes);
    }
    // The first run must start at the first chunk; anything else leaves chunks without samples.
    if (!nextRun() || m_nextRunChunk != 1)
        m_failed = true;
}

bool Mp4SampleWalker::nextRun()
{
    const std::uint8_t* entry = m_runs.next();
    if (!entry) {
        m_nextRunChunk = 0;
        return false;
    }
    const std::uint64_t first = readBe32(entry);
    // Runs start at increasing chunks and name the one sample description there is.
    if (first <= m_chunk || first <= m_nextRunChunk || readBe32(entry + 8) != 1) {
        m_failed = true;
        m_nextRunChunk = 0;
        return false;
    }
    m_nextRunChunk = first;
    m_nextRunSamples = readBe32(entry + 4);
    return true;
}

bool Mp4SampleWalker::nextChunk()
{
    const std::uint8_t* entry = m_chunks.next();
    if (!entry)
        return false;
    ++m_chunk;
    const std::uint64_t offset =
        m_tables.chunkOffsetBytes == 8 ? readBe64(entry) : std::uint64_t(readBe32(entry));
    if (offset > std::uint64_t(std::numeric_limits<std::int64_t>::max() / 2))
        return false;
    m_nextOffset = std::int64_t(offset);
    while (m_nextRunChunk != 0 && m_nextRunChunk <= m_chunk) {
        m_samplesPerChunk = m_nextRunSamples;
        if (!nextRun() && m_failed)
            return false;
    }
    m_leftInChunk = m_samplesPerChunk;
    return true;
}

bool Mp4SampleWalker::nextSize(std::uint32_t& size)
{
    if (m_tables.constantSize) {
        size = m_tables.constantSize;
        return true;
    }
    if (m_tables.sizeBits == 4) {
        if (m_sample % 2 == 0) {
            const std::uint8_t* entry = m_sizes.next();
            if (!entry)
                return false;
            m_sizeByte = *entry;
            size = m_sizeByte >> 4;
        } else {
            size = m_sizeByte & 0x0F;
        }
        return true;
    }
    const std::uint8_t* entry = m_sizes.next();
    if (!entry)
        return false;
    size = m_tables.sizeBits == 32   ? readBe32(entry)
           : m_tables.sizeBits == 16 ? readBe16(entry)
                                     : *entry;
    return true;
}

bool Mp4SampleWalker::next(Mp4Sample& sample)
{
    if (m_failed || m_sample >= m_tables.sampleCount)
        return false;
    // Chunks may be listed with no samples; a hostile table lists millions of them, which
    // costs time but no memory.
    while (m_leftInChunk == 0) {
        if (!nextChunk()) {
            m_failed = true;
            return false;
        }
    }
    while (m_durationLeft == 0) {
        const std::uint8_t* entry = m_durations.next();
        if (!entry) {
            m_failed = true;
            return false;
        }
        m_durationLeft = readBe32(entry);
        m_delta = readBe32(entry + 4);
    }
    if (!nextSize(sample.size)) {
        m_failed = true;
        return false;
    }
    sample.offset = m_nextOffset;
    sample.duration = m_delta;
    m_nextOffset += sample.size;
    --m_leftInChunk;
    --m_durationLeft;
    ++m_sample;
    return true;
}

bool Mp4SampleWalker::durationsEndWithSamples()
{
    if (m_durationLeft != 0)
        return false;
    while (const std::uint8_t* entry = m_durations.next())
        if (readBe32(entry) != 0)
            return false;
    return true;
}

} // namespace cleftone::audiofile
