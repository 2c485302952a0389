#pragma once

#include "engine/audiofile/AudioFileTypes.h"

#include <QString>

namespace cleftone {

/// Words for the failures a strip job reports to the user: what a status of the audio-file
/// service means, what a container or codec is called. Codes stay in the system log; the user
/// gets text they can act on.
///
/// Threads: any (pure functions).

/// The common name of a container type ("WAVE", "MPEG-4 audio (M4A)", "Ogg"), or an empty
/// string for a type that has no name here.
QString audioFileTypeName(AudioFileTypeID type);

/// The common name of an audio format ("AAC", "Opus"), or an empty string when unknown.
QString audioFormatName(AudioFormatID format);

/// What went wrong, in lower-case words that can follow a colon: "permission denied",
/// "no space left on device".
QString reasonForStatus(OSStatus status);

/// A system error number in the same style: strerror's text with a lower-case first letter.
QString reasonForSystemError(int error);

/// The message of a job whose input at `path` has a container type that cannot be written.
/// Type 0 means the service could not open it as audio: then the message says why the file
/// could not be opened, that it is a folder, or "This file is not an audio file that Cleftone
/// can read.", or, where the service found it cut short or damaged (`openStatus`), that it
/// is. A known type is named: "Cleftone cannot write Ogg files."
QString unwritableInputMessage(const QString& path, AudioFileTypeID type, OSStatus openStatus = 0);

} // namespace cleftone
