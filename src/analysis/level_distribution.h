#pragma once
// The distribution of slice levels per channel and the scale of the chart's
// percentage axis.

#include <array>
#include <cstdint>
#include <functional>
#include <variant>
#include <vector>

#include "analysis/slice_levels.h"
#include "decode/audio_decoder.h"
#include "measure/dynamics.h"
#include "measure/loudness.h"
#include "platform/files.h"
#include "stream/sample_source.h"
#include "wave/sample_loader.h"

namespace vantorel::analysis {

inline constexpr int kLevelBins = 41;  // 0 .. 40 dB below full scale

struct LevelHistogram {
    // Slices whose level is the bin number: 64-bit, as a recording at a few
    // samples per second can have more than 2^31 slices.
    std::array<std::int64_t, kLevelBins> bins{};
};

struct ShareScale {
    std::int16_t top = 10;       // percent at the top of the axis: 10, 20, 30, 40, 50, 60, 80 or 100
    std::int16_t divisions = 5;  // 4, 5 or 6 equal divisions
};

struct LevelAnalysis {
    std::vector<LevelHistogram> histograms;  // one per channel in frame order (mono, or left then right, ...)
    SliceGrid grid;
    ShareScale scale;
    measure::Dynamics dynamics;               // of every frame read, the last partial slice's too
    std::vector<measure::DrBlock> drBlocks;   // its 3-second blocks, `channels` per block in frame order
    std::optional<measure::Loudness> loudness;  // when asked for and measured
    std::optional<measure::LoudnessFailure> loudnessFailure;  // when asked for and not measured
};

// What is measured besides the slice levels and the dynamics.
struct MeasureOptions {
    bool loudness = false;  // EBU R128 loudness, range and true peak: costs time, so only when asked
    int decodeParts = 1;    // threads a long stream of integer samples may be read on, in parts
};

// The whole measurement of a stream from any source: its samples read once, in
// order (or, for a long stream that can be read in parts, in up to
// options.decodeParts parts side by side, with the same results; not with the
// loudness, which follows the stream in order), each block handed to every
// receiver of the measuring pass: the slice levels counted into the
// histograms, the dynamics, the loudness where asked for. Then the highest
// share and the axis scale. The grid is the stream's where its length is
// known, else that of the frames delivered. `afterEachBlock` as below.
std::variant<LevelAnalysis, stream::SourceFailure> analyseStream(const stream::SampleSource& source,
                                                                 const std::function<void()>& afterEachBlock = {},
                                                                 const MeasureOptions& options = {});

// The whole measurement of one file: the grid, the histograms, the samples read
// from the open file and scanned as they arrive, counting into the histograms,
// then the highest share and the axis scale. `info` is a header that
// readWaveHeader accepted; any other layout reads nothing and gets no
// histograms. Prints nothing; a read that fails gives the failure.
// `afterEachBlock`, when given, is called on this thread after each block of
// samples is measured: the dialogue keeps its screen shown with it.
std::variant<LevelAnalysis, wave::LoadFailure> analyseLevels(const wave::WaveInfo& info,
                                                            const platform::ReadOnlyFile& file,
                                                            const std::function<void()>& afterEachBlock = {},
                                                            const MeasureOptions& options = {});

// The same measurement of a file in another format, decoded as it is
// measured. The grid is that of the frames the decoder delivered (for lossy
// codecs known only at the end; opened.format.frames then holds them).
// A long file whose format seeks exactly is decoded in up to
// options.decodeParts parts side by side (not with the loudness, which
// follows the recording in order), with the same results; where a part fails,
// the file is decoded again in one piece, which tells the failure.
std::variant<LevelAnalysis, decode::DecodeFailure> analyseDecodedLevels(decode::OpenedAudio& opened,
                                                                        const std::function<void()>& afterEachBlock = {},
                                                                        const MeasureOptions& options = {});

// Counts one slice level into the channel's histogram: levels above 40 are
// dropped, levels below 0 (peaks above full scale) count in bin 0.
void countSliceLevel(std::vector<LevelHistogram>& histograms, Channel channel, int sliceLevel);

// count x 100 / sliceCount in double; 0 when sliceCount is 0 or below.
double binShare(std::int64_t count, std::int64_t sliceCount);

// The largest share of any bin of any channel (0 when none is above 0).
double highestShare(const std::vector<LevelHistogram>& histograms, std::int64_t sliceCount);

// The axis scale for the highest share; a share on a boundary takes the lower row.
ShareScale chooseShareScale(double highestShare);

}  // namespace vantorel::analysis
