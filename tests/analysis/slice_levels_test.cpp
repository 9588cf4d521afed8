#include "analysis/slice_levels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "analysis_samples.h"
#include "app/job_screen.h"
#include "platform/memory_console.h"
#include "platform/screen_buffer.h"

namespace vantorel::analysis {
namespace {

using app::printAnalysisLine;
using testing::Levels;
using testing::samplesOf;
using testing::scanAll;
using testing::silentSamples;
using testing::waveInfo;
using stream::SampleKind;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// ---------------------------------------------------------------------------
// Slice level of a peak

struct LevelExample {
    double peak;
    double fullScale;
    int level;
};

TEST(SliceLevel, WorkedExamplesOfEveryLayout) {
    const LevelExample examples[] = {
        // 16-bit: full scale 32768
        {32768, 32768, 0}, {32767, 32768, 0}, {29205, 32768, 0}, {29204, 32768, 1},
        {16384, 32768, 6}, {3277, 32768, 19}, {3276, 32768, 20}, {327, 32768, 40},
        {293, 32768, 40}, {292, 32768, 41}, {1, 32768, 90},
        // 24-bit: full scale 2^23
        {8388608, 8388608, 0}, {83886, 8388608, 40}, {74764, 8388608, 40}, {74763, 8388608, 41},
        // 32-bit integer: full scale 2^31
        {2147483648.0, 2147483648.0, 0}, {1073741824.0, 2147483648.0, 6}, {1, 2147483648.0, 186},
        // float: full scale 1.0, above it negative
        {1.0, 1.0, 0}, {0.5, 1.0, 6}, {2.0, 1.0, -7},
    };
    for (const LevelExample& example : examples) {
        EXPECT_EQ(sliceLevel(example.peak, example.fullScale), example.level)
            << "peak " << example.peak << " of full scale " << example.fullScale;
    }
}

TEST(SliceLevel, PeaksWithoutAFiniteLevelGiveTheirMarkers) {
    EXPECT_EQ(sliceLevel(kInfinity, 1.0), kAboveFullScaleLevel);
    EXPECT_EQ(sliceLevel(0.0, 1.0), kUnmeasurableLevel);
    EXPECT_EQ(sliceLevel(std::nan(""), 1.0), kUnmeasurableLevel);
    // The largest and smallest floats still have ordinary levels.
    EXPECT_EQ(sliceLevel(std::numeric_limits<float>::max(), 1.0), -771);
    EXPECT_EQ(sliceLevel(std::numeric_limits<float>::denorm_min(), 1.0), 897);
}

// ---------------------------------------------------------------------------
// Slice grid

struct GridExample {
    std::int32_t sampleRate;
    std::int64_t sampleCount;
    std::int64_t sliceLength;
    std::int64_t sliceCount;
};

TEST(SliceGrid, TenthsOfASecondAndWholeSlicesOnly) {
    const GridExample examples[] = {
        {44100, 26460, 4410, 6},      // 0.6 s
        {44100, 26459, 4410, 5},      // 5.9998 slices: the incomplete one is dropped
        {44100, 4410, 4410, 1},
        {44100, 4409, 4410, 0},       // shorter than one slice
        {8000, 8000, 800, 10},
        {11025, 11025, 1102, 10},     // 1102.5 rounds to even
        {22050, 22050, 2205, 10},
        {48000, 2880000, 4800, 600},  // one minute
        {96000, 96000, 9600, 10},
        {192000, 192000, 19200, 10},
        {15, 100, 2, 50},             // 1.5 rounds up to even 2
        {25, 100, 2, 50},             // 2.5 rounds down to even 2
        {6, 100, 1, 100},
        // Beyond 16-bit fields the grid stays true.
        {327674, 3276740, 32767, 100},
        {327675, 3276800, 32768, 100},     // 32767.5 rounds to even 32768
        {500000, 1000000, 50000, 20},
        {100, 400000, 10, 40000},
        {44100, 476280000, 4410, 108000},  // three hours
        // No slices without a positive length or any samples.
        {0, 44100, 0, 0},
        {5, 44100, 0, 0},                  // 0.5 rounds to even 0
        {-44100, 44100, -4410, 0},
        {std::numeric_limits<std::int32_t>::min(), 44100, -214748365, 0},
        {44100, 0, 4410, 0},
        {44100, -2147483648LL, 4410, 0},
    };
    for (const GridExample& example : examples) {
        const SliceGrid grid = computeSliceGrid(example.sampleRate, example.sampleCount);
        EXPECT_EQ(grid.sliceLength, example.sliceLength) << example.sampleRate << " Hz";
        EXPECT_EQ(grid.sliceCount, example.sliceCount) << example.sampleRate << " Hz, N " << example.sampleCount;
    }
}

std::string analysisLine(std::int32_t sampleRate, std::int64_t sampleCount, SliceGrid& grid) {
    platform::MemoryConsoleDevice device;
    platform::Console console = platform::makeConsole(device);
    platform::setAttribute(console, platform::kAttributeDim);
    grid = computeSliceGrid(sampleRate, sampleCount);
    printAnalysisLine(console, grid);
    EXPECT_EQ(console.screen.cursorRow, 2);
    EXPECT_EQ(console.screen.cursorColumn, 1);
    EXPECT_EQ(platform::cellAt(console.screen, 1, 4).attribute, platform::kAttributeDim);
    return platform::rowText(console.screen, 1);
}

std::string padded(const std::string& text) { return text + std::string(80 - text.size(), ' '); }

TEST(SliceGrid, AnalysisLineShowsTheSliceCount) {
    SliceGrid grid;
    EXPECT_EQ(analysisLine(44100, 26460, grid), padded("   Analysing over 6 time slices..."));
    EXPECT_EQ(grid.sliceCount, 6);
    EXPECT_EQ(analysisLine(44100, 2646000, grid), padded("   Analysing over 600 time slices..."));
    EXPECT_EQ(analysisLine(44100, 4409, grid), padded("   Analysing over 0 time slices..."));
    EXPECT_EQ(analysisLine(0, 4409, grid), padded("   Analysing over 0 time slices..."));
    EXPECT_EQ(analysisLine(100, 400000, grid), padded("   Analysing over 40000 time slices..."));
    EXPECT_EQ(grid.sliceCount, 40000);
}

// ---------------------------------------------------------------------------
// Slice scan

TEST(SliceScan, MostNegativeCodesAreExactlyFullScale) {
    {
        auto samples = silentSamples<SampleKind::Int16>(1, 10);
        samplesOf<SampleKind::Int16>(samples.mono)[3] = -32768;
        EXPECT_EQ(scanAll(waveInfo(1, 100, 10), samples), (Levels{{Channel::Mono, 0}}));
    }
    {
        auto samples = silentSamples<SampleKind::Int24>(1, 10);
        samplesOf<SampleKind::Int24>(samples.mono)[9] = -8388608;
        EXPECT_EQ(scanAll(waveInfo(1, 100, 10), samples), (Levels{{Channel::Mono, 0}}));
    }
    {
        auto samples = silentSamples<SampleKind::Int32>(1, 10);
        samplesOf<SampleKind::Int32>(samples.mono)[0] = std::numeric_limits<std::int32_t>::min();
        EXPECT_EQ(scanAll(waveInfo(1, 100, 10), samples), (Levels{{Channel::Mono, 0}}));
    }
}

TEST(SliceScan, LevelBoundariesOfEveryIntegerKind) {
    {
        auto samples = silentSamples<SampleKind::Int16>(1, 40);
        auto values = samplesOf<SampleKind::Int16>(samples.mono);
        values[1] = -29205;
        values[12] = 29204;
        values[23] = -293;
        values[34] = 292;
        EXPECT_EQ(scanAll(waveInfo(1, 100, 40), samples),
                  (Levels{{Channel::Mono, 0}, {Channel::Mono, 1}, {Channel::Mono, 40}, {Channel::Mono, 41}}));
    }
    {
        auto samples = silentSamples<SampleKind::Int24>(1, 40);
        auto values = samplesOf<SampleKind::Int24>(samples.mono);
        values[1] = 8388607;
        values[12] = -83886;
        values[23] = 74764;
        values[34] = -74763;
        EXPECT_EQ(scanAll(waveInfo(1, 100, 40), samples),
                  (Levels{{Channel::Mono, 0}, {Channel::Mono, 40}, {Channel::Mono, 40}, {Channel::Mono, 41}}));
    }
    {
        auto samples = silentSamples<SampleKind::Int32>(1, 40);
        auto values = samplesOf<SampleKind::Int32>(samples.mono);
        values[1] = 2147483647;
        values[12] = -21474836;  // 40.0000002 dB
        values[23] = 21474837;   // 39.9999998 dB
        values[34] = -1;
        EXPECT_EQ(scanAll(waveInfo(1, 100, 40), samples),
                  (Levels{{Channel::Mono, 0}, {Channel::Mono, 40}, {Channel::Mono, 39}, {Channel::Mono, 186}}));
    }
}

// Every position of a slice is examined: a background at 6 dB below full scale
// and one full-scale sample (negative) somewhere in a slice of 45 samples, which
// is long enough to use every lane of the block loop and leave a remainder.
template <SampleKind kind>
void expectPeakFoundAtEveryPosition(typename stream::SampleElement<kind>::type background,
                                    typename stream::SampleElement<kind>::type fullScaleSample) {
    for (int position = 0; position < 45; ++position) {
        auto samples = silentSamples<kind>(1, 90);
        auto values = samplesOf<kind>(samples.mono);
        for (auto& value : values) value = background;
        values[45 + position] = fullScaleSample;
        EXPECT_EQ(scanAll(waveInfo(1, 450, 90), samples), (Levels{{Channel::Mono, 6}, {Channel::Mono, 0}}))
            << "full scale at position " << position;
    }
}

TEST(SliceScan, PeakFoundAtEveryPositionOfASlice) {
    expectPeakFoundAtEveryPosition<SampleKind::Int16>(-16384, -32768);
    expectPeakFoundAtEveryPosition<SampleKind::Int24>(4194304, -8388608);
    expectPeakFoundAtEveryPosition<SampleKind::Int32>(1073741824, std::numeric_limits<std::int32_t>::min());
    expectPeakFoundAtEveryPosition<SampleKind::Float32>(-0.5f, -1.0f);
}

// Slices of 4410 samples, as at 44.1 kHz, are long enough that every level
// boundary of the integer kinds is met both inside the wide vector loop of the
// peak search and in the samples it finishes one by one: each slice holds one
// boundary code at its own position over a background of +-1.
template <SampleKind kind>
void expectBoundariesInLongSlices(const std::vector<std::pair<typename stream::SampleElement<kind>::type, int>>& codes) {
    constexpr std::int64_t kSlice = 4410;
    const std::vector<std::int64_t> positions = {0, 1, 7, 8, 15, 16, 31, 32, 33, 2205, 4383, 4399, 4400, 4407, 4408, 4409};
    const auto slices = static_cast<std::int64_t>(codes.size() * positions.size());
    auto samples = silentSamples<kind>(1, slices * kSlice);
    auto values = samplesOf<kind>(samples.mono);
    for (std::int64_t i = 0; i < slices * kSlice; ++i) values[static_cast<std::size_t>(i)] = i % 2 == 0 ? 1 : -1;
    Levels expected;
    std::int64_t slice = 0;
    for (const auto& [code, level] : codes) {
        for (const std::int64_t position : positions) {
            values[static_cast<std::size_t>(slice * kSlice + position)] = code;
            expected.emplace_back(Channel::Mono, level);
            ++slice;
        }
    }
    EXPECT_EQ(scanAll(waveInfo(1, 44100, slices * kSlice), samples), expected);
}

TEST(SliceScan, LevelBoundariesHoldInLongSlices) {
    expectBoundariesInLongSlices<SampleKind::Int32>({{std::numeric_limits<std::int32_t>::min(), 0},
                                                     {std::numeric_limits<std::int32_t>::max(), 0},
                                                     {-2147483647, 0},
                                                     {-1073741824, 6},
                                                     {21474836, 40},
                                                     {-21474836, 40},
                                                     {21474837, 39},
                                                     {-21474837, 39},
                                                     {2, 180}});
    expectBoundariesInLongSlices<SampleKind::Int16>({{-32768, 0},
                                                     {32767, 0},
                                                     {-29205, 0},
                                                     {29204, 1},
                                                     {-293, 40},
                                                     {292, 41},
                                                     {2, 84}});
}

// Random codes of every size, the most negative ones included, against the
// peak worked out here in 64-bit integers.
template <SampleKind kind>
void expectRandomPeaksExact(std::uint64_t seed) {
    using Element = typename stream::SampleElement<kind>::type;
    constexpr std::int64_t kRate = 10070;  // slices of 1007 samples
    constexpr std::int64_t kSlice = 1007;
    constexpr std::int64_t kSlices = 300;
    auto samples = silentSamples<kind>(1, kSlice * kSlices);
    auto values = samplesOf<kind>(samples.mono);
    std::uint64_t state = seed;
    const auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return state >> 16;
    };
    const double fullScale = -static_cast<double>(std::numeric_limits<Element>::min());
    Levels expected;
    for (std::int64_t slice = 0; slice < kSlices; ++slice) {
        // Each slice draws its codes from a range of its own width: from a few
        // units up to the whole range of the type.
        const int bits = 1 + static_cast<int>(slice % (8 * sizeof(Element)));
        std::int64_t peak = 0;
        for (std::int64_t i = 0; i < kSlice; ++i) {
            auto code = static_cast<std::int64_t>(next() & ((std::uint64_t{1} << bits) - 1));
            code -= std::int64_t{1} << (bits - 1);  // -2^(bits-1) .. 2^(bits-1) - 1
            values[static_cast<std::size_t>(slice * kSlice + i)] = static_cast<Element>(code);
            peak = std::max(peak, code < 0 ? -code : code);
        }
        if (slice % 7 == 3) {  // the most negative code at a random place
            values[static_cast<std::size_t>(slice * kSlice) + next() % kSlice] = std::numeric_limits<Element>::min();
            peak = -static_cast<std::int64_t>(std::numeric_limits<Element>::min());
        }
        if (peak > 0) expected.emplace_back(Channel::Mono, sliceLevel(static_cast<double>(peak), fullScale));
    }
    EXPECT_EQ(scanAll(waveInfo(1, kRate, kSlice * kSlices), samples), expected) << "seed " << seed;
}

TEST(SliceScan, RandomIntegerPeaksAreExact) {
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        expectRandomPeaksExact<SampleKind::Int16>(seed);
        expectRandomPeaksExact<SampleKind::Int32>(seed);
    }
}

