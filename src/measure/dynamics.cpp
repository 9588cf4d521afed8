#include "measure/dynamics.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

// On x86 with GCC or clang (MinGW included) the per-block sums have vector
// kernels chosen at run time: SSE2 (every x86-64 has it) for floats, SSE4.1 for
// the integer kinds, AVX2 for both. Other compilers and CPUs use the plain loop.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VANTOREL_X86_DYNAMICS_KERNELS 1
#include <immintrin.h>
#endif

namespace vantorel::measure {

namespace {

using stream::SampleKind;

static_assert(std::endian::native == std::endian::little, "samples are read in the host's byte order");

template <SampleKind kind>
constexpr bool kIntegerKind = kind == SampleKind::Int16 || kind == SampleKind::Int24 || kind == SampleKind::Int32;

// How the samples of a kind are summed and compared:
//   magnitude - the type that holds every magnitude exactly (|-2^31| included)
//   fullScale - full scale in magnitude units
//   squareUnit - full scale squared in the unit of the sums of squares: integer
//                samples are squared exactly (32-bit ones without their low 8
//                bits, so that a square stays below 2^47); floats in double.
template <SampleKind kind> struct KindTraits;
template <> struct KindTraits<SampleKind::Int16> {
    using Magnitude = std::uint32_t;
    static constexpr double fullScale = 32768.0;
    static constexpr double squareUnit = 1073741824.0;  // 2^30
    static constexpr int bits = 16;
};
template <> struct KindTraits<SampleKind::Int24> {
    using Magnitude = std::uint32_t;
    static constexpr double fullScale = 8388608.0;  // 2^23
    static constexpr double squareUnit = 70368744177664.0;  // 2^46
    static constexpr int bits = 24;
};
template <> struct KindTraits<SampleKind::Int32> {
    using Magnitude = std::uint32_t;
    static constexpr double fullScale = 2147483648.0;  // 2^31
    static constexpr double squareUnit = 70368744177664.0;  // (2^31 / 2^8)^2
    static constexpr int bits = 32;
};
template <> struct KindTraits<SampleKind::Float32> {
    using Magnitude = float;
    static constexpr double fullScale = 1.0;
    static constexpr double squareUnit = 1.0;
};
template <> struct KindTraits<SampleKind::Float64> {
    using Magnitude = double;
    static constexpr double fullScale = 1.0;
    static constexpr double squareUnit = 1.0;
};

// The codes of integer samples that count as full scale: at or above `highest`
// (the source's largest code in the sample's unit), or equal to `lowest` (the
// smallest code of the sample's width, which every source depth shares).
struct FullScaleCodes {
    std::int32_t highest = 0;
    std::int32_t lowest = 0;
};

template <SampleKind kind>
FullScaleCodes fullScaleCodes(int sourceBits) {
    if constexpr (kIntegerKind<kind>) {
        constexpr int width = KindTraits<kind>::bits;
        const int bits = sourceBits >= 1 && sourceBits <= width ? sourceBits : width;
        const std::int64_t highest = ((std::int64_t{1} << (bits - 1)) - 1) << (width - bits);
        return {static_cast<std::int32_t>(highest), static_cast<std::int32_t>(-(std::int64_t{1} << (width - 1)))};
    } else {
        (void)sourceBits;
        return {};
    }
}

// Reads the integer sample at `at` (host byte order; 24-bit samples packed in 3 bytes).
template <SampleKind kind>
std::int32_t integerAt(const std::byte* at) {
    if constexpr (kind == SampleKind::Int16) {
        std::int16_t sample;
        std::memcpy(&sample, at, sizeof sample);
        return sample;
    } else if constexpr (kind == SampleKind::Int24) {
        return stream::decodeInt24(std::to_integer<std::uint8_t>(at[0]), std::to_integer<std::uint8_t>(at[1]),
                                 std::to_integer<std::uint8_t>(at[2]));
    } else {
        std::int32_t sample;
        std::memcpy(&sample, at, sizeof sample);
        return sample;
    }
}

// The sums of some runs of samples, per lane: a lane is a channel, or for the
// kernels a parity (even or odd position: left and right of a stereo block).
template <SampleKind kind>
struct LaneSums {
    using Magnitude = typename KindTraits<kind>::Magnitude;
    using Squares = std::conditional_t<kIntegerKind<kind>, WideSum, double>;
    Squares squares{};
    Magnitude peak{};
    std::uint64_t fullScaleSamples = 0;
};

// Folds one sample into its lane. The plain loop, and the reference every
// kernel is tested against.
template <SampleKind kind>
void takeSample(LaneSums<kind>& lane, const std::byte* at, const FullScaleCodes& codes) {
    constexpr std::size_t width = stream::fileSampleWidth<kind>();
    static_assert(width > 0);
    if constexpr (kIntegerKind<kind>) {
        const std::int32_t sample = integerAt<kind>(at);
        const auto bits = static_cast<std::uint32_t>(sample);
        const std::uint32_t magnitude = sample < 0 ? 0u - bits : bits;
        if (magnitude > lane.peak) lane.peak = magnitude;
        const std::uint64_t squared = kind == SampleKind::Int32 ? magnitude >> 8 : magnitude;
        lane.squares.add(squared * squared);
        if (sample >= codes.highest || sample == codes.lowest) ++lane.fullScaleSamples;
    } else {
        using Sample = typename KindTraits<kind>::Magnitude;
        Sample sample;
        std::memcpy(&sample, at, sizeof sample);
        if (std::isnan(sample)) return;
        const Sample magnitude = std::fabs(sample);
        if (magnitude > lane.peak) lane.peak = magnitude;
        lane.squares += static_cast<double>(sample) * static_cast<double>(sample);
        if (magnitude >= Sample{1}) ++lane.fullScaleSamples;
    }
}

// Takes samples from .. samples - 1 into lanes[lane], lanes[lane + 1], ...
// cycling through `laneCount` lanes, starting at lane from % laneCount.
template <SampleKind kind>
void takePlain(LaneSums<kind>* lanes, std::size_t laneCount, const std::byte* bytes, std::size_t from,
               std::size_t samples, const FullScaleCodes& codes) {
    constexpr std::size_t width = stream::fileSampleWidth<kind>();
    std::size_t lane = from % laneCount;
    for (std::size_t index = from; index < samples; ++index) {
        takeSample<kind>(lanes[lane], bytes + index * width, codes);
        if (++lane == laneCount) lane = 0;
    }
}

// What a kernel gives: the sums at even and at odd positions of a run.
template <SampleKind kind>
using ParitySums = std::array<LaneSums<kind>, 2>;

template <SampleKind kind>
using DynamicsKernel = ParitySums<kind> (*)(const std::byte* bytes, std::size_t samples, const FullScaleCodes& codes);

template <SampleKind kind>
ParitySums<kind> dynamicsPlain(const std::byte* bytes, std::size_t samples, const FullScaleCodes& codes) {
    ParitySums<kind> sums{};
    takePlain<kind>(sums.data(), 2, bytes, 0, samples, codes);
    return sums;
}

#if VANTOREL_X86_DYNAMICS_KERNELS

// The kernels work in chunks of at most kStepsPerChunk vector steps, small
// enough for 16-bit counters and for 64-bit lanes of squares below 2^47. Per
// step they fold the peak and the squares into vector lanes, which are added
// into the exact sums at the end of the chunk. Every sample at full scale lies
// at or above the largest code in magnitude, so the samples at full scale are
// counted only in chunks whose peak reaches that code, which most chunks of
// most recordings never do: in a second look at the chunk (still in the
// cache), or, after a chunk that reached it (a master clipped all over), in the
// same pass as the sums.
constexpr std::size_t kStepsPerChunk = 2048;

enum class Fold {
    Sums,           // peaks and squares
    SumsAndCounts,  // peaks, squares and samples at full scale
    Counts,         // samples at full scale
};

// Adds vector lanes, stored to memory, into the two parities: lane j holds
// samples of parity j % 2.
template <SampleKind kind, class Lane, std::size_t count>
void addSquareLanes(ParitySums<kind>& sums, const std::array<Lane, count>& lanes) {
    for (std::size_t lane = 0; lane < count; ++lane) {
        if constexpr (kIntegerKind<kind>) sums[lane % 2].squares.add(static_cast<std::uint64_t>(lanes[lane]));
        else sums[lane % 2].squares += lanes[lane];
    }
}

// Adds peak lanes (integer ones shifted right by `shift`) into the parities,
// and gives the chunk's peak.
template <SampleKind kind, class Lane, std::size_t count>
typename KindTraits<kind>::Magnitude addPeakLanes(ParitySums<kind>& sums, const std::array<Lane, count>& lanes,
                                                  int shift = 0) {
    using Magnitude = typename KindTraits<kind>::Magnitude;
    Magnitude chunkPeak{};
    for (std::size_t lane = 0; lane < count; ++lane) {
        Magnitude peak;
        if constexpr (kIntegerKind<kind>) peak = static_cast<Magnitude>(lanes[lane]) >> shift;
        else peak = lanes[lane];
        if (peak > sums[lane % 2].peak) sums[lane % 2].peak = peak;
        if (peak > chunkPeak) chunkPeak = peak;
    }
    return chunkPeak;
}

template <SampleKind kind, class Lane, std::size_t count>
void addCountLanes(ParitySums<kind>& sums, const std::array<Lane, count>& lanes) {
    for (std::size_t lane = 0; lane < count; ++lane) sums[lane % 2].fullScaleSamples += lanes[lane];
}

// Whether a chunk whose peak (in magnitude units) is `peak` may hold samples at
// full scale: integers at or above the largest code, or at the smallest (whose
// magnitude is larger still); floats of magnitude 1.0 or more.
template <SampleKind kind>
bool mayReachFullScale(typename KindTraits<kind>::Magnitude peak, const FullScaleCodes& codes) {
    if constexpr (kIntegerKind<kind>) return codes.highest <= 0 || peak >= static_cast<std::uint32_t>(codes.highest);
    else return peak >= 1;
}

// Folds `steps` vector steps of a chunk into the sums and gives whether the
// chunk may hold samples at full scale (Fold::Counts: whatever).
template <SampleKind kind>
using ChunkFold = bool (*)(ParitySums<kind>& sums, const std::byte* chunk, std::size_t steps,
                           const FullScaleCodes& codes);

// A kernel: chunk after chunk folded by the vector code, counting where the
// peaks say so, and the last samples (less than a step) one by one.
template <SampleKind kind, std::size_t stepSamples, ChunkFold<kind> sums, ChunkFold<kind> sumsAndCounts,
          ChunkFold<kind> counts>
ParitySums<kind> chunkedKernel(const std::byte* bytes, std::size_t samples, const FullScaleCodes& codes) {
    ParitySums<kind> result{};
    bool counting = false;  // the last chunk reached full scale
    std::size_t index = 0;
    while (samples - index >= stepSamples) {
        const std::size_t steps = std::min((samples - index) / stepSamples, kStepsPerChunk);
        const std::byte* chunk = bytes + index * stream::fileSampleWidth<kind>();
        const bool reached = (counting ? sumsAndCounts : sums)(result, chunk, steps, codes);
        if (reached && !counting) counts(result, chunk, steps, codes);
        counting = reached;
        index += steps * stepSamples;
    }
    takePlain<kind>(result.data(), 2, bytes, index, samples, codes);
    return result;
}

// ---- 16-bit, sixteen (AVX2) or eight (SSE4.1) samples a step
// Peak: PABSW turns -32768 into 0x8000, which as unsigned is exactly 2^15, so
// PMAXUW finds every peak exactly. Squares: PSHUFB pairs each sample with the
// next one of its parity, and PMADDWD adds their two squares into 32 bits (at
// most 2^31: exact as unsigned). These alternate in parity: each 64-bit lane
// holds an even sum in its low half and an odd one in its high half, so it
// reads as even + 2^32 odd. Those lanes are summed whole (modulo 2^64), the odd
// halves on their own; the even sums are the difference, exact while they stay
// below 2^64 (a chunk's are below 2^43). One instruction fewer than splitting
// them. Full scale: a signed compare with the largest code less one, and an
// equal compare with the smallest.

template <std::size_t count>
void addInt16SquareLanes(ParitySums<SampleKind::Int16>& sums, const std::array<std::uint64_t, count>& whole,
                         const std::array<std::uint64_t, count>& odd) {
    for (std::size_t lane = 0; lane < count; ++lane) {
        sums[0].squares.add(whole[lane] - (odd[lane] << 32));
        sums[1].squares.add(odd[lane]);
    }
}

template <Fold fold>
__attribute__((target("avx2"))) bool int16FoldAvx2(ParitySums<SampleKind::Int16>& sums, const std::byte* chunk,
                                                   std::size_t steps, const FullScaleCodes& codes) {
    const __m256i pairs = _mm256_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15,  //
                                           0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15);
    const __m256i belowHighest = _mm256_set1_epi16(static_cast<short>(codes.highest - 1));
    const __m256i lowest = _mm256_set1_epi16(static_cast<short>(codes.lowest));
    __m256i peak = _mm256_setzero_si256();
    __m256i wholeSquares = _mm256_setzero_si256();
    __m256i oddSquares = _mm256_setzero_si256();
    __m256i counts = _mm256_setzero_si256();
    const auto* vectors = reinterpret_cast<const __m256i*>(chunk);
    for (std::size_t step = 0; step < steps; ++step) {
        const __m256i v = _mm256_loadu_si256(vectors + step);
        if constexpr (fold != Fold::Counts) {
            peak = _mm256_max_epu16(peak, _mm256_abs_epi16(v));
            const __m256i paired = _mm256_shuffle_epi8(v, pairs);
            const __m256i twoSquares = _mm256_madd_epi16(paired, paired);
            wholeSquares = _mm256_add_epi64(wholeSquares, twoSquares);
            oddSquares = _mm256_add_epi64(oddSquares, _mm256_srli_epi64(twoSquares, 32));
        }
        if constexpr (fold != Fold::Sums) {
            counts = _mm256_sub_epi16(
                counts, _mm256_or_si256(_mm256_cmpgt_epi16(v, belowHighest), _mm256_cmpeq_epi16(v, lowest)));
        }
    }
    if constexpr (fold != Fold::Sums) {
        std::array<std::uint16_t, 16> countLanes;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(countLanes.data()), counts);
        addCountLanes(sums, countLanes);
    }
    if constexpr (fold == Fold::Counts) {
        return true;
    } else {
        std::array<std::uint16_t, 16> peakLanes;
        std::array<std::uint64_t, 4> whole;
        std::array<std::uint64_t, 4> odd;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(peakLanes.data()), peak);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(whole.data()), wholeSquares);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(odd.data()), oddSquares);
        addInt16SquareLanes(sums, whole, odd);
        return mayReachFullScale<SampleKind::Int16>(addPeakLanes(sums, peakLanes), codes);
    }
}

