#pragma once
// Decoding sample data in file layout into channel arrays: the inner loop of
// loading. On x86 it uses vector kernels (the 24-bit ones where the CPU has
// SSSE3, chosen at run time); elsewhere plain loops. Results are the same.

#include <cstddef>

#include "wave/sample_loader.h"

namespace vantorel::wave {

// Readable bytes that must follow the data handed to the functions below:
// wide loads and 4-byte reads of 3-byte samples look that far past the last
// sample, and never use what they find there.
inline constexpr std::size_t kSplitPadding = 8;

// Bytes of one sample of the kind in the file.
template <SampleKind kind>
constexpr std::size_t fileSampleWidth() {
    return kind == SampleKind::Int24 ? 3 : sizeof(typename SampleElement<kind>::type);
}

// Splits `frames` stereo frames (left sample, then right) into left[0, frames)
// and right[0, frames).
template <SampleKind kind>
void splitStereoFrames(const std::byte* source, std::size_t frames, typename SampleElement<kind>::type* left,
                       typename SampleElement<kind>::type* right);

// Decodes `count` mono samples into mono[0, count).
template <SampleKind kind>
void decodeMonoSamples(const std::byte* source, std::size_t count, typename SampleElement<kind>::type* mono);

}  // namespace vantorel::wave
