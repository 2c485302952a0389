#include "engine/audiofile/OutputAudioFile.h"

#include "engine/audiofile/CafWriter.h"
#include "engine/audiofile/ContainerProbe.h"
#include "engine/audiofile/FFmpegAudioFileService.h"
#include "engine/audiofile/OutputAiff.h"
#include "engine/audiofile/OutputFileSink.h"
#include "engine/audiofile/PropertyStorage.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

namespace cleftone::audiofile {

namespace {

constexpr int kIoBufferSize = 256 * 1024;

// Whether a codec may go into a container; some muxers accept a codec at query time and
// fail only once the header is written.
bool containerCarries(AudioFileTypeID type, const char* muxer, AVCodecID codec)
{
    // This FFmpeg's CAF muxer writes Opus with a wrong frame count and no packet table, and
    // the layout of Apple's Opus cookie is not known.
    if (type == AudioFileType::CAF && codec == AV_CODEC_ID_OPUS)
        return false;
    if (type == AudioFileType::MP3)
        return codec == AV_CODEC_ID_MP3;
    if (type == AudioFileType::MP2)
        return codec == AV_CODEC_ID_MP2 || codec == AV_CODEC_ID_MP1;
    if (type == AudioFileType::AAC_ADTS)
        return codec == AV_CODEC_ID_AAC;
    if (type == AudioFileType::AC3)
        return codec == AV_CODEC_ID_AC3;
    if (type == AudioFileType::EAC3)
        return codec == AV_CODEC_ID_EAC3;
    if (type == AudioFileType::AMR)
        return codec == AV_CODEC_ID_AMR_NB || codec == AV_CODEC_ID_AMR_WB;
    const AVOutputFormat* format = av_guess_format(muxer, nullptr, nullptr);
    return format && avformat_query_codec(format, codec, FF_COMPLIANCE_NORMAL) != 0;
}

// This FFmpeg writes these only when told that it may use experimental features.
bool needsExperimental(AVCodecID codec)
{
    return codec == AV_CODEC_ID_FLAC || codec == AV_CODEC_ID_OPUS;
}

bool isMp4Family(AudioFileTypeID type)
{
    return type == AudioFileType::M4A || type == AudioFileType::M4B ||
           type == AudioFileType::MPEG4 || type == AudioFileType::ThreeGP ||
           type == AudioFileType::ThreeGP2;
}

// The major brand of a type whose muxer would write another one of its own.
const char* defaultBrand(AudioFileTypeID type, const std::string& muxer)
{
    if (type == AudioFileType::M4B)
        return "M4B ";
    if (muxer != "mp4")
        return nullptr;
    if (type == AudioFileType::M4A)
        return "M4A ";
    if (type == AudioFileType::ThreeGP)
        return "3gp4";
    if (type == AudioFileType::ThreeGP2)
        return "3g2a";
    return nullptr;
}

} // namespace

OutputAudioFile::~OutputAudioFile()
{
    m_muxer.reset();
    if (m_io && m_io->opaque)
        delete static_cast<FileSink*>(m_io->opaque);
    m_io.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

OSStatus OutputAudioFile::create(const std::string& path, AudioFileTypeID type,
                                 const AudioStreamBasicDescription& format, std::uint32_t flags,
                                 std::unique_ptr<OutputFile>& out)
{
    const ContainerInfo* container = findWritableContainer(type);
    if (!container)
        return AudioFileError::UnsupportedFileType;

    AVCodecParameters* probe = avcodec_parameters_alloc();
    if (!probe)
        return AudioFileError::MemoryFull;
    const bool described = parametersFromDescription(format, StreamSetup{}, *probe);
    const AVCodecID codec = probe->codec_id;
    avcodec_parameters_free(&probe);
    if (!described)
        return AudioFileError::UnsupportedDataFormat;

    std::unique_ptr<OutputAudioFile> file(new OutputAudioFile());
    file->m_type = type;
    file->m_container = container;
    file->m_muxerName = container->muxer ? container->muxer : "";
    file->m_format = format;
    file->m_codec = codec;
    if (type == AudioFileType::FLAC) {
        if (codec != AV_CODEC_ID_FLAC)
            return AudioFileError::UnsupportedDataFormat;
        file->m_writer = Writer::Flac;
    } else if (type == AudioFileType::CAF && codec == AV_CODEC_ID_AAC) {
        file->m_writer = Writer::Caf; // this FFmpeg's CAF muxer cannot write AAC
    } else if (isMp4Family(type) && !containerCarries(type, container->muxer, codec)) {
        // The iPod and 3GPP muxers know fewer codecs than the plain MP4 one; the file-type box
        // says what the file is either way.
        if (!containerCarries(AudioFileType::MPEG4, "mp4", codec))
            return AudioFileError::UnsupportedDataFormat;
        file->m_muxerName = "mp4";
    } else if (type == AudioFileType::AIFF || type == AudioFileType::AIFC) {
        const AiffCompression* compression = findAiffCompression(codec);
        const bool plain = compression && compression->tag == fourCC("NONE");
        if (type == AudioFileType::AIFF && !plain)
            return AudioFileError::UnsupportedDataFormat;
        if (compression) {
            file->m_writer = Writer::Aiff;
        } else if (!containerCarries(type, container->muxer, codec)) {
            return AudioFileError::UnsupportedDataFormat;
        }
    } else if (!containerCarries(type, container->muxer, codec)) {
        return AudioFileError::UnsupportedDataFormat;
    } else if (type == AudioFileType::MP3 || type == AudioFileType::MP2) {
        // The muxer's setup costs more than a small file's whole copy, for bytes it passes
        // through unchanged. The stream's own first frame (a LAME/Xing header, if any) travels
        // as a packet; nothing else is added, no tag and no header frame.
        file->m_writer = Writer::Frames;
    }

    const bool erase = flags & kAudioFileFlags_EraseFile;
    file->m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (erase ? 0 : O_EXCL), 0644);
    if (file->m_fd < 0)
        return statusFromErrno(errno);
    // Emptied only when there is something in it: the usual file here is the empty temporary
    // file just made for it, and truncating a file on ext4 makes its close start writing it
    // back at once, on the caller's thread.
    struct stat existing {};
    if (erase && (::fstat(file->m_fd, &existing) != 0 ||
                  (existing.st_size != 0 && ::ftruncate(file->m_fd, 0) != 0)))
        return statusFromErrno(errno);

    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer)
        return AudioFileError::MemoryFull;
    auto* sink = new FileSink;
    sink->fd = file->m_fd;
    sink->lastErrno = &file->m_ioErrno;
    file->m_io.reset(
        avio_alloc_context(buffer, kIoBufferSize, 1, sink, nullptr, writeSink, seekSink));
    if (!file->m_io) {
        delete sink;
        av_free(buffer);
        return AudioFileError::MemoryFull;
    }
    file->m_packet.reset(av_packet_alloc());
    if (!file->m_packet)
        return AudioFileError::MemoryFull;

