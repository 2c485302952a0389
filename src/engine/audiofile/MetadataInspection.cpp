#include "engine/audiofile/MetadataInspection.h"

#include "engine/audiofile/AvPtr.h"
#include "engine/audiofile/MetadataRegions.h"
#include "engine/audiofile/ServiceFiles.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <string_view>
#include <unistd.h>

// How metadataBytes is counted. For the container families whose strip is a rewrite of their
// own (Ogg, Matroska and WebM, ASF, the APEv2-tagged lossless formats, DSF, DSDIFF) the family's
// reader names what goes and knows the stripped file's size exactly: the count is the
// difference, so it also holds the index entries, page and element headers that go with the
// named regions. Elsewhere it is the sizes of the regions a strip leaves out, as the file's own
// layout states them. Tags around raw streams, extra chunks, boxes and FLAC blocks count whole,
// headers and padding included; tags and pictures inside them are not counted again. FLAC
// comment and picture blocks, which have no block of their own in the report, count whole too.
// A stream other than the audio counts by the sample sizes of the demuxer's index where that
// index lists every sample (MP4), plus its track box; elsewhere its size is not known and it is
// not counted. A stripped MP4 file gets a movie box of its own making, whose tables may be laid
// out a little larger or smaller, so there the count is close rather than exact. When no region
// of a file accounts for its tags and pictures (a container family whose layout is not read
// here yet), their texts and picture sizes are counted instead, as a lower bound.