template <Fold fold>
__attribute__((target("sse4.1,ssse3"))) bool int16FoldSse41(ParitySums<SampleKind::Int16>& sums,
                                                            const std::byte* chunk, std::size_t steps,
                                                            const FullScaleCodes& codes) {
    const __m128i pairs = _mm_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15);
    const __m128i belowHighest = _mm_set1_epi16(static_cast<short>(codes.highest - 1));
    const __m128i lowest = _mm_set1_epi16(static_cast<short>(codes.lowest));
    __m128i peak = _mm_setzero_si128();
    __m128i wholeSquares = _mm_setzero_si128();
    __m128i oddSquares = _mm_setzero_si128();
    __m128i counts = _mm_setzero_si128();
    const auto* vectors = reinterpret_cast<const __m128i*>(chunk);
    for (std::size_t step = 0; step < steps; ++step) {
        const __m128i v = _mm_loadu_si128(vectors + step);
        if constexpr (fold != Fold::Counts) {
            peak = _mm_max_epu16(peak, _mm_abs_epi16(v));
            const __m128i paired = _mm_shuffle_epi8(v, pairs);
            const __m128i twoSquares = _mm_madd_epi16(paired, paired);
            wholeSquares = _mm_add_epi64(wholeSquares, twoSquares);
            oddSquares = _mm_add_epi64(oddSquares, _mm_srli_epi64(twoSquares, 32));
        }
        if constexpr (fold != Fold::Sums)
            counts = _mm_sub_epi16(counts, _mm_or_si128(_mm_cmpgt_epi16(v, belowHighest), _mm_cmpeq_epi16(v, lowest)));
    }
    if constexpr (fold != Fold::Sums) {
        std::array<std::uint16_t, 8> countLanes;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(countLanes.data()), counts);
        addCountLanes(sums, countLanes);
    }
    if constexpr (fold == Fold::Counts) {
        return true;
    } else {
        std::array<std::uint16_t, 8> peakLanes;
        std::array<std::uint64_t, 2> whole;
        std::array<std::uint64_t, 2> odd;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(peakLanes.data()), peak);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(whole.data()), wholeSquares);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(odd.data()), oddSquares);
        addInt16SquareLanes(sums, whole, odd);
        return mayReachFullScale<SampleKind::Int16>(addPeakLanes(sums, peakLanes), codes);
    }
}