    out = std::move(file);
    return 0;
}

OSStatus OutputAudioFile::ioStatus() const
{
    if (m_ioErrno)
        return statusFromErrno(m_ioErrno);
    if (m_io && m_io->error < 0)
        return statusFromAvError(m_io->error);
    return 0;
}

OSStatus OutputAudioFile::start()
{
    if (m_started)
        return m_failure;
    m_started = true;
    OSStatus status = 0;
    switch (m_writer) {
    case Writer::Muxer:
        status = startMuxer();
        break;
    case Writer::Flac:
        status = startFlac();
        break;
    case Writer::Aiff:
        status = startAiff();
        break;
    case Writer::Caf:
        m_caf = std::make_unique<CafWriter>(m_format, m_setup);
        if (!m_caf->start(m_io.get()))
            status = AudioFileError::UnsupportedDataFormat;
        break;
    case Writer::Frames:
        break;
    }
    if (!status)
        status = ioStatus();
    m_failure = status;
    return status;
}

OSStatus OutputAudioFile::startMuxer()
{
    AVFormatContext* context = nullptr;
    if (avformat_alloc_output_context2(&context, nullptr, m_muxerName.c_str(), nullptr) < 0 ||
        !context)
        return AudioFileError::UnsupportedFileType;
    m_muxer.reset(context);
    context->pb = m_io.get();
    // Bit-exact: no encoder strings, no time stamps.
    context->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_BITEXACT;
    // By default the muxer flushes its buffer after every packet: one write(2) per MP3 frame.
    // The buffer is flushed at close anyway.
    context->flush_packets = 0;

    m_stream = avformat_new_stream(context, nullptr);
    if (!m_stream)
        return AudioFileError::MemoryFull;
    if (!parametersFromDescription(m_format, m_setup, *m_stream->codecpar))
        return AudioFileError::UnsupportedDataFormat;
    m_stream->time_base = AVRational{1, m_stream->codecpar->sample_rate};
    if (isMp4Family(m_type) && needsExperimental(m_codec))
        context->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;

    AVDictionary* options = nullptr;
    if (m_type == AudioFileType::WAVE) {
        av_dict_set(&options, "rf64", "never", 0);
    } else if (m_type == AudioFileType::RF64) {
        av_dict_set(&options, "rf64", "always", 0);
    } else if (isMp4Family(m_type) && !m_setup.fileType.empty()) {
        // The input's file-type box goes first; the muxer's own one, written next, becomes
        // free space.
        avio_write(m_io.get(), m_setup.fileType.data(), int(m_setup.fileType.size()));
        static_cast<FileSink*>(m_io->opaque)
            ->rewriters.push_back(blankBoxAt(std::int64_t(m_setup.fileType.size())));
    } else if (const char* brand = defaultBrand(m_type, m_muxerName)) {
        av_dict_set(&options, "brand", brand, 0);
    }

    const int error = avformat_write_header(context, &options);
    // Every option must have been taken: one left over means the muxer ignored it.
    const bool unused = av_dict_count(options) > 0;
    av_dict_free(&options);
    if (error < 0)
        return error == AVERROR(EINVAL) || error == AVERROR_PATCHWELCOME
                   ? AudioFileError::UnsupportedDataFormat
                   : statusFromAvError(error);
    if (unused)
        return AudioFileError::Unspecified;
    return 0;
}

