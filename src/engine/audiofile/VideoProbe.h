#pragma once

#include <string>

namespace cleftone {

/// True when the file holds at least one real video stream: cover art (a picture attached to
/// an MP3, M4A or FLAC file) does not count. A file that cannot be opened holds no video.
///
/// Threads: any; it opens the file afresh on each call, so keep it off the main thread.
bool fileHasVideoStream(const std::string& path);

} // namespace cleftone