// ---- 24- and 32-bit, sixteen (AVX2) or eight (SSE4.1) samples a step
// Both are worked on as 32-bit lanes v holding the sample scaled to 32 bits (a
// 24-bit sample times 256, put there by PSHUFB; the 4 bytes a 16-byte load
// reads past the last of its 4 samples are never used, and blocks carry
// padding for them). Peak: PABSD and PMAXUD, exact as for 16 bits. Squares:
// the magnitude without its low 8 bits (the whole 24-bit sample), squared by
// PMULUDQ into 64-bit lanes: the even 32-bit lanes directly, the odd ones
// after a shift. Full scale: as for 16 bits, with the codes scaled alike.

// The full-scale codes scaled to 32 bits: the largest less one (for the signed
// compare), and the smallest.
template <SampleKind kind>
std::array<std::int32_t, 2> scaledCodes(const FullScaleCodes& codes) {
    constexpr std::int64_t scale = kind == SampleKind::Int24 ? 256 : 1;
    return {static_cast<std::int32_t>(codes.highest * scale - 1), static_cast<std::int32_t>(codes.lowest * scale)};
}

template <SampleKind kind>
__attribute__((target("avx2"))) inline __m256i load32Avx2(const std::byte* at) {
    if constexpr (kind == SampleKind::Int24) {
        const __m256i spread = _mm256_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11,  //
                                                -1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
        const __m256i both = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 12)), 1);
        return _mm256_shuffle_epi8(both, spread);
    } else {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    }
}

