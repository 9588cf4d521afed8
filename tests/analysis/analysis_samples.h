#pragma once
// Sample arrays built in memory for the analysis tests.

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/slice_levels.h"
#include "platform/zeroed_memory.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"

namespace vantorel::analysis::testing {

// A zero-filled array of `count` samples of the kind's element type.
template <wave::SampleKind kind>
platform::ZeroedBlock zeroedSamples(std::int64_t count) {
    using Element = typename wave::SampleElement<kind>::type;
    std::optional<platform::ZeroedBlock> block =
        platform::allocateZeroedArray<Element>(static_cast<std::uint64_t>(count));
    EXPECT_TRUE(block.has_value());
    return block ? std::move(*block) : platform::ZeroedBlock{};
}

template <wave::SampleKind kind>
std::span<typename wave::SampleElement<kind>::type> samplesOf(const platform::ZeroedBlock& block) {
    return platform::elementsOf<typename wave::SampleElement<kind>::type>(block);
}

// Silent mono or stereo samples of one kind, `count` per channel.
template <wave::SampleKind kind>
wave::ChannelSamples silentSamples(int channels, std::int64_t count) {
    wave::ChannelSamples samples;
    samples.sampleKind = kind;
    samples.sampleCount = count;
    if (channels == 1) samples.mono = zeroedSamples<kind>(count);
    if (channels == 2) {
        samples.left = zeroedSamples<kind>(count);
        samples.right = zeroedSamples<kind>(count);
    }
    return samples;
}

inline wave::WaveInfo waveInfo(int channels, std::int32_t sampleRate, std::int64_t sampleCount) {
    wave::WaveInfo info;
    info.channels = static_cast<std::int16_t>(channels);
    info.sampleRate = sampleRate;
    info.sampleCount = sampleCount;
    return info;
}

// Every (channel, level) handed on, in order.
using Levels = std::vector<std::pair<Channel, int>>;

inline Levels scanAll(const wave::WaveInfo& info, wave::ChannelSamples& samples) {
    Levels levels;
    scanSliceLevels(info, samples, computeSliceGrid(info.sampleRate, info.sampleCount),
                    [&levels](Channel channel, int level) { levels.emplace_back(channel, level); });
    return levels;
}

}  // namespace vantorel::analysis::testing