OSStatus OutputAudioFile::startFlac()
{
    // Only STREAMINFO: the muxer would add a vendor comment and padding of its own.
    const auto& setup = m_setup.extradata;
    const std::uint8_t* info = setup.data();
    std::size_t size = setup.size();
    if (size >= 4 && std::memcmp(info, "fLaC", 4) == 0) {
        info += 4;
        size -= 4;
    }
    if (size >= 38 && (info[0] & 0x7F) == 0 && info[1] == 0 && info[2] == 0 && info[3] == 34) {
        info += 4;
        size -= 4;
    }
    if (size < 34)
        return AudioFileError::UnsupportedDataFormat;

    AVIOContext* io = m_io.get();
    avio_write(io, reinterpret_cast<const unsigned char*>("fLaC"), 4);
    avio_w8(io, 0x80); // last metadata block, type STREAMINFO
    avio_wb24(io, 34);
    avio_write(io, info, 34);
    return 0;
}

OSStatus OutputAudioFile::writeToMuxer(const std::uint8_t* data, std::uint32_t size,
                                       std::int64_t frames)
{
    AVPacket* packet = m_packet.get();
    av_packet_unref(packet);
    // Not reference-counted: av_write_frame writes it through without keeping it.
    packet->data = const_cast<std::uint8_t*>(data);
    packet->size = int(size);
    packet->stream_index = 0;
    packet->flags = AV_PKT_FLAG_KEY;
    const AVRational samples{1, m_stream->codecpar->sample_rate};
    const std::int64_t pts = m_nextFrame - m_setup.primingFrames;
    packet->pts = av_rescale_q(pts, samples, m_stream->time_base);
    packet->dts = packet->pts;
    packet->duration = av_rescale_q(frames, samples, m_stream->time_base);
    const int error = av_write_frame(m_muxer.get(), packet);
    packet->data = nullptr;
    packet->size = 0;
    if (error < 0)
        return statusFromAvError(error);
    return 0;
}

