#pragma once
// The stereo music recording behind the reference charts: its histograms and the
// curve heights a real GDI recorded for them (600 slices, scale 10 with 5
// divisions; x runs 900, 880, ..., 100).

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/level_distribution.h"

namespace vantorel::output::reference {

inline analysis::LevelHistogram histogramOf(const std::vector<std::int32_t>& counts) {
    analysis::LevelHistogram histogram;
    for (std::size_t i = 0; i < counts.size() && i < histogram.bins.size(); ++i) histogram.bins[i] = counts[i];
    return histogram;
}

inline constexpr std::int64_t kMusicSlices = 600;

inline const analysis::LevelHistogram kMusicLeft =
    histogramOf({18, 12, 7,  8,  10, 9,  18, 7,  16, 19, 14, 16, 18, 17, 12, 24, 19, 18, 20, 18, 15,
                 26, 26, 18, 16, 16, 18, 14, 17, 14, 10, 12, 14, 9,  5,  7,  8,  10, 4,  2,  2});
inline const analysis::LevelHistogram kMusicRight =
    histogramOf({18, 3,  8,  6,  7,  11, 12, 9,  16, 13, 9,  15, 19, 16, 20, 10, 21, 21, 17, 23, 20,
                 17, 22, 24, 22, 28, 22, 21, 19, 15, 16, 11, 8,  12, 7,  3,  3,  3,  9,  2,  2});

inline const std::vector<std::int32_t> kMusicLeftY{
    340, 260, 193, 207, 233, 220, 340, 193, 313, 353, 287, 313, 340, 327, 260, 420, 353, 340, 367, 340, 300,
    447, 447, 340, 313, 313, 340, 287, 327, 287, 233, 260, 287, 220, 167, 193, 207, 233, 153, 127, 127};
inline const std::vector<std::int32_t> kMusicRightY{
    340, 140, 207, 180, 193, 247, 260, 220, 313, 273, 220, 300, 353, 313, 367, 233, 380, 380, 327, 407, 367,
    327, 393, 420, 393, 473, 393, 380, 353, 300, 313, 247, 207, 260, 193, 140, 140, 140, 220, 127, 127};

}  // namespace vantorel::output::reference
