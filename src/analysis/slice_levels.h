#pragma once
// The measurement: the recording cut into slices of a tenth of a second, each
// slice's peak per channel turned into whole dB below full scale.

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

// Whole dB by which a peak (> 0) lies below full scale: the largest whole number
// not above 20 log10(fullScale / peak). Negative above full scale.
int sliceLevel(double slicePeak, double fullScale);

// Scans every slice in order, left before right, hands each non-silent level to
// the receiver, then releases the sample arrays.
void scanSliceLevels(const wave::WaveInfo& info, wave::ChannelSamples& samples, const SliceGrid& grid,
                     const SliceLevelReceiver& receiver);

}  // namespace vantorel::analysis