template <SampleKind kind>
__attribute__((target("sse4.1,ssse3"))) inline __m128i load32Sse41(const std::byte* at) {
    if constexpr (kind == SampleKind::Int24) {
        const __m128i spread = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
        return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), spread);
    } else {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    }
}

template <SampleKind kind, std::size_t count>
bool addInt32Lanes(ParitySums<kind>& sums, const std::array<std::uint32_t, 2 * count>& peakLanes,
                   const std::array<std::uint64_t, count>& even, const std::array<std::uint64_t, count>& odd,
                   const FullScaleCodes& codes) {
    for (std::size_t lane = 0; lane < count; ++lane) {
        sums[0].squares.add(even[lane]);
        sums[1].squares.add(odd[lane]);
    }
    return mayReachFullScale<kind>(addPeakLanes(sums, peakLanes, kind == SampleKind::Int24 ? 8 : 0), codes);
}

struct Int32Avx2 {
    __m256i belowHighest, lowestCode, peak, evenSquares, oddSquares, counts;
};

template <SampleKind kind, Fold fold>
__attribute__((target("avx2"))) inline void foldInt32Avx2(Int32Avx2& acc, const std::byte* at) {
    const __m256i v = load32Avx2<kind>(at);
    if constexpr (fold != Fold::Counts) {
        const __m256i magnitude = _mm256_abs_epi32(v);
        acc.peak = _mm256_max_epu32(acc.peak, magnitude);
        const __m256i top = _mm256_srli_epi32(magnitude, 8);
        acc.evenSquares = _mm256_add_epi64(acc.evenSquares, _mm256_mul_epu32(top, top));
        const __m256i odd = _mm256_srli_epi64(top, 32);
        acc.oddSquares = _mm256_add_epi64(acc.oddSquares, _mm256_mul_epu32(odd, odd));
    }
    if constexpr (fold != Fold::Sums) {
        acc.counts = _mm256_sub_epi32(acc.counts, _mm256_or_si256(_mm256_cmpgt_epi32(v, acc.belowHighest),
                                                                  _mm256_cmpeq_epi32(v, acc.lowestCode)));
    }
}

template <SampleKind kind, Fold fold>
__attribute__((target("avx2"))) bool int32FoldAvx2(ParitySums<kind>& sums, const std::byte* chunk, std::size_t steps,
                                                   const FullScaleCodes& codes) {
    constexpr std::size_t vectorBytes = 8 * stream::fileSampleWidth<kind>();
    const auto [highest, lowest] = scaledCodes<kind>(codes);
    const __m256i zero = _mm256_setzero_si256();
    Int32Avx2 acc{_mm256_set1_epi32(highest), _mm256_set1_epi32(lowest), zero, zero, zero, zero};
    for (std::size_t step = 0; step < steps; ++step) {  // two vectors a step: less loop overhead
        foldInt32Avx2<kind, fold>(acc, chunk + 2 * step * vectorBytes);
        foldInt32Avx2<kind, fold>(acc, chunk + (2 * step + 1) * vectorBytes);
    }
    const __m256i peak = acc.peak;
    const __m256i evenSquares = acc.evenSquares;
    const __m256i oddSquares = acc.oddSquares;
    const __m256i counts = acc.counts;
    if constexpr (fold != Fold::Sums) {
        std::array<std::uint32_t, 8> countLanes;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(countLanes.data()), counts);
        addCountLanes(sums, countLanes);
    }
    if constexpr (fold == Fold::Counts) {
        return true;
    } else {
        std::array<std::uint32_t, 8> peakLanes;
        std::array<std::uint64_t, 4> even;
        std::array<std::uint64_t, 4> odd;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(peakLanes.data()), peak);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(even.data()), evenSquares);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(odd.data()), oddSquares);
        return addInt32Lanes<kind>(sums, peakLanes, even, odd, codes);
    }
}

