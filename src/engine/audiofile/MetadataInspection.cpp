#include "engine/audiofile/MetadataInspection.h"

#include "engine/audiofile/AvPtr.h"
#include "engine/audiofile/ContainerProbe.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string_view>
#include <unistd.h>

namespace cleftone {

namespace {

using audiofile::FileReader;

std::string sizeText(std::int64_t bytes)
{
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

std::string fourCharacters(std::uint32_t code)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = char((code >> shift) & 0xFF);
        text += (c >= 0x20 && c <= 0x7E) ? c : '?';
    }
    return text;
}

// Values can hold whole lyrics; one line each, and not endless.
std::string oneLine(std::string value)
{
    std::replace_if(
        value.begin(), value.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    constexpr std::size_t kLimit = 200;
    if (value.size() > kLimit) {
        value.resize(kLimit);
        // Do not leave half of a UTF-8 sequence behind.
        while (!value.empty() && (static_cast<unsigned char>(value.back()) & 0xC0) == 0x80)
            value.pop_back();
        if (!value.empty() && static_cast<unsigned char>(value.back()) >= 0xC0)
            value.pop_back();
        value += "…";
    }
    return value;
}

// What FFmpeg reports of the container itself rather than of its tags: the MP4 file-type box,
// which a strip keeps, and the handler and language that every MP4 track carries.
bool isStructural(const std::string& key)
{
    static const std::set<std::string> keys = {"major_brand",  "minor_version", "compatible_brands",
                                               "handler_name", "vendor_id",     "language"};
    return keys.count(key) > 0;
}

void addTags(const AVDictionary* metadata, bool isMp3Stream, std::vector<std::string>& items)
{
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        const std::string key = entry->key;
        // An MP3's encoder name comes from its LAME header, an Ogg stream's from its vendor
        // string: playback needs the one and a strip keeps both.
        if (isStructural(key) || (isMp3Stream && key == "encoder"))
            continue;
        items.push_back("Tag " + key + ": " + oneLine(entry->value));
    }
}

const char* mediaName(AVMediaType type)
{
    const char* name = av_get_media_type_string(type);
    return name ? name : "unknown";
}

// Chunks that hold the audio or describe it; every other top-level chunk is extra.
bool isAudioChunk(std::uint32_t id)
{
    static const std::array<const char*, 11> ids = {"fmt ", "data", "fact", "ds64", "COMM", "SSND",
                                                    "FVER", "desc", "pakt", "kuki", "chan"};
    return std::any_of(ids.begin(), ids.end(),
                       [id](const char* each) { return fourCharacters(id) == each; });
}

void addChunks(const FileReader& file, std::vector<std::string>& items)
{
    const auto ids = audiofile::chunkIDs(file);
    if (!ids)
        return;
    for (const std::uint32_t id : *ids)
        if (!isAudioChunk(id))
            items.push_back("Extra chunk: " + fourCharacters(id));
}

std::uint32_t be32(const std::uint8_t* bytes)
{
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 |
           std::uint32_t(bytes[2]) << 8 | bytes[3];
}

// MP4 boxes beyond what the audio needs, such as the 3GPP asset boxes (titl, auth, perf) that
// FFmpeg does not read as tags. Only the top level, the movie box and its user-data box are
// looked at.
void addBoxes(const FileReader& file, std::int64_t begin, std::int64_t end,
              const std::string& parent, std::vector<std::string>& items)
{
    static const std::set<std::string> topLevel = {"ftyp", "free", "skip", "wide", "mdat",
                                                   "moov", "moof", "mfra", "styp", "sidx"};
    static const std::set<std::string> inMovie = {"mvhd", "trak", "mvex", "iods", "free", "skip"};
    for (int i = 0; i < 1024 && begin + 8 <= end; ++i) {
        std::uint8_t header[16];
        if (!file.readAt(begin, std::span(header, 8)))
            return;
        std::int64_t size = be32(header);
        std::int64_t headerSize = 8;
        if (size == 1) {
            if (!file.readAt(begin, std::span(header, 16)))
                return;
            size = std::int64_t(std::uint64_t(be32(header + 8)) << 32 | be32(header + 12));
            headerSize = 16;
        } else if (size == 0) {
            size = end - begin;
        }
        if (size < headerSize || size > end - begin)
            return;
        const std::string type = fourCharacters(be32(header + 4));
        const std::string path = parent.empty() ? type : parent + "/" + type;
        if (parent.empty() && type == "moov")
            addBoxes(file, begin + headerSize, begin + size, path, items);
        else if (parent == "moov" && type == "udta")
            addBoxes(file, begin + headerSize, begin + size, path, items);
        else if ((parent.empty() && !topLevel.count(type)) ||
                 (parent == "moov" && !inMovie.count(type)) || parent == "moov/udta")
            items.push_back("Extra box: " + path + ", " + sizeText(size));
        begin += size;
    }
}

// The annotation field of a Sun/NeXT audio file, between its header and its data.
void addAnnotation(const FileReader& file, std::vector<std::string>& items)
{
    std::uint8_t header[8];
    if (!file.readAt(0, header) || std::memcmp(header, ".snd", 4) != 0)
        return;
    const std::int64_t dataOffset = be32(header + 4);
    if (dataOffset <= 24 || dataOffset > std::min<std::int64_t>(file.size(), 1 << 20))
        return;
    const auto annotation = file.readRange(24, dataOffset - 24);
    std::string text(annotation.begin(), annotation.end());
    text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
    if (!text.empty())
        items.push_back("Annotation: " + oneLine(text));
}

// FLAC metadata blocks that FFmpeg does not report. Comments and pictures it reports itself, as
// tags and cover art.
void addFlacBlocks(const FileReader& file, std::int64_t offset, std::vector<std::string>& items)
{
    std::uint8_t magic[4];
    if (!file.readAt(offset, magic) || std::memcmp(magic, "fLaC", 4) != 0)
        return;
    offset += 4;
    static const std::array<const char*, 7> names = {
        nullptr, "PADDING", "APPLICATION", "SEEKTABLE", nullptr, "CUESHEET", nullptr};
    for (int i = 0; i < 128; ++i) {
        std::uint8_t header[4];
        if (!file.readAt(offset, header))
            return;
        const int type = header[0] & 0x7F;
        const std::int64_t length = (std::int64_t(header[1]) << 16) | (header[2] << 8) | header[3];
        if (type < int(names.size()) && names[size_t(type)])
            items.push_back(std::string("Extra block: ") + names[size_t(type)] + ", " +
                            sizeText(length));
        else if (type >= int(names.size()) && type != 127)
            items.push_back("Extra block: type " + std::to_string(type) + ", " + sizeText(length));
        offset += 4 + length;
        if (header[0] & 0x80)
            return;
    }
}

// Tags in front of and behind a stream that has no container of its own to hold them.
void addRawStreamTags(const FileReader& file, std::vector<std::string>& items)
{
    std::uint8_t head[12] = {};
    if (!file.readAt(0, std::span(head, std::min<std::int64_t>(12, file.size()))) ||
        audiofile::startsChunkedContainer(head))
        return;
    const std::int64_t begin = audiofile::skipLeadingTags(file);
    if (begin > 0)
        items.push_back("ID3v2 tag in front, " + sizeText(begin));
    addFlacBlocks(file, begin, items);

    // Peeled one at a time, so that each is named.
    std::int64_t end = file.size();
    for (int i = 0; i < 16; ++i) {
        const std::int64_t next = audiofile::trimTrailingTags(file, begin, end, 1);
        if (next >= end)
            break;
        std::uint8_t tag[11] = {};
        const std::int64_t length = end - next;
        std::string name = "tag";
        if (length == 128 && file.readAt(next, std::span(tag, 3)) &&
            std::memcmp(tag, "TAG", 3) == 0)
            name = "ID3v1 tag";
        else if (file.readAt(next, std::span(tag, 8)) && std::memcmp(tag, "APETAGEX", 8) == 0)
            name = "APE tag";
        else if (file.readAt(next, std::span(tag, 11)) && std::memcmp(tag, "LYRICSBEGIN", 11) == 0)
            name = "Lyrics3 tag";
        else if (file.readAt(next, std::span(tag, 3)) && std::memcmp(tag, "ID3", 3) == 0)
            name = "ID3v2 tag";
        items.push_back(name + " at the end, " + sizeText(length));
        end = next;
    }
}

} // namespace

