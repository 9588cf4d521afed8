// The decoder module: FFmpeg's libraries behind the table of decoder_module.h.
#include "decode/decoder_module.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/crc.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

namespace vantorel::decode {

namespace {

using stream::SampleKind;

// Bytes the demuxer reads from the input at a time.
constexpr int kIoBufferBytes = 256 * 1024;

std::string errorText(int code) {
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    av_strerror(code, text.data(), text.size());
    return text.data();
}

DecodeFailure failure(DecodeFailureKind kind, std::string detail = {}) { return {kind, std::move(detail)}; }

// The reading side of the custom I/O: where the demuxer stands in the input,
// and whether a read failed (the demuxer may take a failed read for the end).
struct InputCursor {
    const InputBytes* input = nullptr;
    std::uint64_t position = 0;
    bool readFailed = false;
    std::uint64_t readLimit = std::numeric_limits<std::uint64_t>::max();  // reads end here, as at the end
    bool reachedLimit = false;
};

int readInput(void* opaque, std::uint8_t* buffer, int size) {
    auto& cursor = *static_cast<InputCursor*>(opaque);
    if (cursor.position >= cursor.input->size) return AVERROR_EOF;
    if (cursor.position >= cursor.readLimit) {
        cursor.reachedLimit = true;
        return AVERROR_EOF;
    }
    const std::uint64_t end = std::min(cursor.input->size, cursor.readLimit);
    const auto wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(size), end - cursor.position));
    const std::optional<std::size_t> got =
        cursor.input->read(cursor.position, std::span(reinterpret_cast<std::byte*>(buffer), wanted));
    // Fewer bytes than the file held when it was opened: it shrank, or the system failed.
    if (!got || *got == 0) {
        cursor.readFailed = true;
        return AVERROR(EIO);
    }
    cursor.position += *got;
    return static_cast<int>(*got);
}

std::int64_t seekInput(void* opaque, std::int64_t offset, int whence) {
    auto& cursor = *static_cast<InputCursor*>(opaque);
    const auto size = static_cast<std::int64_t>(cursor.input->size);
    std::int64_t target = 0;
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE: return size;
        case SEEK_SET: target = offset; break;
        case SEEK_CUR: target = static_cast<std::int64_t>(cursor.position) + offset; break;
        case SEEK_END: target = size + offset; break;
        default: return AVERROR(EINVAL);
    }
    if (target < 0) return AVERROR(EINVAL);
    cursor.position = static_cast<std::uint64_t>(target);
    return target;
}

// One opening of the demuxer and decoder over the input. The frames are
// counted through one opening and decoded through a second, so that no seek
// back to the start (which not every container does exactly) is needed.
struct Demuxer {
    InputCursor cursor;
    bool weaklyRecognised = false;  // the content probe's score was low: see confirmedByDecoding
    AVIOContext* io = nullptr;
    AVFormatContext* container = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int streamIndex = -1;

    Demuxer() = default;
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;
    ~Demuxer() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&container);
        if (io != nullptr) av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

// Demuxers that recognise something other than an audio or media container:
// images and raw streams that a few bytes can look like.
bool isMediaContainer(const AVInputFormat* format) {
    constexpr std::array<std::string_view, 4> kNotContainers = {"image2", "image2pipe", "tty", "data"};
    const std::string_view name = format->name;
    if (name.ends_with("_pipe")) return false;  // image pipes (png_pipe, jpeg_pipe, ...)
    return std::find(kNotContainers.begin(), kNotContainers.end(), name) == kNotContainers.end();
}

// The detail of a file that ends in its headers, before any audio (an Ogg
// file cut after its header pages, say).
constexpr std::string_view kEndsBeforeAudio = "the file ends before its first audio frame";

