#pragma once
// Recordings built in memory for the measurement tests: tones given by segments
// of length and amplitude, turned into any sample kind's file layout, and
// handed to a meter in blocks cut one way or another.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <random>
#include <vector>

#include "stream/sample_source.h"
#include "wave/sample_loader.h"

namespace vantorel::measure::testing {

using stream::SampleKind;

// A stretch of a sine: its length and its amplitude (1.0 = full scale).
struct Tone {
    double seconds = 0;
    double amplitude = 0;
};

inline double amplitudeOf(double dbfs) { return std::pow(10.0, dbfs / 20); }

// One channel: the tones one after the other, their phase running on, starting
// at `phaseDegrees`.
inline std::vector<double> tones(int rate, const std::vector<Tone>& segments, double frequency = 1000,
                                 double phaseDegrees = 0) {
    std::vector<double> samples;
    for (const Tone& tone : segments) {
        const auto count = static_cast<std::size_t>(std::llround(tone.seconds * rate));
        for (std::size_t i = 0; i < count; ++i) {
            const double turns = frequency * static_cast<double>(samples.size()) / rate + phaseDegrees / 360;
            samples.push_back(tone.amplitude * std::sin(2 * std::numbers::pi * turns));
        }
    }
    return samples;
}

// The channels interleaved in the file layout of `kind` (values clamped to the
// integer codes), followed by block padding. Channels shorter than the first
// are silent at their end.
template <stream::SampleKind kind>
std::vector<std::byte> fileBytes(const std::vector<std::vector<double>>& channels) {
    constexpr std::size_t width = stream::fileSampleWidth<kind>();
    const std::size_t frames = channels.empty() ? 0 : channels[0].size();
    std::vector<std::byte> bytes(frames * channels.size() * width + stream::kBlockPadding);
    std::byte* at = bytes.data();
    for (std::size_t frame = 0; frame < frames; ++frame) {
        for (const std::vector<double>& channel : channels) {
            const double x = frame < channel.size() ? channel[frame] : 0.0;
            if constexpr (kind == stream::SampleKind::Float32) {
                const auto value = static_cast<float>(x);
                std::memcpy(at, &value, 4);
            } else if constexpr (kind == stream::SampleKind::Float64) {
                std::memcpy(at, &x, 8);
            } else {
                const double fullScale = std::ldexp(1.0, static_cast<int>(width) * 8 - 1);
                const auto code = static_cast<std::int64_t>(
                    std::clamp(std::nearbyint(x * fullScale), -fullScale, fullScale - 1));
                for (std::size_t byte = 0; byte < width; ++byte)
                    at[byte] = static_cast<std::byte>(static_cast<std::uint64_t>(code) >> (8 * byte));
            }
            at += width;
        }
    }
    return bytes;
}

// Hands `frames` frames of `bytes` to `add` in blocks: all at once when
// `seed` is 0, else cut at random lengths of 1 .. 5000 frames.
template <stream::SampleKind kind, class Add>
void feedBlocks(const std::vector<std::byte>& bytes, int channels, std::size_t frames, std::uint64_t seed, Add add) {
    std::mt19937_64 random(seed);
    std::size_t frame = 0;
    while (frame < frames) {
        const std::size_t take = seed == 0 ? frames : std::min<std::size_t>(frames - frame, 1 + random() % 5000);
        stream::ChannelSamples<kind> block;
        block.channels = channels;
        block.firstFrame = static_cast<std::int64_t>(frame);
        block.frames = take;
        block.bytes = bytes.data() + frame * static_cast<std::size_t>(channels) * stream::fileSampleWidth<kind>();
        add(block);
        frame += take;
    }
}

}  // namespace vantorel::measure::testing
