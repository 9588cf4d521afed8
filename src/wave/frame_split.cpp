#include "wave/frame_split.h"

#include <bit>
#include <cstdint>
#include <cstring>

// Integer SSE2 is part of every x86-64 CPU; SSSE3 (byte shuffles, for 3-byte
// samples) is asked for at run time. GCC and clang (MinGW included) only.
#if defined(__GNUC__) && defined(__SSE2__)
#define VANTOREL_X86_SPLIT_KERNELS 1
#include <immintrin.h>
#endif

namespace vantorel::wave {

namespace {

// Samples of 16 and 32 bits are copied byte for byte from the file into memory,
// which keeps their little-endian order only on a little-endian host.
static_assert(std::endian::native == std::endian::little, "sample copies assume a little-endian host");

// One sample from its bytes in file order. A 24-bit sample is taken from the
// 4-byte little-endian word at its first byte (so one more byte must follow):
// shifting the word's low 24 bits to the top and back down (arithmetic shift)
// gives their two's-complement value, the same as decodeInt24.
template <SampleKind kind>
typename SampleElement<kind>::type decodeSample(const std::byte* bytes) {
    if constexpr (kind == SampleKind::Int24) {
        std::uint32_t word;
        std::memcpy(&word, bytes, sizeof word);
        return static_cast<std::int32_t>(word << 8) >> 8;
    } else {
        typename SampleElement<kind>::type value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
}

template <SampleKind kind>
void splitStereoPlain(const std::byte* source, std::size_t from, std::size_t frames,
                      typename SampleElement<kind>::type* left, typename SampleElement<kind>::type* right) {
    constexpr std::size_t width = fileSampleWidth<kind>();
    for (std::size_t i = from; i < frames; ++i) {
        left[i] = decodeSample<kind>(source + i * 2 * width);
        right[i] = decodeSample<kind>(source + i * 2 * width + width);
    }
}

template <SampleKind kind>
void decodeMonoPlain(const std::byte* source, std::size_t from, std::size_t count,
                     typename SampleElement<kind>::type* mono) {
    for (std::size_t i = from; i < count; ++i) mono[i] = decodeSample<kind>(source + i * fileSampleWidth<kind>());
}

#if VANTOREL_X86_SPLIT_KERNELS

__m128i load128(const std::byte* bytes) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)); }

template <class Element>
void store128(Element* elements, __m128i value) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(elements), value);
}

// 8 frames of 16 bits per step. Each 32-bit lane holds one frame: its low half
// is left, its high half right. Arithmetic shifts sign-extend each half to 32
// bits, so packing back to 16 bits never saturates.
std::size_t splitStereo16Sse2(const std::byte* source, std::size_t frames, std::int16_t* left, std::int16_t* right) {
    std::size_t i = 0;
    for (; i + 8 <= frames; i += 8) {
        const __m128i a = load128(source + 4 * i);
        const __m128i b = load128(source + 4 * i + 16);
        store128(left + i, _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                                           _mm_srai_epi32(_mm_slli_epi32(b, 16), 16)));
        store128(right + i, _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16)));
    }
    return i;
}

// 4 frames of 32 bits per step, moved as integers so float bits pass unchanged:
// [L0 R0 L1 R1] becomes [L0 L1 R0 R1], then the halves of two such are paired.
template <class Element>
std::size_t splitStereo32Sse2(const std::byte* source, std::size_t frames, Element* left, Element* right) {
    static_assert(sizeof(Element) == 4);
    std::size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        const __m128i a = _mm_shuffle_epi32(load128(source + 8 * i), _MM_SHUFFLE(3, 1, 2, 0));
        const __m128i b = _mm_shuffle_epi32(load128(source + 8 * i + 16), _MM_SHUFFLE(3, 1, 2, 0));
        store128(left + i, _mm_unpacklo_epi64(a, b));
        store128(right + i, _mm_unpackhi_epi64(a, b));
    }
    return i;
}