// Opens the container, finds its best audio stream and opens a decoder for
// it. `expected` is the container found by the first opening. Sets `weak`
// where the content probe recognised it only weakly.
std::variant<std::unique_ptr<Demuxer>, DecodeFailure> openDemuxerOnce(const InputBytes& input,
                                                                      const AVInputFormat* expected, bool& weak) {
    auto demuxer = std::make_unique<Demuxer>();
    demuxer->cursor.input = &input;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    if (buffer == nullptr) return failure(DecodeFailureKind::OutOfMemory);
    demuxer->io = avio_alloc_context(buffer, kIoBufferBytes, 0, &demuxer->cursor, readInput, nullptr, seekInput);
    if (demuxer->io == nullptr) {
        av_free(buffer);
        return failure(DecodeFailureKind::OutOfMemory);
    }

    // Recognised by content only. A weak guess (a few bytes that happen to
    // look like an MP3 frame header, or a short MP3 of two or three frames)
    // is marked, and taken for audio only once its frames decode.
    const AVInputFormat* format = expected;
    if (format == nullptr) {
        const int score = av_probe_input_buffer2(demuxer->io, &format, "", nullptr, 0, 0);
        if (demuxer->cursor.readFailed) return failure(DecodeFailureKind::ReadFailed);
        if (score <= 0 || format == nullptr || !isMediaContainer(format)) return failure(DecodeFailureKind::NotAudio);
        demuxer->weaklyRecognised = score <= AVPROBE_SCORE_RETRY;
        weak = demuxer->weaklyRecognised;
    }

    demuxer->container = avformat_alloc_context();
    if (demuxer->container == nullptr) return failure(DecodeFailureKind::OutOfMemory);
    demuxer->container->pb = demuxer->io;
    demuxer->container->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (const int status = avformat_open_input(&demuxer->container, "", format, nullptr); status < 0) {
        // avformat_open_input frees the context on failure.
        if (demuxer->cursor.readFailed) return failure(DecodeFailureKind::ReadFailed);
        // The container was recognised with confidence: it is damaged (an
        // MP4 cut before its index, say), not something else.
        return failure(DecodeFailureKind::Damaged, status == AVERROR_EOF ? std::string(kEndsBeforeAudio) : errorText(status));
    }
    if (const int status = avformat_find_stream_info(demuxer->container, nullptr); status < 0) {
        if (demuxer->cursor.readFailed) return failure(DecodeFailureKind::ReadFailed);
        return failure(DecodeFailureKind::Damaged, status == AVERROR_EOF ? std::string(kEndsBeforeAudio) : errorText(status));
    }

    const AVCodec* decoder = nullptr;
    const int stream = av_find_best_stream(demuxer->container, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (stream == AVERROR_STREAM_NOT_FOUND) return failure(DecodeFailureKind::NotAudio);
    if (stream < 0 || decoder == nullptr) return failure(DecodeFailureKind::Unsupported, errorText(stream));
    demuxer->streamIndex = stream;
    // Only the chosen stream's packets are read.
    for (unsigned i = 0; i < demuxer->container->nb_streams; ++i)
        if (static_cast<int>(i) != stream) demuxer->container->streams[i]->discard = AVDISCARD_ALL;

    const AVStream* audio = demuxer->container->streams[stream];
    demuxer->codec = avcodec_alloc_context3(decoder);
    if (demuxer->codec == nullptr) return failure(DecodeFailureKind::OutOfMemory);
    if (const int status = avcodec_parameters_to_context(demuxer->codec, audio->codecpar); status < 0)
        return failure(DecodeFailureKind::Unsupported, errorText(status));
    demuxer->codec->pkt_timebase = audio->time_base;
    // One thread: frame threads made lossless decoding slower, and the batch
    // runs files side by side anyway. Checksums that the codec carries are
    // checked and a mismatch is an error (without AV_EF_EXPLODE the FLAC and
    // TTA decoders only log it and deliver the damaged frame).
    demuxer->codec->thread_count = 1;
    demuxer->codec->err_recognition |= AV_EF_CRCCHECK | AV_EF_EXPLODE;
    if (const int status = avcodec_open2(demuxer->codec, decoder, nullptr); status < 0)
        return failure(DecodeFailureKind::Unsupported, errorText(status));

    demuxer->packet = av_packet_alloc();
    demuxer->frame = av_frame_alloc();
    if (demuxer->packet == nullptr || demuxer->frame == nullptr) return failure(DecodeFailureKind::OutOfMemory);
    return demuxer;
}

std::variant<std::unique_ptr<Demuxer>, DecodeFailure> openDemuxer(const InputBytes& input,
                                                                  const AVInputFormat* expected) {
    bool weak = false;
    auto opened = openDemuxerOnce(input, expected, weak);
    // What a weak guess cannot open was no audio file in the first place.
    if (const auto* failed = std::get_if<DecodeFailure>(&opened);
        weak && failed != nullptr && failed->kind != DecodeFailureKind::ReadFailed &&
        failed->kind != DecodeFailureKind::OutOfMemory)
        return failure(DecodeFailureKind::NotAudio);
    return opened;
}

// The detail of a file that ends before the end its container states.
constexpr std::string_view kEndsEarly = "the file ends before its stated length";

// Reads exactly into.size() bytes at `offset`: false where the file ends
// first, a failure where the read fails.
std::variant<bool, DecodeFailure> readExactly(const InputBytes& input, std::uint64_t offset, std::span<std::byte> into) {
    if (offset > input.size || input.size - offset < into.size()) return false;
    const std::optional<std::size_t> got = input.read(offset, into);
    if (!got || *got != into.size()) return failure(DecodeFailureKind::ReadFailed);
    return true;
}

// Ogg: the demuxer passes over a page whose checksum does not match, losing
// its packets without a word, and takes a file cut before its last page for
// a whole one. So every page is read here: it must follow the one before,
// lie wholly inside the file and carry its checksum, and every logical
// stream (chained or multiplexed ones each have a serial number of their
// own) must end with a page marked end-of-stream. Bytes after the end of
// every stream are passed over.
std::optional<DecodeFailure> checkOggPages(const InputBytes& input) {
    constexpr std::size_t kHeaderBytes = 27;
    constexpr std::uint8_t kEndOfStream = 0x04;
    std::vector<std::byte> page;
    std::vector<std::pair<std::uint32_t, bool>> streams;  // serial number, its last page ends it
    const AVCRC* crcTable = av_crc_get_table(AV_CRC_32_IEEE);
    const auto byteAt = [&page](std::size_t at) { return std::to_integer<std::uint32_t>(page[at]); };
    const auto cut = [] { return failure(DecodeFailureKind::Damaged, "the file was cut before its last page"); };
    for (std::uint64_t at = 0; at < input.size;) {
        page.resize(kHeaderBytes + 255);
        auto read = readExactly(input, at, std::span(page).first(kHeaderBytes));
        if (auto* failed = std::get_if<DecodeFailure>(&read)) return *failed;
        if (!std::get<bool>(read)) return cut();
        if (std::memcmp(page.data(), "OggS", 4) != 0 || byteAt(4) != 0) {
            // Once every stream has ended, what follows is no part of them (a
            // tag some taggers append, such as ID3v1's 128 bytes).
            const bool allEnded = !streams.empty() &&
                                  std::all_of(streams.begin(), streams.end(), [](const auto& s) { return s.second; });
            if (allEnded) break;
            return failure(DecodeFailureKind::Damaged, "bytes that are no Ogg page");
        }
        const std::size_t segments = byteAt(26);
        read = readExactly(input, at + kHeaderBytes, std::span(page).subspan(kHeaderBytes, segments));
        if (auto* failed = std::get_if<DecodeFailure>(&read)) return *failed;
        if (!std::get<bool>(read)) return cut();
        std::size_t bodyBytes = 0;
        for (std::size_t i = 0; i < segments; ++i) bodyBytes += byteAt(kHeaderBytes + i);
        const std::size_t headerBytes = kHeaderBytes + segments;
        page.resize(headerBytes + bodyBytes);
        read = readExactly(input, at + headerBytes, std::span(page).subspan(headerBytes));
        if (auto* failed = std::get_if<DecodeFailure>(&read)) return *failed;
        if (!std::get<bool>(read)) return cut();

        // The checksum is taken over the page with its own field as zeros;
        // av_crc gives this table's checksums byte-swapped, as the field's
        // little-endian bytes read big-endian.
        const std::uint32_t stated = byteAt(22) << 24 | byteAt(23) << 16 | byteAt(24) << 8 | byteAt(25);
        std::fill(page.begin() + 22, page.begin() + 26, std::byte{0});
        if (av_crc(crcTable, 0, reinterpret_cast<const std::uint8_t*>(page.data()), page.size()) != stated)
            return failure(DecodeFailureKind::Damaged, "an Ogg page's checksum does not match");
        const std::uint32_t serial = byteAt(14) | byteAt(15) << 8 | byteAt(16) << 16 | byteAt(17) << 24;
        const bool ends = (byteAt(5) & kEndOfStream) != 0;
        auto stream = std::find_if(streams.begin(), streams.end(), [serial](const auto& s) { return s.first == serial; });
        if (stream == streams.end()) streams.emplace_back(serial, ends);
        else stream->second = ends;
        at += page.size();
    }
    if (streams.empty() || std::any_of(streams.begin(), streams.end(), [](const auto& s) { return !s.second; }))
        return cut();
    return std::nullopt;
}

// Wave64: the demuxer takes a file that ends inside the data chunk's header
// for an empty stream, and one that ends inside the data for a shorter one.
// The chunks are walked to the data chunk, which must be wholly in the file.
std::optional<DecodeFailure> checkW64Chunks(const InputBytes& input) {
    constexpr std::array<std::uint8_t, 16> kDataGuid = {0x64, 0x61, 0x74, 0x61, 0xF3, 0xAC, 0xD3, 0x11,
                                                       0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
    constexpr std::uint64_t kChunkHeaderBytes = 24;  // a GUID and a 64-bit size that counts the header
    std::array<std::byte, kChunkHeaderBytes> header{};
    for (std::uint64_t at = 40; at <= input.size;) {  // past the RIFF GUID, its size and the WAVE GUID
        auto read = readExactly(input, at, header);
        if (auto* failed = std::get_if<DecodeFailure>(&read)) return *failed;
        if (!std::get<bool>(read)) return failure(DecodeFailureKind::Damaged, std::string(kEndsEarly));
        std::uint64_t size = 0;
        for (int i = 7; i >= 0; --i) size = size << 8 | std::to_integer<std::uint64_t>(header[16 + static_cast<std::size_t>(i)]);
        if (std::memcmp(header.data(), kDataGuid.data(), kDataGuid.size()) == 0)
            return size > input.size - at ? std::optional(failure(DecodeFailureKind::Damaged, std::string(kEndsEarly)))
                                          : std::nullopt;
        // A size that cannot be is the demuxer's to judge.
        if (size < kChunkHeaderBytes || size > input.size - at) return std::nullopt;
        at += (size + 7) / 8 * 8;
    }
    return failure(DecodeFailureKind::Damaged, std::string(kEndsEarly));
}

// The checks of the container's own framing that the demuxer leaves out.
std::optional<DecodeFailure> checkContainer(const InputBytes& input, const AVInputFormat& container) {
    const std::string_view name = container.name;
    if (name == "ogg") return checkOggPages(input);
    if (name == "w64") return checkW64Chunks(input);
    return std::nullopt;
}

// The block kind of a delivered sample format; 8-bit unsigned samples become
// 16-bit ones (exactly: x 256 keeps every level).
std::optional<SampleKind> kindOf(AVSampleFormat format) {
    switch (av_get_packed_sample_fmt(format)) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_S16: return SampleKind::Int16;
        case AV_SAMPLE_FMT_S32: return SampleKind::Int32;
        case AV_SAMPLE_FMT_FLT: return SampleKind::Float32;
        case AV_SAMPLE_FMT_DBL: return SampleKind::Float64;
        default: return std::nullopt;
    }
}

// The name people know a codec by; PCM is named after its container.
std::string formatNameOf(const AVCodecDescriptor* descriptor, const AVInputFormat* container) {
    struct KnownName {
        AVCodecID codec;
        std::string_view name;
    };
    static constexpr std::array<KnownName, 22> kKnownNames = {{
        {AV_CODEC_ID_FLAC, "FLAC"},        {AV_CODEC_ID_ALAC, "ALAC"},          {AV_CODEC_ID_MP3, "MP3"},
        {AV_CODEC_ID_MP2, "MP2"},          {AV_CODEC_ID_AAC, "AAC"},            {AV_CODEC_ID_AAC_LATM, "AAC"},
        {AV_CODEC_ID_VORBIS, "Vorbis"},    {AV_CODEC_ID_OPUS, "Opus"},          {AV_CODEC_ID_WAVPACK, "WavPack"},
        {AV_CODEC_ID_TTA, "TTA"},          {AV_CODEC_ID_APE, "Monkey's Audio"}, {AV_CODEC_ID_AC3, "AC-3"},
        {AV_CODEC_ID_EAC3, "E-AC-3"},      {AV_CODEC_ID_DTS, "DTS"},            {AV_CODEC_ID_TRUEHD, "TrueHD"},
        {AV_CODEC_ID_MLP, "MLP"},          {AV_CODEC_ID_WMAV1, "WMA"},          {AV_CODEC_ID_WMAV2, "WMA"},
        {AV_CODEC_ID_WMAPRO, "WMA Pro"},   {AV_CODEC_ID_WMALOSSLESS, "WMA Lossless"},
        {AV_CODEC_ID_SPEEX, "Speex"},      {AV_CODEC_ID_TAK, "TAK"},
    }};
    for (const KnownName& known : kKnownNames)
        if (known.codec == descriptor->id) return std::string(known.name);
    std::string name = descriptor->name;
    if (name.starts_with("pcm_")) {
        // "aiff", "w64", "caf", ... : the first of the container's names.
        std::string_view container_name = container->name;
        container_name = container_name.substr(0, container_name.find(','));
        name = std::string(container_name) + " PCM";
    }
    std::transform(name.begin(), name.end(), name.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    return name;
}

// Frames in a packet once the decoder has dropped what the container marks
// as encoder delay or padding.
std::int64_t packetFrames(const AVPacket& packet, AVRational timeBase, std::int32_t sampleRate) {
    std::int64_t frames = av_rescale_q(packet.duration, timeBase, AVRational{1, sampleRate});
    std::size_t size = 0;
    if (const std::uint8_t* skip = av_packet_get_side_data(&packet, AV_PKT_DATA_SKIP_SAMPLES, &size);
        skip != nullptr && size >= 8) {
        const auto readLe32 = [skip](int at) {
            return static_cast<std::int64_t>(skip[at] | skip[at + 1] << 8 | skip[at + 2] << 16 |
                                             static_cast<std::uint32_t>(skip[at + 3]) << 24);
        };
        frames -= readLe32(0) + readLe32(4);
    }
    return std::max<std::int64_t>(frames, 0);
}

// What the packets of a stream say about its length.
struct PacketCount {
    std::int64_t frames = 0;        // their frames, less delay and padding
    std::int64_t longestPacket = 0;  // frames of the longest packet
    std::int64_t packets = 0;
};

// Counts the frames of the stream from its packets, without decoding.
std::variant<PacketCount, DecodeFailure> countFrames(Demuxer& demuxer, std::int32_t sampleRate) {
    const AVRational timeBase = demuxer.container->streams[demuxer.streamIndex]->time_base;
    PacketCount count;
    int status = 0;
    while ((status = av_read_frame(demuxer.container, demuxer.packet)) >= 0) {
        if (demuxer.packet->stream_index == demuxer.streamIndex) {
            if ((demuxer.packet->flags & AV_PKT_FLAG_CORRUPT) != 0) {
                av_packet_unref(demuxer.packet);
                return failure(DecodeFailureKind::Damaged, "corrupt packet");
            }
            count.frames += packetFrames(*demuxer.packet, timeBase, sampleRate);
            ++count.packets;
            count.longestPacket = std::max(count.longestPacket,
                                           av_rescale_q(demuxer.packet->duration, timeBase, AVRational{1, sampleRate}));
        }
        av_packet_unref(demuxer.packet);
    }
    if (demuxer.cursor.readFailed) return failure(DecodeFailureKind::ReadFailed);
    if (status != AVERROR_EOF) return failure(DecodeFailureKind::Damaged, errorText(status));
    return count;
}

// The length the container states in its own header, in frames; none where
// it has none or only guessed it from the bit rate.
std::optional<std::int64_t> statedFrames(const Demuxer& demuxer, std::int32_t sampleRate) {
    const AVStream* audio = demuxer.container->streams[demuxer.streamIndex];
    if (audio->duration <= 0 || audio->duration == AV_NOPTS_VALUE ||
        av_fmt_ctx_get_duration_estimation_method(demuxer.container) == AVFMT_DURATION_FROM_BITRATE)
        return std::nullopt;
    return av_rescale_q(audio->duration, audio->time_base, AVRational{1, sampleRate});
}

// Copies a frame's samples into `block` interleaved, in host byte order, with
// the padding the scan may read past the last sample.
template <SampleKind kind>
void interleave(const AVFrame& frame, int channels, std::vector<std::byte>& block) {
    using Element = typename stream::SampleElement<kind>::type;
    const auto frames = static_cast<std::size_t>(frame.nb_samples);
    const std::size_t count = frames * static_cast<std::size_t>(channels);
    block.resize(count * sizeof(Element) + stream::kBlockPadding);
    auto* out = reinterpret_cast<Element*>(block.data());
    const auto format = static_cast<AVSampleFormat>(frame.format);
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    if (av_get_packed_sample_fmt(format) == AV_SAMPLE_FMT_U8) {
        // 8-bit unsigned, offset 128: (x - 128) x 256 in 16 bits.
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* plane = frame.extended_data[planar ? i % static_cast<std::size_t>(channels) : 0];
            const std::size_t at = planar ? i / static_cast<std::size_t>(channels) : i;
            out[i] = static_cast<Element>((plane[at] - 128) * 256);
        }
    } else if (!planar) {
        std::memcpy(out, frame.extended_data[0], count * sizeof(Element));
    } else {
        for (int channel = 0; channel < channels; ++channel) {
            const auto* plane = reinterpret_cast<const Element*>(frame.extended_data[channel]);
            for (std::size_t i = 0; i < frames; ++i) out[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)] = plane[i];
        }
    }
    std::fill(block.end() - static_cast<std::ptrdiff_t>(stream::kBlockPadding), block.end(), std::byte{0});
}

}  // namespace

