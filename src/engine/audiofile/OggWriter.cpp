#include "engine/audiofile/OggWriter.h"

#include "engine/audiofile/OggPages.h"

namespace cleftone::audiofile {

OSStatus OggWriter::start(ByteSink& sink, const StreamSetup& setup)
{
    const std::optional<OggHeaders> headers = OggHeaders::decode(setup.head);
    if (!headers)
        return AudioFileError::Parameter;
    for (const auto& page : paginateOggHeaders(*headers))
        sink.write(page);
    m_serial = headers->serial;
    return 0;
}

OSStatus OggWriter::write(ByteSink& sink, std::span<const std::uint8_t> packet)
{
    // Each packet is one page as the reader made it; anything else would end up in the file as
    // a page that players skip or choke on.
    const std::optional<OggPage> page = parseOggPage(packet);
    if (!page || !oggChecksumHolds(packet))
        return AudioFileError::Parameter;
    // A later link starts with the first page of its stream; until then every page is of the
    // stream whose pages came before.
    if (page->beginsStream())
        m_serial = page->serial;
    else if (page->serial != m_serial)
        return AudioFileError::Parameter;
    sink.write(packet);
    return 0;
}

OSStatus OggWriter::finish(ByteSink&, const StreamSetup&)
{
    return 0;
}

} // namespace cleftone::audiofile
