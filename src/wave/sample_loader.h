#pragma once
// Sample loading: the data chunk read in pieces of whole frames into one small
// buffer, each piece handed on as a block as soon as it is read.
//
// How the data flow through a job:
//   file --(pieces of whole frames, one small buffer)--> loadSamples
//        --(a ChannelSamples block per piece)--> analysis::scanSliceLevels,
//          which decodes the samples and folds them into the running peaks of
//          the current slice per channel in one pass
//        --(a level per finished slice)--> the receiver (the level histograms).
// analysis::analyseLevels drives the whole. Nothing holds the whole recording:
// memory is the same for a minute and for ten hours, and each byte is touched
// once after the read, while it is still in the cache.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "platform/files.h"
#include "wave/wave_info.h"

namespace vantorel::wave {

// How the samples of one channel are held in memory.
enum class SampleKind {
    Int16,    // int16_t, full scale 32768
    Int24,    // int32_t holding -8,388,608 .. 8,388,607 unscaled, full scale 2^23
    Int32,    // int32_t, full scale 2^31
    Float32,  // float, full scale 1.0
    Float64,  // double, full scale 1.0 (decoded files only)
};

// Element type of each kind.
template <SampleKind kind> struct SampleElement;
template <> struct SampleElement<SampleKind::Int16> { using type = std::int16_t; };
template <> struct SampleElement<SampleKind::Int24> { using type = std::int32_t; };
template <> struct SampleElement<SampleKind::Int32> { using type = std::int32_t; };
template <> struct SampleElement<SampleKind::Float32> { using type = float; };
template <> struct SampleElement<SampleKind::Float64> { using type = double; };

// Bytes of one sample of the kind in the file.
template <SampleKind kind>
constexpr std::size_t fileSampleWidth() {
    return kind == SampleKind::Int24 ? 3 : sizeof(typename SampleElement<kind>::type);
}

// Readable bytes that follow every block: wide loads may look that far past the
// last sample, and never use what they find there.
inline constexpr std::size_t kBlockPadding = 16;

// One block of consecutive whole frames as the file holds them: each frame one
// sample of each of the file's 1 to 8 channels in the file's order (mono: one
// sample; stereo: left then right; more: in the file's layout), each sample
// little-endian in fileSampleWidth<kind>() bytes (two's complement, or IEEE
// single for Float32). The bytes stay valid only while the receiver runs, and
// are followed by kBlockPadding readable bytes.
template <SampleKind kind>
struct ChannelSamples {
    static constexpr SampleKind sampleKind = kind;
    int channels = 1;             // 1 to 8 (1 mono, 2 stereo)
    std::int64_t firstFrame = 0;  // index in the recording of the block's first frame
    std::size_t frames = 0;
    const std::byte* bytes = nullptr;  // frames x channels x fileSampleWidth<kind>() bytes
};

template <SampleKind kind>
using SampleBlockReceiver = std::function<void(const ChannelSamples<kind>& block)>;

// The kind a header gets, or none for layouts that are not loaded (channels
// other than 1 to 8, bit depths other than 16, 24 and 32).
std::optional<SampleKind> sampleKindFor(const WaveInfo& info);

enum class LoadFailure {
    OutOfMemory,  // the read buffer cannot be allocated
    ReadFailed,   // a read error, or the file shrank since its header was read
};

// Error box texts of the failures.
inline constexpr std::string_view kOutOfMemoryMessage = "Not enough memory to load this file  ";
inline constexpr std::string_view kReadFailedMessage = "Could not read the whole file  ";
std::string_view loadFailureMessage(LoadFailure failure);

// Bytes of file data read and scanned at a time: the buffer stays in the cache
// between the read and the scan.
inline constexpr std::uint64_t kPieceBytes = 256 * 1024;

// Reads frames 0 .. frames - 1 of the data chunk from the open file and hands
// them on in order, in blocks of whole frames. Only what the file held when its
// header was read (info.fileBytes) is read: a file shorter than its header
// claims ends early, its last frame completed with zero bytes; a file that has
// shrunk since, or a read error, is a failure. Gives the frames handed on.
// An exception from the receiver ends the load and reaches the caller, after
// any reading thread has stopped and been joined. `kind` must be
// sampleKindFor(info), the channels 1 to 8. Prints nothing.
template <SampleKind kind>
std::variant<std::uint64_t, LoadFailure> loadSamples(const platform::ReadOnlyFile& file, const WaveInfo& info,
                                                     std::uint64_t frames, const SampleBlockReceiver<kind>& receive);

// Decodes one 24-bit little-endian two's-complement sample.
constexpr std::int32_t decodeInt24(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    const std::int32_t value = b0 + 256 * b1 + 65536 * b2;
    return value > 0x7FFFFF ? value - 0x1000000 : value;
}

}  // namespace vantorel::wave
