#include "analysis/level_distribution.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analysis_samples.h"
#include "platform/memory_console.h"

namespace vantorel::analysis {
namespace {

using testing::samplesOf;
using testing::silentSamples;
using testing::waveInfo;
using stream::SampleKind;

// The recording written as a file and analysed as the job does it.
LevelAnalysis analyse(const wave::WaveInfo& info, testing::Recording& samples) {
    auto analysed = testing::analyseRecording(info, samples);
    EXPECT_TRUE(std::holds_alternative<LevelAnalysis>(analysed));
    return std::holds_alternative<LevelAnalysis>(analysed) ? std::get<LevelAnalysis>(analysed) : LevelAnalysis{};
}

void expectScale(const ShareScale& scale, int top, int divisions) {
    EXPECT_EQ(scale.top, top);
    EXPECT_EQ(scale.divisions, divisions);
}

// ---------------------------------------------------------------------------
// Counting

TEST(LevelCounting, OnlyLevelsZeroToFortyHaveBins) {
    std::vector<LevelHistogram> histograms(2);
    countSliceLevel(histograms, Channel::Left, 40);
    countSliceLevel(histograms, Channel::Left, 41);   // dropped
    countSliceLevel(histograms, Channel::Left, 90);   // dropped
    countSliceLevel(histograms, Channel::Right, 0);
    countSliceLevel(histograms, Channel::Right, -7);  // above full scale: bin 0
    countSliceLevel(histograms, Channel::Right, kAboveFullScaleLevel);
    countSliceLevel(histograms, Channel::Right, kUnmeasurableLevel);  // dropped

    LevelHistogram left;
    left.bins[40] = 1;
    LevelHistogram right;
    right.bins[0] = 3;
    EXPECT_EQ(histograms[0].bins, left.bins);
    EXPECT_EQ(histograms[1].bins, right.bins);
}

TEST(LevelCounting, CountsBeyondTwoToTheThirtyOneStayExact) {
    // At 6 samples per second a slice is one sample: a 4.3 GB file of 16-bit
    // mono has more than 2^31 slices, and one bin can hold all of them.
    std::vector<LevelHistogram> histograms(1);
    histograms[0].bins[0] = std::numeric_limits<std::int32_t>::max();
    countSliceLevel(histograms, Channel::Mono, 0);
    EXPECT_EQ(histograms[0].bins[0], 2147483648LL);
    histograms[0].bins[6] = 1073741824LL;  // 2^30
    const std::int64_t slices = 4294967296LL;  // 2^32
    EXPECT_EQ(binShare(histograms[0].bins[0], slices), 50.0);
    EXPECT_EQ(binShare(histograms[0].bins[6], slices), 25.0);
    EXPECT_EQ(highestShare(histograms, slices), 50.0);
    histograms[0].bins[0] += 1073741824LL;  // 3 x 2^30 of 2^32
    EXPECT_EQ(highestShare(histograms, slices), 75.0);
    expectScale(chooseShareScale(highestShare(histograms, slices)), 80, 4);
}

// ---------------------------------------------------------------------------
// Shares and the axis scale

TEST(ShareScaleChoice, EveryBoundaryBelongsToTheLowerRow) {
    struct Row {
        double upTo;
        int top;
        int divisions;
    };
    const Row rows[] = {{10, 10, 5}, {20, 20, 4}, {30, 30, 6}, {40, 40, 4},
                        {50, 50, 5}, {60, 60, 6}, {80, 80, 4}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.upTo);
        expectScale(chooseShareScale(row.upTo), row.top, row.divisions);
        expectScale(chooseShareScale(std::nextafter(row.upTo, 0.0)), row.top, row.divisions);
    }
    expectScale(chooseShareScale(0), 10, 5);
    expectScale(chooseShareScale(std::nextafter(10.0, 100.0)), 20, 4);
    expectScale(chooseShareScale(std::nextafter(20.0, 100.0)), 30, 6);
    expectScale(chooseShareScale(std::nextafter(30.0, 100.0)), 40, 4);
    expectScale(chooseShareScale(std::nextafter(40.0, 100.0)), 50, 5);
    expectScale(chooseShareScale(std::nextafter(50.0, 100.0)), 60, 6);
    expectScale(chooseShareScale(std::nextafter(60.0, 100.0)), 80, 4);
    expectScale(chooseShareScale(std::nextafter(80.0, 100.0)), 100, 5);
    expectScale(chooseShareScale(100), 100, 5);
    expectScale(chooseShareScale(std::nan("")), 10, 5);
}

TEST(HighestShare, SixHundredSliceExamples) {
    std::vector<LevelHistogram> histograms(1);
    histograms[0].bins[12] = 66;
    histograms[0].bins[13] = 65;
    EXPECT_EQ(highestShare(histograms, 600), 11.0);
    expectScale(chooseShareScale(highestShare(histograms, 600)), 20, 4);

    histograms[0].bins[12] = 60;
    histograms[0].bins[13] = 59;
    EXPECT_EQ(highestShare(histograms, 600), 10.0);  // exactly 10: the lower row
    expectScale(chooseShareScale(highestShare(histograms, 600)), 10, 5);
}

TEST(HighestShare, StereoTakesTheFullerChannel) {
    std::vector<LevelHistogram> histograms(2);
    histograms[0].bins[3] = 150;   // left 25 %
    histograms[1].bins[30] = 270;  // right 45 %
    EXPECT_EQ(highestShare(histograms, 600), 45.0);
    expectScale(chooseShareScale(highestShare(histograms, 600)), 50, 5);
}

TEST(HighestShare, EightyPercentAndJustAbove) {
    std::vector<LevelHistogram> histograms(1);
    histograms[0].bins[0] = 4;
    expectScale(chooseShareScale(highestShare(histograms, 5)), 80, 4);
    histograms[0].bins[0] = 4001;
    expectScale(chooseShareScale(highestShare(histograms, 5000)), 100, 5);
}

TEST(HighestShare, NoSlicesMeanNoShares) {
    std::vector<LevelHistogram> histograms(2);
    histograms[0].bins[5] = 7;  // cannot happen with no slices, and still gives no share
    EXPECT_EQ(binShare(7, 0), 0.0);
    EXPECT_EQ(binShare(7, -5), 0.0);
    EXPECT_EQ(highestShare(histograms, 0), 0.0);
    EXPECT_EQ(highestShare({}, 600), 0.0);
}

// ---------------------------------------------------------------------------
// The whole analysis of one file

TEST(AnalyseLevels, EverySliceSixDecibelsDown) {
    // 10 s of 16-bit mono at 44.1 kHz, every slice peaking at 16384.
    const std::int64_t count = 441000;
    auto samples = silentSamples<SampleKind::Int16>(1, count);
    auto values = samplesOf<SampleKind::Int16>(samples.mono);
    for (std::int64_t i = 0; i < count; ++i) values[i] = static_cast<std::int16_t>(i % 2 ? 16384 : -1000);

    const LevelAnalysis analysis = analyse(waveInfo(1, 44100, count), samples);
    EXPECT_EQ(analysis.grid.sliceLength, 4410);
    EXPECT_EQ(analysis.grid.sliceCount, 100);
    ASSERT_EQ(analysis.histograms.size(), 1u);
    LevelHistogram expected;
    expected.bins[6] = 100;
    EXPECT_EQ(analysis.histograms[0].bins, expected.bins);
    expectScale(analysis.scale, 100, 5);
}

TEST(AnalyseLevels, QuietAndAboveFullScaleSlicesStayInTheSliceCount) {
    // Four float slices of ten samples: 2.0, +inf, one at 40 dB and one at 41 dB down.
    auto samples = silentSamples<SampleKind::Float32>(1, 40);
    auto values = samplesOf<SampleKind::Float32>(samples.mono);
    values[2] = 2.0f;
    values[13] = std::numeric_limits<float>::infinity();
    values[24] = 0.01f;     // 40 dB
    values[35] = -0.0089f;  // 41.01 dB: counted nowhere

    const LevelAnalysis analysis = analyse(waveInfo(1, 100, 40), samples);
    EXPECT_EQ(analysis.grid.sliceCount, 4);
    ASSERT_EQ(analysis.histograms.size(), 1u);
    LevelHistogram expected;
    expected.bins[0] = 2;
    expected.bins[40] = 1;
    EXPECT_EQ(analysis.histograms[0].bins, expected.bins);
    expectScale(analysis.scale, 50, 5);  // bin 0 holds 2 of 4 slices: exactly 50 %
}

TEST(AnalyseLevels, QuietestSamplesAreNotCountedButAreSlices) {
    auto samples = silentSamples<SampleKind::Int16>(2, 30);
    samplesOf<SampleKind::Int16>(samples.left)[4] = -1;  // 90 dB down
    samplesOf<SampleKind::Int16>(samples.right)[25] = 32767;

    const LevelAnalysis analysis = analyse(waveInfo(2, 100, 30), samples);
    ASSERT_EQ(analysis.histograms.size(), 2u);
    EXPECT_EQ(analysis.histograms[0].bins, LevelHistogram{}.bins);
    LevelHistogram right;
    right.bins[0] = 1;
    EXPECT_EQ(analysis.histograms[1].bins, right.bins);
    expectScale(analysis.scale, 40, 4);  // 1 of 3 slices
}

TEST(AnalyseLevels, SilentRecording) {
    auto samples = silentSamples<SampleKind::Int24>(2, 44100);
    const LevelAnalysis analysis = analyse(waveInfo(2, 44100, 44100), samples);
    EXPECT_EQ(analysis.grid.sliceCount, 10);
    ASSERT_EQ(analysis.histograms.size(), 2u);
    EXPECT_EQ(analysis.histograms[0].bins, LevelHistogram{}.bins);
    EXPECT_EQ(analysis.histograms[1].bins, LevelHistogram{}.bins);
    expectScale(analysis.scale, 10, 5);
}

TEST(AnalyseLevels, TooShortForOneSlice) {
    auto samples = silentSamples<SampleKind::Int16>(1, 4409);
    for (auto& value : samplesOf<SampleKind::Int16>(samples.mono)) value = 32767;
    const LevelAnalysis analysis = analyse(waveInfo(1, 44100, 4409), samples);
    EXPECT_EQ(analysis.grid.sliceCount, 0);
    ASSERT_EQ(analysis.histograms.size(), 1u);
    EXPECT_EQ(analysis.histograms[0].bins, LevelHistogram{}.bins);
    expectScale(analysis.scale, 10, 5);
}

TEST(AnalyseLevels, LayoutsTheHeaderRefusesGetNoHistograms) {
    // The header refuses 20 bits and nine channels, so no job gets here with
    // them; handed such a header all the same, the analysis reads nothing and
    // has no curve to draw.
    for (const auto& [channels, bits] : {std::pair{2, 20}, std::pair{9, 16}}) {
        SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(bits) + " bits");
        auto loud = silentSamples<SampleKind::Int16>(2, 100);
        for (auto& value : samplesOf<SampleKind::Int16>(loud.left)) value = 32767;
        wave::WaveInfo info = waveInfo(channels, 100, 100);
        info.bitsPerSample = static_cast<std::int16_t>(bits);
        const LevelAnalysis analysis = analyse(info, loud);
        EXPECT_EQ(analysis.grid.sliceCount, 10);
        EXPECT_TRUE(analysis.histograms.empty());
        expectScale(analysis.scale, 10, 5);
    }
}