template <SampleKind kind, Fold fold>
__attribute__((target("sse4.1,ssse3"))) bool int32FoldSse41(ParitySums<kind>& sums, const std::byte* chunk,
                                                            std::size_t steps, const FullScaleCodes& codes) {
    constexpr std::size_t vectorBytes = 4 * stream::fileSampleWidth<kind>();
    const auto [highest, lowest] = scaledCodes<kind>(codes);
    const __m128i belowHighest = _mm_set1_epi32(highest);
    const __m128i lowestCode = _mm_set1_epi32(lowest);
    __m128i peak = _mm_setzero_si128();
    __m128i evenSquares = _mm_setzero_si128();
    __m128i oddSquares = _mm_setzero_si128();
    __m128i counts = _mm_setzero_si128();
    for (std::size_t vector = 0; vector < 2 * steps; ++vector) {
        const __m128i v = load32Sse41<kind>(chunk + vector * vectorBytes);
        if constexpr (fold != Fold::Counts) {
            const __m128i magnitude = _mm_abs_epi32(v);
            peak = _mm_max_epu32(peak, magnitude);
            const __m128i top = _mm_srli_epi32(magnitude, 8);
            evenSquares = _mm_add_epi64(evenSquares, _mm_mul_epu32(top, top));
            const __m128i odd = _mm_srli_epi64(top, 32);
            oddSquares = _mm_add_epi64(oddSquares, _mm_mul_epu32(odd, odd));
        }
        if constexpr (fold != Fold::Sums) {
            counts =
                _mm_sub_epi32(counts, _mm_or_si128(_mm_cmpgt_epi32(v, belowHighest), _mm_cmpeq_epi32(v, lowestCode)));
        }
    }
    if constexpr (fold != Fold::Sums) {
        std::array<std::uint32_t, 4> countLanes;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(countLanes.data()), counts);
        addCountLanes(sums, countLanes);
    }
    if constexpr (fold == Fold::Counts) {
        return true;
    } else {
        std::array<std::uint32_t, 4> peakLanes;
        std::array<std::uint64_t, 2> even;
        std::array<std::uint64_t, 2> odd;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(peakLanes.data()), peak);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(even.data()), evenSquares);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(odd.data()), oddSquares);
        return addInt32Lanes<kind>(sums, peakLanes, even, odd, codes);
    }
}

// ---- float, eight (AVX2) or four (SSE2) samples a step
// The magnitude is the sample without its sign bit. MAXPS hands back its
// second operand when either is NaN, so with the running peak second a NaN
// never becomes one, and an ordered compare never counts it at full scale.
// Squares in double (a float's square is exact there, so FMA rounds as
// multiply then add does), each 32-bit lane widened in place so that lanes
// keep alternating parity. A NaN makes its chunk's sums NaN: that chunk's
// squares are then summed again, one by one, without it.

template <std::size_t count>
void addFloatSquareLanes(ParitySums<SampleKind::Float32>& sums, const std::array<double, count>& lanes,
                         const std::byte* chunk, std::size_t samples) {
    bool numbers = true;
    for (const double lane : lanes) numbers = numbers && !std::isnan(lane);
    if (numbers) {
        addSquareLanes(sums, lanes);
        return;
    }
    for (std::size_t index = 0; index < samples; ++index) {
        float sample;
        std::memcpy(&sample, chunk + 4 * index, sizeof sample);
        if (!std::isnan(sample)) sums[index % 2].squares += static_cast<double>(sample) * static_cast<double>(sample);
    }
}

template <Fold fold>
__attribute__((target("avx2,fma"))) bool floatFoldAvx2(ParitySums<SampleKind::Float32>& sums, const std::byte* chunk,
                                                       std::size_t steps, const FullScaleCodes&) {
    const __m256 magnitudeBits = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256 one = _mm256_set1_ps(1.0f);
    __m256 peak = _mm256_setzero_ps();
    __m256d lowSquares = _mm256_setzero_pd();
    __m256d highSquares = _mm256_setzero_pd();
    __m256i counts = _mm256_setzero_si256();
    const auto* samples = reinterpret_cast<const float*>(chunk);
    for (std::size_t step = 0; step < steps; ++step) {
        const __m256 v = _mm256_loadu_ps(samples + 8 * step);
        const __m256 magnitude = _mm256_and_ps(v, magnitudeBits);
        if constexpr (fold != Fold::Counts) {
            peak = _mm256_max_ps(magnitude, peak);
            const __m256d low = _mm256_cvtps_pd(_mm256_castps256_ps128(v));
            const __m256d high = _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1));
            lowSquares = _mm256_fmadd_pd(low, low, lowSquares);
            highSquares = _mm256_fmadd_pd(high, high, highSquares);
        }
        if constexpr (fold != Fold::Sums)
            counts = _mm256_sub_epi32(counts, _mm256_castps_si256(_mm256_cmp_ps(magnitude, one, _CMP_GE_OQ)));
    }
    if constexpr (fold != Fold::Sums) {
        std::array<std::uint32_t, 8> countLanes;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(countLanes.data()), counts);
        addCountLanes(sums, countLanes);
    }
    if constexpr (fold == Fold::Counts) {
        return true;
    } else {
        std::array<float, 8> peakLanes;
        std::array<double, 8> squareLanes;
        _mm256_storeu_ps(peakLanes.data(), peak);
        _mm256_storeu_pd(squareLanes.data(), lowSquares);
        _mm256_storeu_pd(squareLanes.data() + 4, highSquares);
        addFloatSquareLanes(sums, squareLanes, chunk, 8 * steps);
        return mayReachFullScale<SampleKind::Float32>(addPeakLanes(sums, peakLanes), {});
    }
}

