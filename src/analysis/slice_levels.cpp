#include "analysis/slice_levels.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>


namespace vantorel::analysis {

namespace {

using stream::SampleKind;

// How one kind of sample becomes a magnitude, in a type that holds every
// magnitude of that kind exactly, so that peaks are found with plain maxima:
//   Int16   - unsigned 16-bit: |-32768| = 32768 still fits
//   Int24   - unsigned 32-bit: |-2^23| = 2^23
//   Int32   - unsigned 32-bit: |-2^31| = 2^31 still fits
//   Float32 - float: the sample's own magnitude
// Each peak becomes a double once; every one of these converts exactly.
template <SampleKind kind> struct SampleMagnitude;

template <> struct SampleMagnitude<SampleKind::Int16> {
    using type = std::uint16_t;
    static constexpr double fullScale = 32768.0;
    static type of(const std::byte* bytes) {
        std::int16_t sample;
        std::memcpy(&sample, bytes, sizeof sample);  // little-endian host
        const auto bits = static_cast<std::uint16_t>(sample);
        return sample < 0 ? static_cast<std::uint16_t>(0u - bits) : bits;
    }
};

template <> struct SampleMagnitude<SampleKind::Int24> {
    using type = std::uint32_t;
    static constexpr double fullScale = 8388608.0;  // 2^23
    static type of(const std::byte* bytes) {
        const std::int32_t sample = stream::decodeInt24(std::to_integer<std::uint8_t>(bytes[0]),
                                                      std::to_integer<std::uint8_t>(bytes[1]),
                                                      std::to_integer<std::uint8_t>(bytes[2]));
        return static_cast<std::uint32_t>(sample < 0 ? -sample : sample);
    }
};

template <> struct SampleMagnitude<SampleKind::Int32> {
    using type = std::uint32_t;
    static constexpr double fullScale = 2147483648.0;  // 2^31
    static type of(const std::byte* bytes) {
        std::int32_t sample;
        std::memcpy(&sample, bytes, sizeof sample);
        const auto bits = static_cast<std::uint32_t>(sample);
        return sample < 0 ? 0u - bits : bits;
    }
};

template <> struct SampleMagnitude<SampleKind::Float32> {
    using type = float;
    static constexpr double fullScale = 1.0;
    static type of(const std::byte* bytes) {
        float sample;
        std::memcpy(&sample, bytes, sizeof sample);
        return std::fabs(sample);
    }
};

template <> struct SampleMagnitude<SampleKind::Float64> {
    using type = double;
    static constexpr double fullScale = 1.0;
    static type of(const std::byte* bytes) {
        double sample;
        std::memcpy(&sample, bytes, sizeof sample);
        return std::fabs(sample);
    }
};

static_assert(std::endian::native == std::endian::little, "samples are read in the host's byte order");

// Keeps the larger of a magnitude and the peak so far. The magnitude wins only
// when it compares strictly greater, so a float NaN (for which every comparison
// is false) never becomes a peak.
template <class Magnitude>
Magnitude larger(Magnitude magnitude, Magnitude peak) {
    return magnitude > peak ? magnitude : peak;
}

// Hands on the levels of the slice in progress, left before right, and starts
// the next slice.
void endSlice(SliceScan& scan, const SliceLevelReceiver& receiver) {
    for (int channel = 0; channel < scan.channels; ++channel) {
        const double peak = scan.peaks[static_cast<std::size_t>(channel)];
        if (peak > 0) receiver(channelAt(channel), sliceLevel(peak, scan.fullScale));
    }
    scan.peaks = {};
    scan.samplesInSlice = 0;
    ++scan.slicesDone;
}

}  // namespace

std::int64_t framesToScan(const SliceGrid& grid) {
    if (grid.sliceLength <= 0 || grid.sliceCount <= 0) return 0;
    return grid.sliceCount * grid.sliceLength;  // at most the sample count
}

template <SampleKind kind>
void scanSliceLevels(SliceScan& scan, const stream::ChannelSamples<kind>& block, const SliceLevelReceiver& receiver) {
    const std::int64_t sliceLength = scan.grid.sliceLength;
    if (sliceLength <= 0 || block.channels < 1 || block.channels > kMaxChannels) return;
    const auto channels = static_cast<std::size_t>(block.channels);
    const std::size_t frameBytes = channels * stream::fileSampleWidth<kind>();
    scan.channels = block.channels;
    scan.fullScale = SampleMagnitude<kind>::fullScale;

    std::size_t frame = 0;
    while (frame < block.frames && scan.slicesDone < scan.grid.sliceCount) {
        // The frames of this block that belong to the current slice, sample by
        // sample into their channel's peak. (The measuring pass takes the peaks
        // from the dynamics meter's kernels instead; this is the plain loop.)
        const auto take = static_cast<std::size_t>(std::min<std::int64_t>(
            sliceLength - scan.samplesInSlice, static_cast<std::int64_t>(block.frames - frame)));
        const std::byte* first = block.bytes + frame * frameBytes;
        using Magnitude = typename SampleMagnitude<kind>::type;
        std::array<Magnitude, kMaxChannels> found{};
        for (std::size_t index = 0; index < take * channels; ++index) {
            Magnitude& peak = found[index % channels];
            peak = larger(SampleMagnitude<kind>::of(first + index * stream::fileSampleWidth<kind>()), peak);
        }
        for (std::size_t channel = 0; channel < channels; ++channel) {
            const double peak = static_cast<double>(found[channel]);
            if (peak > scan.peaks[channel]) scan.peaks[channel] = peak;
        }
        frame += take;
        scan.samplesInSlice += static_cast<std::int64_t>(take);
        if (scan.samplesInSlice == sliceLength) endSlice(scan, receiver);
    }
}

template void scanSliceLevels<SampleKind::Int16>(SliceScan&, const stream::ChannelSamples<SampleKind::Int16>&,
                                                 const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Int24>(SliceScan&, const stream::ChannelSamples<SampleKind::Int24>&,
                                                 const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Int32>(SliceScan&, const stream::ChannelSamples<SampleKind::Int32>&,
                                                 const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Float32>(SliceScan&, const stream::ChannelSamples<SampleKind::Float32>&,
                                                   const SliceLevelReceiver&);
template void scanSliceLevels<SampleKind::Float64>(SliceScan&, const stream::ChannelSamples<SampleKind::Float64>&,
                                                   const SliceLevelReceiver&);

std::int64_t framesLeftInSlice(const SliceScan& scan) {
    if (scan.grid.sliceLength <= 0 || scan.slicesDone >= scan.grid.sliceCount) return 0;
    return scan.grid.sliceLength - scan.samplesInSlice;
}

void addSlicePeaks(SliceScan& scan, int channels, std::int64_t frames, std::span<const double> peaks,
                   const SliceLevelReceiver& receiver) {
    if (frames <= 0 || frames > framesLeftInSlice(scan) || channels < 1 || channels > kMaxChannels) return;
    scan.channels = channels;
    scan.fullScale = 1.0;
    for (std::size_t channel = 0; channel < static_cast<std::size_t>(channels) && channel < peaks.size(); ++channel)
        scan.peaks[channel] = larger(peaks[channel], scan.peaks[channel]);
    scan.samplesInSlice += frames;
    if (scan.samplesInSlice == scan.grid.sliceLength) endSlice(scan, receiver);
}

void finishSliceScan(SliceScan& scan, const SliceLevelReceiver& receiver) {
    if (scan.samplesInSlice > 0) endSlice(scan, receiver);
}

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

int sliceLevel(double slicePeak, double fullScale) {
    // Full scale itself gives exactly -0.5, which rounds (ties to even) to 0.
    const double level = std::nearbyint(20.0 * std::log10(fullScale / slicePeak) - 0.5);
    // An infinite peak makes the logarithm -inf; a peak of 0 or NaN, outside the
    // contract, makes it +inf or NaN. None of these may reach the conversion.
    if (std::isnan(level) || level >= static_cast<double>(INT_MAX)) return kUnmeasurableLevel;
    if (level <= static_cast<double>(INT_MIN)) return kAboveFullScaleLevel;
    return static_cast<int>(level);
}

}  // namespace vantorel::analysis
