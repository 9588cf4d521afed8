#pragma once
// The chart of the level distribution as an enhanced metafile beside the input.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/level_distribution.h"

namespace vantorel::output {

struct ChartPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

using PointList = std::array<ChartPoint, analysis::kLevelBins>;

// The 41 points of one curve: x = 900 - 20 i, y = count x 100 / sliceCount x 800 /
// top + 100 evaluated in that order in long double and rounded ties-to-even.
// With no slices every point lies on the 0 % line (y 100).
PointList chartPoints(const analysis::LevelHistogram& histogram, std::int64_t sliceCount, int top);

// Draws the chart and writes it (atomically) as "<name less 4> VT.emf".
// Failures are silent and never leave a half-written file.
void writeChartMetafile(const std::string& inputName, int channels,
                        const std::vector<analysis::LevelHistogram>& histograms, std::int64_t sliceCount,
                        analysis::ShareScale scale);

}  // namespace vantorel::output