struct DecoderState {
    std::unique_ptr<Demuxer> demuxer;  // opened for decoding, at the first frame
    std::int64_t leastFrames = 0;      // fewer decoded frames mean that frames were lost
    const InputBytes* input = nullptr;            // for the further openings that decode parts
    const AVInputFormat* container = nullptr;     // the container the first opening found
};

namespace {

void freeDecoderState(DecoderState* state) { delete state; }

// Whether a part of the stream can be decoded on its own from any frame on:
// lossless integer codecs whose demuxers seek to a frame at or before any
// point and stamp every packet with its first frame, in a time base of one
// frame. A part still checks every stamp and fails rather than guess.
bool seeksExactly(const Demuxer& demuxer, const DecodedFormat& format) {
    constexpr std::array<AVCodecID, 11> kExactCodecs = {
        AV_CODEC_ID_FLAC,      AV_CODEC_ID_WAVPACK,   AV_CODEC_ID_ALAC,      AV_CODEC_ID_TTA,
        AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_PCM_S16BE, AV_CODEC_ID_PCM_S24LE, AV_CODEC_ID_PCM_S24BE,
        AV_CODEC_ID_PCM_S32LE, AV_CODEC_ID_PCM_S32BE, AV_CODEC_ID_PCM_U8};
    const AVStream& audio = *demuxer.container->streams[demuxer.streamIndex];
    const bool integer = format.kind == SampleKind::Int16 || format.kind == SampleKind::Int32;
    return format.exactFrames && integer && (demuxer.container->iformat->flags & AVFMT_NOTIMESTAMPS) == 0 &&
           std::find(kExactCodecs.begin(), kExactCodecs.end(), demuxer.codec->codec_id) != kExactCodecs.end() &&
           audio.time_base.num == 1 && audio.time_base.den == format.sampleRate &&
           (audio.start_time == AV_NOPTS_VALUE || audio.start_time == 0);
}

bool confirmedByDecoding(const InputBytes& input, const AVInputFormat* container);

std::variant<OpenedAudio, DecodeFailure> openDecodedAudio(const InputBytes& input) {
    av_log_set_level(AV_LOG_QUIET);
    auto counting = openDemuxer(input, nullptr);
    if (auto* failed = std::get_if<DecodeFailure>(&counting)) return std::move(*failed);
    Demuxer& first = *std::get<std::unique_ptr<Demuxer>>(counting);
    if (first.weaklyRecognised && !confirmedByDecoding(input, first.container->iformat))
        return failure(DecodeFailureKind::NotAudio);
    if (auto failed = checkContainer(input, *first.container->iformat)) return std::move(*failed);
    const AVCodecContext& codec = *first.codec;

    DecodedFormat format;
    format.channels = codec.ch_layout.nb_channels;
    format.sampleRate = codec.sample_rate;
    if (format.channels > stream::kMaxChannels)
        return failure(DecodeFailureKind::TooManyChannels, std::to_string(format.channels) + " channels");
    if (format.channels < 1 || format.sampleRate < 1) return failure(DecodeFailureKind::Unsupported);
    const std::optional<SampleKind> kind = kindOf(codec.sample_fmt);
    if (!kind) return failure(DecodeFailureKind::Unsupported, "sample format");
    format.kind = *kind;

    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec.codec_id);
    if (descriptor == nullptr) return failure(DecodeFailureKind::Unsupported);
    format.formatName = formatNameOf(descriptor, first.container->iformat);
    // WavPack is marked both: its hybrid mode may be lossy, its files mostly are not.
    format.lossy = (descriptor->props & AV_CODEC_PROP_LOSSY) != 0 && (descriptor->props & AV_CODEC_PROP_LOSSLESS) == 0;
    format.floatSamples = stream::isFloat(*kind);
    const int deliveredBits = av_get_bytes_per_sample(codec.sample_fmt) * 8;
    format.bitsPerSample = deliveredBits;
    // The source's own depth where a lossless codec knows it (24-bit FLAC is
    // delivered in 32-bit samples).
    const AVCodecParameters& parameters = *first.container->streams[first.streamIndex]->codecpar;
    for (const int sourceBits : {codec.bits_per_raw_sample, parameters.bits_per_raw_sample})
        if (!format.lossy && sourceBits > 0 && sourceBits < format.bitsPerSample) format.bitsPerSample = sourceBits;
    if (codec.ch_layout.order == AV_CHANNEL_ORDER_NATIVE) format.channelMask = codec.ch_layout.u.mask;

