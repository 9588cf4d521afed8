#include "analysis/slice_levels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>


// On x86 with GCC or clang (MinGW included) the peaks have vector kernels:
// SSE2 (every x86-64 has it) and AVX for floats, SSE4.1 and AVX2 for the
// integer kinds, chosen at run time. Other compilers and CPUs use the plain loop.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VANTOREL_X86_PEAK_KERNELS 1
#include <immintrin.h>
#endif

namespace vantorel::analysis {

namespace {

using stream::SampleKind;

// How one kind of sample becomes a magnitude, in a type that holds every
// magnitude of that kind exactly, so that peaks are found with plain maxima:
//   Int16   - unsigned 16-bit: |-32768| = 32768 still fits
//   Int24   - unsigned 32-bit: |-2^23| = 2^23
//   Int32   - unsigned 32-bit: |-2^31| = 2^31 still fits
//   Float32 - float: the sample's own magnitude
// Each peak becomes a double once; every one of these converts exactly.
template <SampleKind kind> struct SampleMagnitude;

template <> struct SampleMagnitude<SampleKind::Int16> {
    using type = std::uint16_t;
    static constexpr double fullScale = 32768.0;
    static type of(const std::byte* bytes) {
        std::int16_t sample;
        std::memcpy(&sample, bytes, sizeof sample);  // little-endian host
        const auto bits = static_cast<std::uint16_t>(sample);
        return sample < 0 ? static_cast<std::uint16_t>(0u - bits) : bits;
    }
};

template <> struct SampleMagnitude<SampleKind::Int24> {
    using type = std::uint32_t;
    static constexpr double fullScale = 8388608.0;  // 2^23
    static type of(const std::byte* bytes) {
        const std::int32_t sample = stream::decodeInt24(std::to_integer<std::uint8_t>(bytes[0]),
                                                      std::to_integer<std::uint8_t>(bytes[1]),
                                                      std::to_integer<std::uint8_t>(bytes[2]));
        return static_cast<std::uint32_t>(sample < 0 ? -sample : sample);
    }
};

template <> struct SampleMagnitude<SampleKind::Int32> {
    using type = std::uint32_t;
    static constexpr double fullScale = 2147483648.0;  // 2^31
    static type of(const std::byte* bytes) {
        std::int32_t sample;
        std::memcpy(&sample, bytes, sizeof sample);
        const auto bits = static_cast<std::uint32_t>(sample);
        return sample < 0 ? 0u - bits : bits;
    }
};

template <> struct SampleMagnitude<SampleKind::Float32> {
    using type = float;
    static constexpr double fullScale = 1.0;
    static type of(const std::byte* bytes) {
        float sample;
        std::memcpy(&sample, bytes, sizeof sample);
        return std::fabs(sample);
    }
};

template <> struct SampleMagnitude<SampleKind::Float64> {
    using type = double;
    static constexpr double fullScale = 1.0;
    static type of(const std::byte* bytes) {
        double sample;
        std::memcpy(&sample, bytes, sizeof sample);
        return std::fabs(sample);
    }
};

static_assert(std::endian::native == std::endian::little, "samples are read in the host's byte order");

// Keeps the larger of a magnitude and the peak so far. The magnitude wins only
// when it compares strictly greater, so a float NaN (for which every comparison
// is false) never becomes a peak.
template <class Magnitude>
Magnitude larger(Magnitude magnitude, Magnitude peak) {
    return magnitude > peak ? magnitude : peak;
}

// The peaks of the samples at even and at odd positions of a run of samples
// (for a stereo block: left and right). Every kernel below takes whole vectors
// of an even number of samples, so a lane always holds samples of one parity.
template <SampleKind kind>
struct ParityPeaks {
    using Magnitude = typename SampleMagnitude<kind>::type;
    std::array<Magnitude, 2> peaks{};
    std::size_t done = 0;  // samples taken so far; the rest are finished one by one
};

template <SampleKind kind>
using PeakKernel = ParityPeaks<kind> (*)(const std::byte* bytes, std::size_t samples);

// Finishes samples done .. samples - 1 one by one.
template <SampleKind kind>
ParityPeaks<kind> finishPlain(ParityPeaks<kind> result, const std::byte* bytes, std::size_t samples) {
    constexpr std::size_t width = stream::fileSampleWidth<kind>();
    for (std::size_t index = result.done; index < samples; ++index) {
        auto& peak = result.peaks[index % 2];
        peak = larger(SampleMagnitude<kind>::of(bytes + index * width), peak);
    }
    result.done = samples;
    return result;
}

template <SampleKind kind>
ParityPeaks<kind> peaksPlain(const std::byte* bytes, std::size_t samples) {
    return finishPlain<kind>({}, bytes, samples);
}

#if VANTOREL_X86_PEAK_KERNELS

// The lanes of the vector accumulators, folded into the two parities.
template <SampleKind kind, class Lane, std::size_t count>
ParityPeaks<kind> parityOf(const std::array<Lane, count>& lanes, std::size_t done) {
    ParityPeaks<kind> result;
    for (std::size_t lane = 0; lane < count; ++lane) result.peaks[lane % 2] = larger(lanes[lane], result.peaks[lane % 2]);
    result.done = done;
    return result;
}

// 16-bit: PABSW turns -32768 into the bit pattern 0x8000, which read as unsigned
// is exactly 2^15, so absolute value and unsigned maximum (PMAXUW, SSE4.1) give
// the exact peak for every code.
__attribute__((target("sse4.1"))) ParityPeaks<SampleKind::Int16> int16PeaksSse41(const std::byte* bytes,
                                                                                 std::size_t samples) {
    __m128i a = _mm_setzero_si128();
    __m128i b = _mm_setzero_si128();
    std::size_t index = 0;
    for (; index + 16 <= samples; index += 16) {
        const auto* at = reinterpret_cast<const __m128i*>(bytes + 2 * index);
        a = _mm_max_epu16(a, _mm_abs_epi16(_mm_loadu_si128(at)));
        b = _mm_max_epu16(b, _mm_abs_epi16(_mm_loadu_si128(at + 1)));
    }
    std::array<std::uint16_t, 8> lanes;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes.data()), _mm_max_epu16(a, b));
    return finishPlain<SampleKind::Int16>(parityOf<SampleKind::Int16>(lanes, index), bytes, samples);
}