template <Fold fold>
bool floatFoldSse2(ParitySums<SampleKind::Float32>& sums, const std::byte* chunk, std::size_t steps,
                   const FullScaleCodes&) {
    const __m128 magnitudeBits = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
    const __m128 one = _mm_set1_ps(1.0f);
    __m128 peak = _mm_setzero_ps();
    __m128d lowSquares = _mm_setzero_pd();
    __m128d highSquares = _mm_setzero_pd();
    __m128i counts = _mm_setzero_si128();
    const auto* samples = reinterpret_cast<const float*>(chunk);
    for (std::size_t step = 0; step < steps; ++step) {
        const __m128 v = _mm_loadu_ps(samples + 4 * step);
        const __m128 magnitude = _mm_and_ps(v, magnitudeBits);
        if constexpr (fold != Fold::Counts) {
            peak = _mm_max_ps(magnitude, peak);
            const __m128d low = _mm_cvtps_pd(v);
            const __m128d high = _mm_cvtps_pd(_mm_movehl_ps(v, v));
            lowSquares = _mm_add_pd(lowSquares, _mm_mul_pd(low, low));
            highSquares = _mm_add_pd(highSquares, _mm_mul_pd(high, high));
        }
        if constexpr (fold != Fold::Sums) counts = _mm_sub_epi32(counts, _mm_castps_si128(_mm_cmpge_ps(magnitude, one)));
    }
    if constexpr (fold != Fold::Sums) {
        std::array<std::uint32_t, 4> countLanes;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(countLanes.data()), counts);
        addCountLanes(sums, countLanes);
    }
    if constexpr (fold == Fold::Counts) {
        return true;
    } else {
        std::array<float, 4> peakLanes;
        std::array<double, 4> squareLanes;
        _mm_storeu_ps(peakLanes.data(), peak);
        _mm_storeu_pd(squareLanes.data(), lowSquares);
        _mm_storeu_pd(squareLanes.data() + 2, highSquares);
        addFloatSquareLanes(sums, squareLanes, chunk, 4 * steps);
        return mayReachFullScale<SampleKind::Float32>(addPeakLanes(sums, peakLanes), {});
    }
}

template <SampleKind kind>
constexpr DynamicsKernel<kind> kInt32KernelAvx2 =
    chunkedKernel<kind, 16, int32FoldAvx2<kind, Fold::Sums>, int32FoldAvx2<kind, Fold::SumsAndCounts>,
                  int32FoldAvx2<kind, Fold::Counts>>;
template <SampleKind kind>
constexpr DynamicsKernel<kind> kInt32KernelSse41 =
    chunkedKernel<kind, 8, int32FoldSse41<kind, Fold::Sums>, int32FoldSse41<kind, Fold::SumsAndCounts>,
                  int32FoldSse41<kind, Fold::Counts>>;

#endif

// Every kernel this CPU runs for the kind, the plain loop first and the widest last.
template <SampleKind kind>
std::vector<DynamicsKernel<kind>> usableKernels() {
    std::vector<DynamicsKernel<kind>> kernels{dynamicsPlain<kind>};
#if VANTOREL_X86_DYNAMICS_KERNELS
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool sse41 = __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
    if constexpr (kind == SampleKind::Int16) {
        if (sse41) {
            kernels.push_back(chunkedKernel<kind, 8, int16FoldSse41<Fold::Sums>, int16FoldSse41<Fold::SumsAndCounts>,
                                            int16FoldSse41<Fold::Counts>>);
        }
        if (avx2) {
            kernels.push_back(chunkedKernel<kind, 16, int16FoldAvx2<Fold::Sums>, int16FoldAvx2<Fold::SumsAndCounts>,
                                            int16FoldAvx2<Fold::Counts>>);
        }
    } else if constexpr (kind == SampleKind::Int24 || kind == SampleKind::Int32) {
        if (sse41) kernels.push_back(kInt32KernelSse41<kind>);
        if (avx2) kernels.push_back(kInt32KernelAvx2<kind>);
    } else if constexpr (kind == SampleKind::Float32) {
        kernels.push_back(chunkedKernel<kind, 4, floatFoldSse2<Fold::Sums>, floatFoldSse2<Fold::SumsAndCounts>,
                                        floatFoldSse2<Fold::Counts>>);
        if (avx2 && __builtin_cpu_supports("fma")) {
            kernels.push_back(chunkedKernel<kind, 8, floatFoldAvx2<Fold::Sums>, floatFoldAvx2<Fold::SumsAndCounts>,
                                            floatFoldAvx2<Fold::Counts>>);
        }
    }
#endif
    return kernels;
}

