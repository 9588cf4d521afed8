// Throughput of the slice scan against a plain read of the same memory.
//
// For each sample kind, one hour of stereo at 44.1 kHz is built in memory (a
// noise signal under a slowly moving envelope, so slice levels spread over the
// bins as music does). The arrays ask for large pages, as the sample loader's
// do. Every page is written before any timing, so neither measurement pays for
// page faults. Then, several rounds over:
//   read - a plain sum over both channel arrays (the memory speed of this machine)
//   pass - scanSliceLevels with the histogram counter as its receiver, up to the
//          last level handed on (the noise is never silent, so every slice of
//          both channels hands one on and the last one is known in advance)
//   call - the whole call, which also gives the arrays back to the system
// The best round of each is reported in GB/s of sample data, with the ratios to
// the read. Times are the process's CPU time, so that time spent by other
// processes on a shared machine is not counted. The scan releases its arrays,
// so each round rebuilds them.
//
// Usage: bench_scan [minutes [rounds]]   (default 60 minutes, 5 rounds)

#include <algorithm>
#include <array>
#include <ctime>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "analysis/level_distribution.h"
#include "analysis/slice_levels.h"
#include "platform/memory_advice.h"
#include "platform/zeroed_memory.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"

namespace {

using vantorel::analysis::Channel;
using vantorel::analysis::LevelHistogram;
using vantorel::wave::SampleElement;
using vantorel::wave::SampleKind;
namespace platform = vantorel::platform;

constexpr std::int32_t kSampleRate = 44100;

// Small, fast pseudo-random source (xorshift64*), seeded per channel.
struct Noise {
    std::uint64_t state;
    double next() {  // uniform in [-1, 1)
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        const std::uint64_t bits = state * 0x2545F4914F6CDD1DULL;
        return static_cast<double>(bits >> 11) * 0x1p-52 - 1.0;
    }
};

template <SampleKind kind> constexpr double kCodeScale = 1.0;
template <> constexpr double kCodeScale<SampleKind::Int16> = 32767.0;
template <> constexpr double kCodeScale<SampleKind::Int24> = 8388607.0;
template <> constexpr double kCodeScale<SampleKind::Int32> = 2147483647.0;

// Noise under an envelope that moves once per 1000 samples between about
// 0 and 45 dB below full scale; writes every element, so every page is touched.
template <SampleKind kind>
void fillChannel(std::span<typename SampleElement<kind>::type> samples, std::uint64_t seed) {
    using Element = typename SampleElement<kind>::type;
    Noise noise{seed};
    double gain = 0.5;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (i % 1000 == 0) gain = std::pow(10.0, -45.0 * (0.5 + 0.5 * noise.next()) / 20.0);
        const double value = noise.next() * gain;
        if constexpr (kind == SampleKind::Float32) {
            samples[i] = static_cast<Element>(value);
        } else {
            samples[i] = static_cast<Element>(std::nearbyint(value * kCodeScale<kind>));
        }
    }
}

template <SampleKind kind>
vantorel::wave::ChannelSamples makeStereo(std::int64_t count) {
    using Element = typename SampleElement<kind>::type;
    vantorel::wave::ChannelSamples samples;
    samples.sampleKind = kind;
    samples.sampleCount = count;
    auto left = platform::allocateZeroedArray<Element>(static_cast<std::uint64_t>(count));
    auto right = platform::allocateZeroedArray<Element>(static_cast<std::uint64_t>(count));
    if (!left || !right) {
        std::fprintf(stderr, "cannot allocate %lld samples per channel\n", static_cast<long long>(count));
        std::exit(1);
    }
    // As the sample loader does for a real file: large pages before the first
    // write, which also makes giving the arrays back at the end of the scan cheap.
    platform::preferLargePages(*left);
    platform::preferLargePages(*right);
    samples.left = std::move(*left);
    samples.right = std::move(*right);
    fillChannel<kind>(platform::elementsOf<Element>(samples.left), 0x9E3779B97F4A7C15ULL);
    fillChannel<kind>(platform::elementsOf<Element>(samples.right), 0xD1B54A32D192ED03ULL);
    return samples;
}

// Lane type of the plain sum: integers wrap in their own width, floats add as floats.
template <class Element> struct SumLane { using type = std::make_unsigned_t<Element>; };
template <> struct SumLane<float> { using type = float; };

