#pragma once
// The numbers people quote for a master's dynamics, folded block by block from
// the samples the scan reads anyway: per channel the sample peak, the samples at
// full scale, and the DR value as the DR meters compute it.
//
// DR: the recording is cut into blocks of 3 seconds of frames (3 x sample rate;
// the last, shorter block counts too). Per block and channel: the RMS as
// sqrt(2 x mean of the squared samples), so that a sine's RMS equals its peak,
// and the peak magnitude. Of a channel's blocks the loudest 20 % by RMS are
// taken: floor(blocks / 5), at least one. The channel's DR is
//     20 log10( second-highest block peak / sqrt(mean of those blocks' RMS^2) )
// in dB, where the second-highest block peak is the second value of the block
// peaks sorted from the largest down (two blocks peaking at full scale give
// full scale), and the highest peak when there is only one block. The file's DR
// is the mean of its channels' values rounded to the nearest whole number
// (halves to even), the number the DR meters print as "DR9". A channel without
// sound (no RMS, or only one block with sound among several) has no DR.
//
// Units: peaks are linear, 1.0 = full scale (32768 for 16-bit samples, 2^23 for
// 24-bit, 2^31 for 32-bit integers, 1.0 for float and double); levels in dB.
// Memory: a few numbers per channel and 3-second block (1200 blocks per hour),
// nothing per sample.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "stream/samples.h"

namespace vantorel::measure {

using stream::kMaxChannels;

// Length of a DR block in seconds.
inline constexpr int kDrBlockSeconds = 3;

// An unsigned integer of up to 128 bits: the exact sum of a block's squared
// integer samples (2^46 per 24-bit sample, millions of samples per block).
struct WideSum {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    void add(std::uint64_t value) {
        low += value;
        high += low < value ? 1 : 0;  // the carry
    }
    void add(const WideSum& other) {
        add(other.low);
        high += other.high;
    }
    double value() const;  // rounded to the nearest double
    friend bool operator==(const WideSum&, const WideSum&) = default;
};

// One channel over one 3-second block.
struct DrBlock {
    double rmsSquared = 0;  // 2 x mean of the squared samples, 1.0 = full scale
    double peak = 0;        // largest magnitude, 1.0 = full scale
    friend bool operator==(const DrBlock&, const DrBlock&) = default;
};

// The running state of one recording's measurement.
struct DynamicsMeter {
    int channels = 0;                // 1 .. kMaxChannels
    std::int64_t blockFrames = 0;    // frames per DR block: 3 x sample rate
    int sourceBits = 0;              // bits of the source's integer samples (for the full-scale codes)
    std::int64_t frames = 0;         // frames measured so far
    std::int64_t framesInBlock = 0;  // of the current DR block
    // The current block per channel: the squares of integer samples summed
    // exactly in the kind's own unit (see squareUnit), of float samples in double.
    std::array<WideSum, kMaxChannels> integerSquares{};
    std::array<double, kMaxChannels> floatSquares{};
    std::array<double, kMaxChannels> blockPeaks{};
    double squareUnit = 0;           // full scale squared, in the unit of integerSquares
    // The whole recording per channel.
    std::array<double, kMaxChannels> peaks{};
    std::array<std::uint64_t, kMaxChannels> fullScaleSamples{};
    std::vector<DrBlock> blocks;     // finished blocks, `channels` per block in frame order
};

// Starts a meter for blocks of `channels` channels at `sampleRate` frames per
// second. `sourceBits` is the depth of the source's integer samples, which sets
// the codes that count as full scale: a 24-bit source delivered as 32-bit
// samples (in the top 24 bits) has 0x7FFFFF00 as its largest code. A depth of
// 0, or one larger than the blocks' samples, means the samples' own. Nothing
// for channels outside 1 .. kMaxChannels or a rate of 0 or below.
std::optional<DynamicsMeter> startDynamics(int channels, std::int32_t sampleRate, int sourceBits);

// Folds one block of frames into the meter. Blocks must come in order; any
// cut gives the same answer (for float and double samples the sums of squares
// are rounded, so a different cut may change their last bits). A block whose
// channel count is not the meter's is ignored. Samples at full scale: integer
// samples at or above the source's largest code or at the smallest code; float
// and double samples of magnitude 1.0 or more. A NaN sample counts nowhere.
// The low 8 bits of a 32-bit integer sample do not enter its square (at most
// 2^-23 of full scale). Gives the block's peak per channel (1.0 = full scale;
// 0 past the channels), so that a caller cutting the blocks at boundaries of
// its own (the slice scan's) needs no pass of its own for them.
template <stream::SampleKind kind>
std::array<double, kMaxChannels> addDynamicsBlock(DynamicsMeter& meter, const stream::ChannelSamples<kind>& block);

struct ChannelDynamics {
    double peak = 0;                    // largest magnitude, 1.0 = full scale; 0 for silence
    std::uint64_t fullScaleSamples = 0;
    std::optional<double> dr;           // dB, before rounding; none for silence
    friend bool operator==(const ChannelDynamics&, const ChannelDynamics&) = default;
};

struct Dynamics {
    std::vector<ChannelDynamics> channels;  // in frame order
    double peak = 0;                        // the largest of the channels' peaks
    std::optional<int> dr;                  // the mean of the channels' DR values (those that have
                                            // one), rounded; none when no channel has one
    std::int64_t frames = 0;
    friend bool operator==(const Dynamics&, const Dynamics&) = default;
};

// Appends to `earlier` what a meter of its own measured of the frames that
// follow, from a DR block boundary on (a file measured in parts side by side):
// the meter then stands as one meter fed all the frames in order. False, with
// nothing changed, where `earlier` stands inside a DR block or the meters differ.
bool appendDynamics(DynamicsMeter& earlier, const DynamicsMeter& later);

// The results so far, the current (shorter) block included as the last.
Dynamics finishDynamics(const DynamicsMeter& meter);

// Every block so far, the current (shorter) one included as the last:
// `channels` per block in frame order.
std::vector<DrBlock> dynamicsBlocks(const DynamicsMeter& meter);

// A peak (1.0 = full scale) in dBFS: 20 log10(peak). None for silence (a peak
// of 0) or NaN; an infinite peak gives +infinity.
std::optional<double> peakDbfs(double peak);

// For tests: what one run of samples in the file's layout (followed by block
// padding) sums to at even and at odd positions, found by every kernel this
// CPU runs, the plain loop first. Sums of squares in the units described at
// DynamicsMeter, peaks 1.0 = full scale.
struct ParityDynamics {
    std::array<double, 2> squares{};
    std::array<double, 2> peaks{};
    std::array<std::uint64_t, 2> fullScaleSamples{};
};
template <stream::SampleKind kind>
std::vector<ParityDynamics> parityDynamicsByEveryKernel(const std::byte* bytes, std::size_t samples, int sourceBits);

}  // namespace vantorel::measure