TEST(SliceScan, StereoChannelsAreMeasuredIndependently) {
    auto samples = silentSamples<SampleKind::Int16>(2, 30);
    auto left = samplesOf<SampleKind::Int16>(samples.left);
    auto right = samplesOf<SampleKind::Int16>(samples.right);
    right[4] = 32767;   // slice 0: silent left, full-scale right
    left[12] = 16384;   // slice 1: left 6 dB down, silent right
    left[25] = -3276;   // slice 2: both channels
    right[29] = 327;
    EXPECT_EQ(scanAll(waveInfo(2, 100, 30), samples),
              (Levels{{Channel::Right, 0}, {Channel::Left, 6}, {Channel::Left, 20}, {Channel::Right, 40}}));
}

TEST(SliceScan, QuietestSamplesAreHandedOnAtNinetyDecibels) {
    auto samples = silentSamples<SampleKind::Int16>(1, 20);
    samplesOf<SampleKind::Int16>(samples.mono)[7] = 1;
    samplesOf<SampleKind::Int16>(samples.mono)[19] = -1;
    EXPECT_EQ(scanAll(waveInfo(1, 100, 20), samples), (Levels{{Channel::Mono, 90}, {Channel::Mono, 90}}));
}

TEST(SliceScan, IncompleteLastSliceIsNeverExamined) {
    auto samples = silentSamples<SampleKind::Int16>(1, 29);
    auto values = samplesOf<SampleKind::Int16>(samples.mono);
    values[5] = 16384;
    values[15] = 3277;
    values[20] = -32768;  // a click in the incomplete third slice
    values[28] = 32767;
    EXPECT_EQ(scanAll(waveInfo(1, 100, 29), samples), (Levels{{Channel::Mono, 6}, {Channel::Mono, 19}}));
}

