#include "analysis/slice_levels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <climits>
#include <cstddef>
#include <span>

#include "app/number_format.h"
#include "platform/zeroed_memory.h"

namespace vantorel::analysis {

namespace {

using wave::SampleElement;
using wave::SampleKind;

// How one kind of sample becomes a magnitude, in the narrowest type that holds
// every magnitude of that kind exactly, so that the slice's largest magnitude is
// found with plain vector maxima on all four kinds (with nothing beyond SSE2):
//   Int16   - unsigned 16-bit: |-32768| = 32768 still fits
//   Int24   - float: every whole number up to 2^24 is a float, so the values
//             -2^23 .. 2^23 - 1 that the loader makes convert exactly and
//             |-2^23| = 2^23 (anything wider would round, never overflow)
//   Int32   - double: every 32-bit integer is a double, |-2^31| = 2^31
//   Float32 - float: the sample's own magnitude
// Each slice peak becomes a double once; every one of these converts exactly.
template <SampleKind kind> struct SampleMagnitude;

template <> struct SampleMagnitude<SampleKind::Int16> {
    using type = std::uint16_t;
    static constexpr double fullScale = 32768.0;
    static type of(std::int16_t sample) {
        const auto bits = static_cast<std::uint16_t>(sample);
        return sample < 0 ? static_cast<std::uint16_t>(0u - bits) : bits;
    }
};

template <> struct SampleMagnitude<SampleKind::Int24> {
    using type = float;
    static constexpr double fullScale = 8388608.0;  // 2^23
    static type of(std::int32_t sample) { return std::fabs(static_cast<float>(sample)); }
};

template <> struct SampleMagnitude<SampleKind::Int32> {
    using type = double;
    static constexpr double fullScale = 2147483648.0;  // 2^31
    static type of(std::int32_t sample) { return std::fabs(static_cast<double>(sample)); }
};

template <> struct SampleMagnitude<SampleKind::Float32> {
    using type = float;
    static constexpr double fullScale = 1.0;
    static type of(float sample) { return std::fabs(sample); }
};

// Keeps the larger of a magnitude and the peak so far. The magnitude wins only
// when it compares strictly greater, so a float NaN (for which every comparison
// is false) never becomes a peak. With the operands in this order the vector
// form is MAXPS (MAXPD for doubles), which likewise hands back the running peak when the magnitude
// is NaN.
template <class Magnitude>
Magnitude larger(Magnitude magnitude, Magnitude peak) {
    return magnitude > peak ? magnitude : peak;
}

// The largest magnitude of one slice of one channel, 0 when all samples are 0.
// The samples are taken a vector's width at a time into independent lanes (so
// the compiler can keep each lane in a register), the lanes are then merged and
// the last few samples finished one by one.
template <SampleKind kind>
double slicePeak(std::span<const typename SampleElement<kind>::type> slice) {
    using Traits = SampleMagnitude<kind>;
    using Magnitude = typename Traits::type;
    constexpr std::size_t kLanes = 32 / sizeof(Magnitude);  // two 16-byte vectors

    std::array<Magnitude, kLanes> lanes{};
    std::size_t index = 0;
    for (; index + kLanes <= slice.size(); index += kLanes) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            lanes[lane] = larger(Traits::of(slice[index + lane]), lanes[lane]);
        }
    }
    Magnitude peak = 0;
    for (const Magnitude lane : lanes) peak = larger(lane, peak);
    for (; index < slice.size(); ++index) peak = larger(Traits::of(slice[index]), peak);
    return static_cast<double>(peak);
}

struct ChannelArray {
    Channel channel;
    const platform::ZeroedBlock* block;
};