__attribute__((target("avx2"))) ParityPeaks<SampleKind::Int16> int16PeaksAvx2(const std::byte* bytes,
                                                                              std::size_t samples) {
    __m256i a = _mm256_setzero_si256();
    __m256i b = _mm256_setzero_si256();
    std::size_t index = 0;
    for (; index + 32 <= samples; index += 32) {
        const auto* at = reinterpret_cast<const __m256i*>(bytes + 2 * index);
        a = _mm256_max_epu16(a, _mm256_abs_epi16(_mm256_loadu_si256(at)));
        b = _mm256_max_epu16(b, _mm256_abs_epi16(_mm256_loadu_si256(at + 1)));
    }
    std::array<std::uint16_t, 16> lanes;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes.data()), _mm256_max_epu16(a, b));
    return finishPlain<SampleKind::Int16>(parityOf<SampleKind::Int16>(lanes, index), bytes, samples);
}

// 32-bit: as for 16 bits, PABSD and PMAXUD give |-2^31| = 2^31 exactly.
__attribute__((target("sse4.1"))) ParityPeaks<SampleKind::Int32> int32PeaksSse41(const std::byte* bytes,
                                                                                 std::size_t samples) {
    __m128i a = _mm_setzero_si128();
    __m128i b = _mm_setzero_si128();
    std::size_t index = 0;
    for (; index + 8 <= samples; index += 8) {
        const auto* at = reinterpret_cast<const __m128i*>(bytes + 4 * index);
        a = _mm_max_epu32(a, _mm_abs_epi32(_mm_loadu_si128(at)));
        b = _mm_max_epu32(b, _mm_abs_epi32(_mm_loadu_si128(at + 1)));
    }
    std::array<std::uint32_t, 4> lanes;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes.data()), _mm_max_epu32(a, b));
    return finishPlain<SampleKind::Int32>(parityOf<SampleKind::Int32>(lanes, index), bytes, samples);
}

__attribute__((target("avx2"))) ParityPeaks<SampleKind::Int32> int32PeaksAvx2(const std::byte* bytes,
                                                                              std::size_t samples) {
    __m256i a = _mm256_setzero_si256();
    __m256i b = _mm256_setzero_si256();
    std::size_t index = 0;
    for (; index + 16 <= samples; index += 16) {
        const auto* at = reinterpret_cast<const __m256i*>(bytes + 4 * index);
        a = _mm256_max_epu32(a, _mm256_abs_epi32(_mm256_loadu_si256(at)));
        b = _mm256_max_epu32(b, _mm256_abs_epi32(_mm256_loadu_si256(at + 1)));
    }
    std::array<std::uint32_t, 8> lanes;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes.data()), _mm256_max_epu32(a, b));
    return finishPlain<SampleKind::Int32>(parityOf<SampleKind::Int32>(lanes, index), bytes, samples);
}