    // The length: from the container's header where it states one (FLAC's
    // stream info, an MP4's sample table, an MP3's Xing frame count), else
    // from the packets, counted through a first opening without decoding and
    // decoded through a second. Lossless codecs deliver exactly that many
    // frames; lossy ones within a packet or two (encoder delay and padding are
    // applied by some decoders and not by others), so their decoder has the
    // last word, but fewer frames than that mean that frames were lost.
    // Containers whose clock ticks coarser than a frame (Matroska's
    // milliseconds) state lengths only to the tick, each packet's too: there
    // the decoder has the last word for lossless codecs as well, and every
    // packet may be off by a tick.
    const AVRational timeBase = first.container->streams[first.streamIndex]->time_base;
    const bool frameExactClock = timeBase.num == 1 && timeBase.den > 0 && timeBase.den % format.sampleRate == 0;
    const std::int64_t framesPerTick =
        frameExactClock ? 0 : av_rescale_q_rnd(1, timeBase, AVRational{1, format.sampleRate}, AV_ROUND_UP);
    format.exactFrames = !format.lossy && frameExactClock;
    std::int64_t longestPacket = std::max(codec.frame_size, 4096);
    std::int64_t ticksOff = 1;  // how many ticks the length may be off
    std::unique_ptr<Demuxer> decoding;
    if (const std::optional<std::int64_t> stated = statedFrames(first, format.sampleRate)) {
        format.frames = *stated;
        decoding = std::move(std::get<std::unique_ptr<Demuxer>>(counting));
    } else {
        auto counted = countFrames(first, format.sampleRate);
        if (auto* failed = std::get_if<DecodeFailure>(&counted)) return std::move(*failed);
        format.frames = std::get<PacketCount>(counted).frames;
        longestPacket = std::max(longestPacket, std::get<PacketCount>(counted).longestPacket);
        ticksOff = std::get<PacketCount>(counted).packets;
        auto reopened = openDemuxer(input, first.container->iformat);
        if (auto* failed = std::get_if<DecodeFailure>(&reopened)) return std::move(*failed);
        decoding = std::move(std::get<std::unique_ptr<Demuxer>>(reopened));
    }
    const std::int64_t leastFrames =
        format.frames - 2 * longestPacket - format.sampleRate / 20 - ticksOff * framesPerTick;
    format.splittable = seeksExactly(*decoding, format);