// One pass over every whole slice: per slice, each channel's peak in turn (left
// before right), and its level handed on unless the channel is silent there.
// Slices that begin at or after index `zeroFrom` hold only zeros the file never
// supplied: they are silent, and they are not read.
template <SampleKind kind>
void scanLayout(std::span<const ChannelArray> arrays, const SliceGrid& grid, std::int64_t zeroFrom,
                const SliceLevelReceiver& receiver) {
    using Element = typename SampleElement<kind>::type;
    if (grid.sliceLength <= 0 || grid.sliceCount <= 0) return;
    const auto sliceLength = static_cast<std::size_t>(grid.sliceLength);

    // Never read past an array, whatever the grid says: only slices that every
    // array holds completely are scanned.
    auto sliceCount = static_cast<std::size_t>(grid.sliceCount);
    for (const ChannelArray& array : arrays) {
        sliceCount = std::min(sliceCount, platform::elementsOf<const Element>(*array.block).size() / sliceLength);
    }
    if (zeroFrom >= 0) {
        const auto supplied = static_cast<std::uint64_t>(zeroFrom);
        sliceCount = static_cast<std::size_t>(
            std::min<std::uint64_t>(sliceCount, supplied / sliceLength + (supplied % sliceLength != 0)));
    }

    for (std::size_t slice = 0; slice < sliceCount; ++slice) {
        for (const ChannelArray& array : arrays) {
            const auto samples = platform::elementsOf<const Element>(*array.block);
            const double peak = slicePeak<kind>(samples.subspan(slice * sliceLength, sliceLength));
            if (peak > 0) receiver(array.channel, sliceLevel(peak, SampleMagnitude<kind>::fullScale));
        }
    }
}

}  // namespace

SliceGrid computeSliceGrid(std::int32_t sampleRate, std::int64_t sampleCount) {
    SliceGrid grid;
    // Exact: every 32-bit rate is a double, and the tenth rounds ties to even in
    // the default rounding mode (11,025 Hz gives 1102).
    grid.sliceLength = static_cast<std::int64_t>(std::nearbyint(static_cast<double>(sampleRate) / 10.0));
    if (grid.sliceLength <= 0 || sampleCount <= 0) return grid;
    // Whole slices only: an incomplete last slice is never counted.
    grid.sliceCount = sampleCount / grid.sliceLength;
    return grid;
}

SliceGrid makeSliceGrid(platform::Console& console, std::int32_t sampleRate, std::int64_t sampleCount) {
    const SliceGrid grid = computeSliceGrid(sampleRate, sampleCount);
    platform::writeText(console, "   Analysing over");
    app::printNumber(console, static_cast<long double>(grid.sliceCount), 7);
    platform::writeText(console, "time slices...");
    platform::newLine(console);
    return grid;
}

int sliceLevel(double slicePeak, double fullScale) {
    // Full scale itself gives exactly -0.5, which rounds (ties to even) to 0.
    const double level = std::nearbyint(20.0 * std::log10(fullScale / slicePeak) - 0.5);
    // An infinite peak makes the logarithm -inf; a peak of 0 or NaN, outside the
    // contract, makes it +inf or NaN. None of these may reach the conversion.
    if (std::isnan(level) || level >= static_cast<double>(INT_MAX)) return kUnmeasurableLevel;
    if (level <= static_cast<double>(INT_MIN)) return kAboveFullScaleLevel;
    return static_cast<int>(level);
}

void scanSliceLevels(const wave::WaveInfo& info, wave::ChannelSamples& samples, const SliceGrid& grid,
                     const SliceLevelReceiver& receiver) {
    std::array<ChannelArray, 2> arrays{};
    std::size_t arrayCount = 0;
    if (info.channels == 1) {
        arrays[arrayCount++] = {Channel::Mono, &samples.mono};
    } else if (info.channels == 2) {
        arrays[arrayCount++] = {Channel::Left, &samples.left};
        arrays[arrayCount++] = {Channel::Right, &samples.right};
    }
    const std::span<const ChannelArray> layout(arrays.data(), arrayCount);

    if (!layout.empty() && samples.sampleKind) {
        switch (*samples.sampleKind) {
        case SampleKind::Int16: scanLayout<SampleKind::Int16>(layout, grid, samples.zeroFrom, receiver); break;
        case SampleKind::Int24: scanLayout<SampleKind::Int24>(layout, grid, samples.zeroFrom, receiver); break;
        case SampleKind::Int32: scanLayout<SampleKind::Int32>(layout, grid, samples.zeroFrom, receiver); break;
        case SampleKind::Float32: scanLayout<SampleKind::Float32>(layout, grid, samples.zeroFrom, receiver); break;
        }
    }

    // Nothing reads the samples after the pass; a layout that was not scanned
    // gives back whatever arrays it has all the same.
    samples.mono.release();
    samples.left.release();
    samples.right.release();
}

}  // namespace vantorel::analysis