// 24-bit: PSHUFB puts each 3-byte sample into the top of a 32-bit lane (the
// value times 256), so PABSD and PMAXUD give 256 times the exact peak, |-2^23|
// included. Each step decodes 4 samples from 12 bytes with a 16-byte load; the
// 4 bytes beyond are read, never used (blocks carry padding for them).
__attribute__((target("sse4.1,ssse3"))) ParityPeaks<SampleKind::Int24> int24PeaksSse41(const std::byte* bytes,
                                                                                       std::size_t samples) {
    const __m128i spread = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    __m128i a = _mm_setzero_si128();
    __m128i b = _mm_setzero_si128();
    std::size_t index = 0;
    for (; index + 8 <= samples; index += 8) {
        const std::byte* at = bytes + 3 * index;
        a = _mm_max_epu32(a, _mm_abs_epi32(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), spread)));
        b = _mm_max_epu32(
            b, _mm_abs_epi32(_mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 12)), spread)));
    }
    std::array<std::uint32_t, 4> lanes;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes.data()), _mm_srli_epi32(_mm_max_epu32(a, b), 8));
    return finishPlain<SampleKind::Int24>(parityOf<SampleKind::Int24>(lanes, index), bytes, samples);
}

// The same with 8 samples from 24 bytes per vector: each 128-bit half holds 4.
__attribute__((target("avx2"))) ParityPeaks<SampleKind::Int24> int24PeaksAvx2(const std::byte* bytes,
                                                                              std::size_t samples) {
    const __m256i spread = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,
                                            -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    __m256i a = _mm256_setzero_si256();
    __m256i b = _mm256_setzero_si256();
    std::size_t index = 0;
    for (; index + 16 <= samples; index += 16) {
        const std::byte* byteAt = bytes + 3 * index;
        const auto* at = reinterpret_cast<const __m128i*>(byteAt);
        const __m256i first = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(at)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(byteAt + 12)), 1);
        const __m256i second = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(byteAt + 24))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(byteAt + 36)), 1);
        a = _mm256_max_epu32(a, _mm256_abs_epi32(_mm256_shuffle_epi8(first, spread)));
        b = _mm256_max_epu32(b, _mm256_abs_epi32(_mm256_shuffle_epi8(second, spread)));
    }
    std::array<std::uint32_t, 8> lanes;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes.data()), _mm256_srli_epi32(_mm256_max_epu32(a, b), 8));
    return finishPlain<SampleKind::Int24>(parityOf<SampleKind::Int24>(lanes, index), bytes, samples);
}

// Float: the magnitude is the sample without its sign bit. MAXPS hands back
// its second operand when either is NaN, so with the running peak second a NaN
// never becomes one.
ParityPeaks<SampleKind::Float32> floatPeaksSse2(const std::byte* bytes, std::size_t samples) {
    const __m128 magnitudeBits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    __m128 a = _mm_setzero_ps();
    __m128 b = _mm_setzero_ps();
    std::size_t index = 0;
    for (; index + 8 <= samples; index += 8) {
        const auto* at = reinterpret_cast<const float*>(bytes + 4 * index);
        a = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(at), magnitudeBits), a);
        b = _mm_max_ps(_mm_and_ps(_mm_loadu_ps(at + 4), magnitudeBits), b);
    }
    std::array<float, 4> lanes;
    std::array<float, 4> second;
    _mm_storeu_ps(lanes.data(), a);
    _mm_storeu_ps(second.data(), b);
    for (std::size_t lane = 0; lane < lanes.size(); ++lane) lanes[lane] = larger(second[lane], lanes[lane]);
    return finishPlain<SampleKind::Float32>(parityOf<SampleKind::Float32>(lanes, index), bytes, samples);
}

// The same, sixteen samples a step.
__attribute__((target("avx"))) ParityPeaks<SampleKind::Float32> floatPeaksAvx(const std::byte* bytes,
                                                                              std::size_t samples) {
    const __m256 magnitudeBits = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    __m256 a = _mm256_setzero_ps();
    __m256 b = _mm256_setzero_ps();
    std::size_t index = 0;
    for (; index + 16 <= samples; index += 16) {
        const auto* at = reinterpret_cast<const float*>(bytes + 4 * index);
        a = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(at), magnitudeBits), a);
        b = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(at + 8), magnitudeBits), b);
    }
    std::array<float, 8> lanes;
    std::array<float, 8> second;
    _mm256_storeu_ps(lanes.data(), a);
    _mm256_storeu_ps(second.data(), b);
    for (std::size_t lane = 0; lane < lanes.size(); ++lane) lanes[lane] = larger(second[lane], lanes[lane]);
    return finishPlain<SampleKind::Float32>(parityOf<SampleKind::Float32>(lanes, index), bytes, samples);
}