TEST(AnalyseLevels, EachFileStartsAfresh) {
    // First file: 7 of 20 slices at 6 dB down (35 %), the rest silent.
    auto first = silentSamples<SampleKind::Int32>(1, 200);
    for (int slice = 0; slice < 7; ++slice) samplesOf<SampleKind::Int32>(first.mono)[slice * 10] = 1073741824;
    const LevelAnalysis one = analyse(waveInfo(1, 100, 200), first);
    EXPECT_EQ(one.histograms[0].bins[6], 7);
    expectScale(one.scale, 40, 4);

    // Second file: 2 of 25 slices (8 %).
    auto second = silentSamples<SampleKind::Int32>(1, 250);
    samplesOf<SampleKind::Int32>(second.mono)[3] = 1073741824;
    samplesOf<SampleKind::Int32>(second.mono)[243] = -1073741824;
    const LevelAnalysis two = analyse(waveInfo(1, 100, 250), second);
    EXPECT_EQ(two.histograms[0].bins[6], 2);
    expectScale(two.scale, 10, 5);

    EXPECT_EQ(one.grid.sliceCount, 20);
    EXPECT_EQ(two.grid.sliceCount, 25);
}

// A long recording read in parts on several threads gives exactly what one
// pass gives, float samples too: the same counts, dynamics and DR block sums.
template <SampleKind kind>
void expectPartsAsOnePass() {
    const std::int64_t count = 44100 * 75;  // 25 DR blocks: two or three parts
    auto samples = silentSamples<kind>(2, count);
    auto left = samplesOf<kind>(samples.left);
    auto right = samplesOf<kind>(samples.right);
    std::uint64_t state = 12345;
    const double fullScale = kind == SampleKind::Int16 ? 32767 : kind == SampleKind::Int24 ? 8388607
                             : kind == SampleKind::Int32 ? 2147483647.0 : 1.0;
    for (std::int64_t i = 0; i < count; ++i) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double envelope = 0.05 + 0.9 * std::fabs(std::sin(static_cast<double>(i) / 150000.0));
        const double noise = static_cast<double>(state >> 11) / 9007199254740992.0 * 2 - 1;
        left[i] = static_cast<decltype(left[i] + 0)>(fullScale * envelope * noise);
        right[i] = static_cast<decltype(right[i] + 0)>(fullScale * envelope * std::sin(static_cast<double>(i) * 0.03));
    }
    const wave::WaveInfo info = waveInfo(2, 44100, count);
    const auto whole = testing::analyseRecording(info, samples, {.loudness = false, .decodeParts = 1});
    for (const int parts : {2, 3}) {
        SCOPED_TRACE(parts);
        const auto inParts = testing::analyseRecording(info, samples, {.loudness = false, .decodeParts = parts});
        ASSERT_TRUE(std::holds_alternative<LevelAnalysis>(whole) && std::holds_alternative<LevelAnalysis>(inParts));
        const LevelAnalysis& one = std::get<LevelAnalysis>(whole);
        const LevelAnalysis& split = std::get<LevelAnalysis>(inParts);
        ASSERT_EQ(split.histograms.size(), 2u);
        for (std::size_t channel = 0; channel < 2; ++channel)
            EXPECT_EQ(split.histograms[channel].bins, one.histograms[channel].bins);
        EXPECT_EQ(split.grid.sliceCount, one.grid.sliceCount);
        EXPECT_EQ(split.dynamics, one.dynamics);
        EXPECT_EQ(split.drBlocks, one.drBlocks);
        EXPECT_EQ(split.drBlocks.size(), 2u * 25);
    }
}