namespace cleftone {

namespace {

// One line for each kind of block in reportLines(): "{name}" and "{bytes}" are filled in.
struct BlockKind {
    const char* kind;
    const char* line;
};
constexpr BlockKind kBlockKinds[] = {
    {"chunk", "Extra chunk: {name}"},
    {"box", "Extra box: {name}, {bytes}"},
    {"flacBlock", "Extra block: {name}, {bytes}"},
    {"element", "Extra element: {name}, {bytes}"},
    {"object", "Extra object: {name}, {bytes}"},
    {"tagInFront", "{name} in front, {bytes}"},
    {"tagAtEnd", "{name} at the end, {bytes}"},
    {"trailing", "Other bytes at the end, {bytes}"},
    {"annotation", "Annotation: {name}"},
    {"comments", "Comment header: {name}, {bytes}"},
    {"commentData", "Data after the comments: {name}, {bytes}"},
    {"storedChunk", "Extra chunk stored in the stream: {name}, {bytes}"},
    {"stream", "Other stream: {name}{, bytes}"},
};
// Kinds not in the table.
constexpr const char* kOtherBlockLine = "Extra {kind}: {name}, {bytes}";

// What a strip keeps: metadata stored inside the codec's own blocks.
constexpr BlockKind kKeptKinds[] = {
    {"apeWavHeader", "Kept: {name} chunk in the WAV header stored in the Monkey's Audio stream, "
                     "{bytes}"},
    {"apeWavTrailer", "Kept: {name} chunk after the audio, stored in the Monkey's Audio stream, "
                      "{bytes}"},
    {"wavPackHeader", "Kept: {name} chunk in the RIFF header stored in the WavPack stream, "
                      "{bytes}"},
    {"wavPackTrailer", "Kept: {name} chunk after the audio, stored in the WavPack stream, "
                       "{bytes}"},
    {"takWavHeader", "Kept: {name} chunk in the WAV header stored in the TAK stream, {bytes}"},
    {"takWavTrailer", "Kept: {name} chunk after the audio, stored in the TAK stream, {bytes}"},
    {"takWavMetadata", "Kept: WAV metadata stored in the TAK stream, {bytes}"},
};
constexpr const char* kOtherKeptLine = "Kept: {name} ({kind}), {bytes}";

std::string sizeText(std::int64_t bytes)
{
    return bytes < 0 ? std::string("size unknown")
                     : std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
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

void replaceAll(std::string& text, const std::string& placeholder, const std::string& value)
{
    for (auto at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

template <std::size_t N>
std::string blockLine(const MetadataBlock& block, const BlockKind (&kinds)[N], const char* other)
{
    const auto known = std::find_if(std::begin(kinds), std::end(kinds),
                                    [&block](const auto& k) { return block.kind == k.kind; });
    std::string line = known != std::end(kinds) ? known->line : other;
    replaceAll(line, "{kind}", block.kind);
    replaceAll(line, "{bytes}", sizeText(block.bytes));
    // Only where the size is known.
    replaceAll(line, "{, bytes}", block.bytes < 0 ? std::string() : ", " + sizeText(block.bytes));
    replaceAll(line, "{name}", oneLine(block.name));
    return line;
}

// What FFmpeg reports of the container itself rather than of its tags: the MP4 file-type box,
// which a strip keeps, and the handler and language that every MP4 track carries.
bool isStructural(const std::string& key)
{
    static const std::set<std::string> keys = {"major_brand",  "minor_version", "compatible_brands",
                                               "handler_name", "vendor_id",     "language"};
    return keys.count(key) > 0;
}

// `encoderIsKept`: the "encoder" entry names something a strip keeps (see inspectMetadata()).
void addTags(const AVDictionary* metadata, bool encoderIsKept, MetadataReport& report)
{
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        const std::string key = entry->key;
        if (isStructural(key) || (encoderIsKept && key == "encoder"))
            continue;
        report.tags.push_back({key, entry->value});
    }
}

bool isVideo(const AVStream* stream)
{
    return stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

MetadataPicture pictureOf(const AVStream* stream, bool keepData)
{
    MetadataPicture picture;
    const AVCodecID codec = stream->codecpar->codec_id;
    switch (codec) {
    case AV_CODEC_ID_MJPEG:
        picture.format = "JPEG";
        picture.mimeType = "image/jpeg";
        break;
    case AV_CODEC_ID_PNG:
        picture.format = "PNG";
        picture.mimeType = "image/png";
        break;
    case AV_CODEC_ID_BMP:
    case AV_CODEC_ID_GIF:
    case AV_CODEC_ID_TIFF:
    case AV_CODEC_ID_WEBP:
        picture.format = avcodec_get_name(codec);
        picture.mimeType = "image/" + picture.format;
        break;
    default:
        picture.format = avcodec_get_name(codec);
        picture.mimeType = "application/octet-stream";
    }
    // The picture's own description ("Cover (front)") tells which of several it is.
    if (const AVDictionaryEntry* comment = av_dict_get(stream->metadata, "comment", nullptr, 0))
        picture.description = comment->value;
    picture.bytes = stream->attached_pic.size;
    // Filled in by avformat_find_stream_info(), which decodes the picture to learn them.
    picture.width = std::max(0, stream->codecpar->width);
    picture.height = std::max(0, stream->codecpar->height);
    if (keepData && stream->attached_pic.data)
        picture.data.assign(stream->attached_pic.data,
                            stream->attached_pic.data + stream->attached_pic.size);
    return picture;
}

// The stream's bytes by the demuxer's index, where the index lists every packet; -1 otherwise.
std::int64_t indexedBytes(AVStream* stream)
{
    const int entries = avformat_index_get_entries_count(stream);
    if (entries <= 0 || (stream->nb_frames > 0 && entries < stream->nb_frames))
        return -1;
    std::int64_t bytes = 0;
    for (int i = 0; i < entries; ++i)
        if (const AVIndexEntry* entry = avformat_index_get_entry(stream, i))
            bytes += entry->size;
    return bytes;
}

std::string containerName(const AVFormatContext& context)
{
    const std::string name = context.iformat->name;
    // The MP4 family shares one demuxer, named after all of its members.
    return name.starts_with("mov,mp4") ? "mp4" : name.substr(0, name.find(','));
}

} // namespace

void MetadataReport::addBlock(std::string kind, std::string name, std::int64_t bytes)
{
    if (bytes > 0)
        metadataBytes += bytes;
    blocks.push_back({std::move(kind), std::move(name), bytes});
}

MetadataReport inspectMetadata(const std::string& path, bool pictureData)
{
    MetadataReport report;
    audiofile::InputContext context = audiofile::openRegularFile(path);
    if (!context)
        return report;
    // As the video screening decides it: by the streams listed on opening.
    for (unsigned i = 0; i < context->nb_streams; ++i)
        report.hasVideo = report.hasVideo || isVideo(context->streams[i]);
    if (avformat_find_stream_info(context.get(), nullptr) < 0)
        return report;

    // The stream a strip keeps: the default audio stream, else the first.
    AVStream* audio = nullptr;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        AVStream* stream = context->streams[i];
        // As the audio-file service reads it: a stream without a rate or channels is no audio.
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO ||
            (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) ||
            stream->codecpar->sample_rate <= 0 || stream->codecpar->ch_layout.nb_channels <= 0)
            continue;
        if (!audio || (stream->disposition & AV_DISPOSITION_DEFAULT &&
                       !(audio->disposition & AV_DISPOSITION_DEFAULT)))
            audio = stream;
    }
    if (!audio)
        return report;
    report.readable = true;
    report.container = containerName(*context.get());
    report.codec = avcodec_get_name(audio->codecpar->codec_id);

    // What a strip keeps: an MP3's LAME encoder name (playback needs it), an Ogg stream's
    // vendor string and Matroska's muxing application all come as "encoder".
    const bool encoderIsKept = audio->codecpar->codec_id == AV_CODEC_ID_MP3 ||
                               std::strcmp(context->iformat->name, "ogg") == 0 ||
                               std::string_view(context->iformat->name).starts_with("matroska");
    addTags(context->metadata, encoderIsKept, report);
    addTags(audio->metadata, encoderIsKept, report);

    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        if (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)
            report.pictures.push_back(pictureOf(stream, pictureData));
    }

