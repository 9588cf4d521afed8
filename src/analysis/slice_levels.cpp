#include "analysis/slice_levels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <climits>
#include <cstddef>
#include <span>

#include "app/number_format.h"

// On x86 with GCC or clang (MinGW included) the Int32 peak also has kernels for
// SSE4.1 and AVX2, chosen at run time; other compilers and CPUs use the plain loop.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VANTOREL_X86_PEAK_KERNELS 1
#include <immintrin.h>
#endif

namespace vantorel::analysis {

namespace {

using wave::SampleElement;
using wave::SampleKind;

// How one kind of sample becomes a magnitude, in the narrowest type that holds
// every magnitude of that kind exactly, so that the slice's largest magnitude is
// found with plain vector maxima:
//   Int16   - unsigned 16-bit: |-32768| = 32768 still fits
//   Int24   - float: every whole number up to 2^24 is a float, so the values
//             -2^23 .. 2^23 - 1 that the loader makes convert exactly and
//             |-2^23| = 2^23 (anything wider would round, never overflow)
//   Int32   - unsigned 32-bit: |-2^31| = 2^31 still fits. The unsigned maximum
//             needs SSE4.1 (PMAXUD), hence the kernels below.
//   Float32 - float: the sample's own magnitude
// Each slice peak becomes a double once; every one of these converts exactly.
template <SampleKind kind> struct SampleMagnitude;

template <> struct SampleMagnitude<SampleKind::Int16> {
    using type = std::uint16_t;
    static constexpr double fullScale = 32768.0;
    static type of(std::int16_t sample) {
        const auto bits = static_cast<std::uint16_t>(sample);
        return sample < 0 ? static_cast<std::uint16_t>(0u - bits) : bits;
    }
};

template <> struct SampleMagnitude<SampleKind::Int24> {
    using type = float;
    static constexpr double fullScale = 8388608.0;  // 2^23
    static type of(std::int32_t sample) { return std::fabs(static_cast<float>(sample)); }
};

template <> struct SampleMagnitude<SampleKind::Int32> {
    using type = std::uint32_t;
    static constexpr double fullScale = 2147483648.0;  // 2^31
    static type of(std::int32_t sample) {
        const auto bits = static_cast<std::uint32_t>(sample);
        return sample < 0 ? 0u - bits : bits;
    }
};

template <> struct SampleMagnitude<SampleKind::Float32> {
    using type = float;
    static constexpr double fullScale = 1.0;
    static type of(float sample) { return std::fabs(sample); }
};

// Keeps the larger of a magnitude and the peak so far. The magnitude wins only
// when it compares strictly greater, so a float NaN (for which every comparison
// is false) never becomes a peak. With the operands in this order the vector
// form is MAXPS (MAXPD for doubles), which likewise hands back the running peak when the magnitude
// is NaN.
template <class Magnitude>
Magnitude larger(Magnitude magnitude, Magnitude peak) {
    return magnitude > peak ? magnitude : peak;
}

// The largest magnitude of one slice of one channel, 0 when all samples are 0.
// The samples are taken a vector's width at a time into independent lanes (so
// the compiler can keep each lane in a register), the lanes are then merged and
// the last few samples finished one by one.
template <SampleKind kind>
double slicePeak(std::span<const typename SampleElement<kind>::type> slice) {
    using Traits = SampleMagnitude<kind>;
    using Magnitude = typename Traits::type;
    constexpr std::size_t kLanes = 32 / sizeof(Magnitude);  // two 16-byte vectors

    std::array<Magnitude, kLanes> lanes{};
    std::size_t index = 0;
    for (; index + kLanes <= slice.size(); index += kLanes) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            lanes[lane] = larger(Traits::of(slice[index + lane]), lanes[lane]);
        }
    }
    Magnitude peak = 0;
    for (const Magnitude lane : lanes) peak = larger(lane, peak);
    for (; index < slice.size(); ++index) peak = larger(Traits::of(slice[index]), peak);
    return static_cast<double>(peak);
}

// Kernels for the integer kinds whose exact magnitude needs an unsigned maximum
// that SSE2 lacks (PMAXUW, PMAXUD: SSE4.1). PABSW / PABSD turn the most negative
// code into the bit pattern 0x8000 / 0x80000000, which read as unsigned is
// exactly 2^15 / 2^31, so absolute value and unsigned maximum give the exact
// peak for every code. Each kernel takes two vectors a step into independent
// accumulators and finishes the last few samples one by one.
template <SampleKind kind>
using PeakKernel = typename SampleMagnitude<kind>::type (*)(
    std::span<const typename SampleElement<kind>::type> slice);

template <SampleKind kind>
typename SampleMagnitude<kind>::type peakPlain(std::span<const typename SampleElement<kind>::type> slice) {
    return static_cast<typename SampleMagnitude<kind>::type>(slicePeak<kind>(slice));
}