TEST(AnalyseLevels, ReadInPartsAsInOnePass) {
    expectPartsAsOnePass<SampleKind::Int16>();
    expectPartsAsOnePass<SampleKind::Int24>();
    expectPartsAsOnePass<SampleKind::Int32>();
    expectPartsAsOnePass<SampleKind::Float32>();
}

TEST(AnalyseLevels, LongRecordingCountsEverySlice) {
    // 100 Hz: 400,000 samples are 40,000 slices, beyond any 16-bit count.
    auto samples = silentSamples<SampleKind::Int16>(1, 400000);
    auto values = samplesOf<SampleKind::Int16>(samples.mono);
    for (std::size_t slice = 0; slice < 40000; ++slice) {
        values[slice * 10 + 9] = static_cast<std::int16_t>(slice < 30000 ? 16384 : 3276);  // 6 or 20 dB
    }
    const LevelAnalysis analysis = analyse(waveInfo(1, 100, 400000), samples);
    EXPECT_EQ(analysis.grid.sliceCount, 40000);
    EXPECT_EQ(analysis.histograms[0].bins[6], 30000);
    EXPECT_EQ(analysis.histograms[0].bins[20], 10000);
    expectScale(analysis.scale, 80, 4);  // 75 %
}

}  // namespace
}  // namespace vantorel::analysis