    OpenedAudio opened{.format = std::move(format), .state = {new DecoderState, freeDecoderState}};
    opened.state->leastFrames = leastFrames;
    opened.state->input = &input;
    opened.state->container = decoding->container->iformat;
    opened.state->demuxer = std::move(decoding);
    return opened;
}

// What a frame's receiver tells the decoding loop.
enum class FrameStep { Continue, Stop };

// Reads the packets of the chosen stream and decodes them to the end of the
// stream, or until `onFrame` says stop, handing on every frame that holds
// samples. Stops at the first frame that is damaged or not in the format the
// stream announced.
template <class OnFrame>
std::optional<DecodeFailure> decodeFrames(Demuxer& demuxer, const DecodedFormat& format, OnFrame&& onFrame) {
    const auto expectedFormat = demuxer.codec->sample_fmt;
    bool stopped = false;
    const auto receiveFrames = [&]() -> std::optional<DecodeFailure> {
        while (!stopped) {
            const int status = avcodec_receive_frame(demuxer.codec, demuxer.frame);
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return std::nullopt;
            if (status < 0) return failure(DecodeFailureKind::Damaged, errorText(status));
            const AVFrame& frame = *demuxer.frame;
            std::optional<DecodeFailure> failed;
            if (frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0) {
                failed = failure(DecodeFailureKind::Damaged, "damaged frame");
            } else if (frame.format != expectedFormat || frame.ch_layout.nb_channels != format.channels ||
                       frame.sample_rate != format.sampleRate) {
                failed = failure(DecodeFailureKind::Unsupported, "the stream changes its format");
            } else if (frame.nb_samples > 0) {
                try {
                    stopped = onFrame(frame) == FrameStep::Stop;
                } catch (const std::bad_alloc&) {
                    failed = failure(DecodeFailureKind::OutOfMemory);
                }
            }
            av_frame_unref(demuxer.frame);
            if (failed) return failed;
        }
        return std::nullopt;
    };

    int status = 0;
    while (!stopped && (status = av_read_frame(demuxer.container, demuxer.packet)) >= 0) {
        if (demuxer.packet->stream_index == demuxer.streamIndex) {
            if ((demuxer.packet->flags & AV_PKT_FLAG_CORRUPT) != 0) {
                av_packet_unref(demuxer.packet);
                return failure(DecodeFailureKind::Damaged, "corrupt packet");
            }
            const int sent = avcodec_send_packet(demuxer.codec, demuxer.packet);
            av_packet_unref(demuxer.packet);
            if (sent < 0) return failure(DecodeFailureKind::Damaged, errorText(sent));
            if (auto failed = receiveFrames()) return failed;
        } else {
            av_packet_unref(demuxer.packet);
        }
    }
    if (stopped) return std::nullopt;
    if (demuxer.cursor.readFailed) return failure(DecodeFailureKind::ReadFailed);
    if (status != AVERROR_EOF) return failure(DecodeFailureKind::Damaged, errorText(status));
    if (const int sent = avcodec_send_packet(demuxer.codec, nullptr); sent < 0 && sent != AVERROR_EOF)
        return failure(DecodeFailureKind::Damaged, errorText(sent));
    return receiveFrames();
}

