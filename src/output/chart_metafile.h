#pragma once
// The chart of the level distribution as an enhanced metafile beside the input,
// and the same drawing as SVG.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/level_distribution.h"
#include "stream/samples.h"

namespace vantorel::output {

struct ChartPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

using PointList = std::array<ChartPoint, analysis::kLevelBins>;

// One label of the percentage axis: its text and the middle of its top edge.
struct ShareLabel {
    std::string text;  // numberText of the value, 15 digits (" 0", " 20", " 100")
    std::int32_t x = 0;  // 80 for values below 10, 75 otherwise
    std::int32_t y = 0;  // its grid line's height + 12, so the text stands above the line
};

// The percentage axis of one scale: the inner horizontal grid lines (j = 1 ..
// divisions - 1) and the labels (j = 0 .. divisions), bottom to top.
struct ShareAxis {
    std::vector<std::int32_t> gridY;
    std::vector<ShareLabel> labels;
};

// Grid line j at j / divisions x 800 + 100 and label j at that height + 12, both
// rounded ties-to-even; label j shows top x j / divisions. A scale without a
// positive top and divisions has no grid lines and no labels.
ShareAxis shareAxis(analysis::ShareScale scale);

// The 41 points of one curve: x = 900 - 20 i, y = count x 100 / sliceCount x 800 /
// top + 100 evaluated in that order in long double and rounded ties-to-even.
// With no slices (sliceCount <= 0) or no positive top every point lies on the
// 0 % line (y 100). Counts that are not part of sliceCount cannot push y beyond
// the 16-bit range: it is held within -32768 .. 32767.
PointList chartPoints(const analysis::LevelHistogram& histogram, std::int64_t sliceCount, int top);

// The chart drawn as SVG, beside the input like the metafile.
inline constexpr std::string_view kSvgChartSuffix = " VT.svg";

enum class ChartFormat {
    Metafile,  // the enhanced metafile
    Svg,       // the same drawing calls through the device context's SVG back end
};

// The most channels the chart draws curves for.
inline constexpr int kMostChartChannels = stream::kMaxChannels;

// Draws the chart and gives the file's bytes, recorded in memory (none if it
// cannot be recorded). One curve per channel for 1 to 8 channels with as many
// histograms, none otherwise: blue for channel 1, red for channel 2, then six
// more colours. From 3 channels on, a legend names each curve by channelNames,
// or "channel 1" .. "channel N" when they are not one per channel: in the top
// right corner of the plot area, or in the top left one when the curves reach
// into the right one and less high into the left. Mono and stereo charts have
// no legend. A scale without a positive top and divisions is drawn as 10 with
// 5 divisions.
std::vector<std::uint8_t> drawChart(ChartFormat format, int channels,
                                    const std::vector<analysis::LevelHistogram>& histograms, std::int64_t sliceCount,
                                    analysis::ShareScale scale, std::span<const std::string> channelNames = {});

}  // namespace vantorel::output
