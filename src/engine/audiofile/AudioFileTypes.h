#pragma once

// Plain types, codes and statuses of the audio-file service. Nothing here depends on FFmpeg.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cleftone {

/// 0 on success, otherwise a four-character code (first character in the most significant byte).
using OSStatus = std::int32_t;
using AudioFileTypeID = std::uint32_t;
using AudioFilePropertyID = std::uint32_t;
using AudioFormatID = std::uint32_t;

/// Four-character code from a literal: fourCC("ffmt") == 0x66666D74.
constexpr std::uint32_t fourCC(const char (&code)[5])
{
    return (std::uint32_t(std::uint8_t(code[0])) << 24) |
           (std::uint32_t(std::uint8_t(code[1])) << 16) |
           (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

/// Opaque handle of an open or created audio file. Services derive their file objects from it.
struct OpaqueAudioFileID {
    virtual ~OpaqueAudioFileID() = default;
};
using AudioFileID = OpaqueAudioFileID*;

/// Stream description, 40 bytes. The engine hands it from input to output unread.
struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    std::uint32_t mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

/// Where one packet lies in a packet buffer, 16 bytes.
struct AudioStreamPacketDescription {
    std::int64_t mStartOffset = 0;
    std::uint32_t mVariableFramesInPacket = 0;
    std::uint32_t mDataByteSize = 0;
};
static_assert(sizeof(AudioStreamPacketDescription) == 16);

/// The "info" property hands over an owned pointer to one of these (8 bytes of storage).
using AudioFileInfoDictionary = std::map<std::string, std::string>;
/// The "fext" global info hands over an owned pointer to one of these (8 bytes of storage).
using AudioFileExtensionList = std::vector<std::string>;

/// Container types.
namespace AudioFileType {
inline constexpr AudioFileTypeID AIFF = fourCC("AIFF");
inline constexpr AudioFileTypeID AIFC = fourCC("AIFC");
inline constexpr AudioFileTypeID WAVE = fourCC("WAVE");
inline constexpr AudioFileTypeID RF64 = fourCC("RF64");
inline constexpr AudioFileTypeID Wave64 = fourCC("W64f");
inline constexpr AudioFileTypeID NeXT = fourCC("NeXT");
inline constexpr AudioFileTypeID CAF = fourCC("caff");
inline constexpr AudioFileTypeID M4A = fourCC("m4af");
inline constexpr AudioFileTypeID M4B = fourCC("m4bf");
inline constexpr AudioFileTypeID MPEG4 = fourCC("mp4f");
inline constexpr AudioFileTypeID ThreeGP = fourCC("3gpp");
inline constexpr AudioFileTypeID ThreeGP2 = fourCC("3gp2");
inline constexpr AudioFileTypeID AAC_ADTS = fourCC("adts");
inline constexpr AudioFileTypeID AC3 = fourCC("ac-3");
inline constexpr AudioFileTypeID EAC3 = fourCC("ec-3");
inline constexpr AudioFileTypeID AMR = fourCC("amrf");
inline constexpr AudioFileTypeID FLAC = fourCC("flac");
inline constexpr AudioFileTypeID MP3 = fourCC("MPG3");
inline constexpr AudioFileTypeID MP2 = fourCC("MPG2");
inline constexpr AudioFileTypeID MP1 = fourCC("MPG1");
inline constexpr AudioFileTypeID Ogg = fourCC("Oggf");
inline constexpr AudioFileTypeID Matroska = fourCC("mkvf");
inline constexpr AudioFileTypeID WebM = fourCC("webm");
inline constexpr AudioFileTypeID ASF = fourCC("asff");
/// ASF with a stream that is not audio (video, images, script commands): read, never written.
inline constexpr AudioFileTypeID ASFVideo = fourCC("asfv");
inline constexpr AudioFileTypeID MonkeysAudio = fourCC("APE ");
inline constexpr AudioFileTypeID WavPack = fourCC("wvpk");
inline constexpr AudioFileTypeID Musepack = fourCC("mpc ");
inline constexpr AudioFileTypeID TTA = fourCC("tta1");
inline constexpr AudioFileTypeID OptimFROG = fourCC("ofr ");
inline constexpr AudioFileTypeID TAK = fourCC("tak ");
inline constexpr AudioFileTypeID DSF = fourCC("dsf ");
inline constexpr AudioFileTypeID DSDIFF = fourCC("dff ");
/// AAC in LOAS/LATM framing: read, never written.
inline constexpr AudioFileTypeID LOAS = fourCC("loas");
/// Matroska or WebM with a second segment after the first: read, never written.
inline constexpr AudioFileTypeID MultiSegmentMatroska = fourCC("mkvs");
} // namespace AudioFileType

/// Property codes.
namespace AudioFileProperty {
inline constexpr AudioFilePropertyID FileFormat = fourCC("ffmt");
inline constexpr AudioFilePropertyID DataFormat = fourCC("dfmt");
inline constexpr AudioFilePropertyID MagicCookieData = fourCC("mgic");
inline constexpr AudioFilePropertyID AudioDataByteCount = fourCC("bcnt");
inline constexpr AudioFilePropertyID AudioDataPacketCount = fourCC("pcnt");
inline constexpr AudioFilePropertyID MaximumPacketSize = fourCC("psze");
inline constexpr AudioFilePropertyID DataOffset = fourCC("doff");
inline constexpr AudioFilePropertyID ChunkIDs = fourCC("chid");
inline constexpr AudioFilePropertyID InfoDictionary = fourCC("info");
inline constexpr AudioFilePropertyID ID3Tag = fourCC("id3t");
} // namespace AudioFileProperty

/// Selectors of the global tables.
namespace AudioFileGlobalInfo {
inline constexpr std::uint32_t WritableTypes = fourCC("afwf");
inline constexpr std::uint32_t ExtensionsForType = fourCC("fext");
} // namespace AudioFileGlobalInfo

/// Stream format codes (AudioStreamBasicDescription::mFormatID).
namespace AudioFormat {
inline constexpr AudioFormatID LinearPCM = fourCC("lpcm");
inline constexpr AudioFormatID MPEGLayer1 = fourCC(".mp1");
inline constexpr AudioFormatID MPEGLayer2 = fourCC(".mp2");
inline constexpr AudioFormatID MPEGLayer3 = fourCC(".mp3");
inline constexpr AudioFormatID MPEG4AAC = fourCC("aac ");
inline constexpr AudioFormatID AC3 = fourCC("ac-3");
inline constexpr AudioFormatID EnhancedAC3 = fourCC("ec-3");
inline constexpr AudioFormatID AMR = fourCC("samr");
inline constexpr AudioFormatID AMR_WB = fourCC("sawb");
inline constexpr AudioFormatID FLAC = fourCC("flac");
inline constexpr AudioFormatID AppleLossless = fourCC("alac");
inline constexpr AudioFormatID ULaw = fourCC("ulaw");
inline constexpr AudioFormatID ALaw = fourCC("alaw");
inline constexpr AudioFormatID Opus = fourCC("opus");
/// Any other codec: mFormatFlags carries the service's own codec number.
inline constexpr AudioFormatID ServiceCodec = fourCC("CTcd");
} // namespace AudioFormat

/// LinearPCM format flags.
namespace AudioFormatFlag {
inline constexpr std::uint32_t IsFloat = 1u << 0;
inline constexpr std::uint32_t IsBigEndian = 1u << 1;
inline constexpr std::uint32_t IsSignedInteger = 1u << 2;
inline constexpr std::uint32_t IsPacked = 1u << 3;
} // namespace AudioFormatFlag

inline constexpr std::int8_t kAudioFileReadPermission = 1;

/// Creation flags.
inline constexpr std::uint32_t kAudioFileFlags_EraseFile = 1;
inline constexpr std::uint32_t kAudioFileFlags_DontPageAlignAudioData = 2;

/// Statuses. Every non-zero status is a four-character code.
namespace AudioFileError {
inline constexpr OSStatus Unspecified = OSStatus(fourCC("wht?"));
inline constexpr OSStatus UnsupportedFileType = OSStatus(fourCC("typ?"));
inline constexpr OSStatus UnsupportedDataFormat = OSStatus(fourCC("fmt?"));
inline constexpr OSStatus UnsupportedProperty = OSStatus(fourCC("pty?"));
inline constexpr OSStatus BadPropertySize = OSStatus(fourCC("!siz"));
inline constexpr OSStatus Permissions = OSStatus(fourCC("prm?"));
inline constexpr OSStatus InvalidChunk = OSStatus(fourCC("chk?"));
inline constexpr OSStatus InvalidPacketOffset = OSStatus(fourCC("pck?"));
inline constexpr OSStatus InvalidFile = OSStatus(fourCC("dta?"));
inline constexpr OSStatus OperationNotSupported = OSStatus(fourCC("op??"));
inline constexpr OSStatus NotOpen = OSStatus(fourCC("nop?"));
inline constexpr OSStatus EndOfFile = OSStatus(fourCC("eof?"));
inline constexpr OSStatus FileNotFound = OSStatus(fourCC("fnf?"));
inline constexpr OSStatus IO = OSStatus(fourCC("ioe?"));
inline constexpr OSStatus NoSpace = OSStatus(fourCC("dsk?"));
inline constexpr OSStatus MemoryFull = OSStatus(fourCC("mem?"));
inline constexpr OSStatus Parameter = OSStatus(fourCC("prm!"));
} // namespace AudioFileError

} // namespace cleftone
