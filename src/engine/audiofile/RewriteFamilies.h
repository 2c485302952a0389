#pragma once

#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/RewriteOutput.h"
#include "engine/audiofile/ServiceFiles.h"

#include <memory>
#include <vector>

namespace cleftone::audiofile {

/// A container family whose strip is a rewrite of its header or a cut of its tag regions, with
/// its own reader (RewriteInput.h) and writer (RewriteOutput.h).
struct RewriteFamily {
    /// The container types its reader reports and its writer writes.
    std::vector<AudioFileTypeID> types;
    /// Whether the bytes at `begin` (past any ID3v2 tags in front) start a file of the family.
    /// Cheap: it looks at the first bytes only.
    bool (*claims)(const FileReader& file, std::int64_t begin);
    /// Reads the file at `fd`, taking ownership of the descriptor whatever the outcome.
    OSStatus (*open)(int fd, ReadPurpose purpose, std::unique_ptr<InputFile>& out);
    /// The writer for one of its types.
    std::unique_ptr<FamilyWriter> (*writer)(AudioFileTypeID type);
};

/// Every such family, in the order their claims are asked.
const std::vector<RewriteFamily>& rewriteFamilies();

/// The family that writes `type`, or null.
const RewriteFamily* rewriteFamilyFor(AudioFileTypeID type);

} // namespace cleftone::audiofile