// Whether a weakly recognised input is audio: its frames (all of them, or
// the first kConfirmingFrames of a long one) decode without an error and
// none of its packets is marked corrupt. Weak guesses are short files: a
// longer run of frames makes the probe sure. The frames must come within
// the first kConfirmingBytes, so that a large file of other bytes, which the
// demuxer would search to its end for frames, is refused early.
bool confirmedByDecoding(const InputBytes& input, const AVInputFormat* container) {
    constexpr int kConfirmingFrames = 1000;
    constexpr std::uint64_t kConfirmingBytes = 16 << 20;
    auto opening = openDemuxer(input, container);
    if (std::holds_alternative<DecodeFailure>(opening)) return false;
    Demuxer& demuxer = *std::get<std::unique_ptr<Demuxer>>(opening);
    demuxer.cursor.readLimit = kConfirmingBytes;
    DecodedFormat format;
    format.channels = demuxer.codec->ch_layout.nb_channels;
    format.sampleRate = demuxer.codec->sample_rate;
    int frames = 0;
    const auto failed = decodeFrames(demuxer, format, [&frames](const AVFrame&) {
        return ++frames == kConfirmingFrames ? FrameStep::Stop : FrameStep::Continue;
    });
    return !failed && frames > 0 && (frames == kConfirmingFrames || !demuxer.cursor.reachedLimit);
}

