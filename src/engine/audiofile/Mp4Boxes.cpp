#include "engine/audiofile/Mp4Boxes.h"

#include <algorithm>

namespace cleftone::audiofile {

namespace {

// A hostile file can claim any number of boxes; no real container holds this many children.
constexpr std::size_t kMaxChildren = 4096;
// Table entries are read this many bytes at a time.
constexpr std::size_t kTableBuffer = 64 * 1024;

} // namespace

std::optional<Mp4Box> readMp4Box(const FileReader& file, std::int64_t offset, std::int64_t limit)
{
    std::uint8_t header[16];
    if (offset < 0 || limit - offset < 8 || !file.readAt(offset, std::span(header, 8)))
        return std::nullopt;
    Mp4Box box;
    box.type = readBe32(header + 4);
    box.offset = offset;
    std::uint64_t size = readBe32(header);
    box.body = offset + 8;
    if (size == 1) {
        if (limit - offset < 16 || !file.readAt(offset + 8, std::span(header + 8, 8)))
            return std::nullopt;
        size = readBe64(header + 8);
        box.body = offset + 16;
    } else if (size == 0) {
        size = std::uint64_t(limit - offset);
    }
    if (size < std::uint64_t(box.body - offset) || size > std::uint64_t(limit - offset))
        return std::nullopt;
    box.end = offset + std::int64_t(size);
    return box;
}

Mp4Children readMp4Children(const FileReader& file, std::int64_t begin, std::int64_t end)
{
    Mp4Children children;
    std::int64_t at = begin;
    while (at < end) {
        const auto box = readMp4Box(file, at, end);
        if (!box || children.boxes.size() >= kMaxChildren) {
            children.complete = false;
            break;
        }
        children.boxes.push_back(*box);
        at = box->end;
    }
    return children;
}

const Mp4Box* findMp4Box(const Mp4Children& children, std::uint32_t type)
{
    const auto found = std::find_if(children.boxes.begin(), children.boxes.end(),
                                    [type](const Mp4Box& box) { return box.type == type; });
    return found == children.boxes.end() ? nullptr : &*found;
}

AudioFileTypeID mp4FileTypeForBrand(const std::string& major)
{
    if (major.starts_with("M4A") || major.starts_with("M4P"))
        return AudioFileType::M4A;
    if (major.starts_with("M4B"))
        return AudioFileType::M4B;
    if (major.starts_with("3gp"))
        return AudioFileType::ThreeGP;
    if (major.starts_with("3g2") || major == "kddi") // KDDI's 3GPP2 phones
        return AudioFileType::ThreeGP2;
    if (major.starts_with("qt"))
        return fourCC("qtff"); // QuickTime movies are read, never written
    return AudioFileType::MPEG4;
}

Mp4TableCursor::Mp4TableCursor(const FileReader& file, std::int64_t offset, std::uint64_t count,
                               std::uint32_t entryBytes)
    : m_file(&file), m_offset(offset), m_remaining(count), m_entryBytes(entryBytes)
{}

const std::uint8_t* Mp4TableCursor::next()
{
    if (m_remaining == 0 || !m_file)
        return nullptr;
    if (m_at + m_entryBytes > m_buffer.size()) {
        const std::uint64_t entries = std::min<std::uint64_t>(
            m_remaining, std::max<std::size_t>(kTableBuffer / m_entryBytes, 1));
        m_buffer.resize(std::size_t(entries * m_entryBytes));
        if (!m_file->readAt(m_offset, m_buffer)) {
            m_remaining = 0;
            return nullptr;
        }
        m_offset += std::int64_t(m_buffer.size());
        m_at = 0;
    }
    const std::uint8_t* entry = m_buffer.data() + m_at;
    m_at += m_entryBytes;
    --m_remaining;
    return entry;
}

} // namespace cleftone::audiofile
