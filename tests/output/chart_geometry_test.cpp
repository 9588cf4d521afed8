// The chart's coordinates: curve points at the rounding ties and against the
// reference charts' lists, and the percentage axis of every scale.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "output/chart_metafile.h"
#include "reference_charts.h"

namespace vantorel::output {
namespace {

using analysis::LevelHistogram;
using analysis::ShareScale;

LevelHistogram singleBin(int bin, std::int32_t count) {
    LevelHistogram histogram;
    histogram.bins[static_cast<std::size_t>(bin)] = count;
    return histogram;
}

std::vector<std::int32_t> ysOf(const PointList& points) {
    std::vector<std::int32_t> ys;
    for (const ChartPoint& point : points) ys.push_back(point.y);
    return ys;
}

TEST(ChartPoints, RunFromZeroDbAtTheRightToMinusFortyAtTheLeft) {
    const PointList points = chartPoints(LevelHistogram{}, 600, 10);
    EXPECT_EQ(points.front().x, 900);
    EXPECT_EQ(points[1].x, 880);
    EXPECT_EQ(points[20].x, 500);
    EXPECT_EQ(points.back().x, 100);
}

TEST(ChartPoints, EmptyBinsLieOnTheBottomEdgeAndAFullTopShareOnTheTop) {
    EXPECT_EQ(chartPoints(LevelHistogram{}, 600, 10)[7].y, 100);
    EXPECT_EQ(chartPoints(singleBin(6, 100), 100, 100)[6].y, 900);  // 100 % of 100 %
    EXPECT_EQ(chartPoints(singleBin(3, 60), 600, 10)[3].y, 900);    // 10 % of 10 %
    EXPECT_EQ(chartPoints(singleBin(0, 480), 600, 80)[0].y, 900);   // 80 % of 80 %
    EXPECT_EQ(chartPoints(singleBin(9, 150), 600, 50)[9].y, 500);   // 25 % of 50 %: halfway
}

TEST(ChartPoints, TiesGoToTheEvenNeighbour) {
    // 1 of 3200 slices at top 10 is exactly 102.5, 3 of them 107.5.
    EXPECT_EQ(chartPoints(singleBin(0, 1), 3200, 10)[0].y, 102);
    EXPECT_EQ(chartPoints(singleBin(0, 3), 3200, 10)[0].y, 108);
    EXPECT_EQ(chartPoints(singleBin(0, 5), 3200, 10)[0].y, 112);  // 112.5
}

TEST(ChartPoints, FollowExtendedPrecisionWhereDoubleWouldRoundUp) {
    // 647 of 2000 at top 80 is 423.5 exactly; the extended-precision steps land
    // just below it, double-precision ones on or above it.
    EXPECT_EQ(chartPoints(singleBin(12, 647), 2000, 80)[12].y, 423);
    const double inDouble = (((647.0 * 100) / 2000) * 800) / 80 + 100;
    EXPECT_GE(inDouble, 423.5);
}

TEST(ChartPoints, NoSlicesPutEveryPointOnTheZeroLine) {
    for (const std::int64_t sliceCount : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{-32768}}) {
        const PointList points = chartPoints(singleBin(0, 7), sliceCount, 10);
        for (const ChartPoint& point : points) EXPECT_EQ(point.y, 100) << "sliceCount " << sliceCount;
    }
    for (const ChartPoint& point : chartPoints(singleBin(5, 7), 100, 0)) EXPECT_EQ(point.y, 100);
}

TEST(ChartPoints, OutlandishCountsStayWithinSixteenBits) {
    LevelHistogram histogram;
    histogram.bins[0] = INT32_MAX;
    histogram.bins[1] = INT32_MIN;
    histogram.bins[2] = 2;  // twice the one slice: 200 % of 10 %
    const PointList points = chartPoints(histogram, 1, 10);
    EXPECT_EQ(points[0].y, 32767);
    EXPECT_EQ(points[1].y, -32768);
    EXPECT_EQ(points[2].y, 16100);
}

// The reference charts' histograms and the point lists recorded with them.
TEST(ChartPoints, MatchTheReferenceCharts) {
    const LevelHistogram mono = reference::histogramOf({0, 0, 0, 0, 0, 0, 100});
    std::vector<std::int32_t> monoY(41, 100);
    monoY[6] = 900;
    EXPECT_EQ(ysOf(chartPoints(mono, 100, 100)), monoY);

    EXPECT_EQ(ysOf(chartPoints(reference::kMusicLeft, reference::kMusicSlices, 10)), reference::kMusicLeftY);
    EXPECT_EQ(ysOf(chartPoints(reference::kMusicRight, reference::kMusicSlices, 10)), reference::kMusicRightY);
}

struct AxisRow {
    ShareScale scale;
    std::vector<std::int32_t> gridY;
    std::vector<ShareLabel> labels;
};

// The whole table of grid lines and labels for the eight scales.
const std::vector<AxisRow>& axisTable() {
    static const std::vector<AxisRow> table{
        {{10, 5}, {260, 420, 580, 740},
         {{" 0", 80, 112}, {" 2", 80, 272}, {" 4", 80, 432}, {" 6", 80, 592}, {" 8", 80, 752}, {" 10", 75, 912}}},
        {{20, 4}, {300, 500, 700},
         {{" 0", 80, 112}, {" 5", 80, 312}, {" 10", 75, 512}, {" 15", 75, 712}, {" 20", 75, 912}}},
        {{30, 6}, {233, 367, 500, 633, 767},
         {{" 0", 80, 112}, {" 5", 80, 245}, {" 10", 75, 379}, {" 15", 75, 512}, {" 20", 75, 645},
          {" 25", 75, 779}, {" 30", 75, 912}}},
        {{40, 4}, {300, 500, 700},
         {{" 0", 80, 112}, {" 10", 75, 312}, {" 20", 75, 512}, {" 30", 75, 712}, {" 40", 75, 912}}},
        {{50, 5}, {260, 420, 580, 740},
         {{" 0", 80, 112}, {" 10", 75, 272}, {" 20", 75, 432}, {" 30", 75, 592}, {" 40", 75, 752},
          {" 50", 75, 912}}},
        {{60, 6}, {233, 367, 500, 633, 767},
         {{" 0", 80, 112}, {" 10", 75, 245}, {" 20", 75, 379}, {" 30", 75, 512}, {" 40", 75, 645},
          {" 50", 75, 779}, {" 60", 75, 912}}},
        {{80, 4}, {300, 500, 700},
         {{" 0", 80, 112}, {" 20", 75, 312}, {" 40", 75, 512}, {" 60", 75, 712}, {" 80", 75, 912}}},
        {{100, 5}, {260, 420, 580, 740},
         {{" 0", 80, 112}, {" 20", 75, 272}, {" 40", 75, 432}, {" 60", 75, 592}, {" 80", 75, 752},
          {" 100", 75, 912}}},
    };
    return table;
}

TEST(ShareAxis, MatchesTheTableForEveryScale) {
    for (const AxisRow& row : axisTable()) {
        SCOPED_TRACE(testing::Message() << "top " << row.scale.top << ", divisions " << row.scale.divisions);
        const ShareAxis axis = shareAxis(row.scale);
        EXPECT_EQ(axis.gridY, row.gridY);
        ASSERT_EQ(axis.labels.size(), row.labels.size());
        for (std::size_t j = 0; j < row.labels.size(); ++j) {
            EXPECT_EQ(axis.labels[j].text, row.labels[j].text) << "label " << j;
            EXPECT_EQ(axis.labels[j].x, row.labels[j].x) << "label " << j;
            EXPECT_EQ(axis.labels[j].y, row.labels[j].y) << "label " << j;
        }
    }
}

TEST(ShareAxis, AScaleWithoutDivisionsHasNoGridAndNoLabels) {
    for (const ShareScale scale : {ShareScale{10, 0}, ShareScale{0, 5}, ShareScale{-20, 4}, ShareScale{20, -4}}) {
        const ShareAxis axis = shareAxis(scale);
        EXPECT_TRUE(axis.gridY.empty());
        EXPECT_TRUE(axis.labels.empty());
    }
}

}  // namespace
}  // namespace vantorel::output