#endif

// Every kernel this CPU runs for the kind, the plain loop first and the widest last.
template <SampleKind kind>
std::vector<PeakKernel<kind>> usablePeakKernels() {
    std::vector<PeakKernel<kind>> kernels{peaksPlain<kind>};
#if VANTOREL_X86_PEAK_KERNELS
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool sse41 = __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
    if constexpr (kind == SampleKind::Int16) {
        if (sse41) kernels.push_back(int16PeaksSse41);
        if (avx2) kernels.push_back(int16PeaksAvx2);
    } else if constexpr (kind == SampleKind::Int32) {
        if (sse41) kernels.push_back(int32PeaksSse41);
        if (avx2) kernels.push_back(int32PeaksAvx2);
    } else if constexpr (kind == SampleKind::Int24) {
        if (sse41) kernels.push_back(int24PeaksSse41);
        if (avx2) kernels.push_back(int24PeaksAvx2);
    } else if constexpr (kind == SampleKind::Float32) {
        kernels.push_back(floatPeaksSse2);
        if (__builtin_cpu_supports("avx")) kernels.push_back(floatPeaksAvx);
    }
#endif
    return kernels;
}

// The best kernel this CPU runs for the kind: the widest, listed last. Chosen
// once per run, not for every block.
template <SampleKind kind>
PeakKernel<kind> choosePeakKernel() {
    static const PeakKernel<kind> best = usablePeakKernels<kind>().back();
    return best;
}

// Hands on the levels of the slice in progress, left before right, and starts
// the next slice.
void endSlice(SliceScan& scan, const SliceLevelReceiver& receiver) {
    for (int channel = 0; channel < scan.channels; ++channel) {
        const double peak = scan.peaks[static_cast<std::size_t>(channel)];
        if (peak > 0) receiver(channelAt(channel), sliceLevel(peak, scan.fullScale));
    }
    scan.peaks = {};
    scan.samplesInSlice = 0;
    ++scan.slicesDone;
}

}  // namespace

std::int64_t framesToScan(const SliceGrid& grid) {
    if (grid.sliceLength <= 0 || grid.sliceCount <= 0) return 0;
    return grid.sliceCount * grid.sliceLength;  // at most the sample count
}

template <SampleKind kind>
void scanSliceLevels(SliceScan& scan, const stream::ChannelSamples<kind>& block, const SliceLevelReceiver& receiver) {
    const std::int64_t sliceLength = scan.grid.sliceLength;
    if (sliceLength <= 0 || block.channels < 1 || block.channels > kMaxChannels) return;
    const auto channels = static_cast<std::size_t>(block.channels);
    const std::size_t frameBytes = channels * stream::fileSampleWidth<kind>();
    scan.channels = block.channels;
    scan.fullScale = SampleMagnitude<kind>::fullScale;

    const PeakKernel<kind> kernel = choosePeakKernel<kind>();
    std::size_t frame = 0;
    while (frame < block.frames && scan.slicesDone < scan.grid.sliceCount) {
        // The frames of this block that belong to the current slice.
        const auto take = static_cast<std::size_t>(std::min<std::int64_t>(
            sliceLength - scan.samplesInSlice, static_cast<std::int64_t>(block.frames - frame)));
        const std::byte* first = block.bytes + frame * frameBytes;
        if (channels <= 2) {
            const ParityPeaks<kind> found = kernel(first, take * channels);
            if (channels == 1) {
                const double peak = static_cast<double>(larger(found.peaks[1], found.peaks[0]));
                if (peak > scan.peaks[0]) scan.peaks[0] = peak;
            } else {
                for (std::size_t channel = 0; channel < 2; ++channel) {
                    const double peak = static_cast<double>(found.peaks[channel]);
                    if (peak > scan.peaks[channel]) scan.peaks[channel] = peak;
                }
            }
        } else {
            // Surround recordings: sample by sample, each into its channel's peak.
            using Magnitude = typename SampleMagnitude<kind>::type;
            std::array<Magnitude, kMaxChannels> found{};
            for (std::size_t index = 0; index < take * channels; ++index) {
                Magnitude& peak = found[index % channels];
                peak = larger(SampleMagnitude<kind>::of(first + index * stream::fileSampleWidth<kind>()), peak);
            }
            for (std::size_t channel = 0; channel < channels; ++channel) {
                const double peak = static_cast<double>(found[channel]);
                if (peak > scan.peaks[channel]) scan.peaks[channel] = peak;
            }
        }
        frame += take;
        scan.samplesInSlice += static_cast<std::int64_t>(take);
        if (scan.samplesInSlice == sliceLength) endSlice(scan, receiver);
    }
}

