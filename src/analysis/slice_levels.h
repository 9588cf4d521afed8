#pragma once
// The measurement: the recording cut into slices of a tenth of a second, each
// slice's peak per channel turned into whole dB below full scale.

#include <climits>
#include <cstdint>
#include <functional>

#include "platform/console.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"

namespace vantorel::analysis {

struct SliceGrid {
    std::int64_t sliceLength = 0;  // samples of one channel per slice (a tenth of a second)
    std::int64_t sliceCount = 0;   // whole slices analysed; the denominator of every share
};

enum class Channel { Mono, Left, Right };

// Receives (channel, slice level) for every slice that is not silent in a channel.
using SliceLevelReceiver = std::function<void(Channel channel, int sliceLevel)>;

// The grid for a sample rate and a number of samples per channel: sampleRate / 10
// rounded (ties to even), and the whole number of such slices in the recording.
// A slice length of 0 or below gives no slices.
SliceGrid computeSliceGrid(std::int32_t sampleRate, std::int64_t sampleCount);

// computeSliceGrid, then prints "   Analysing over N time slices..." at the cursor.
SliceGrid makeSliceGrid(platform::Console& console, std::int32_t sampleRate, std::int64_t sampleCount);

// The level of an infinite peak (a float sample of +-inf): above full scale by
// more than any finite peak, so it counts like any other negative level.
inline constexpr int kAboveFullScaleLevel = INT_MIN;
// The level given to a peak outside the contract (0 or NaN): below every bin.
inline constexpr int kUnmeasurableLevel = INT_MAX;

// Whole dB by which a peak (> 0, same unit as fullScale) lies below full scale:
// 20 log10(fullScale / peak) - 0.5 rounded to the nearest whole number, ties to
// even, in double, which is the largest whole number not above
// 20 log10(fullScale / peak). A peak at full scale gives 0; above full scale the
// level is negative (2.0 over 1.0 gives -7); an infinite peak gives
// kAboveFullScaleLevel, a peak of 0 or NaN kUnmeasurableLevel.
int sliceLevel(double slicePeak, double fullScale);

// Scans every slice in order, left before right, hands each non-silent level to
// the receiver, then releases the sample arrays. Full scales: 32768 (Int16),
// 2^23 (Int24), 2^31 (Int32), 1.0 (Float32); a NaN sample is never a peak.
// Channels 1 or 2 with a sampleKind are scanned; any other layout hands nothing
// on. Only slices that lie wholly inside every array are read.
void scanSliceLevels(const wave::WaveInfo& info, wave::ChannelSamples& samples, const SliceGrid& grid,
                     const SliceLevelReceiver& receiver);

}  // namespace vantorel::analysis