TEST(SliceScan, NotANumberIsNeverAPeak) {
    // NaN everywhere but one sample of 0.5, at every position of the slice.
    for (int position = 0; position < 45; ++position) {
        auto samples = silentSamples<SampleKind::Float32>(1, 45);
        auto values = samplesOf<SampleKind::Float32>(samples.mono);
        for (auto& value : values) value = kNaN;
        values[position] = 0.5f;
        EXPECT_EQ(scanAll(waveInfo(1, 450, 45), samples), (Levels{{Channel::Mono, 6}}))
            << "0.5 at position " << position;
    }
    auto samples = silentSamples<SampleKind::Float32>(2, 45);
    for (auto& value : samplesOf<SampleKind::Float32>(samples.left)) value = kNaN;
    for (auto& value : samplesOf<SampleKind::Float32>(samples.right)) value = -kNaN;
    EXPECT_TRUE(scanAll(waveInfo(2, 450, 45), samples).empty());  // silent in both channels
}

TEST(SliceScan, FloatPeaksAboveFullScaleHaveNegativeLevels) {
    auto samples = silentSamples<SampleKind::Float32>(1, 30);
    auto values = samplesOf<SampleKind::Float32>(samples.mono);
    values[3] = -2.0f;
    values[11] = std::numeric_limits<float>::infinity();
    values[12] = 0.5f;
    values[25] = -std::numeric_limits<float>::infinity();
    values[26] = kNaN;
    EXPECT_EQ(scanAll(waveInfo(1, 100, 30), samples),
              (Levels{{Channel::Mono, -7}, {Channel::Mono, kAboveFullScaleLevel},
                      {Channel::Mono, kAboveFullScaleLevel}}));
}