// A plain read of every element, in independent lanes so it runs at memory
// speed (the same shape as the scan's peak loop, with a sum instead of a maximum).
template <SampleKind kind>
double plainSum(std::span<const typename SampleElement<kind>::type> samples) {
    using Element = typename SampleElement<kind>::type;
    using Accumulator = typename SumLane<Element>::type;
    constexpr std::size_t kLanes = 32 / sizeof(Element);
    std::array<Accumulator, kLanes> lanes{};
    std::size_t index = 0;
    for (; index + kLanes <= samples.size(); index += kLanes) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            lanes[lane] += static_cast<Accumulator>(samples[index + lane]);
        }
    }
    double total = 0;
    for (const Accumulator lane : lanes) total += static_cast<double>(lane);
    for (; index < samples.size(); ++index) total += static_cast<double>(samples[index]);
    return total;
}

// CPU seconds used by this process so far.
double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

template <SampleKind kind>
void benchmarkKind(const char* name, std::int64_t count, int rounds) {
    using Element = typename SampleElement<kind>::type;
    const double bytes = 2.0 * static_cast<double>(count) * sizeof(Element);
    vantorel::wave::WaveInfo info;
    info.channels = 2;
    info.sampleRate = kSampleRate;
    info.sampleCount = count;
    const auto grid = vantorel::analysis::computeSliceGrid(info.sampleRate, info.sampleCount);

    double bestRead = std::numeric_limits<double>::infinity();
    double bestPass = std::numeric_limits<double>::infinity();
    double bestCall = std::numeric_limits<double>::infinity();
    double checksum = 0;
    std::int64_t counted = 0;
    const std::int64_t levelsExpected = 2 * grid.sliceCount;
    for (int round = 0; round < rounds; ++round) {
        auto samples = makeStereo<kind>(count);

        double start = cpuSeconds();
        checksum += plainSum<kind>(platform::elementsOf<const Element>(samples.left));
        checksum += plainSum<kind>(platform::elementsOf<const Element>(samples.right));
        bestRead = std::min(bestRead, cpuSeconds() - start);

        std::vector<LevelHistogram> histograms(2);
        std::int64_t levelsHanded = 0;
        double passEnd = 0;
        start = cpuSeconds();
        vantorel::analysis::scanSliceLevels(info, samples, grid, [&](Channel channel, int level) {
            vantorel::analysis::countSliceLevel(histograms, channel, level);
            if (++levelsHanded == levelsExpected) passEnd = cpuSeconds();
        });
        const double callEnd = cpuSeconds();
        if (levelsHanded != levelsExpected) {
            std::fprintf(stderr, "%s: %lld levels handed on, %lld expected\n", name,
                         static_cast<long long>(levelsHanded), static_cast<long long>(levelsExpected));
            std::exit(1);
        }
        bestPass = std::min(bestPass, passEnd - start);
        bestCall = std::min(bestCall, callEnd - start);
        counted = 0;
        for (const LevelHistogram& histogram : histograms) {
            for (const std::int32_t bin : histogram.bins) counted += bin;
        }
    }
    std::printf("%-8s %5.0f MB  read %5.2f GB/s  pass %5.2f GB/s (%.2fx read)  call %5.2f GB/s (%.2fx read)"
                "  [%lld slices, %lld counted, checksum %.3g]\n",
                name, bytes / 1e6, bytes / bestRead / 1e9, bytes / bestPass / 1e9, bestPass / bestRead,
                bytes / bestCall / 1e9, bestCall / bestRead, static_cast<long long>(grid.sliceCount),
                static_cast<long long>(counted), checksum);
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 60.0;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const auto count = static_cast<std::int64_t>(minutes * 60.0 * kSampleRate);
    std::printf("stereo, %g minutes at %d Hz (%lld samples per channel), best of %d rounds, CPU time\n",
                minutes, kSampleRate, static_cast<long long>(count), rounds);
    benchmarkKind<SampleKind::Int16>("Int16", count, rounds);
    benchmarkKind<SampleKind::Int24>("Int24", count, rounds);
    benchmarkKind<SampleKind::Int32>("Int32", count, rounds);
    benchmarkKind<SampleKind::Float32>("Float32", count, rounds);
    return 0;
}