template <SampleKind kind>
std::variant<std::uint64_t, DecodeFailure> decodeAudio(OpenedAudio& opened, const stream::SampleBlockReceiver<kind>& receive) {
    if (!opened.state || !opened.state->demuxer || opened.format.kind != kind)
        return failure(DecodeFailureKind::Unsupported);
    const int channels = opened.format.channels;
    std::vector<std::byte> block;
    std::uint64_t framesDone = 0;
    const auto failed = decodeFrames(*opened.state->demuxer, opened.format, [&](const AVFrame& frame) {
        interleave<kind>(frame, channels, block);
        receive({.channels = channels,
                 .firstFrame = static_cast<std::int64_t>(framesDone),
                 .frames = static_cast<std::size_t>(frame.nb_samples),
                 .bytes = block.data()});
        framesDone += static_cast<std::uint64_t>(frame.nb_samples);
        return FrameStep::Continue;
    });
    if (failed) return *failed;
    opened.state->demuxer.reset();

    // Frames that the packets promised but the decoder did not deliver were
    // lost to damage.
    const auto done = static_cast<std::int64_t>(framesDone);
    if ((opened.format.exactFrames && done != opened.format.frames) || done < opened.state->leastFrames)
        return failure(DecodeFailureKind::Damaged,
                       std::to_string(done) + " of " + std::to_string(opened.format.frames) + " frames decoded");
    opened.format.frames = done;
    return framesDone;
}

