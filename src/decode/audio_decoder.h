#pragma once
// Audio files other than WAV (FLAC, ALAC, WavPack, AIFF, MP3, AAC, Vorbis,
// Opus, ...), decoded in-process by FFmpeg's libraries and handed on in blocks
// of whole frames, like the wave loader's, so that the same scan measures them.
//
//   input bytes --(custom I/O: the one open file, or memory)--> demuxer
//     --(packets of the best audio stream)--> decoder
//     --(frames as the decoder delivers them: 16/32-bit integer, float, double;
//        packed or planar)--> interleaved into one small buffer
//     --(a ChannelSamples block per frame)--> the receiver.
//
// Nothing is converted through another sample format: 16-bit samples keep
// full scale 32768, 32-bit integers 2^31 (decoders put 24-bit sources in the
// top bits), float and double 1.0. Nothing is written to disk. Builds without
// FFmpeg (the Windows cross-build) recognise common audio containers by their
// first bytes and say that they cannot decode them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "stream/sample_source.h"
#include "stream/samples.h"
#include "stream/stream_format.h"

namespace vantorel::decode {

// The input as bytes: `read` fills `into` from `offset` and gives how many
// bytes it read (fewer only at the end), or nothing on a read error.
struct InputBytes {
    std::function<std::optional<std::size_t>(std::uint64_t offset, std::span<std::byte> into)> read;
    std::uint64_t size = 0;
};

// What the decoder will deliver.
struct DecodedFormat {
    std::string formatName;         // the codec's common name: "FLAC", "MP3", "AIFF PCM", ...
    int channels = 0;               // 1 .. stream::kMaxChannels
    std::int32_t sampleRate = 0;    // frames per second
    int bitsPerSample = 0;          // of the source where it has them (16, 24), else of the delivered samples
    bool floatSamples = false;      // the delivered samples are float or double
    bool lossy = false;             // a lossy codec: the samples are its float decoding
    stream::SampleKind kind = stream::SampleKind::Int16;  // of the blocks handed on
    std::int64_t frames = 0;        // frames the decoder delivers (after encoder delay and padding): exact
                                    // before decoding where exactFrames, else set by decodeAudio
    bool exactFrames = false;       // lossless: the packets told the frames exactly
    std::uint64_t channelMask = 0;  // channel positions in WAVE_FORMAT_EXTENSIBLE bit order; 0 when unknown
    bool splittable = false;        // parts can be decoded side by side (decodeAudioPart): a lossless
                                    // integer codec whose container seeks to any frame exactly
};

// The format as every source describes its stream.
stream::StreamFormat streamFormatOf(const DecodedFormat& format);

enum class DecodeFailureKind {
    NotAudio,        // no audio stream in a known audio or media container
    NoDecoders,      // an audio container, but this build has no decoders
    TooManyChannels, // more than stream::kMaxChannels
    Unsupported,     // a sample format or codec the decoders cannot deliver
    ReadFailed,      // a read error, or the file shrank
    Damaged,         // a decode error, a missing frame, a file that ends early
    OutOfMemory,
};

struct DecodeFailure {
    DecodeFailureKind kind = DecodeFailureKind::NotAudio;
    std::string detail;  // FFmpeg's own words where it gave some, else empty
};

// An opened input: the demuxer and decoder, ready to deliver from the first
// frame. Move-only; frees everything it holds.
struct DecoderState;
struct OpenedAudio {
    DecodedFormat format;
    std::unique_ptr<DecoderState, void (*)(DecoderState*)> state{nullptr, nullptr};
};

// An opened input as a source of samples: decoded whole, or in parts where
// the stream is splittable (16- or 32-bit integers). `opened` must stay valid
// while the source is used; after a whole read its format holds the frames
// delivered.
stream::SampleSource decodedSource(OpenedAudio& opened);

// A decoder's failure as a source's, and back.
stream::SourceFailure sourceFailureOf(const DecodeFailure& failure);
DecodeFailure decodeFailureOf(const stream::SourceFailure& failure);

// Probes the input by its content (never by a name) and opens its best audio
// stream. Strict: the container must be recognised with confidence, so random
// bytes are never taken for an MP3. Counts the frames from the packets where
// the container gives no exact length (reads the file once more, without
// decoding). `input` must stay valid while the result is used.
std::variant<OpenedAudio, DecodeFailure> openDecodedAudio(const InputBytes& input);

// Decodes the whole stream and hands on the frames in order, in blocks of
// whole frames, interleaved, host byte order, followed by block padding.
// Gives the frames handed on and sets opened.format.frames to them, or the
// failure (a decode error, a read error, frames that were lost). `kind` must be
// opened.format.kind. Runs once per OpenedAudio.
template <stream::SampleKind kind>
std::variant<std::uint64_t, DecodeFailure> decodeAudio(OpenedAudio& opened, const stream::SampleBlockReceiver<kind>& receive);

// Decodes frames firstFrame .. endFrame - 1 of a splittable stream through an
// opening of its own, so that parts of one file can be decoded on several
// threads at once; hands them on as decodeAudio does, firstFrame counted from
// the start of the stream. The last part (endFrame = the stream's frames) also
// checks that the stream ends there. Gives the frames handed on, or the failure
// (also where a frame's stamp is not where it should be: the caller then
// decodes the stream in one piece). `kind` must be Int16 or Int32, the stream's.
template <stream::SampleKind kind>
std::variant<std::uint64_t, DecodeFailure> decodeAudioPart(const OpenedAudio& opened, std::int64_t firstFrame,
                                                           std::int64_t endFrame, const stream::SampleBlockReceiver<kind>& receive);

}  // namespace vantorel::decode