template void scanSliceLevels<SampleKind::Int16>(SliceScan&, const stream::ChannelSamples<SampleKind::Int16>&,
                                                 const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Int24>(SliceScan&, const stream::ChannelSamples<SampleKind::Int24>&,
                                                 const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Int32>(SliceScan&, const stream::ChannelSamples<SampleKind::Int32>&,
                                                 const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Float32>(SliceScan&, const stream::ChannelSamples<SampleKind::Float32>&,
                                                   const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Float64>(SliceScan&, const stream::ChannelSamples<SampleKind::Float64>&,
                                                   const SliceLevelReceiver&);

template <SampleKind kind>
std::vector<std::array<double, 2>> parityPeaksByEveryKernel(const std::byte* bytes, std::size_t samples) {
    std::vector<std::array<double, 2>> found;
    for (const PeakKernel<kind> kernel : usablePeakKernels<kind>()) {
        const ParityPeaks<kind> peaks = kernel(bytes, samples);
        found.push_back({static_cast<double>(peaks.peaks[0]), static_cast<double>(peaks.peaks[1])});
    }
    return found;
}

template std::vector<std::array<double, 2>> parityPeaksByEveryKernel<SampleKind::Int16>(const std::byte*, std::size_t);
template std::vector<std::array<double, 2>> parityPeaksByEveryKernel<SampleKind::Int24>(const std::byte*, std::size_t);
template std::vector<std::array<double, 2>> parityPeaksByEveryKernel<SampleKind::Int32>(const std::byte*, std::size_t);
template std::vector<std::array<double, 2>> parityPeaksByEveryKernel<SampleKind::Float32>(const std::byte*,
                                                                                          std::size_t);

std::int64_t framesLeftInSlice(const SliceScan& scan) {
    if (scan.grid.sliceLength <= 0 || scan.slicesDone >= scan.grid.sliceCount) return 0;
    return scan.grid.sliceLength - scan.samplesInSlice;
}

void addSlicePeaks(SliceScan& scan, int channels, std::int64_t frames, std::span<const double> peaks,
                   const SliceLevelReceiver& receiver) {
    if (frames <= 0 || frames > framesLeftInSlice(scan) || channels < 1 || channels > kMaxChannels) return;
    scan.channels = channels;
    scan.fullScale = 1.0;
    for (std::size_t channel = 0; channel < static_cast<std::size_t>(channels) && channel < peaks.size(); ++channel)
        scan.peaks[channel] = larger(peaks[channel], scan.peaks[channel]);
    scan.samplesInSlice += frames;
    if (scan.samplesInSlice == scan.grid.sliceLength) endSlice(scan, receiver);
}

void finishSliceScan(SliceScan& scan, const SliceLevelReceiver& receiver) {
    if (scan.samplesInSlice > 0) endSlice(scan, receiver);
}

SliceGrid computeSliceGrid(std::int32_t sampleRate, std::int64_t sampleCount) {
    SliceGrid grid;
    // Exact: every 32-bit rate is a double, and the tenth rounds ties to even in
    // the default rounding mode (11,025 Hz gives 1102).
    grid.sliceLength = static_cast<std::int64_t>(std::nearbyint(static_cast<double>(sampleRate) / 10.0));
    if (grid.sliceLength <= 0 || sampleCount <= 0) return grid;
    // Whole slices only: an incomplete last slice is never counted.
    grid.sliceCount = sampleCount / grid.sliceLength;
    return grid;
}

int sliceLevel(double slicePeak, double fullScale) {
    // Full scale itself gives exactly -0.5, which rounds (ties to even) to 0.
    const double level = std::nearbyint(20.0 * std::log10(fullScale / slicePeak) - 0.5);
    // An infinite peak makes the logarithm -inf; a peak of 0 or NaN, outside the
    // contract, makes it +inf or NaN. None of these may reach the conversion.
    if (std::isnan(level) || level >= static_cast<double>(INT_MAX)) return kUnmeasurableLevel;
    if (level <= static_cast<double>(INT_MIN)) return kAboveFullScaleLevel;
    return static_cast<int>(level);
}

}  // namespace vantorel::analysis