// The best kernel this CPU runs for the kind, chosen once per run.
template <SampleKind kind>
DynamicsKernel<kind> chooseKernel() {
    static const DynamicsKernel<kind> best = usableKernels<kind>().back();
    return best;
}

// Adds one lane's sums to a channel of the current block, and its peak to `peaks`.
template <SampleKind kind>
void addToChannel(DynamicsMeter& meter, std::size_t channel, const LaneSums<kind>& lane,
                  std::array<double, kMaxChannels>& peaks) {
    if constexpr (kIntegerKind<kind>) meter.integerSquares[channel].add(lane.squares);
    else meter.floatSquares[channel] += lane.squares;
    // Exact: a magnitude over a power of two.
    const double peak = static_cast<double>(lane.peak) / KindTraits<kind>::fullScale;
    if (peak > meter.blockPeaks[channel]) meter.blockPeaks[channel] = peak;
    if (peak > meter.peaks[channel]) meter.peaks[channel] = peak;
    if (peak > peaks[channel]) peaks[channel] = peak;
    meter.fullScaleSamples[channel] += lane.fullScaleSamples;
}

// The current block of each channel, as it stands.
std::vector<DrBlock> currentBlock(const DynamicsMeter& meter) {
    std::vector<DrBlock> block;
    const auto frames = static_cast<double>(meter.framesInBlock);
    for (std::size_t channel = 0; channel < static_cast<std::size_t>(meter.channels); ++channel) {
        const double integerPart = meter.squareUnit > 0 ? meter.integerSquares[channel].value() / meter.squareUnit : 0;
        block.push_back({2 * (integerPart + meter.floatSquares[channel]) / frames, meter.blockPeaks[channel]});
    }
    return block;
}

void endBlock(DynamicsMeter& meter) {
    const std::vector<DrBlock> block = currentBlock(meter);
    meter.blocks.insert(meter.blocks.end(), block.begin(), block.end());
    meter.integerSquares = {};
    meter.floatSquares = {};
    meter.blockPeaks = {};
    meter.framesInBlock = 0;
}

// One channel's DR from its blocks (see the header for the procedure).
std::optional<double> channelDr(std::vector<double> rmsSquared, const std::vector<double>& peaks) {
    if (rmsSquared.empty()) return std::nullopt;
    const std::size_t loudest = std::max<std::size_t>(1, rmsSquared.size() / 5);
    std::partial_sort(rmsSquared.begin(), rmsSquared.begin() + static_cast<std::ptrdiff_t>(loudest), rmsSquared.end(),
                      std::greater<>());
    double sum = 0;
    for (std::size_t index = 0; index < loudest; ++index) sum += rmsSquared[index];
    const double meanSquare = sum / static_cast<double>(loudest);
    double highest = 0;
    double second = 0;
    for (const double peak : peaks) {
        if (peak > highest) {
            second = highest;
            highest = peak;
        } else if (peak > second) {
            second = peak;
        }
    }
    const double peak = peaks.size() == 1 ? highest : second;
    if (!(meanSquare > 0) || !(peak > 0)) return std::nullopt;
    const double dr = 20 * std::log10(peak / std::sqrt(meanSquare));
    if (!std::isfinite(dr)) return std::nullopt;
    return dr;
}

}  // namespace

double WideSum::value() const { return std::ldexp(static_cast<double>(high), 64) + static_cast<double>(low); }

std::optional<DynamicsMeter> startDynamics(int channels, std::int32_t sampleRate, int sourceBits) {
    if (channels < 1 || channels > kMaxChannels || sampleRate <= 0) return std::nullopt;
    DynamicsMeter meter;
    meter.channels = channels;
    meter.blockFrames = std::int64_t{kDrBlockSeconds} * sampleRate;
    meter.sourceBits = sourceBits;
    meter.blocks.reserve(static_cast<std::size_t>(channels) * 1200);  // an hour's blocks
    return meter;
}

template <SampleKind kind>
std::array<double, kMaxChannels> addDynamicsBlock(DynamicsMeter& meter, const stream::ChannelSamples<kind>& block) {
    std::array<double, kMaxChannels> peaks{};
    if (meter.channels < 1 || block.channels != meter.channels || meter.blockFrames <= 0) return peaks;
    const auto channels = static_cast<std::size_t>(meter.channels);
    const std::size_t frameBytes = channels * stream::fileSampleWidth<kind>();
    const FullScaleCodes codes = fullScaleCodes<kind>(meter.sourceBits);
    meter.squareUnit = KindTraits<kind>::squareUnit;
    const DynamicsKernel<kind> kernel = chooseKernel<kind>();
    std::size_t frame = 0;
    while (frame < block.frames) {
        // The frames of this block that belong to the current DR block.
        const auto take = static_cast<std::size_t>(std::min<std::int64_t>(
            meter.blockFrames - meter.framesInBlock, static_cast<std::int64_t>(block.frames - frame)));
        const std::byte* first = block.bytes + frame * frameBytes;
        if (channels <= 2) {
            const ParitySums<kind> sums = kernel(first, take * channels, codes);
            for (std::size_t parity = 0; parity < 2; ++parity)
                addToChannel<kind>(meter, parity % channels, sums[parity], peaks);
        } else {
            std::array<LaneSums<kind>, kMaxChannels> sums{};
            takePlain<kind>(sums.data(), channels, first, 0, take * channels, codes);
            for (std::size_t channel = 0; channel < channels; ++channel)
                addToChannel<kind>(meter, channel, sums[channel], peaks);
        }
        frame += take;
        meter.frames += static_cast<std::int64_t>(take);
        meter.framesInBlock += static_cast<std::int64_t>(take);
        if (meter.framesInBlock == meter.blockFrames) endBlock(meter);
    }
    return peaks;
}