    for (unsigned i = 0; i < context->nb_chapters; ++i) {
        const AVChapter* chapter = context->chapters[i];
        const AVDictionaryEntry* title = av_dict_get(chapter->metadata, "title", nullptr, 0);
        report.chapters.push_back({double(chapter->start) * av_q2d(chapter->time_base),
                                   title ? title->value : std::string()});
    }

    // A family with a reader of its own names its regions and knows what its strip removes;
    // FFmpeg's list of the other streams would only repeat its tracks and attachments.
    if (const auto family = audiofile::familyStripRegions(path)) {
        report.blocks.insert(report.blocks.end(), family->removed.begin(), family->removed.end());
        report.kept = family->kept;
        report.metadataBytes =
            report.carriesNothing() ? 0 : std::max<std::int64_t>(0, family->removedBytes);
        return report;
    }

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        const audiofile::FileReader file(fd);
        audiofile::addExtraChunks(file, report);
        audiofile::addExtraBoxes(file, report);
        audiofile::addAnnotation(file, report);
        audiofile::addRawStreamRegions(file, report);
        ::close(fd);
    }

    for (unsigned i = 0; i < context->nb_streams; ++i) {
        AVStream* stream = context->streams[i];
        if (stream == audio || (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        const char* type = av_get_media_type_string(stream->codecpar->codec_type);
        report.addBlock("stream",
                        std::string(type ? type : "unknown") + " (" +
                            avcodec_get_name(stream->codecpar->codec_id) + ")",
                        indexedBytes(stream));
    }

    if (report.metadataBytes == 0) {
        for (const MetadataTag& tag : report.tags)
            report.metadataBytes += std::int64_t(tag.key.size() + tag.value.size());
        for (const MetadataPicture& picture : report.pictures)
            report.metadataBytes += picture.bytes;
    }
    return report;
}

std::vector<std::string> reportLines(const MetadataReport& report)
{
    std::vector<std::string> lines;
    for (const MetadataTag& tag : report.tags)
        lines.push_back("Tag " + tag.key + ": " + oneLine(tag.value));
    for (const MetadataPicture& picture : report.pictures)
        lines.push_back("Cover art: " + picture.format + " image, " + sizeText(picture.bytes) +
                        (picture.description.empty() ? std::string()
                                                     : " (" + oneLine(picture.description) + ")"));
    for (std::size_t i = 0; i < report.chapters.size(); ++i) {
        const MetadataChapter& chapter = report.chapters[i];
        char when[32];
        std::snprintf(when, sizeof when, "%.3f s", chapter.start);
        lines.push_back("Chapter " + std::to_string(i + 1) + " at " + when +
                        (chapter.title.empty() ? std::string() : ": " + oneLine(chapter.title)));
    }
    for (const MetadataBlock& block : report.blocks)
        lines.push_back(blockLine(block, kBlockKinds, kOtherBlockLine));
    return lines;
}

std::vector<std::string> keptLines(const MetadataReport& report)
{
    std::vector<std::string> lines;
    for (const MetadataBlock& block : report.kept)
        lines.push_back(blockLine(block, kKeptKinds, kOtherKeptLine));
    return lines;
}

} // namespace cleftone
