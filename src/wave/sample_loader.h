#pragma once
// Sample loading: the data chunk read in pieces and decoded into short blocks,
// one array per channel, each handed on as soon as it is decoded.
//
// How the data flow through a job:
//   file --(pieces of whole frames, one small buffer)--> loadSamples
//        --(a ChannelSamples block per piece)--> analysis::scanSliceLevels
//        --(running peaks of the current slice per channel)--> a level per
//          finished slice --> the receiver (the level histograms).
// analysis::analyseLevels drives the whole. Nothing holds the whole recording:
// memory is the same for a minute and for ten hours.

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
};

// Element type of each kind.
template <SampleKind kind> struct SampleElement;
template <> struct SampleElement<SampleKind::Int16> { using type = std::int16_t; };
template <> struct SampleElement<SampleKind::Int24> { using type = std::int32_t; };
template <> struct SampleElement<SampleKind::Int32> { using type = std::int32_t; };
template <> struct SampleElement<SampleKind::Float32> { using type = float; };

// One decoded block of consecutive frames: `mono` for mono files, `left` and
// `right` for stereo files, all of the same length. The views stay valid only
// while the receiver runs.
template <SampleKind kind>
struct ChannelSamples {
    using Element = typename SampleElement<kind>::type;
    static constexpr SampleKind sampleKind = kind;
    std::int64_t firstFrame = 0;  // index in the recording of the block's first frame
    std::span<const Element> mono;
    std::span<const Element> left;
    std::span<const Element> right;
};

template <SampleKind kind>
using SampleBlockReceiver = std::function<void(const ChannelSamples<kind>& block)>;

// The kind a header gets, or none for layouts that are not loaded (channels
// other than 1 and 2, bit depths other than 16, 24 and 32).
std::optional<SampleKind> sampleKindFor(const WaveInfo& info);

enum class LoadFailure {
    OutOfMemory,  // the read buffer cannot be allocated
    ReadFailed,   // a read error, or the file shrank since its header was read
};

// Error box texts of the failures.
inline constexpr std::string_view kOutOfMemoryMessage = "Not enough memory to load this file  ";
inline constexpr std::string_view kReadFailedMessage = "Could not read the whole file  ";
std::string_view loadFailureMessage(LoadFailure failure);

// Bytes of file data read and decoded at a time: the buffer, the decoded block
// and the scan of it all stay in the cache.
inline constexpr std::uint64_t kPieceBytes = 128 * 1024;

// Reads frames 0 .. frames - 1 of the data chunk from the open file and hands
// them on in order, in blocks of whole frames. Only what the file held when its
// header was read (info.fileBytes) is read: a file shorter than its header
// claims ends early, its last frame completed with zero bytes; a file that has
// shrunk since, or a read error, is a failure. Gives the frames handed on.
// `kind` must be sampleKindFor(info), the channels 1 or 2. Prints nothing.
template <SampleKind kind>
std::variant<std::uint64_t, LoadFailure> loadSamples(const platform::ReadOnlyFile& file, const WaveInfo& info,
                                                     std::uint64_t frames, const SampleBlockReceiver<kind>& receive);

// Decodes one 24-bit little-endian two's-complement sample.
constexpr std::int32_t decodeInt24(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    const std::int32_t value = b0 + 256 * b1 + 65536 * b2;
    return value > 0x7FFFFF ? value - 0x1000000 : value;
}

}  // namespace vantorel::wave