#if VANTOREL_X86_PEAK_KERNELS

template <SampleKind kind, class Element, class Magnitude>
Magnitude finishOneByOne(Magnitude peak, const Element* data, std::size_t index, std::size_t size) {
    for (; index < size; ++index) peak = std::max(peak, SampleMagnitude<kind>::of(data[index]));
    return peak;
}

__attribute__((target("sse4.1"))) std::uint16_t int16PeakSse41(std::span<const std::int16_t> slice) {
    const std::int16_t* data = slice.data();
    const std::size_t size = slice.size();
    __m128i a = _mm_setzero_si128();
    __m128i b = _mm_setzero_si128();
    std::size_t index = 0;
    for (; index + 16 <= size; index += 16) {
        a = _mm_max_epu16(a, _mm_abs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + index))));
        b = _mm_max_epu16(b, _mm_abs_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + index + 8))));
    }
    a = _mm_max_epu16(a, b);
    a = _mm_max_epu16(a, _mm_shuffle_epi32(a, _MM_SHUFFLE(1, 0, 3, 2)));
    a = _mm_max_epu16(a, _mm_shuffle_epi32(a, _MM_SHUFFLE(2, 3, 0, 1)));
    a = _mm_max_epu16(a, _mm_srli_epi32(a, 16));
    const auto peak = static_cast<std::uint16_t>(static_cast<std::uint32_t>(_mm_cvtsi128_si32(a)) & 0xFFFFu);
    return finishOneByOne<SampleKind::Int16>(peak, data, index, size);
}

__attribute__((target("avx2"))) std::uint16_t int16PeakAvx2(std::span<const std::int16_t> slice) {
    const std::int16_t* data = slice.data();
    const std::size_t size = slice.size();
    __m256i a = _mm256_setzero_si256();
    __m256i b = _mm256_setzero_si256();
    std::size_t index = 0;
    for (; index + 32 <= size; index += 32) {
        a = _mm256_max_epu16(
            a, _mm256_abs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + index))));
        b = _mm256_max_epu16(
            b, _mm256_abs_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + index + 16))));
    }
    a = _mm256_max_epu16(a, b);
    __m128i half = _mm_max_epu16(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
    half = _mm_max_epu16(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(1, 0, 3, 2)));
    half = _mm_max_epu16(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(2, 3, 0, 1)));
    half = _mm_max_epu16(half, _mm_srli_epi32(half, 16));
    const auto peak = static_cast<std::uint16_t>(static_cast<std::uint32_t>(_mm_cvtsi128_si32(half)) & 0xFFFFu);
    return finishOneByOne<SampleKind::Int16>(peak, data, index, size);
}

__attribute__((target("sse4.1"))) std::uint32_t int32PeakSse41(std::span<const std::int32_t> slice) {
    const std::int32_t* data = slice.data();
    const std::size_t size = slice.size();
    __m128i a = _mm_setzero_si128();
    __m128i b = _mm_setzero_si128();
    std::size_t index = 0;
    for (; index + 8 <= size; index += 8) {
        a = _mm_max_epu32(a, _mm_abs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + index))));
        b = _mm_max_epu32(b, _mm_abs_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + index + 4))));
    }
    a = _mm_max_epu32(a, b);
    a = _mm_max_epu32(a, _mm_shuffle_epi32(a, _MM_SHUFFLE(1, 0, 3, 2)));
    a = _mm_max_epu32(a, _mm_shuffle_epi32(a, _MM_SHUFFLE(2, 3, 0, 1)));
    const auto peak = static_cast<std::uint32_t>(_mm_cvtsi128_si32(a));
    return finishOneByOne<SampleKind::Int32>(peak, data, index, size);
}

__attribute__((target("avx2"))) std::uint32_t int32PeakAvx2(std::span<const std::int32_t> slice) {
    const std::int32_t* data = slice.data();
    const std::size_t size = slice.size();
    __m256i a = _mm256_setzero_si256();
    __m256i b = _mm256_setzero_si256();
    std::size_t index = 0;
    for (; index + 16 <= size; index += 16) {
        a = _mm256_max_epu32(
            a, _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + index))));
        b = _mm256_max_epu32(
            b, _mm256_abs_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + index + 8))));
    }
    a = _mm256_max_epu32(a, b);
    __m128i half = _mm_max_epu32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1));
    half = _mm_max_epu32(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(1, 0, 3, 2)));
    half = _mm_max_epu32(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(2, 3, 0, 1)));
    const auto peak = static_cast<std::uint32_t>(_mm_cvtsi128_si32(half));
    return finishOneByOne<SampleKind::Int32>(peak, data, index, size);
}

#endif

