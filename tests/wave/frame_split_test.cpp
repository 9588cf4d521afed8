// Frame splitting: random file bytes against a sample-by-sample reference, for
// every count around the vector widths, unaligned source and target, and bytes
// past the data that must not show up anywhere.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "wave/frame_split.h"

namespace vantorel::wave {
namespace {

// The reference decoding of one sample of the kind from its file bytes.
template <SampleKind kind>
typename SampleElement<kind>::type referenceSample(const std::byte* bytes) {
    using Element = typename SampleElement<kind>::type;
    if constexpr (kind == SampleKind::Int24) {
        return decodeInt24(std::to_integer<std::uint8_t>(bytes[0]), std::to_integer<std::uint8_t>(bytes[1]),
                           std::to_integer<std::uint8_t>(bytes[2]));
    } else {
        // Little-endian, assembled byte by byte.
        std::uint32_t bits = 0;
        for (std::size_t b = 0; b < sizeof(Element); ++b) bits |= std::to_integer<std::uint32_t>(bytes[b]) << (8 * b);
        if constexpr (sizeof(Element) == 2) {
            return static_cast<Element>(static_cast<std::int16_t>(static_cast<std::uint16_t>(bits)));
        } else {
            Element value;
            std::memcpy(&value, &bits, sizeof value);
            return value;
        }
    }
}

// Bit patterns, so NaNs compare like any other value.
template <class Element>
std::vector<std::uint32_t> bitsOf(const std::vector<Element>& elements) {
    std::vector<std::uint32_t> bits;
    for (const Element& element : elements) {
        std::uint32_t value = 0;
        std::memcpy(&value, &element, sizeof element);
        bits.push_back(value);
    }
    return bits;
}

template <SampleKind kind>
void checkKind(int channels) {
    using Element = typename SampleElement<kind>::type;
    constexpr std::size_t width = fileSampleWidth<kind>();
    std::mt19937 random(20261207 + static_cast<unsigned>(kind) * 2 + static_cast<unsigned>(channels));
    std::vector<std::size_t> counts;
    for (std::size_t count = 0; count <= 41; ++count) counts.push_back(count);
    counts.push_back(1000);
    counts.push_back(4099);

    for (const std::size_t count : counts) {
        for (const std::size_t sourceShift : {0u, 1u, 5u, 15u}) {
            const std::size_t dataBytes = count * width * static_cast<std::size_t>(channels);
            std::vector<std::byte> source(sourceShift + dataBytes + kSplitPadding);
            for (std::byte& byte : source) byte = static_cast<std::byte>(random());
            const std::byte* data = source.data() + sourceShift;

            // Targets start one element in (unaligned for vectors) and end in
            // guard elements that must stay as they were.
            constexpr Element kGuard = static_cast<Element>(0x5A5A);
            std::vector<std::vector<Element>> targets(static_cast<std::size_t>(channels),
                                                      std::vector<Element>(count + 6, kGuard));
            if (channels == 2) {
                splitStereoFrames<kind>(data, count, targets[0].data() + 1, targets[1].data() + 1);
            } else {
                decodeMonoSamples<kind>(data, count, targets[0].data() + 1);
            }

            for (int channel = 0; channel < channels; ++channel) {
                std::vector<Element> expected(count + 6, kGuard);
                for (std::size_t i = 0; i < count; ++i) {
                    expected[i + 1] = referenceSample<kind>(
                        data + (i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(channel)) * width);
                }
                ASSERT_EQ(bitsOf(targets[static_cast<std::size_t>(channel)]), bitsOf(expected))
                    << "count " << count << ", shift " << sourceShift << ", channel " << channel;
            }
        }
    }
}

TEST(FrameSplitting, StereoFramesOfEveryKindMatchTheReference) {
    checkKind<SampleKind::Int16>(2);
    checkKind<SampleKind::Int24>(2);
    checkKind<SampleKind::Int32>(2);
    checkKind<SampleKind::Float32>(2);
}

TEST(FrameSplitting, MonoSamplesOfEveryKindMatchTheReference) {
    checkKind<SampleKind::Int16>(1);
    checkKind<SampleKind::Int24>(1);
    checkKind<SampleKind::Int32>(1);
    checkKind<SampleKind::Float32>(1);
}

TEST(FrameSplitting, ExtremeValuesKeepTheirSign) {
    // Full-scale and sign-boundary codes, where a shift or pack of the wrong kind
    // (logical for arithmetic, saturating too early) goes wrong.
    std::vector<std::byte> int16Frames;
    const std::int16_t int16Values[] = {-32768, 32767, -1, 0, 1, -32767, 256, -256,
                                        32767, -32768, 0x7F00, -0x7F00, 2, -2, 12345, -12345};
    for (const std::int16_t value : int16Values) {
        const auto bits = static_cast<std::uint16_t>(value);
        int16Frames.push_back(static_cast<std::byte>(bits & 0xFF));
        int16Frames.push_back(static_cast<std::byte>(bits >> 8));
    }
    int16Frames.resize(int16Frames.size() + kSplitPadding);
    std::vector<std::int16_t> left(8), right(8);
    splitStereoFrames<SampleKind::Int16>(int16Frames.data(), 8, left.data(), right.data());
    EXPECT_EQ(left, (std::vector<std::int16_t>{-32768, -1, 1, 256, 32767, 0x7F00, 2, 12345}));
    EXPECT_EQ(right, (std::vector<std::int16_t>{32767, 0, -32767, -256, -32768, -0x7F00, -2, -12345}));

    std::vector<std::byte> int24Frames;
    const std::uint32_t int24Codes[] = {0x800000, 0x7FFFFF, 0xFFFFFF, 0x000001, 0x000000, 0x800001, 0xFF0000, 0x00FFFF};
    for (const std::uint32_t code : int24Codes) {
        for (int b = 0; b < 3; ++b) int24Frames.push_back(static_cast<std::byte>((code >> (8 * b)) & 0xFF));
    }
    int24Frames.resize(int24Frames.size() + kSplitPadding, std::byte{0xFF});
    std::vector<std::int32_t> left24(4), right24(4), mono24(8);
    splitStereoFrames<SampleKind::Int24>(int24Frames.data(), 4, left24.data(), right24.data());
    EXPECT_EQ(left24, (std::vector<std::int32_t>{-8388608, -1, 0, -65536}));
    EXPECT_EQ(right24, (std::vector<std::int32_t>{8388607, 1, -8388607, 65535}));
    decodeMonoSamples<SampleKind::Int24>(int24Frames.data(), 8, mono24.data());
    EXPECT_EQ(mono24, (std::vector<std::int32_t>{-8388608, 8388607, -1, 1, 0, -8388607, -65536, 65535}));
}

}  // namespace
}  // namespace vantorel::wave
