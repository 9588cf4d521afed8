#pragma once
// Sample loading: the data from the data chunk decoded into one zero-filled
// array per channel.

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "platform/zeroed_memory.h"
#include "wave/wave_info.h"

namespace vantorel::wave {

// How the samples of one channel are held in memory.
enum class SampleKind {
    Int16,    // int16_t, full scale 32768
    Int24,    // int32_t holding -8,388,608 .. 8,388,607 unscaled, full scale 2^23
    Int32,    // int32_t, full scale 2^31
    Float32,  // float, full scale 1.0
};

// The arrays of one file. Without a sampleKind no arrays were made (a layout the
// tool does not load). Mono files fill `mono`; stereo files `left` and `right`.
struct ChannelSamples {
    std::optional<SampleKind> sampleKind;
    std::int64_t sampleCount = 0;  // elements in each array
    // From this index on every array holds only zeros the file did not supply
    // (a header claiming more data than the file has). Their pages were never
    // written; the analysis leaves them unread, since on some systems reading a
    // fresh page takes a real page of memory. The default claims nothing.
    std::int64_t zeroFrom = std::numeric_limits<std::int64_t>::max();
    platform::ZeroedBlock mono;
    platform::ZeroedBlock left;
    platform::ZeroedBlock right;
};

// Element type of each kind.
template <SampleKind kind> struct SampleElement;
template <> struct SampleElement<SampleKind::Int16> { using type = std::int16_t; };
template <> struct SampleElement<SampleKind::Int24> { using type = std::int32_t; };
template <> struct SampleElement<SampleKind::Int32> { using type = std::int32_t; };
template <> struct SampleElement<SampleKind::Float32> { using type = float; };

// The kind a header gets, or none for layouts that are not loaded.
std::optional<SampleKind> sampleKindFor(const WaveInfo& info);

enum class LoadFailure {
    OutOfMemory,  // the arrays the header asks for cannot be allocated
};

// Shown when the arrays cannot be allocated.
inline constexpr std::string_view kOutOfMemoryMessage = "Not enough memory to load this file  ";

// Reads and decodes the samples of the named file. Prints nothing.
std::variant<ChannelSamples, LoadFailure> loadSamples(const std::string& name, const WaveInfo& info);

// Seconds spent in each phase of one load, for the loading benchmark. Arrays come
// from fresh pages, so their first-touch page faults fall in the phase that first
// writes them: the channel arrays' in splitting (or in reading for mono files
// read straight into their array). Reading and splitting alternate piece by
// piece; each figure is the sum over the pieces.
struct LoadPhaseTimes {
    double allocating = 0;  // reserving the arrays and the read buffer
    double reading = 0;     // the reads
    double splitting = 0;   // de-interleaving and decoding
};

// As above, recording the phase times in `times` when it is not null.
std::variant<ChannelSamples, LoadFailure> loadSamples(const std::string& name, const WaveInfo& info,
                                                      LoadPhaseTimes* times);

// Decodes one 24-bit little-endian two's-complement sample.
constexpr std::int32_t decodeInt24(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    const std::int32_t value = b0 + 256 * b1 + 65536 * b2;
    return value > 0x7FFFFF ? value - 0x1000000 : value;
}

}  // namespace vantorel::wave