// The best kernel this CPU runs for the kind, asked once per scan; the kinds
// without kernels (Int24, Float32, whose SSE2 loop keeps up) get none.
struct NoKernel {};

template <SampleKind kind> auto choosePeakKernel() {
    if constexpr (kind == SampleKind::Int16 || kind == SampleKind::Int32) {
#if VANTOREL_X86_PEAK_KERNELS
        __builtin_cpu_init();
        const bool avx2 = __builtin_cpu_supports("avx2");
        const bool sse41 = __builtin_cpu_supports("sse4.1");
        if constexpr (kind == SampleKind::Int16) {
            if (avx2) return PeakKernel<kind>{int16PeakAvx2};
            if (sse41) return PeakKernel<kind>{int16PeakSse41};
        } else {
            if (avx2) return PeakKernel<kind>{int32PeakAvx2};
            if (sse41) return PeakKernel<kind>{int32PeakSse41};
        }
#endif
        return PeakKernel<kind>{peakPlain<kind>};
    } else {
        return NoKernel{};
    }
}

template <SampleKind kind>
double slicePeakWith(PeakKernel<kind> kernel, std::span<const typename SampleElement<kind>::type> slice) {
    return static_cast<double>(kernel(slice));
}

template <SampleKind kind>
double slicePeakWith(NoKernel, std::span<const typename SampleElement<kind>::type> slice) {
    return slicePeak<kind>(slice);
}

// Folds the next frames of one channel into its running peak: the largest
// magnitude seen in the current slice (0 while all are 0). A segment's peak
// wins only when strictly greater, so a NaN never becomes one.
template <SampleKind kind, class Kernel>
void foldSegment(double& peak, Kernel kernel, std::span<const typename SampleElement<kind>::type> segment) {
    const double segmentPeak = slicePeakWith<kind>(kernel, segment);
    if (segmentPeak > peak) peak = segmentPeak;
}

// Hands on the levels of the slice in progress, left before right, and starts
// the next slice.
void endSlice(SliceScan& scan, const SliceLevelReceiver& receiver) {
    const std::array<Channel, 2> names = scan.channels == 1 ? std::array{Channel::Mono, Channel::Mono}
                                                            : std::array{Channel::Left, Channel::Right};
    for (std::size_t channel = 0; channel < static_cast<std::size_t>(scan.channels); ++channel) {
        if (scan.peaks[channel] > 0) receiver(names[channel], sliceLevel(scan.peaks[channel], scan.fullScale));
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
void scanSliceLevels(SliceScan& scan, const wave::ChannelSamples<kind>& block, const SliceLevelReceiver& receiver) {
    using Element = typename SampleElement<kind>::type;
    const bool stereo = block.mono.empty() && !block.left.empty();
    const int channels = stereo ? 2 : 1;
    const std::span<const Element> first = stereo ? block.left : block.mono;
    const std::span<const Element> second = stereo ? block.right : std::span<const Element>{};
    const std::int64_t sliceLength = scan.grid.sliceLength;
    if (sliceLength <= 0) return;

    scan.channels = channels;
    scan.fullScale = SampleMagnitude<kind>::fullScale;
    const auto kernel = choosePeakKernel<kind>();
    std::size_t index = 0;
    while (index < first.size() && scan.slicesDone < scan.grid.sliceCount) {
        const auto take = static_cast<std::size_t>(
            std::min<std::int64_t>(sliceLength - scan.samplesInSlice, static_cast<std::int64_t>(first.size() - index)));
        foldSegment<kind>(scan.peaks[0], kernel, first.subspan(index, take));
        if (stereo) foldSegment<kind>(scan.peaks[1], kernel, second.subspan(index, take));
        index += take;
        scan.samplesInSlice += static_cast<std::int64_t>(take);
        if (scan.samplesInSlice == sliceLength) endSlice(scan, receiver);
    }
}

template void scanSliceLevels<SampleKind::Int16>(SliceScan&, const wave::ChannelSamples<SampleKind::Int16>&,
                                                 const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Int24>(SliceScan&, const wave::ChannelSamples<SampleKind::Int24>&,
                                                 const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Int32>(SliceScan&, const wave::ChannelSamples<SampleKind::Int32>&,
                                                 const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Float32>(SliceScan&, const wave::ChannelSamples<SampleKind::Float32>&,
                                                   const SliceLevelReceiver&);

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

void printAnalysisLine(platform::Console& console, const SliceGrid& grid) {
    platform::writeText(console, "   Analysing over");
    app::printNumber(console, static_cast<long double>(grid.sliceCount), 7);
    platform::writeText(console, "time slices...");
    platform::newLine(console);
}

SliceGrid makeSliceGrid(platform::Console& console, std::int32_t sampleRate, std::int64_t sampleCount) {
    const SliceGrid grid = computeSliceGrid(sampleRate, sampleCount);
    printAnalysisLine(console, grid);
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
