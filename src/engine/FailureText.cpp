#include "engine/FailureText.h"

#include "platform/PathBytes.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone {

QString audioFileTypeName(AudioFileTypeID type)
{
    namespace T = AudioFileType;
    switch (type) {
    case T::AIFF:
        return QStringLiteral("AIFF");
    case T::AIFC:
        return QStringLiteral("AIFF-C");
    case T::WAVE:
        return QStringLiteral("WAVE");
    case T::RF64:
        return QStringLiteral("RF64");
    case T::Wave64:
        return QStringLiteral("Wave64");
    case T::NeXT:
        return QStringLiteral("Sun/NeXT audio");
    case T::CAF:
        return QStringLiteral("CAF");
    case T::M4A:
        return QStringLiteral("MPEG-4 audio (M4A)");
    case T::M4B:
        return QStringLiteral("MPEG-4 audiobook (M4B)");
    case T::MPEG4:
        return QStringLiteral("MPEG-4");
    case T::ThreeGP:
        return QStringLiteral("3GPP");
    case T::ThreeGP2:
        return QStringLiteral("3GPP2");
    case T::AAC_ADTS:
        return QStringLiteral("AAC (ADTS)");
    case T::AC3:
        return QStringLiteral("AC-3");
    case T::EAC3:
        return QStringLiteral("E-AC-3");
    case T::AMR:
        return QStringLiteral("AMR");
    case T::FLAC:
        return QStringLiteral("FLAC");
    case T::MP3:
        return QStringLiteral("MP3");
    case T::MP2:
        return QStringLiteral("MPEG audio layer II (MP2)");
    case T::MP1:
        return QStringLiteral("MPEG audio layer I (MP1)");
    case T::Ogg:
        return QStringLiteral("Ogg");
    case T::Matroska:
        return QStringLiteral("Matroska");
    case T::WebM:
        return QStringLiteral("WebM");
    case T::ASF:
        return QStringLiteral("Windows Media (ASF)");
    case T::ASFVideo:
        return QStringLiteral("Windows Media video");
    case T::MonkeysAudio:
        return QStringLiteral("Monkey's Audio");
    case T::WavPack:
        return QStringLiteral("WavPack");
    case T::Musepack:
        return QStringLiteral("Musepack");
    case T::TTA:
        return QStringLiteral("TTA");
    case T::OptimFROG:
        return QStringLiteral("OptimFROG");
    case T::TAK:
        return QStringLiteral("TAK");
    case T::DSF:
        return QStringLiteral("DSF");
    case T::DSDIFF:
        return QStringLiteral("DSDIFF");
    case T::LOAS:
        return QStringLiteral("AAC (LOAS/LATM)");
    case T::MultiSegmentMatroska:
        return QStringLiteral("multi-segment Matroska");
    default:
        return {};
    }
}

QString audioFormatName(AudioFormatID format)
{
    namespace F = AudioFormat;
    switch (format) {
    case F::LinearPCM:
        return QStringLiteral("PCM");
    case F::MPEGLayer1:
        return QStringLiteral("MPEG layer I");
    case F::MPEGLayer2:
        return QStringLiteral("MPEG layer II");
    case F::MPEGLayer3:
        return QStringLiteral("MP3");
    case F::MPEG4AAC:
        return QStringLiteral("AAC");
    case F::AC3:
        return QStringLiteral("AC-3");
    case F::EnhancedAC3:
        return QStringLiteral("E-AC-3");
    case F::AMR:
        return QStringLiteral("AMR");
    case F::AMR_WB:
        return QStringLiteral("AMR-WB");
    case F::FLAC:
        return QStringLiteral("FLAC");
    case F::AppleLossless:
        return QStringLiteral("Apple Lossless");
    case F::ULaw:
        return QStringLiteral("\u00B5-law");
    case F::ALaw:
        return QStringLiteral("A-law");
    case F::Opus:
        return QStringLiteral("Opus");
    default:
        return {};
    }
}

QString reasonForStatus(OSStatus status)
{
    namespace E = AudioFileError;
    switch (status) {
    case E::FileNotFound:
        return QStringLiteral("no such file or directory");
    case E::Permissions:
        return QStringLiteral("permission denied");
    case E::NoSpace:
        return QStringLiteral("no space left on device");
    case E::MemoryFull:
        return QStringLiteral("not enough memory");
    case E::IO:
        return QStringLiteral("input/output error");
    case E::EndOfFile:
        return QStringLiteral("the file ends too early");
    case E::InvalidFile:
    case E::InvalidChunk:
    case E::InvalidPacketOffset:
        return QStringLiteral("the file is damaged");
    case E::UnsupportedFileType:
        return QStringLiteral("the file type is not supported");
    case E::UnsupportedDataFormat:
        return QStringLiteral("the audio format is not supported");
    default:
        return QStringLiteral("an unexpected error occurred");
    }
}

QString reasonForSystemError(int error)
{
    QString text = qt_error_string(error);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

QString unwritableInputMessage(const QString& path, AudioFileTypeID type, OSStatus openStatus)
{
    const QString name = audioFileTypeName(type);
    if (type != 0 && !name.isEmpty())
        return QStringLiteral("Cleftone cannot write %1 files.").arg(name);
    // Non-blocking, so that a named pipe cannot hold the job.
    const int fd = ::open(pathBytes(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("Could not open the file: %1.").arg(reasonForSystemError(errno));
    struct stat info {};
    const bool folder = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
    ::close(fd);
    if (folder)
        return QStringLiteral("This is a folder, not an audio file.");
    if (openStatus == AudioFileError::EndOfFile)
        return QStringLiteral("The file ends before its audio does: it may be truncated or "
                              "damaged. It was not changed.");
    if (openStatus == AudioFileError::InvalidChunk)
        return QStringLiteral("The file is damaged: Cleftone cannot read its structure. It was "
                              "not changed.");
    return QStringLiteral("This file is not an audio file that Cleftone can read.");
}

} // namespace cleftone