template std::array<double, kMaxChannels> addDynamicsBlock<SampleKind::Int16>(DynamicsMeter&, const stream::ChannelSamples<SampleKind::Int16>&);
template std::array<double, kMaxChannels> addDynamicsBlock<SampleKind::Int24>(DynamicsMeter&, const stream::ChannelSamples<SampleKind::Int24>&);
template std::array<double, kMaxChannels> addDynamicsBlock<SampleKind::Int32>(DynamicsMeter&, const stream::ChannelSamples<SampleKind::Int32>&);
template std::array<double, kMaxChannels> addDynamicsBlock<SampleKind::Float32>(DynamicsMeter&,
                                                    const stream::ChannelSamples<SampleKind::Float32>&);
template std::array<double, kMaxChannels> addDynamicsBlock<SampleKind::Float64>(DynamicsMeter&,
                                                    const stream::ChannelSamples<SampleKind::Float64>&);

bool appendDynamics(DynamicsMeter& earlier, const DynamicsMeter& later) {
    if (earlier.channels != later.channels || earlier.blockFrames != later.blockFrames ||
        earlier.sourceBits != later.sourceBits || earlier.framesInBlock != 0)
        return false;
    earlier.frames += later.frames;
    earlier.framesInBlock = later.framesInBlock;
    earlier.integerSquares = later.integerSquares;
    earlier.floatSquares = later.floatSquares;
    earlier.blockPeaks = later.blockPeaks;
    if (later.squareUnit > 0) earlier.squareUnit = later.squareUnit;
    for (std::size_t channel = 0; channel < static_cast<std::size_t>(kMaxChannels); ++channel) {
        earlier.peaks[channel] = std::max(earlier.peaks[channel], later.peaks[channel]);
        earlier.fullScaleSamples[channel] += later.fullScaleSamples[channel];
    }
    earlier.blocks.insert(earlier.blocks.end(), later.blocks.begin(), later.blocks.end());
    return true;
}

std::vector<DrBlock> dynamicsBlocks(const DynamicsMeter& meter) {
    std::vector<DrBlock> blocks = meter.blocks;
    if (meter.framesInBlock > 0) {
        const std::vector<DrBlock> last = currentBlock(meter);
        blocks.insert(blocks.end(), last.begin(), last.end());
    }
    return blocks;
}

Dynamics finishDynamics(const DynamicsMeter& meter) {
    Dynamics result;
    result.frames = meter.frames;
    const auto channels = static_cast<std::size_t>(std::max(meter.channels, 0));
    const std::vector<DrBlock> blocks = dynamicsBlocks(meter);
    double drSum = 0;
    int drCount = 0;
    for (std::size_t channel = 0; channel < channels; ++channel) {
        std::vector<double> rmsSquared;
        std::vector<double> peaks;
        for (std::size_t index = channel; index < blocks.size(); index += channels) {
            rmsSquared.push_back(blocks[index].rmsSquared);
            peaks.push_back(blocks[index].peak);
        }
        ChannelDynamics dynamics;
        dynamics.peak = meter.peaks[channel];
        dynamics.fullScaleSamples = meter.fullScaleSamples[channel];
        dynamics.dr = channelDr(std::move(rmsSquared), peaks);
        if (dynamics.dr) {
            drSum += *dynamics.dr;
            ++drCount;
        }
        result.peak = std::max(result.peak, dynamics.peak);
        result.channels.push_back(dynamics);
    }
    // Halves to even, as the DR meters' own rounding does.
    if (drCount > 0) result.dr = static_cast<int>(std::nearbyint(drSum / drCount));
    return result;
}

std::optional<double> peakDbfs(double peak) {
    if (!(peak > 0)) return std::nullopt;
    return 20 * std::log10(peak);
}

template <SampleKind kind>
std::vector<ParityDynamics> parityDynamicsByEveryKernel(const std::byte* bytes, std::size_t samples, int sourceBits) {
    std::vector<ParityDynamics> found;
    for (const DynamicsKernel<kind> kernel : usableKernels<kind>()) {
        const ParitySums<kind> sums = kernel(bytes, samples, fullScaleCodes<kind>(sourceBits));
        ParityDynamics parity;
        for (std::size_t lane = 0; lane < 2; ++lane) {
            if constexpr (kIntegerKind<kind>) parity.squares[lane] = sums[lane].squares.value();
            else parity.squares[lane] = sums[lane].squares;
            parity.peaks[lane] = static_cast<double>(sums[lane].peak) / KindTraits<kind>::fullScale;
            parity.fullScaleSamples[lane] = sums[lane].fullScaleSamples;
        }
        found.push_back(parity);
    }
    return found;
}

template std::vector<ParityDynamics> parityDynamicsByEveryKernel<SampleKind::Int16>(const std::byte*, std::size_t, int);
template std::vector<ParityDynamics> parityDynamicsByEveryKernel<SampleKind::Int24>(const std::byte*, std::size_t, int);
template std::vector<ParityDynamics> parityDynamicsByEveryKernel<SampleKind::Int32>(const std::byte*, std::size_t, int);
template std::vector<ParityDynamics> parityDynamicsByEveryKernel<SampleKind::Float32>(const std::byte*, std::size_t,
                                                                                      int);
template std::vector<ParityDynamics> parityDynamicsByEveryKernel<SampleKind::Float64>(const std::byte*, std::size_t,
                                                                                      int);

}  // namespace vantorel::measure
