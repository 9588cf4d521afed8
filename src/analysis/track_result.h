#pragma once
// Everything the tool knows of a file once it is measured, as plain values:
// its stream's format, the slice grid and the level counts per channel with
// the chart's scale, the peaks, full-scale samples and DR with the figures of
// its 3-second blocks, and where asked for the loudness with the block
// energies an album's loudness is gated from. No meter, file or library state:
// a record that can be kept, compared and written out later. Every output is
// written from it.

#include <vector>

#include "analysis/level_distribution.h"
#include "stream/stream_format.h"

namespace vantorel::analysis {

// Raised whenever a field is added, removed or changes its meaning, so that a
// record kept by an earlier version is never taken for one of this.
inline constexpr int kTrackResultVersion = 1;

struct TrackResult {
    int version = kTrackResultVersion;
    stream::StreamFormat format;  // with the frames as measured
    LevelAnalysis levels;         // its loudness failure is always none: such a file has no result
};

}  // namespace vantorel::analysis
