#include "measure/dynamics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "measure_samples.h"

namespace vantorel::measure {
namespace {

using testing::feedBlocks;
using testing::fileBytes;
using testing::Tone;
using stream::withKind;
using stream::SampleKind;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The DR of a channel whose loudest blocks are a steady sine of amplitude A
// and whose second-highest block peak is full scale: 20 log10(1 / A).
double drOfSineUnderClicks(double amplitude) { return -20 * std::log10(amplitude); }

// One channel: 1 kHz tones at 8 kHz (whole periods of 8 samples, so that a
// sine's RMS as the DR meters take it is its amplitude), and full-scale
// clicks at the given seconds (each on a sample where the sine is 0).
struct DrChannel {
    std::vector<Tone> tones;
    std::vector<double> clicks;
};

struct DrExample {
    std::string name;
    SampleKind kind;
    std::vector<DrChannel> channels;
    std::vector<std::optional<double>> channelDr;  // dB, within 0.02 (quantisation and the clicks' own energy)
    std::optional<int> fileDr;
};

TEST(Dynamics, DrOfRecordingsWhoseValueIsKnown) {
    const DrChannel clickedSine{{{60, 0.3}}, {4.5, 40.5}};
    const DrChannel clickedLouderSine{{{60, 0.5}}, {7.5, 22.5}};
    const std::vector<DrExample> examples{
        {"a steady sine with full-scale clicks in two blocks", SampleKind::Int16, {clickedSine},
         {drOfSineUnderClicks(0.3)}, 10},
        {"one click only: the second-highest block peak is the sine's", SampleKind::Int24,
         {{{{60, 0.3}}, {4.5}}}, {0.0}, 0},
        {"a full-scale sine", SampleKind::Float32, {{{{30, 1.0}}, {}}}, {0.0}, 0},
        {"the shorter last block counts (4 blocks: the loudest one is taken)", SampleKind::Int16,
         {{{{9, 0.1}, {1, 0.5}}, {0.5, 3.5}}}, {drOfSineUnderClicks(0.5)}, 6},
        {"the loudest 20 % of 9 blocks is 1 block, not 2", SampleKind::Int32,
         {{{{3, 0.5}, {3, 0.25}, {21, 0.1}}, {10.5, 16.5}}}, {drOfSineUnderClicks(0.5)}, 6},
        {"a single block takes its highest peak", SampleKind::Float64, {{{{2, 0.25}}, {1.0}}},
         {drOfSineUnderClicks(0.25)}, 12},
        {"the file's DR is the mean of its channels', rounded", SampleKind::Int16,
         {clickedSine, clickedLouderSine}, {drOfSineUnderClicks(0.3), drOfSineUnderClicks(0.5)}, 8},
        {"a silent channel has none and is left out", SampleKind::Int24, {clickedSine, {{{60, 0}}, {}}},
         {drOfSineUnderClicks(0.3), std::nullopt}, 10},
        {"three channels (the plain loop)", SampleKind::Int16, {clickedSine, {{{60, 0}}, {}}, clickedLouderSine},
         {drOfSineUnderClicks(0.3), std::nullopt, drOfSineUnderClicks(0.5)}, 8},
        {"silence", SampleKind::Int16, {{{{10, 0}}, {}}}, {std::nullopt}, std::nullopt},
    };
    constexpr int kRate = 8000;
    for (const DrExample& example : examples) {
        SCOPED_TRACE(example.name);
        std::vector<std::vector<double>> channels;
        for (const DrChannel& channel : example.channels) {
            channels.push_back(testing::tones(kRate, channel.tones));
            for (const double second : channel.clicks) channels.back().at(static_cast<std::size_t>(second * kRate)) = 1.0;
        }
        const int channelCount = static_cast<int>(channels.size());
        withKind(example.kind, [&]<SampleKind kind>() {
            const std::vector<std::byte> bytes = fileBytes<kind>(channels);
            std::optional<DynamicsMeter> meter = startDynamics(channelCount, kRate, 0);
            ASSERT_TRUE(meter);
            feedBlocks<kind>(bytes, channelCount, channels[0].size(), 7,
                             [&](const auto& block) { addDynamicsBlock(*meter, block); });
            const Dynamics found = finishDynamics(*meter);
            ASSERT_EQ(found.channels.size(), example.channelDr.size());
            for (std::size_t channel = 0; channel < found.channels.size(); ++channel) {
                ASSERT_EQ(found.channels[channel].dr.has_value(), example.channelDr[channel].has_value()) << channel;
                if (example.channelDr[channel]) {
                    EXPECT_NEAR(*found.channels[channel].dr, *example.channelDr[channel], 0.02);
                }
            }
            EXPECT_EQ(found.dr, example.fileDr);
            EXPECT_EQ(found.frames, static_cast<std::int64_t>(channels[0].size()));

            // Measured in two parts side by side, split at a block boundary,
            // then joined: the same answer (to the bit for integer samples,
            // whose squares are summed exactly).
            const std::int64_t boundary = 2 * std::int64_t{kDrBlockSeconds} * kRate;
            if (static_cast<std::int64_t>(channels[0].size()) <= boundary) return;
            std::optional<DynamicsMeter> first = startDynamics(channelCount, kRate, 0);
            std::optional<DynamicsMeter> second = startDynamics(channelCount, kRate, 0);
            feedBlocks<kind>(bytes, channelCount, channels[0].size(), 11, [&](const auto& block) {
                const auto before = static_cast<std::size_t>(std::clamp<std::int64_t>(boundary - block.firstFrame, 0,
                                                              static_cast<std::int64_t>(block.frames)));
                auto part = block;
                part.frames = before;
                if (before > 0) addDynamicsBlock(*first, part);
                part.frames = block.frames - before;
                part.bytes = block.bytes + before * static_cast<std::size_t>(channelCount) * stream::fileSampleWidth<kind>();
                if (part.frames > 0) addDynamicsBlock(*second, part);
            });
            ASSERT_TRUE(appendDynamics(*first, *second));
            const Dynamics joined = finishDynamics(*first);
            if (kind == SampleKind::Float32 || kind == SampleKind::Float64) {
                EXPECT_EQ(joined.dr, found.dr);
                EXPECT_EQ(joined.peak, found.peak);
            } else {
                EXPECT_EQ(joined, found);
            }
        });
    }
}

// Samples at full scale and the peak, for every kind and source depth: each
// run of samples repeated 1001 times in a mono recording (codes for integer
// kinds, values for float kinds).
struct FullScaleExample {
    std::string name;
    SampleKind kind;
    int sourceBits;
    std::vector<double> samples;
    std::uint64_t fullScaleSamples;  // in one run
    double peak;
};

TEST(Dynamics, SamplesAtFullScaleAndPeaks) {
    const std::vector<FullScaleExample> examples{
        {"16-bit: the largest and the smallest code", SampleKind::Int16, 16, {32767, -32768, -32767, 32766, 0}, 2, 1.0},
        {"16-bit, depth not given", SampleKind::Int16, 0, {32767, -32767}, 1, 32767.0 / 32768},
        {"12-bit source in 16-bit samples", SampleKind::Int16, 12, {0x7FF0, 0x7FE0, -32768, -32752}, 2, 1.0},
        {"24-bit", SampleKind::Int24, 24, {0x7FFFFF, -0x800000, -0x7FFFFF, 0x7FFFFE}, 2, 1.0},
        {"24-bit source in 32-bit samples", SampleKind::Int32, 24,
         {0x7FFFFF00, -2147483648.0, -0x7FFFFF00, 0x7FFFFE00}, 2, 1.0},
        {"32-bit", SampleKind::Int32, 32, {0x7FFFFF00, 0x7FFFFFFF, -0x7FFFFFFF}, 1, 2147483647.0 / 2147483648.0},
        {"float: magnitude 1.0 or more, never NaN", SampleKind::Float32, 0, {1.0, -1.0, 0.99999994, 1.5, kNaN, -0.25},
         3, 1.5},
        {"float: an infinite sample", SampleKind::Float32, 0, {-kInfinity, 0.5}, 1, kInfinity},
        {"double", SampleKind::Float64, 0, {1.0, -0.9999999999, -2.0, kNaN}, 2, 2.0},
    };
    constexpr std::size_t kRuns = 1001;
    for (const FullScaleExample& example : examples) {
        SCOPED_TRACE(example.name);
        withKind(example.kind, [&]<SampleKind kind>() {
            const double unit = kind == SampleKind::Int16   ? 32768.0
                                : kind == SampleKind::Int24 ? 8388608.0
                                : kind == SampleKind::Int32 ? 2147483648.0
                                                            : 1.0;
            std::vector<double> samples;
            for (std::size_t run = 0; run < kRuns; ++run)
                for (const double sample : example.samples) samples.push_back(sample / unit);
            const std::vector<std::byte> bytes = fileBytes<kind>({samples});
            std::optional<DynamicsMeter> meter = startDynamics(1, 44100, example.sourceBits);
            ASSERT_TRUE(meter);
            double blockPeak = 0;  // as each block gives it
            feedBlocks<kind>(bytes, 1, samples.size(), 11, [&](const auto& block) {
                blockPeak = std::max(blockPeak, addDynamicsBlock(*meter, block)[0]);
            });
            const Dynamics found = finishDynamics(*meter);
            EXPECT_EQ(found.channels.at(0).fullScaleSamples, example.fullScaleSamples * kRuns);
            EXPECT_EQ(found.channels.at(0).peak, example.peak);
            EXPECT_EQ(found.peak, example.peak);
            EXPECT_EQ(blockPeak, example.peak);
        });
    }
    EXPECT_EQ(peakDbfs(0), std::nullopt);
    EXPECT_EQ(peakDbfs(kNaN), std::nullopt);
    EXPECT_NEAR(*peakDbfs(0.5), -6.0206, 1e-4);
    EXPECT_EQ(*peakDbfs(kInfinity), kInfinity);
}

// Every kernel this CPU runs against the plain loop: random codes with full
// scale planted often (NaN, infinity and 1.0 for floats), runs long enough to
// cross the kernels' flushes, short runs at every length around a vector, and
// starts that are not aligned.
template <SampleKind kind>
void expectEveryKernelAgrees(std::uint64_t seed, int sourceBits) {
    constexpr std::size_t width = stream::fileSampleWidth<kind>();
    constexpr std::size_t kLong = 600'000;
    std::mt19937_64 random(seed);
    std::vector<double> samples(kLong + 8);
    const std::vector<double> planted = kind == SampleKind::Float32
                                            ? std::vector<double>{kNaN, -1.0, 1.0, 1.5}
                                            : std::vector<double>{-1.0, 1.0, 1.0 - std::ldexp(1.0, 1 - sourceBits)};
    for (double& sample : samples) {
        sample = std::uniform_real_distribution<double>(-1.0, 1.0)(random);
        if (random() % 37 == 0) sample = planted[random() % planted.size()];
    }
    if (kind == SampleKind::Float32) samples[4100] = -kInfinity;  // in the long runs only
    std::vector<std::byte> bytes = fileBytes<kind>({samples});
    bytes.insert(bytes.begin(), std::byte{0x5A});  // for a start one byte off
    std::vector<std::pair<std::size_t, std::size_t>> runs{{1, kLong}, {1 + 3 * width, kLong - 5}, {0, 4000}};
    for (std::size_t length = 0; length <= 70; ++length) runs.push_back({1 + (length % 4) * width, length});
    for (const auto& [offset, length] : runs) {
        const std::vector<ParityDynamics> found = parityDynamicsByEveryKernel<kind>(bytes.data() + offset, length, sourceBits);
        ASSERT_FALSE(found.empty());
        for (std::size_t kernel = 1; kernel < found.size(); ++kernel) {
            SCOPED_TRACE("kernel " + std::to_string(kernel) + ", " + std::to_string(length) + " samples");
            EXPECT_EQ(found[kernel].peaks, found[0].peaks);
            EXPECT_EQ(found[kernel].fullScaleSamples, found[0].fullScaleSamples);
            for (std::size_t parity = 0; parity < 2; ++parity) {
                if (kind == SampleKind::Float32 && found[kernel].squares[parity] != found[0].squares[parity]) {
                    // Summed in another order: equal to rounding.
                    EXPECT_NEAR(found[kernel].squares[parity], found[0].squares[parity],
                                1e-12 * found[0].squares[parity]);
                } else {
                    EXPECT_EQ(found[kernel].squares[parity], found[0].squares[parity]);
                }
            }
        }
    }
}

TEST(Dynamics, EveryKernelAgreesWithThePlainLoop) {
    for (const std::uint64_t seed : {1u, 2u}) {
        expectEveryKernelAgrees<SampleKind::Int16>(seed, 16);
        expectEveryKernelAgrees<SampleKind::Int16>(seed, 12);
        expectEveryKernelAgrees<SampleKind::Int24>(seed, 24);
        expectEveryKernelAgrees<SampleKind::Int32>(seed, 24);
        expectEveryKernelAgrees<SampleKind::Int32>(seed, 32);
        expectEveryKernelAgrees<SampleKind::Float32>(seed, 0);
    }
}

}  // namespace
}  // namespace vantorel::measure
