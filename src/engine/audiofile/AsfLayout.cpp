#include "engine/audiofile/AsfLayout.h"

#include <cstring>
#include <optional>

namespace cleftone::audiofile {

namespace {

struct Guid {
    std::uint8_t bytes[16];
};

constexpr std::uint8_t hexDigit(char c)
{
    return std::uint8_t(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
}

// A GUID as it is written, "75B22630-668E-11CF-A6D9-00AA0062CE6C"; files store the first three
// groups little-endian.
constexpr Guid guid(const char (&text)[37])
{
    const int at[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
    Guid id{};
    for (int i = 0; i < 16; ++i)
        id.bytes[i] = std::uint8_t(hexDigit(text[at[i]]) << 4 | hexDigit(text[at[i] + 1]));
    return id;
}

constexpr Guid kHeader = guid("75B22630-668E-11CF-A6D9-00AA0062CE6C");
constexpr Guid kData = guid("75B22636-668E-11CF-A6D9-00AA0062CE6C");
constexpr Guid kFileProperties = guid("8CABDCA1-A947-11CF-8EE4-00C00C205365");
constexpr Guid kStreamProperties = guid("B7DC0791-A9B7-11CF-8EE6-00C00C205365");
constexpr Guid kHeaderExtension = guid("5FBF03B5-A92E-11CF-8EE3-00C00C205365");
constexpr Guid kExtendedStreamProperties = guid("14E6A5CB-C672-4332-8399-A96952065B5A");
constexpr Guid kAudioMedia = guid("F8699E40-5B4D-11CF-A8FD-00805F5C442B");
constexpr Guid kPadding = guid("1806D474-CADF-4509-A4BA-9AABCB96AAE8");

struct NamedGuid {
    Guid id;
    const char* name;
};

// What the header carries besides the streams: titles and attributes (cover pictures among
// them), the publisher's banner and links, markers (chapters), timed script commands, padding.
constexpr NamedGuid kLeftOutOfHeader[] = {
    {guid("75B22633-668E-11CF-A6D9-00AA0062CE6C"), "Content Description"},
    {guid("D2D0A440-E307-11D2-97F0-00A0C95EA850"), "Extended Content Description"},
    {guid("2211B3FA-BD23-11D2-B4B7-00A0C955FC6E"), "Content Branding"},
    {guid("F487CD01-A951-11CF-8EE6-00C00C205365"), "Marker"},
    {guid("1EFB1A30-0B62-11D0-A39B-00A0C90348F6"), "Script Command"},
    {kPadding, "Padding"},
};
constexpr NamedGuid kLeftOutOfExtension[] = {
    {guid("C5F8CBEA-5BAF-4877-8467-AA8C44FA4CCA"), "Metadata"},
    {guid("44231C94-9498-49D1-A141-1D134E457054"), "Metadata Library"},
    {kPadding, "Padding"},
};
constexpr Guid kIndexes[] = {
    guid("33000890-E5B1-11CF-89F4-00A0C90349CB"), // Simple Index
    guid("D6E229D3-35DA-11D1-9034-00A0C90349BE"), // Index
    guid("FEB103F8-12AD-4C64-840F-2A1D2F7AD48C"), // Media Object Index
    guid("3CB73FD0-0C4A-4803-953D-EDF7B6228F0C"), // Timecode Index
};

constexpr std::int64_t kObjectHeaderSize = 24;     // GUID and 64-bit size
constexpr std::int64_t kHeaderFieldsSize = 30;     // header object: object count, two reserved
constexpr std::int64_t kExtensionFieldsSize = 46;  // header extension: GUID, word, data size
constexpr std::int64_t kDataHeaderSize = 50;       // data object: file ID, packet count, word
constexpr std::int64_t kFilePropertiesSize = 104;  // its fixed fields
constexpr std::int64_t kStreamPropertiesSize = 78; // its fixed fields
constexpr std::int64_t kExtendedStreamFieldsSize = 88;
// Kept header and index bytes are held in memory; real ones are a few KB.
constexpr std::int64_t kMaxKeptBytes = 16 << 20;
// No encoder writes larger packets; a damaged size must not ask for huge buffers.
constexpr std::uint32_t kMaxPacketSize = 1 << 20;
// Objects after the data: real files have an index or two.
constexpr int kMaxTrailingObjects = 4096;

bool is(const std::uint8_t* bytes, const Guid& id)
{
    return std::memcmp(bytes, id.bytes, sizeof id.bytes) == 0;
}

template <std::size_t N> bool isAny(const std::uint8_t* bytes, const Guid (&ids)[N])
{
    for (const Guid& id : ids)
        if (is(bytes, id))
            return true;
    return false;
}

// The name of the object that `bytes` start, when it is one of `ids`; else null.
template <std::size_t N> const char* nameIn(const std::uint8_t* bytes, const NamedGuid (&ids)[N])
{
    for (const NamedGuid& id : ids)
        if (is(bytes, id.id))
            return id.name;
    return nullptr;
}

// A GUID as it is written, for an object that has no name here.
std::string guidText(const std::uint8_t* bytes)
{
    static constexpr int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string text;
    for (int i = 0; i < 16; ++i) {
        static constexpr char digits[] = "0123456789ABCDEF";
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += digits[bytes[order[i]] >> 4];
        text += digits[bytes[order[i]] & 15];
    }
    return text;
}

std::uint32_t le16(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8);
}

std::uint32_t le32(const std::uint8_t* p)
{
    return le16(p) | (le16(p + 2) << 16);
}

std::uint64_t le64(const std::uint8_t* p)
{
    return std::uint64_t(le32(p)) | (std::uint64_t(le32(p + 4)) << 32);
}

void putLe(std::uint8_t* p, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = std::uint8_t(value >> (8 * i));
}

// Visits the objects that fill [begin, end); fails when one overruns the end or bytes are left
// that are no object.
template <typename Visit>
OSStatus walkObjects(const FileReader& file, std::int64_t begin, std::int64_t end, Visit&& visit)
{
    for (std::int64_t at = begin; at < end;) {
        std::uint8_t raw[kObjectHeaderSize];
        if (end - at < kObjectHeaderSize || !file.readAt(at, raw))
            return AudioFileError::InvalidFile;
        const std::uint64_t size = le64(raw + 16);
        if (size < std::uint64_t(kObjectHeaderSize) || size > std::uint64_t(end - at))
            return AudioFileError::InvalidFile;
        if (const OSStatus status = visit(raw, at, std::int64_t(size)))
            return status;
        at += std::int64_t(size);
    }
    return 0;
}

OSStatus append(const FileReader& file, std::int64_t at, std::int64_t size,
                std::vector<std::uint8_t>& out)
{
    if (size > kMaxKeptBytes - std::int64_t(out.size()))
        return AudioFileError::InvalidFile;
    const std::size_t from = out.size();
    out.resize(from + std::size_t(size));
    return file.readAt(at, std::span(out).subspan(from)) ? 0 : AudioFileError::IO;
}

// Whether the Stream Properties object at `at` describes an audio stream.
OSStatus streamIsAudio(const FileReader& file, std::int64_t at, std::int64_t size, bool& audio)
{
    std::uint8_t type[16];
    if (size < kStreamPropertiesSize || !file.readAt(at + kObjectHeaderSize, type))
        return AudioFileError::InvalidFile;
    audio = is(type, kAudioMedia);
    return 0;
}

// An Extended Stream Properties object may define a stream of its own: a Stream Properties
// object after its stream names and payload extension systems.
OSStatus extendedStreamIsAudio(const FileReader& file, std::int64_t at, std::int64_t size,
                               bool& audio)
{
    std::uint8_t fields[kExtendedStreamFieldsSize];
    if (size < kExtendedStreamFieldsSize || !file.readAt(at, fields))
        return AudioFileError::InvalidFile;
    const std::int64_t end = at + size;
    std::int64_t pos = at + kExtendedStreamFieldsSize;
    for (std::uint32_t i = 0, names = le16(fields + 84); i < names && pos <= end; ++i) {
        std::uint8_t name[4];
        if (!file.readAt(pos, name))
            return AudioFileError::InvalidFile;
        pos += 4 + le16(name + 2);
    }
    for (std::uint32_t i = 0, systems = le16(fields + 86); i < systems && pos <= end; ++i) {
        std::uint8_t system[22];
        if (!file.readAt(pos, system))
            return AudioFileError::InvalidFile;
        pos += 22 + std::int64_t(le32(system + 18));
    }
    if (pos > end)
        return AudioFileError::InvalidFile;
    std::uint8_t raw[kObjectHeaderSize];
    audio = true;
    if (end - pos < kObjectHeaderSize)
        return 0;
    if (!file.readAt(pos, raw) || !is(raw, kStreamProperties) ||
        le64(raw + 16) != std::uint64_t(end - pos))
        return AudioFileError::InvalidFile;
    return streamIsAudio(file, pos, end - pos, audio);
}

// The header extension object at `at` without the objects that carry tags, appended to `head`
// with its sizes for what is left.
OSStatus stripExtension(const FileReader& file, std::int64_t at, std::int64_t size,
                        std::vector<std::uint8_t>& head, bool& onlyAudio,
                        std::vector<MetadataBlock>& removed)
{
    std::uint8_t fields[kExtensionFieldsSize];
    if (size < kExtensionFieldsSize || !file.readAt(at, fields) ||
        le32(fields + 42) != std::uint64_t(size - kExtensionFieldsSize))
        return AudioFileError::InvalidFile;
    const std::size_t start = head.size();
    head.insert(head.end(), fields, fields + kExtensionFieldsSize);
    const OSStatus status = walkObjects(
        file, at + kExtensionFieldsSize, at + size,
        [&](const std::uint8_t* raw, std::int64_t child, std::int64_t length) {
            if (const char* name = nameIn(raw, kLeftOutOfExtension)) {
                removed.push_back({"object", name, length});
                return OSStatus(0);
            }
            if (is(raw, kExtendedStreamProperties)) {
                bool audio = true;
                if (const OSStatus s = extendedStreamIsAudio(file, child, length, audio))
                    return s;
                onlyAudio = onlyAudio && audio;
            }
            return append(file, child, length, head);
        });
    if (status)
        return status;
    const std::size_t kept = head.size() - start;
    putLe(head.data() + start + 16, kept, 8);
    putLe(head.data() + start + 42, kept - kExtensionFieldsSize, 4);
    return 0;
}

// The index objects after the data object. Other objects, and bytes that are no object at all
// (tags that taggers append, from `layout.junk` on), are left out.
OSStatus readIndexes(const FileReader& file, std::int64_t at, AsfLayout& layout)
{
    layout.junk = at;
    for (int i = 0; i < kMaxTrailingObjects && file.size() - at >= kObjectHeaderSize; ++i) {
        std::uint8_t raw[kObjectHeaderSize];
        if (!file.readAt(at, raw))
            return AudioFileError::IO;
        const std::uint64_t size = le64(raw + 16);
        const bool index = isAny(raw, kIndexes);
        if (size < std::uint64_t(kObjectHeaderSize) || size > std::uint64_t(file.size() - at))
            return index ? AudioFileError::EndOfFile : 0; // an index cut short: so was the file
        if (index) {
            if (const OSStatus status = append(file, at, std::int64_t(size), layout.tail))
                return status;
        } else {
            layout.removed.push_back({"object", guidText(raw), std::int64_t(size)});
        }
        at += std::int64_t(size);
        layout.junk = at;
    }
    return 0;
}

} // namespace

bool startsAsfHeader(const FileReader& file, std::int64_t begin)
{
    std::uint8_t id[16];
    return file.readAt(begin, id) && is(id, kHeader);
}

OSStatus readAsfLayout(const FileReader& file, std::int64_t begin, AsfLayout& layout)
{
    std::uint8_t fields[kHeaderFieldsSize];
    if (!file.readAt(begin, fields))
        return AudioFileError::EndOfFile;
    const std::uint64_t headerSize = le64(fields + 16);
    if (!is(fields, kHeader) || headerSize < std::uint64_t(kHeaderFieldsSize))
        return AudioFileError::InvalidFile;
    if (headerSize > std::uint64_t(file.size() - begin))
        return AudioFileError::EndOfFile;
    const std::int64_t headerEnd = begin + std::int64_t(headerSize);

    // The object count is not trusted (FFmpeg's muxer leaves the marker object out of it): the
    // objects are walked by their sizes, and counted anew.
    std::vector<std::uint8_t> head(fields, fields + kHeaderFieldsSize);
    std::uint32_t objects = 0;
    std::optional<std::size_t> properties; // where the File Properties object lies in `head`
    bool onlyAudio = true;
    OSStatus status =
        walkObjects(file, begin + kHeaderFieldsSize, headerEnd,
                    [&](const std::uint8_t* raw, std::int64_t at, std::int64_t size) -> OSStatus {
                        if (const char* name = nameIn(raw, kLeftOutOfHeader)) {
                            layout.removed.push_back({"object", name, size});
                            return 0;
                        }
                        ++objects;
                        if (is(raw, kHeaderExtension))
                            return stripExtension(file, at, size, head, onlyAudio, layout.removed);
                        if (is(raw, kFileProperties)) {
                            if (properties || size < kFilePropertiesSize)
                                return AudioFileError::InvalidFile;
                            properties = head.size();
                        } else if (is(raw, kStreamProperties)) {
                            bool audio = true;
                            if (const OSStatus s = streamIsAudio(file, at, size, audio))
                                return s;
                            onlyAudio = onlyAudio && audio;
                        }
                        return append(file, at, size, head);
                    });
    if (status)
        return status;
    if (!properties)
        return AudioFileError::InvalidFile;

    const std::uint8_t* fileProperties = head.data() + *properties;
    const bool broadcast = le32(fileProperties + 88) & 1;
    const std::uint32_t packetSize = le32(fileProperties + 92);
    if (packetSize != le32(fileProperties + 96) || packetSize == 0 || packetSize > kMaxPacketSize)
        return AudioFileError::InvalidFile;

    std::uint8_t data[kDataHeaderSize];
    if (!file.readAt(headerEnd, data))
        return AudioFileError::EndOfFile;
    const std::uint64_t dataSize = le64(data + 16);
    if (!is(data, kData))
        return AudioFileError::InvalidFile;
    const bool tooSmall = dataSize < std::uint64_t(kDataHeaderSize);
    const bool tooLarge = dataSize > std::uint64_t(file.size() - headerEnd);
    if (broadcast && (tooSmall || tooLarge))
        return AudioFileError::UnsupportedFileType; // a live broadcast may leave it unset
    if (tooSmall || tooLarge)
        return tooSmall ? AudioFileError::InvalidFile : AudioFileError::EndOfFile;
    const std::uint64_t packetBytes = dataSize - kDataHeaderSize;
    if (packetBytes % packetSize != 0)
        return AudioFileError::InvalidFile;
    const std::int64_t dataEnd = headerEnd + std::int64_t(dataSize);

    if (const OSStatus s = readIndexes(file, dataEnd, layout))
        return s;
    const std::vector<std::uint8_t>& tail = layout.tail;

    head.insert(head.end(), data, data + kDataHeaderSize);
    putLe(head.data() + 16, head.size() - kDataHeaderSize, 8);
    putLe(head.data() + 24, objects, 4);
    putLe(head.data() + *properties + 40, head.size() + packetBytes + tail.size(), 8);

    layout.head = std::move(head);
    layout.packetsOffset = headerEnd + kDataHeaderSize;
    layout.packetsLength = std::int64_t(packetBytes);
    layout.packetSize = packetSize;
    layout.dataEnd = dataEnd;
    layout.onlyAudio = onlyAudio;
    return 0;
}

std::int64_t asfPacketBytesOfHead(std::span<const std::uint8_t> head)
{
    if (head.size() < std::size_t(kHeaderFieldsSize + kDataHeaderSize) || !is(head.data(), kHeader))
        return -1;
    const std::uint64_t headerSize = le64(head.data() + 16);
    if (headerSize != head.size() - kDataHeaderSize || !is(head.data() + headerSize, kData))
        return -1;
    const std::uint64_t dataSize = le64(head.data() + headerSize + 16);
    if (dataSize < std::uint64_t(kDataHeaderSize) || dataSize > std::uint64_t(INT64_MAX))
        return -1;
    return std::int64_t(dataSize - kDataHeaderSize);
}

} // namespace cleftone::audiofile