// 3-byte samples: a byte shuffle puts each sample in the top three bytes of a
// 32-bit lane, and an arithmetic shift right by 8 gives its signed value.
// Stereo, 4 frames (24 bytes) per step; each 16-byte load covers two frames
// and looks 4 bytes past them.
__attribute__((target("ssse3"))) std::size_t splitStereo24Ssse3(const std::byte* source, std::size_t frames,
                                                                 std::int32_t* left, std::int32_t* right) {
    // Lanes: left of frame 0, left of frame 1, right of frame 0, right of frame 1.
    const __m128i lanes = _mm_setr_epi8(-1, 0, 1, 2, -1, 6, 7, 8, -1, 3, 4, 5, -1, 9, 10, 11);
    std::size_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        const __m128i a = _mm_shuffle_epi8(load128(source + 6 * i), lanes);
        const __m128i b = _mm_shuffle_epi8(load128(source + 6 * i + 12), lanes);
        store128(left + i, _mm_srai_epi32(_mm_unpacklo_epi64(a, b), 8));
        store128(right + i, _mm_srai_epi32(_mm_unpackhi_epi64(a, b), 8));
    }
    return i;
}

// Mono, 4 samples (12 bytes) per step; each load looks 4 bytes past them.
__attribute__((target("ssse3"))) std::size_t decodeMono24Ssse3(const std::byte* source, std::size_t count,
                                                                std::int32_t* mono) {
    const __m128i lanes = _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) store128(mono + i, _mm_srai_epi32(_mm_shuffle_epi8(load128(source + 3 * i), lanes), 8));
    return i;
}

bool cpuHasSsse3() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}

#endif

}  // namespace

template <SampleKind kind>
void splitStereoFrames(const std::byte* source, std::size_t frames, typename SampleElement<kind>::type* left,
                       typename SampleElement<kind>::type* right) {
    std::size_t done = 0;
#if VANTOREL_X86_SPLIT_KERNELS
    if constexpr (kind == SampleKind::Int16) {
        done = splitStereo16Sse2(source, frames, left, right);
    } else if constexpr (kind == SampleKind::Int24) {
        if (cpuHasSsse3()) done = splitStereo24Ssse3(source, frames, left, right);
    } else {
        done = splitStereo32Sse2(source, frames, left, right);
    }
#endif
    splitStereoPlain<kind>(source, done, frames, left, right);
}

template <SampleKind kind>
void decodeMonoSamples(const std::byte* source, std::size_t count, typename SampleElement<kind>::type* mono) {
    std::size_t done = 0;
#if VANTOREL_X86_SPLIT_KERNELS
    if constexpr (kind == SampleKind::Int24) {
        if (cpuHasSsse3()) done = decodeMono24Ssse3(source, count, mono);
    }
#endif
    decodeMonoPlain<kind>(source, done, count, mono);
}

template void splitStereoFrames<SampleKind::Int16>(const std::byte*, std::size_t, std::int16_t*, std::int16_t*);
template void splitStereoFrames<SampleKind::Int24>(const std::byte*, std::size_t, std::int32_t*, std::int32_t*);
template void splitStereoFrames<SampleKind::Int32>(const std::byte*, std::size_t, std::int32_t*, std::int32_t*);
template void splitStereoFrames<SampleKind::Float32>(const std::byte*, std::size_t, float*, float*);
template void decodeMonoSamples<SampleKind::Int16>(const std::byte*, std::size_t, std::int16_t*);
template void decodeMonoSamples<SampleKind::Int24>(const std::byte*, std::size_t, std::int32_t*);
template void decodeMonoSamples<SampleKind::Int32>(const std::byte*, std::size_t, std::int32_t*);
template void decodeMonoSamples<SampleKind::Float32>(const std::byte*, std::size_t, float*);

}  // namespace vantorel::wave
