#pragma once

#include "engine/audiofile/RewriteOutput.h"

namespace cleftone::audiofile {

/// Writes a stripped Ogg file: the first link's header pages, laid out from the header packets
/// in the magic cookie, then the packets, each one whole page whose checksum must hold.
/// Threads: the one thread that writes the file.
class OggWriter final : public FamilyWriter {
public:
    OSStatus start(ByteSink& sink, const StreamSetup& setup) override;
    OSStatus write(ByteSink& sink, std::span<const std::uint8_t> packet) override;
    OSStatus finish(ByteSink& sink, const StreamSetup& setup) override;

private:
    std::uint32_t m_serial = 0; // of the stream whose pages come now
};

} // namespace cleftone::audiofile
