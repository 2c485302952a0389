#include "engine/audiofile/OggReader.h"

#include "engine/audiofile/OggHeaders.h"
#include "engine/audiofile/OggPages.h"
#include "engine/audiofile/OggWriter.h"
#include "engine/audiofile/RewriteInput.h"

#include <algorithm>
#include <cstring>

namespace cleftone::audiofile {

namespace {

// Streams in one link: real files have a handful, a hostile one could claim thousands.
constexpr std::size_t kMaxStreamsPerLink = 64;

bool contains(const std::vector<std::uint32_t>& serials, std::uint32_t serial)
{
    return std::find(serials.begin(), serials.end(), serial) != serials.end();
}

// An Ogg file read as the pages of its stripped form. The pages are walked in order; a new link
// begins at a first page (BOS) that follows other pages, and is looked at up to the end of its
// audio stream's headers when the walk reaches it. No page is indexed: a jump back starts the
// walk over (the engine reads forwards). Threads: one at a time, like every handle.
class OggInputFile final : public RewriteInputFile {
public:
    OggInputFile(int fd, ReadPurpose purpose) : RewriteInputFile(fd, purpose) {}
    OSStatus open();
    std::int64_t strippedSize() const override { return m_strippedSize; }

protected:
    OSStatus restart() override;
    OSStatus peekPacket(std::uint32_t* size) override;
    OSStatus takePacket(std::uint8_t* out) override;

private:
    struct Next {
        bool ready = false;
        bool rebuilt = false; // one of m_headerPages, else the audio page `page`
        OggPage page;
        std::uint32_t sequence = 0; // the audio page's number in the stripped file
        std::uint32_t size = 0;
        bool cut = false; // the audio after the last header on `page`, made a page of its own
    };

    OSStatus findNext();
    OSStatus beginLink(std::int64_t offset);
    OSStatus gatherHeaders(std::int64_t firstPagesEnd, std::int64_t end, OggContent content);
    OSStatus endOfPages();
    OSStatus noPageAt(std::int64_t offset);
    void cutAudioFromHeaders(std::span<const std::uint8_t> page, std::uint8_t* out) const;
    void noteLeftOutStreams();
    std::string linkSuffix() const;
    std::int64_t pagesEnd() const { return m_end >= 0 ? m_end : reader().size(); }

    std::int64_t m_begin = 0;
    std::int64_t m_end = -1; // where the pages end, once a walk has found it

    std::int64_t m_offset = 0;            // the next page
    bool m_inFirstPages = false;          // every page of this link so far was a first page
    int m_link = 0;                       // links begun; 1 in the first
    std::vector<std::uint32_t> m_serials; // the link's streams
    std::uint32_t m_keptSerial = 0;       // its audio stream
    std::uint32_t m_headerPagesLeft = 0;  // audio stream pages that only carry headers
    std::int64_t m_sharedPage = -1;       // the page where audio follows the last header
    std::size_t m_sharedSegment = 0;      // and its first audio lacing value
    OggHeaders m_headers;                 // stripped
    std::vector<std::vector<std::uint8_t>> m_headerPages;
    std::size_t m_nextHeaderPage = 0;
    std::optional<std::uint32_t> m_firstAudioSequence;
    bool m_streamEnded = false;
    Next m_next;
    OggHeaders m_firstLinkHeaders;
    std::vector<std::uint8_t> m_page; // a page read aside: headers, or audio that shares one
    bool m_cutShort = false;          // the last page ends past the end of the file

