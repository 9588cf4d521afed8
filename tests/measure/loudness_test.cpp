#include "measure/loudness.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "measure/dynamics.h"
#include "measure_samples.h"

#if VANTOREL_HAS_LOUDNESS
#include <ebur128.h>
#endif

namespace vantorel::measure {
namespace {

using testing::amplitudeOf;
using testing::feedBlocks;
using testing::fileBytes;
using testing::Tone;
using stream::withKind;
using stream::SampleKind;

// A value and how far below and above it a result may lie.
struct Expected {
    double value;
    double below;
    double above;
};

struct LoudnessExample {
    std::string name;
    SampleKind kind;
    std::uint64_t channelMask;
    std::vector<std::vector<Tone>> channels;  // sines at `frequency`, starting `phaseDegrees` into a period
    std::optional<Expected> integratedLufs;   // none: must be none
    std::optional<Expected> rangeLu;          // not checked when none, unless the integrated loudness is none
    std::optional<Expected> truePeakDbtp;     // not checked when none
    double frequency = 1000;
    double phaseDegrees = 0;
    bool noLoudness = false;  // nothing the loudness counts: no integrated loudness
};

Expected within(double value, double tolerance) { return {value, tolerance, tolerance}; }

// EBU Tech 3341 (loudness, tolerance 0.1 LU; true peak +0.2 / -0.4 dB) and
// Tech 3342 (loudness range, tolerance 1 LU) signals, and the channel layouts.
// A 1 kHz sine at L dBFS in one channel weighted 1.0 measures L - 3.0 LUFS.
TEST(Loudness, EbuTestSignalsAndChannelLayouts) {
    if (!loudnessAvailable()) {
        EXPECT_EQ(std::get<LoudnessFailure>(startLoudness(2, 48000, 0)), LoudnessFailure::NotAvailable);
        GTEST_SKIP() << "built without libebur128";
    }
    const Tone silence{20, 0};
    const std::vector<Tone> at23{{20, amplitudeOf(-23)}};
    const std::vector<LoudnessExample> examples{
        {"3341-1: stereo sine at -23 dBFS", SampleKind::Int16, 0, {at23, at23}, within(-23, 0.1), {}, {}},
        {"3341-2: stereo sine at -33 dBFS", SampleKind::Int24, 0,
         {{{20, amplitudeOf(-33)}}, {{20, amplitudeOf(-33)}}}, within(-33, 0.1), {}, {}},
        {"3342-1: -20 then -30 dBFS", SampleKind::Int32, 0,
         {{{20, amplitudeOf(-20)}, {20, amplitudeOf(-30)}}, {{20, amplitudeOf(-20)}, {20, amplitudeOf(-30)}}}, {},
         within(10, 1), {}},
        {"3342-2: -20 then -15 dBFS", SampleKind::Float32, 0,
         {{{20, amplitudeOf(-20)}, {20, amplitudeOf(-15)}}, {{20, amplitudeOf(-20)}, {20, amplitudeOf(-15)}}}, {},
         within(5, 1), {}},
        {"3342-3: -40 then -20 dBFS", SampleKind::Float64, 0,
         {{{20, amplitudeOf(-40)}, {20, amplitudeOf(-20)}}, {{20, amplitudeOf(-40)}, {20, amplitudeOf(-20)}}}, {},
         within(20, 1), {}},
        {"3342-4: -50, -35, -20, -35, -50 dBFS", SampleKind::Int16, 0,
         std::vector<std::vector<Tone>>(2, {{20, amplitudeOf(-50)}, {20, amplitudeOf(-35)}, {20, amplitudeOf(-20)},
                                            {20, amplitudeOf(-35)}, {20, amplitudeOf(-50)}}),
         {}, within(15, 1), {}},
        {"true peak between samples: 12 kHz at -6 dBFS, 45 degrees off the samples (-9 dBFS sample peak)",
         SampleKind::Float32, 0, {{{5, 0.5}}, {{5, 0.5}}}, {}, {}, Expected{-6, 0.4, 0.2}, 12000, 45},
        {"5.1 (mask FL FR FC LFE BL BR): the LFE is not counted, its true peak is", SampleKind::Int24, 0x3F,
         {at23, at23, {silence}, {{20, amplitudeOf(-3)}}, {silence}, {silence}}, within(-23, 0.1), {},
         Expected{-3, 0.4, 0.2}},
        {"six channels without a mask: the fourth is the LFE", SampleKind::Int16, 0,
         {at23, at23, {silence}, {{20, amplitudeOf(-3)}}, {silence}, {silence}}, within(-23, 0.1), {}, {}},
        {"back right weighs +1.5 dB (mask FL FR BL BR)", SampleKind::Float32, 0x33,
         {{silence}, {silence}, {silence}, {{20, amplitudeOf(-20)}}}, within(-20 - 3.01 + 1.49, 0.1), {}, {}},
        {"four channels without a mask: the fourth is back centre, which BS.1770 weighs 1.0", SampleKind::Float32, 0,
         {{silence}, {silence}, {silence}, {{20, amplitudeOf(-20)}}}, within(-20 - 3.01, 0.1), {}, {}},
        {"three channels without a mask: the third is the LFE", SampleKind::Float32, 0,
         {{silence}, {silence}, {{20, amplitudeOf(-20)}}}, {}, {}, Expected{-20, 0.4, 0.2}, 1000, 0, true},
        {"3341-6: five channels without a mask are L R C Ls Rs", SampleKind::Int16, 0,
         {{{20, amplitudeOf(-28)}}, {{20, amplitudeOf(-28)}}, {{20, amplitudeOf(-24)}}, {{20, amplitudeOf(-30)}},
          {{20, amplitudeOf(-30)}}},
         within(-23, 0.1), {}, {}},
        {"3341-6 with an LFE: six channels without a mask are L R C LFE Ls Rs", SampleKind::Int24, 0,
         {{{20, amplitudeOf(-28)}}, {{20, amplitudeOf(-28)}}, {{20, amplitudeOf(-24)}}, {{20, amplitudeOf(-10)}},
          {{20, amplitudeOf(-30)}}, {{20, amplitudeOf(-30)}}},
         within(-23, 0.1), {}, {}},
        {"mono counts its one channel once", SampleKind::Int16, 0, {at23}, within(-23 - 3.01, 0.1), {}, {}},
        {"silence", SampleKind::Int16, 0, {{silence}, {silence}}, {}, {}, {}, 1000, 0, true},
        {"3342-1 with silence between: the absolute gate", SampleKind::Int16, 0,
         std::vector<std::vector<Tone>>(2, {{10, amplitudeOf(-20)}, {10, 0}, {10, amplitudeOf(-30)}}), {},
         within(10, 1), {}},
    };
    constexpr int kRate = 48000;
    for (const LoudnessExample& example : examples) {
        SCOPED_TRACE(example.name);
        std::vector<std::vector<double>> channels;
        for (const std::vector<Tone>& tones : example.channels)
            channels.push_back(testing::tones(kRate, tones, example.frequency, example.phaseDegrees));
        const int channelCount = static_cast<int>(channels.size());
        withKind(example.kind, [&]<SampleKind kind>() {
            const std::vector<std::byte> bytes = fileBytes<kind>(channels);
            auto started = startLoudness(channelCount, kRate, example.channelMask);
            ASSERT_TRUE(std::holds_alternative<LoudnessMeter>(started));
            LoudnessMeter& meter = std::get<LoudnessMeter>(started);
            feedBlocks<kind>(bytes, channelCount, channels[0].size(), 3,
                             [&](const auto& block) { addLoudnessBlock(meter, block); });
            const auto finished = finishLoudness(meter);
            ASSERT_TRUE(std::holds_alternative<Loudness>(finished));
            const Loudness& found = std::get<Loudness>(finished);
            const auto expectWithin = [](const std::optional<double>& value, const Expected& expected) {
                ASSERT_TRUE(value.has_value());
                EXPECT_GE(*value, expected.value - expected.below);
                EXPECT_LE(*value, expected.value + expected.above);
            };
            const bool anyTone = std::any_of(channels.begin(), channels.end(), [](const auto& channel) {
                return std::any_of(channel.begin(), channel.end(), [](double x) { return x != 0; });
            });
            if (example.integratedLufs) expectWithin(found.integratedLufs, *example.integratedLufs);
            EXPECT_EQ(found.integratedLufs.has_value(), !example.noLoudness);
            if (example.rangeLu) expectWithin(found.rangeLu, *example.rangeLu);
            if (!found.integratedLufs) {
                EXPECT_EQ(found.rangeLu, std::nullopt);
            }
            if (example.truePeakDbtp) expectWithin(found.truePeakDbtp, *example.truePeakDbtp);
            EXPECT_EQ(found.truePeakDbtp.has_value(), anyTone);
            EXPECT_EQ(found.plrDb.has_value(), found.truePeakDbtp && found.integratedLufs);
            // The kept blocks, gated on their own, give what the meter gave.
            ASSERT_TRUE(found.blocks.has_value());
            const LoudnessBlocks* alone[] = {&*found.blocks};
            const AlbumLoudness fromBlocks = albumLoudness(alone);
            EXPECT_EQ(fromBlocks.integratedLufs.has_value(), found.integratedLufs.has_value());
            if (found.integratedLufs && fromBlocks.integratedLufs) {
                EXPECT_NEAR(*fromBlocks.integratedLufs, *found.integratedLufs, 1e-9);
                ASSERT_TRUE(found.rangeLu && fromBlocks.rangeLu);
                EXPECT_NEAR(*fromBlocks.rangeLu, *found.rangeLu, 1e-9);
            }
        });
    }
}

// One recording (24-bit stereo noise shaped by a swell, with full-scale
// samples where the meters' batches begin) measured whole and cut into blocks
// at random, its true peak shared by one, two or three meters: the same answers.
// At 48, 96 and 192 kHz, where the true peak is oversampled 4x, 2x and not at all.
TEST(Measurements, BlocksCutDifferentlyGiveTheSameAnswers) {
    for (const int rate : {48000, 96000, 192000}) {
        SCOPED_TRACE(rate);
        std::mt19937_64 random(5);
        std::vector<std::vector<double>> channels(2);
        const std::size_t frames = 7 * static_cast<std::size_t>(rate) + 123;
        for (std::size_t frame = 0; frame < frames; ++frame) {
            const double swell = 0.1 + 0.4 * std::sin(static_cast<double>(frame) / rate);
            for (auto& channel : channels)
                channel.push_back(swell * std::uniform_real_distribution<double>(-1, 1)(random));
        }
        const std::size_t batchFrames = kLoudnessBatchBytes / (2 * sizeof(int));
        for (std::size_t batch = 1; batch < 10; ++batch) channels[1][batch * batchFrames] = batch % 2 ? -1.0 : 1.0;
        // Late on, a burst whose true peak (1.3) lies well above its samples
        // (0.92) and above every click: no meter may pass over it.
        for (std::size_t frame = 0; frame < 480; ++frame)
            channels[0][6 * static_cast<std::size_t>(rate) + frame] =
                1.3 * std::sin(std::numbers::pi / 4 + std::numbers::pi / 2 * static_cast<double>(frame));
        const std::vector<std::byte> bytes = fileBytes<SampleKind::Int24>(channels);
        const auto measure = [&](std::uint64_t seed, int truePeakWorkers) {
            std::optional<DynamicsMeter> dynamics = startDynamics(2, rate, 24);
            auto loudness = startLoudness(2, rate, 0, truePeakWorkers);
            feedBlocks<SampleKind::Int24>(bytes, 2, channels[0].size(), seed, [&](const auto& block) {
                addDynamicsBlock(*dynamics, block);
                if (auto* meter = std::get_if<LoudnessMeter>(&loudness)) addLoudnessBlock(*meter, block);
            });
            std::optional<Loudness> measured;
            if (auto* meter = std::get_if<LoudnessMeter>(&loudness))
                measured = std::get<Loudness>(finishLoudness(*meter));
            return std::pair{finishDynamics(*dynamics), measured};
        };
        const auto whole = measure(0, 1);
        EXPECT_EQ(whole.first.channels.at(1).fullScaleSamples, 9u);
        EXPECT_EQ(whole.second.has_value(), loudnessAvailable());
#if VANTOREL_HAS_LOUDNESS
        // The quiet steps that the meters pass over do not change the true peak:
        // one libebur128 meter fed every frame at once finds the same.
        std::vector<int> samples;
        for (std::size_t at = 0; at + 3 <= 3 * 2 * channels[0].size(); at += 3) {
            const auto byte = [&](std::size_t offset) { return std::to_integer<std::uint32_t>(bytes[at + offset]); };
            samples.push_back(static_cast<int>((byte(0) << 8 | byte(1) << 16 | byte(2) << 24)));
        }
        ebur128_state* reference = ebur128_init(2, rate, EBUR128_MODE_TRUE_PEAK);
        ASSERT_NE(reference, nullptr);
        ASSERT_EQ(ebur128_add_frames_int(reference, samples.data(), channels[0].size()), EBUR128_SUCCESS);
        double left = 0;
        double right = 0;
        ebur128_true_peak(reference, 0, &left);
        ebur128_true_peak(reference, 1, &right);
        ebur128_destroy(&reference);
        ASSERT_TRUE(whole.second && whole.second->truePeakDbtp);
        EXPECT_EQ(*whole.second->truePeakDbtp, 20 * std::log10(std::max(left, right)));
#endif
        for (const std::uint64_t seed : {1u, 2u}) {
            const auto cut = measure(seed, static_cast<int>(seed) + 1);
            EXPECT_EQ(cut.first, whole.first);
            if (whole.second) {
                EXPECT_EQ(cut.second->integratedLufs, whole.second->integratedLufs);
                EXPECT_EQ(cut.second->rangeLu, whole.second->rangeLu);
                EXPECT_EQ(cut.second->truePeakDbtp, whole.second->truePeakDbtp);
            }
        }
    }
}

}  // namespace
}  // namespace vantorel::measure