TEST(SliceScan, SlicesPastTheDataTheFileHoldsAreSilentAndNotRead) {
    // Ten slices of 10 by the header; the file holds frames 0..zeroFrom - 1 and
    // ends there. The slice it ends in is measured as it stands, later ones are
    // silent: the loud sample at 30 counts only when the file holds it.
    struct Example {
        std::int64_t zeroFrom;
        std::vector<int> leftBins;   // bins counted once, in the left channel
        std::vector<int> rightBins;  // and in the right
    };
    const Example examples[] = {
        {25, {6}, {0}},          // ends inside slice 2: its right peak at 24 still counts
        {20, {6}, {}},           // ends with slice 1
        {0, {}, {}},             // no data at all
        {100, {6, 0}, {0}},      // the whole claim
    };
    for (const Example& example : examples) {
        SCOPED_TRACE(example.zeroFrom);
        auto samples = silentSamples<SampleKind::Int32>(2, 100);
        samplesOf<SampleKind::Int32>(samples.left)[19] = 1073741824;  // slice 1, 6 dB
        samplesOf<SampleKind::Int32>(samples.right)[24] = 2147483647;  // slice 2, 0 dB
        samplesOf<SampleKind::Int32>(samples.left)[30] = 2147483647;   // slice 3
        samples.zeroFrom = example.zeroFrom;
        const auto analysed = testing::analyseRecording(waveInfo(2, 100, 100), samples);
        ASSERT_TRUE(std::holds_alternative<LevelAnalysis>(analysed));
        const LevelAnalysis& analysis = std::get<LevelAnalysis>(analysed);
        EXPECT_EQ(analysis.grid.sliceCount, 10);
        ASSERT_EQ(analysis.histograms.size(), 2u);
        LevelHistogram left;
        LevelHistogram right;
        for (const int bin : example.leftBins) ++left.bins[static_cast<std::size_t>(bin)];
        for (const int bin : example.rightBins) ++right.bins[static_cast<std::size_t>(bin)];
        EXPECT_EQ(analysis.histograms[0].bins, left.bins);
        EXPECT_EQ(analysis.histograms[1].bins, right.bins);
    }
}

}  // namespace
}  // namespace vantorel::analysis