    // What open() notes for the metadata report, while its walk is the first.
    struct LeftOutStream {
        std::uint32_t serial;
        std::string name;
        std::int64_t bytes;
    };
    bool m_noting = false;
    std::vector<LeftOutStream> m_leftOut; // the streams of the link that the strip drops
    std::int64_t m_strippedSize = 0;
};

OSStatus OggInputFile::open()
{
    m_type = AudioFileType::Ogg;
    m_begin = skipLeadingTags(reader());
    if (m_begin > 0)
        m_id3Tag = ByteRange{0, m_begin};
    noteTagsInFront(m_begin);

    // One walk over the page headers counts the packets exactly and finds where the pages end.
    restart();
    m_noting = true;
    for (;;) {
        std::uint32_t size = 0;
        const OSStatus status = peekPacket(&size);
        if (status == AudioFileError::EndOfFile)
            break;
        // A file cut short says so; the service's callers tell it from other damage.
        if (status)
            return m_cutShort ? AudioFileError::EndOfFile : status;
        if (m_packetCount == 0 && !m_next.rebuilt)
            m_dataOffset = m_next.page.offset;
        ++m_packetCount;
        m_byteCount += size;
        m_maxPacketSize = std::max(m_maxPacketSize, size);
        m_nextHeaderPage += m_next.rebuilt;
        m_next.ready = false;
    }
    if (m_link == 0)
        return AudioFileError::InvalidFile;
    noteLeftOutStreams();
    m_noting = false;
    noteBehind(m_end);
    // A stream of headers alone still makes a file; the engine wants a size to read with.
    m_maxPacketSize = std::max<std::uint32_t>(m_maxPacketSize, 1);
    m_setup.head = m_firstLinkHeaders.encode();
    m_strippedSize = std::int64_t(m_byteCount);
    for (const auto& page : paginateOggHeaders(m_firstLinkHeaders))
        m_strippedSize += std::int64_t(page.size());
    restart();
    return describeWithFFmpeg(m_begin, m_end, "ogg", 0);
}

OSStatus OggInputFile::restart()
{
    m_offset = m_begin;
    m_inFirstPages = false;
    m_link = 0;
    m_serials.clear();
    m_headerPages.clear();
    m_nextHeaderPage = 0;
    m_next = Next{};
    return 0;
}

OSStatus OggInputFile::peekPacket(std::uint32_t* size)
{
    if (const OSStatus status = findNext())
        return status;
    *size = m_next.size;
    return 0;
}

OSStatus OggInputFile::takePacket(std::uint8_t* out)
{
    if (const OSStatus status = findNext())
        return status;
    if (m_next.rebuilt) {
        const auto& page = m_headerPages[m_nextHeaderPage++];
        std::memcpy(out, page.data(), page.size());
    } else {
        // The page as the input has it; one shared with the headers is read aside and cut.
        std::span<std::uint8_t> page(out, m_next.size);
        if (m_next.cut) {
            m_page.resize(m_next.page.size());
            page = m_page;
        }
        if (!reader().readAt(m_next.page.offset, page))
            return AudioFileError::IO;
        if (!oggChecksumHolds(page))
            return AudioFileError::InvalidFile;
        if (m_next.cut)
            cutAudioFromHeaders(page, out);
        if (m_next.cut || m_next.sequence != m_next.page.sequence)
            renumberOggPage(std::span(out, m_next.size), m_next.sequence);
    }
    m_next.ready = false;
    return 0;
}

OSStatus OggInputFile::findNext()
{
    while (!m_next.ready) {
        // A later link's header pages come first; the first link's are the writer's to make.
        if (m_link > 1 && m_nextHeaderPage < m_headerPages.size()) {
            m_next = Next{true, true, {}, 0, std::uint32_t(m_headerPages[m_nextHeaderPage].size())};
            break;
        }
        const std::int64_t end = pagesEnd();
        if (m_offset == end) {
            m_end = end;
            return AudioFileError::EndOfFile;
        }
        const std::optional<OggPage> page = readOggPage(reader(), m_offset, end);
        if (!page)
            return endOfPages();
        if (page->beginsStream() && !m_inFirstPages) {
            if (const OSStatus status = beginLink(m_offset))
                return status;
            m_inFirstPages = true;
            continue;
        }
        if (m_link == 0)
            return AudioFileError::InvalidFile; // the file starts in the middle of a stream
        m_inFirstPages = page->beginsStream();
        m_offset += page->size();
        if (page->serial != m_keptSerial) {
            // Video, Skeleton and other streams of the link stay behind; a stranger is damage.
            if (!contains(m_serials, page->serial))
                return AudioFileError::InvalidFile;
            for (LeftOutStream& stream : m_leftOut)
                stream.bytes += stream.serial == page->serial ? page->size() : 0;
            continue;
        }
        if (m_headerPagesLeft > 0) {
            --m_headerPagesLeft;
            continue;
        }
        if (m_streamEnded)
            return AudioFileError::InvalidFile; // a page after the stream's last one
        m_streamEnded = page->endsStream();
        // Numbered on from the new header pages, with any gap the input has kept.
        if (!m_firstAudioSequence)
            m_firstAudioSequence = page->sequence;
        const std::uint32_t sequence =
            std::uint32_t(m_headerPages.size()) + (page->sequence - *m_firstAudioSequence);
        m_next = Next{true, false, *page, sequence, page->size(), page->offset == m_sharedPage};
        if (m_next.cut) {
            m_next.size = 27u + page->segmentCount - std::uint32_t(m_sharedSegment);
            for (std::size_t i = m_sharedSegment; i < page->segmentCount; ++i)
                m_next.size += page->lacing[i];
        }
    }
    return 0;
}

OSStatus OggInputFile::endOfPages()
{
    // No whole page where the last one ended. That is the end when only tags follow; anything
    // else is junk between pages, or a page cut short.
    if (m_end < 0 && trimTrailingTags(reader(), m_begin, reader().size()) == m_offset) {
        m_end = m_offset;
        return AudioFileError::EndOfFile;
    }
    return noPageAt(m_offset);
}

// Some muxers start the audio on the page that ends the headers. The audio part becomes a page
// of its own, as the stripped file needs it: the same fields but for the flags of a first page
// and of a packet going on, and the granule position of the last packet that ends on it.
void OggInputFile::cutAudioFromHeaders(std::span<const std::uint8_t> page, std::uint8_t* out) const
{
    const OggPage& header = m_next.page;
    const std::size_t first = m_sharedSegment;
    const std::size_t count = header.segmentCount - first;
    std::size_t skipped = 0;
    bool packetEnds = false;
    for (std::size_t i = 0; i < header.segmentCount; ++i) {
        if (i < first)
            skipped += header.lacing[i];
        else
            packetEnds = packetEnds || header.lacing[i] < 255;
    }
    std::memcpy(out, page.data(), 26);
    out[5] = std::uint8_t(header.flags & ~3);
    if (!packetEnds)
        std::memset(out + 6, 0xFF, 8);
    out[26] = std::uint8_t(count);
    std::memcpy(out + 27, header.lacing + first, count);
    std::memcpy(out + 27 + count, page.data() + header.headerSize() + skipped,
                header.bodySize - skipped);
}

OSStatus OggInputFile::noPageAt(std::int64_t offset)
{
    // The start of a page that the file's end cuts off, or bytes that are no page at all.
    std::uint8_t start[5] = {};
    const auto length = std::size_t(std::clamp<std::int64_t>(reader().size() - offset, 0, 5));
    m_cutShort = reader().readAt(offset, std::span(start, length)) &&
                 std::memcmp(start, "OggS", std::min<std::size_t>(length, 4)) == 0;
    return AudioFileError::InvalidFile;
}

std::string OggInputFile::linkSuffix() const
{
    return m_link > 1 ? ", link " + std::to_string(m_link) : std::string();
}

void OggInputFile::noteLeftOutStreams()
{
    for (LeftOutStream& stream : m_leftOut)
        noteRemoved("stream", std::move(stream.name) + linkSuffix(), stream.bytes);
    m_leftOut.clear();
}

OSStatus OggInputFile::beginLink(std::int64_t offset)
{
    if (m_noting)
        noteLeftOutStreams(); // of the link before
    ++m_link;
    m_serials.clear();
    m_headerPages.clear();
    m_nextHeaderPage = 0;
    m_firstAudioSequence.reset();

    // The first pages of the link, one per stream; the first audio stream is the one kept.
    const std::int64_t end = pagesEnd();
    std::optional<OggContent> kept;
    std::int64_t pos = offset;
    for (std::optional<OggPage> page;
         (page = readOggPage(reader(), pos, end)) && page->beginsStream(); pos += page->size()) {
        if (contains(m_serials, page->serial) || m_serials.size() == kMaxStreamsPerLink)
            return AudioFileError::InvalidFile;
        m_serials.push_back(page->serial);
        std::uint8_t magic[8] = {};
        const auto length = std::min<std::size_t>(sizeof magic, page->bodySize);
        if (!reader().readAt(pos + page->headerSize(), std::span(magic, length)))
            return AudioFileError::IO;
        const OggContent content = identifyOggContent(std::span(magic, length));
        if (!kept && content != OggContent::Video && content != OggContent::Other) {
            kept = content;
            m_keptSerial = page->serial;
        } else if (m_noting) {
            m_leftOut.push_back({page->serial, oggStreamName(std::span(magic, length)), 0});
        }
    }
    // A link without audio, or with audio whose headers the strip does not know, cannot be
    // stripped faithfully.
    if (!kept || !isStrippableAudio(*kept))
        return AudioFileError::UnsupportedDataFormat;
    return gatherHeaders(pos, end, *kept);
}

// From the link's start to the page that ends its audio stream's last header packet.
OSStatus OggInputFile::gatherHeaders(std::int64_t firstPagesEnd, std::int64_t end,
                                     OggContent content)
{
    OggHeaderGatherer gatherer(content);
    std::uint32_t headerPages = 0;
    bool endsStream = false;
    std::int64_t lastHeaderPage = -1;
    std::int64_t pos = m_offset;
    while (!gatherer.complete()) {
        const std::optional<OggPage> page = readOggPage(reader(), pos, end);
        if (!page)
            return noPageAt(pos);
        // Headers that end with another link or with their stream are cut short.
        if (endsStream || (page->beginsStream() && pos >= firstPagesEnd) ||
            !contains(m_serials, page->serial))
            return AudioFileError::InvalidFile;
        pos += page->size();
        if (page->serial != m_keptSerial)
            continue;
        m_page.resize(page->size());
        if (!reader().readAt(page->offset, m_page))
            return AudioFileError::IO;
        if (!oggChecksumHolds(m_page))
            return AudioFileError::InvalidFile;
        const auto body = std::span(m_page).subspan(page->headerSize());
        if (const OSStatus status = gatherer.addPage(*page, body))
            return status;
        ++headerPages;
        endsStream = page->endsStream();
        lastHeaderPage = page->offset;
    }
    std::vector<std::uint8_t>().swap(m_page);
    // Audio on the page that ends the headers: that page is the first audio page.
    m_sharedSegment = gatherer.audioSegment();
    m_sharedPage = m_sharedSegment > 0 ? lastHeaderPage : -1;
    if (m_sharedPage >= 0) {
        --headerPages;
        endsStream = false;
    }

    m_headers.serial = m_keptSerial;
    m_headers.endStream = endsStream;
    std::vector<MetadataBlock> dropped;
    if (const OSStatus status = gatherer.strip(m_headers.packets, m_noting ? &dropped : nullptr))
        return status;
    for (MetadataBlock& region : dropped)
        noteRemoved(std::move(region.kind), std::move(region.name) + linkSuffix(), region.bytes);
    m_headerPages = paginateOggHeaders(m_headers);
    m_headerPagesLeft = headerPages;
    m_streamEnded = endsStream;
    if (m_link == 1)
        m_firstLinkHeaders = m_headers;
    return 0;
}

} // namespace

RewriteFamily oggFamily()
{
    return RewriteFamily{
        {AudioFileType::Ogg},
        [](const FileReader& file, std::int64_t begin) {
            std::uint8_t head[5];
            return file.readAt(begin, head) && startsOggPage(head);
        },
        [](int fd, ReadPurpose purpose, std::unique_ptr<InputFile>& out) -> OSStatus {
            auto file = std::make_unique<OggInputFile>(fd, purpose);
            if (const OSStatus status = file->open())
                return status;
            out = std::move(file);
            return 0;
        },
        [](AudioFileTypeID) -> std::unique_ptr<FamilyWriter> {
            return std::make_unique<OggWriter>();
        }};
}

} // namespace cleftone::audiofile