OSStatus OutputAudioFile::writePackets(std::uint32_t numBytes,
                                       const AudioStreamPacketDescription* descriptions,
                                       std::int64_t startingPacket, std::uint32_t* ioNumPackets,
                                       const void* buffer)
{
    if (!ioNumPackets || (!buffer && numBytes))
        return AudioFileError::Parameter;
    // Packets are appended; a gap or an overlap would shift every later packet.
    if (startingPacket < 0 || std::uint64_t(startingPacket) != m_packetsWritten)
        return AudioFileError::InvalidPacketOffset;
    if (const OSStatus status = start())
        return status;

    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    const std::uint32_t count = *ioNumPackets;
    const std::uint32_t constantSize = m_format.mBytesPerPacket;
    OSStatus status = 0;

    if (!descriptions || constantSize) {
        // Constant-size packets go out as one run.
        if (!constantSize || std::uint64_t(count) * constantSize != numBytes)
            return AudioFileError::Parameter;
        const std::int64_t frames = std::int64_t(count) * m_format.mFramesPerPacket;
        if (m_writer == Writer::Muxer) {
            status = writeToMuxer(bytes, numBytes, frames);
        } else if (m_writer == Writer::Caf) {
            status = AudioFileError::Parameter; // AAC packets differ in size
        } else {
            avio_write(m_io.get(), bytes, int(numBytes));
        }
        m_nextFrame += frames;
        m_bytesWritten += numBytes;
    } else {
        for (std::uint32_t i = 0; i < count && !status; ++i) {
            const auto& description = descriptions[i];
            if (description.mStartOffset < 0 ||
                std::uint64_t(description.mStartOffset) + description.mDataByteSize > numBytes) {
                status = AudioFileError::Parameter;
                break;
            }
            const std::uint8_t* data = bytes + description.mStartOffset;
            const std::int64_t frames = description.mVariableFramesInPacket
                                            ? description.mVariableFramesInPacket
                                            : m_format.mFramesPerPacket;
            if (m_writer == Writer::Muxer)
                status = writeToMuxer(data, description.mDataByteSize, frames);
            else
                avio_write(m_io.get(), data, int(description.mDataByteSize));
            if (m_writer == Writer::Caf)
                m_caf->addPacket(description.mDataByteSize, frames);
            m_nextFrame += frames;
            m_bytesWritten += description.mDataByteSize;
        }
    }
    if (!status)
        status = ioStatus();
    if (status) {
        m_failure = status;
        return status;
    }
    m_packetsWritten += count;
    return 0;
}

OSStatus OutputAudioFile::finish()
{
    OSStatus status = start();
    if (!status) {
        if (m_writer == Writer::Muxer) {
            auto* sink = static_cast<FileSink*>(m_io->opaque);
            if (isMp4Family(m_type)) {
                // Everything from here on (the movie box, and the size patch of the media data
                // box before it) is written by position; the movie box is held until complete.
                avio_flush(m_io.get());
                sink->position = ::lseek(m_fd, 0, SEEK_CUR);
                sink->heldFrom = sink->position;
                sink->holding = sink->position >= 0;
            }
            const int error = av_write_trailer(m_muxer.get());
            if (error < 0)
                status = statusFromAvError(error);
        } else if (m_writer == Writer::Aiff) {
            status = finishAiff();
        } else if (m_writer == Writer::Caf) {
            status = m_caf->finish(m_io.get());
        }
    }
    if (m_io)
        avio_flush(m_io.get());
    if (!status)
        status = ioStatus();
    if (m_io && static_cast<FileSink*>(m_io->opaque)->holding) {
        auto* sink = static_cast<FileSink*>(m_io->opaque);
        sink->holding = false;
        if (!status) {
            blankMp4UserData(sink->held);
            if (writeAt(sink, sink->held.data(), sink->held.size(), sink->heldFrom) < 0)
                status = statusFromErrno(m_ioErrno);
        }
        std::vector<std::uint8_t>().swap(sink->held);
    }
    m_muxer.reset();
    if (m_fd >= 0 && ::close(m_fd) != 0 && !status)
        status = statusFromErrno(errno);
    m_fd = -1;
    return status;
}

int OutputAudioFile::takeDescriptor()
{
    if (m_started)
        return -1;
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

OSStatus OutputAudioFile::setProperty(AudioFilePropertyID property, std::uint32_t size,
                                      const void* data)
{
    if (property != AudioFileProperty::MagicCookieData)
        return AudioFileError::UnsupportedProperty;
    if (!data && size)
        return AudioFileError::Parameter;
    // The header carries the cookie, so it can only change before the first packet.
    if (m_started)
        return AudioFileError::OperationNotSupported;
    m_setup = StreamSetup::deserialize(static_cast<const std::uint8_t*>(data), size);
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    const bool usable = parameters && parametersFromDescription(m_format, m_setup, *parameters);
    avcodec_parameters_free(&parameters);
    return usable ? 0 : AudioFileError::UnsupportedDataFormat;
}

OSStatus OutputAudioFile::propertyInfo(AudioFilePropertyID property, std::uint32_t* outSize) const
{
    return writtenPropertyInfo(property, outSize);
}

OSStatus OutputAudioFile::property(AudioFilePropertyID property, std::uint32_t* ioSize,
                                   void* out) const
{
    if (!ioSize)
        return AudioFileError::Parameter;
    return storeWrittenProperty({m_type, m_format, m_packetsWritten, m_bytesWritten}, property,
                                ioSize, out)
        .value_or(AudioFileError::UnsupportedProperty);
}

} // namespace cleftone::audiofile
