#pragma once
// The measurement: the recording cut into slices of a tenth of a second, each
// slice's peak per channel turned into whole dB below full scale. The samples
// arrive in blocks (see stream/sample_source.h); the measuring pass folds the
// peaks that the dynamics meter finds in each run of a block into the current
// slice (addSlicePeaks), and every finished slice's level is handed on at once.
// scanSliceLevels is the plain loop over the samples themselves. Where the
// blocks are cut never changes the answer.

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "stream/samples.h"

namespace vantorel::analysis {

struct SliceGrid {
    std::int64_t sliceLength = 0;  // samples of one channel per slice (a tenth of a second)
    std::int64_t sliceCount = 0;   // whole slices analysed; the denominator of every share
};

using stream::kMaxChannels;

// A channel by its place in the frame: mono, or left then right, then the
// further channels of a surround recording (channelAt(2) and on).
enum class Channel : int { Mono = 0, Left = 0, Right = 1 };
constexpr Channel channelAt(int index) { return static_cast<Channel>(index); }
constexpr std::size_t channelIndex(Channel channel) { return static_cast<std::size_t>(channel); }

// Receives (channel, slice level) for every slice that is not silent in a channel.
using SliceLevelReceiver = std::function<void(Channel channel, int sliceLevel)>;

// The grid for a sample rate and a number of samples per channel: sampleRate / 10
// rounded (ties to even), and the whole number of such slices in the recording.
// A slice length of 0 or below gives no slices.
SliceGrid computeSliceGrid(std::int32_t sampleRate, std::int64_t sampleCount);

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

// The running state of the slice scan of one recording: where the current
// slice stands and each channel's peak in it so far (in the sample's own unit).
struct SliceScan {
    SliceGrid grid;
    std::int64_t slicesDone = 0;     // slices whose levels were handed on
    std::int64_t samplesInSlice = 0;  // samples of the current slice seen so far, per channel
    std::array<double, kMaxChannels> peaks{};  // per channel, in frame order
    int channels = 0;                 // of the blocks seen: 1 .. kMaxChannels
    double fullScale = 1.0;           // of the blocks' sample kind
};

// Frames the scan needs: the whole slices of the grid, sliceCount x sliceLength
// (0 for an empty grid). The incomplete last slice is never read.
std::int64_t framesToScan(const SliceGrid& grid);

// Folds one block of samples into the scan, handing on (channel, level) for
// every slice it completes: channels in frame order (left before right),
// nothing for a channel that is silent in the slice. Full scales: 32768
// (Int16), 2^23 (Int24), 2^31 (Int32), 1.0 (Float32, Float64); a NaN sample is
// never a peak. Blocks of 1 .. kMaxChannels channels must come in order; frames
// beyond framesToScan are ignored.
template <stream::SampleKind kind>
void scanSliceLevels(SliceScan& scan, const stream::ChannelSamples<kind>& block, const SliceLevelReceiver& receiver);

// Frames of the current slice still to come; 0 once every slice of the grid
// is done (or the grid has none).
std::int64_t framesLeftInSlice(const SliceScan& scan);

// Folds the peaks of the next `frames` frames (at most framesLeftInSlice) of
// `channels` channels, found by another pass over the same samples, into the
// current slice: `peaks` per channel in frame order, 1.0 = full scale. Hands on
// the slice's levels when it is complete, as scanSliceLevels does. The scan's
// full scale becomes 1.0; levels are the same as from the samples' own unit,
// since every full scale is a power of two.
void addSlicePeaks(SliceScan& scan, int channels, std::int64_t frames, std::span<const double> peaks,
                   const SliceLevelReceiver& receiver);

// Ends the scan where the data end: a slice the file ended inside (its missing
// samples would be zeros) is handed on as it stands. Slices after it are silent
// and hand nothing on.
void finishSliceScan(SliceScan& scan, const SliceLevelReceiver& receiver);

}  // namespace vantorel::analysis