MetadataReport inspectMetadata(const std::string& path)
{
    MetadataReport report;
    audiofile::InputContext context = audiofile::openRegularFile(path);
    if (!context || avformat_find_stream_info(context.get(), nullptr) < 0)
        return report;

    // The stream a strip keeps: the default audio stream, else the first.
    const AVStream* audio = nullptr;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO ||
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        if (!audio || (stream->disposition & AV_DISPOSITION_DEFAULT &&
                       !(audio->disposition & AV_DISPOSITION_DEFAULT)))
            audio = stream;
    }
    if (!audio)
        return report;
    report.readable = true;
    auto& items = report.items;

    // What a strip keeps: an MP3's LAME encoder name, an Ogg stream's vendor string and
    // Matroska's muxing application all come as "encoder".
    const bool mp3 = audio->codecpar->codec_id == AV_CODEC_ID_MP3 ||
                     std::strcmp(context->iformat->name, "ogg") == 0 ||
                     std::string_view(context->iformat->name).starts_with("matroska");
    addTags(context->metadata, mp3, items);
    addTags(audio->metadata, mp3, items);

    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        if (!(stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        const AVCodecID codec = stream->codecpar->codec_id;
        const std::string format = codec == AV_CODEC_ID_MJPEG ? "JPEG"
                                   : codec == AV_CODEC_ID_PNG ? "PNG"
                                                              : avcodec_get_name(codec);
        // The picture's own description ("Cover (front)") tells which of several it is.
        const AVDictionaryEntry* comment = av_dict_get(stream->metadata, "comment", nullptr, 0);
        items.push_back("Cover art: " + format + " image, " + sizeText(stream->attached_pic.size) +
                        (comment ? " (" + oneLine(comment->value) + ")" : std::string()));
    }

    for (unsigned i = 0; i < context->nb_chapters; ++i) {
        const AVChapter* chapter = context->chapters[i];
        const AVDictionaryEntry* title = av_dict_get(chapter->metadata, "title", nullptr, 0);
        const double start = double(chapter->start) * av_q2d(chapter->time_base);
        char when[32];
        std::snprintf(when, sizeof when, "%.3f s", start);
        items.push_back("Chapter " + std::to_string(i + 1) + " at " + when +
                        (title ? std::string(": ") + oneLine(title->value) : std::string()));
    }

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const FileReader file(fd);
        addChunks(file, items);
        std::uint8_t head[8];
        if (file.readAt(0, head) && std::memcmp(head + 4, "ftyp", 4) == 0)
            addBoxes(file, 0, file.size(), std::string(), items);
        addAnnotation(file, items);
        addRawStreamTags(file, items);
        ::close(fd);
    }

    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        if (stream == audio || (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        items.push_back(std::string("Other stream: ") + mediaName(stream->codecpar->codec_type) +
                        " (" + avcodec_get_name(stream->codecpar->codec_id) + ")");
    }
    return report;
}

} // namespace cleftone
