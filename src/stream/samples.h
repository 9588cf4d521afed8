#pragma once
// The samples as every source hands them on and every measurement takes them:
// blocks of whole frames of one sample kind, whatever the file's format.

#include <cstddef>
#include <cstdint>
#include <functional>

namespace vantorel::stream {

// The most channels a recording may have: the wave reader, the decoders, the
// meters and the chart all take up to this many.
inline constexpr int kMaxChannels = 8;

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

// One block of consecutive whole frames as the source holds them: each frame
// one sample per channel in frame order, each sample in fileSampleWidth<kind>()
// bytes (a wave file's little-endian two's complement or IEEE single; a
// decoder's in host order). The bytes stay valid only while the receiver runs, and
// are followed by kBlockPadding readable bytes.
template <SampleKind kind>
struct ChannelSamples {
    static constexpr SampleKind sampleKind = kind;
    int channels = 1;             // 1 .. kMaxChannels, in frame order (mono; left, right; ...)
    std::int64_t firstFrame = 0;  // index in the recording of the block's first frame
    std::size_t frames = 0;
    const std::byte* bytes = nullptr;  // frames x channels x fileSampleWidth<kind>() bytes
};

template <SampleKind kind>
using SampleBlockReceiver = std::function<void(const ChannelSamples<kind>& block)>;

// Whether the kind's samples are float (full scale 1.0) rather than integers.
constexpr bool isFloat(SampleKind kind) { return kind == SampleKind::Float32 || kind == SampleKind::Float64; }

// Decodes one 24-bit little-endian two's-complement sample.
constexpr std::int32_t decodeInt24(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    const std::int32_t value = b0 + 256 * b1 + 65536 * b2;
    return value > 0x7FFFFF ? value - 0x1000000 : value;
}

}  // namespace vantorel::stream
