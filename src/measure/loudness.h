#pragma once
// Loudness as EBU R128 and ITU-R BS.1770-4 define it, measured by libebur128
// from the same blocks the scan reads: the integrated loudness, the loudness
// range, the true peak (4x oversampled below 96 kHz) and the peak-to-loudness
// ratio.
//
// How the work is shared: the blocks handed in are copied, in libebur128's
// sample types (24-bit samples moved into the top of 32 bits), into batches of
// about kLoudnessBatchBytes. Each batch goes to two libebur128 meters, each on
// a worker thread of its own: the one for the integrated loudness and the
// range takes every batch; the true peak, the costly part (4x oversampling,
// some 90 clock cycles a sample), is shared by several meters that take the
// batches in turn. Such a meter first takes the last kTruePeakLeadInFrames
// frames before its batch, so that its interpolator holds what it would have
// held had it seen everything, and counts only the peaks of the batch itself:
// the largest of their peaks is the true peak of the whole. The meters take
// their batches in steps, and pass over a step whose frames cannot raise the
// true peak any meter has found so far: a frame's true peak is at most the
// interpolator's gain (read off its answer to an impulse) times the largest
// magnitude of the frames it depends on, so the answer does not change, but
// the quieter parts of a recording cost little. A batch is reused
// once both of its meters have taken it; when none is free the caller waits,
// so memory stays bounded however long the recording.
//
// Channels: with a channel mask (WAVE_FORMAT_EXTENSIBLE bit order: bit 0 front
// left, 1 front right, 2 front centre, 3 low-frequency effects, 4 back left,
// 5 back right, 6/7 front left/right of centre, 8 back centre, 9/10 side
// left/right, 11-17 the top positions) channel i takes the position of the
// mask's i-th set bit; channels past the mask's bits count like a front
// channel. Without a mask one or two channels are mono or left and right, more
// take the layout assumed for their count (stream::assumedChannelMask: five are
// L R C Ls Rs, six L R C LFE Ls Rs). The LFE channel is not counted; back and side channels weigh
// 1.41 (+1.5 dB), the others 1.0, as BS.1770-4 sets.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "stream/samples.h"

namespace vantorel::measure {

// Bytes of samples per batch handed to the workers (whole frames).
inline constexpr std::size_t kLoudnessBatchBytes = 256 * 1024;
// Frames a true-peak meter takes before a batch that does not follow its last
// one: more than its interpolator remembers.
inline constexpr std::size_t kTruePeakLeadInFrames = 64;
// Frames a true-peak meter takes at a time; a step whose frames are too quiet
// to raise the true peak found so far is passed over.
inline constexpr std::size_t kTruePeakStepFrames = 4096;
// The most true-peak meters, each on its own thread.
inline constexpr int kMaxTruePeakWorkers = 4;

// Whether this build measures loudness (libebur128 was found when it was built).
bool loudnessAvailable();

// What several recordings measured as one need of each: the energies (mean
// weighted square, 1.0 = a full-scale sine in a front channel less 0.691 dB,
// as BS.1770 sums them) of its 400 ms gating blocks, one every 100 ms from
// 400 ms on, and of its 3-second short-term blocks, one every second from 3 s
// on, each only where it lies at or above the absolute gate of -70 LUFS; in
// the order they were measured. Plain numbers: they can be kept and summed
// later.
struct LoudnessBlocks {
    std::vector<double> gating;
    std::vector<double> shortTerm;
    friend bool operator==(const LoudnessBlocks&, const LoudnessBlocks&) = default;
};

struct Loudness {
    std::optional<double> integratedLufs;  // LUFS; none when no 400 ms block is above the -70 LUFS gate
    std::optional<double> rangeLu;         // LU; none where the integrated loudness is none
    std::optional<double> truePeakDbtp;    // dBTP, the largest of the channels' (1.0 = 0 dBTP); none for silence
    std::optional<double> plrDb;           // true peak less integrated loudness, dB; none where either is none
    // The blocks, kept so that several recordings can be measured as one (see
    // albumLoudness): a few numbers per second of sound.
    std::optional<LoudnessBlocks> blocks;
};

// Several recordings measured as one programme, as libebur128 does for an
// album: the integrated loudness and range over the gating blocks of them all.
struct AlbumLoudness {
    std::optional<double> integratedLufs;  // LUFS; none when no block is above the gate or none was kept
    std::optional<double> rangeLu;         // LU; none where the integrated loudness is none
};

// The gating of BS.1770 and EBU Tech 3342 over the blocks of all the
// recordings, in their order, as libebur128 gates a meter's own blocks.
AlbumLoudness albumLoudness(std::span<const LoudnessBlocks* const> recordings);

enum class LoudnessFailure {
    NotAvailable,  // this build has no loudness meter
    BadFormat,     // channels outside 1 .. 8, or a sample rate libebur128 does not take
    OutOfMemory,   // a meter, a batch or a worker thread could not be had
    MeterFailed,   // a meter refused the samples handed to it
};

// One line saying why, for the caller to show.
std::string_view loudnessFailureMessage(LoudnessFailure failure);

// The meters of one recording and their workers. Move-only; dropping one that
// was not finished stops its workers and waits for them.
struct LoudnessWork;
struct LoudnessMeter {
    std::unique_ptr<LoudnessWork, void (*)(LoudnessWork*)> work{nullptr, nullptr};
};

// Starts the meters and their workers for blocks of `channels` channels at
// `sampleRate` frames per second, positioned by `channelMask` (0 when unknown).
// The true peak is shared by `truePeakWorkers` meters (1 .. kMaxTruePeakWorkers;
// 0: one per processor the system reports, up to kMaxTruePeakWorkers). The
// answers do not depend on it.
std::variant<LoudnessMeter, LoudnessFailure> startLoudness(int channels, std::int32_t sampleRate,
                                                           std::uint64_t channelMask, int truePeakWorkers = 0);

// Hands one block of frames to the meters (a copy: the block may go once this
// returns). Blocks must come in order, all of one kind and of the meter's
// channel count (others are ignored); any cut gives the same answer. May wait
// while the workers catch up.
template <stream::SampleKind kind>
void addLoudnessBlock(LoudnessMeter& meter, const stream::ChannelSamples<kind>& block);

// Waits for the workers to take every block handed in, and gives the results.
// The meter measures nothing more afterwards.
std::variant<Loudness, LoudnessFailure> finishLoudness(LoudnessMeter& meter);

}  // namespace vantorel::measure