template <SampleKind kind>
std::variant<std::uint64_t, DecodeFailure> decodeAudioPart(const OpenedAudio& opened, std::int64_t firstFrame,
                                                           std::int64_t endFrame, const stream::SampleBlockReceiver<kind>& receive) {
    if (!opened.state || opened.state->input == nullptr || !opened.format.splittable || opened.format.kind != kind ||
        firstFrame < 0 || endFrame <= firstFrame || endFrame > opened.format.frames)
        return failure(DecodeFailureKind::Unsupported);
    // An opening of its own, so that parts run side by side.
    auto opening = openDemuxer(*opened.state->input, opened.state->container);
    if (auto* failed = std::get_if<DecodeFailure>(&opening)) return std::move(*failed);
    Demuxer& demuxer = *std::get<std::unique_ptr<Demuxer>>(opening);
    if (firstFrame > 0) {
        // To the frame at or before the part's first frame.
        if (const int status = avformat_seek_file(demuxer.container, demuxer.streamIndex, 0, firstFrame, firstFrame, 0);
            status < 0) {
            if (demuxer.cursor.readFailed) return failure(DecodeFailureKind::ReadFailed);
            return failure(DecodeFailureKind::Damaged, errorText(status));
        }
        avcodec_flush_buffers(demuxer.codec);
    }

    const int channels = opened.format.channels;
    const std::size_t frameBytes = static_cast<std::size_t>(channels) * sizeof(typename stream::SampleElement<kind>::type);
    std::vector<std::byte> block;
    std::int64_t next = firstFrame;  // the next frame to hand on
    const bool lastPart = endFrame == opened.format.frames;
    std::optional<DecodeFailure> lost;
    const auto failed = decodeFrames(demuxer, opened.format, [&](const AVFrame& frame) {
        // The stamp says where the frame starts (the time base is one frame):
        // frames before the part are passed over, a gap is a failure.
        const std::int64_t start = frame.pts;
        const std::int64_t end = start + frame.nb_samples;
        if (frame.pts == AV_NOPTS_VALUE || start > next) {
            lost = failure(DecodeFailureKind::Damaged, "a part did not start where it was sought");
            return FrameStep::Stop;
        }
        if (end <= next) return FrameStep::Continue;
        if (next == endFrame) {
            // The last part runs to the end of the stream, which must end where the
            // stream said it would, as when the whole stream is decoded at once.
            lost = failure(DecodeFailureKind::Damaged, "more frames than the stream stated");
            return FrameStep::Stop;
        }
        interleave<kind>(frame, channels, block);
        const std::int64_t from = next - start;
        const std::int64_t to = std::min(end, endFrame) - start;
        receive({.channels = channels,
                 .firstFrame = next,
                 .frames = static_cast<std::size_t>(to - from),
                 .bytes = block.data() + static_cast<std::size_t>(from) * frameBytes});
        next += to - from;
        return next == endFrame && !lastPart ? FrameStep::Stop : FrameStep::Continue;
    });
    if (failed) return *failed;
    if (lost) return *lost;
    if (next != endFrame)
        return failure(DecodeFailureKind::Damaged, std::to_string(next - firstFrame) + " of " +
                                                       std::to_string(endFrame - firstFrame) + " frames of a part decoded");
    return static_cast<std::uint64_t>(endFrame - firstFrame);
}

constexpr DecoderModule kModule = {
    .open = openDecodedAudio,
    .decodeInt16 = decodeAudio<SampleKind::Int16>,
    .decodeInt32 = decodeAudio<SampleKind::Int32>,
    .decodeFloat32 = decodeAudio<SampleKind::Float32>,
    .decodeFloat64 = decodeAudio<SampleKind::Float64>,
    .decodePartInt16 = decodeAudioPart<SampleKind::Int16>,
    .decodePartInt32 = decodeAudioPart<SampleKind::Int32>,
};

}  // namespace

}  // namespace vantorel::decode

extern "C" __attribute__((visibility("default"))) const vantorel::decode::DecoderModule* vantorel_decoder_module() {
    return &vantorel::decode::kModule;
}
