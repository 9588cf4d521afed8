// Fuzzes the chart: chartPoints on arbitrary histograms, slice counts and axis
// tops, and the chart drawn as a metafile, which must be well formed and whose
// curves are exactly the chart points.
//
// Input: byte 0 flags, byte 1 channel count, byte 2 number of histograms (0..9),
// then the slice count (8 bytes), top and divisions (2 bytes each) and the
// histograms' counts (41 x 4 bytes each); bytes past the end read as 0.
// With flag bit 0 the input is held to what an analysis can give: counts from
// 0 to the slice count, and the scale the analysis would choose.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "analysis/level_distribution.h"
#include "emf_walk.h"
#include "fuzz_check.h"
#include "output/chart_metafile.h"

namespace {

using namespace vantorel;

// Reads little-endian fields one after the other; 0 past the end.
class FieldReader {
public:
    FieldReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint64_t next(std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i, ++offset_) {
            if (offset_ < size_) value |= std::uint64_t{data_[offset_]} << (8 * i);
        }
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

void checkPoints(const output::PointList& points, const analysis::LevelHistogram& histogram,
                 std::int64_t sliceCount, int top, bool realistic) {
    for (std::size_t i = 0; i < points.size(); ++i) {
        const output::ChartPoint point = points[i];
        const std::int64_t count = histogram.bins[i];
        FUZZ_CHECK(point.x == 900 - 20 * static_cast<std::int32_t>(i));
        FUZZ_CHECK(point.y >= -32768 && point.y <= 32767);
        if (sliceCount <= 0 || top <= 0 || count == 0) {
            FUZZ_CHECK(point.y == 100);
            continue;
        }
        // Within half a unit of the exact 100 + count x 80000 / (sliceCount x top),
        // or held at the edge of the 16-bit range.
        const long double exact = 100.0L + static_cast<long double>(count) * 80000.0L /
                                               (static_cast<long double>(sliceCount) * static_cast<long double>(top));
        if (exact < -32768.5L) {
            FUZZ_CHECK(point.y == -32768);
        } else if (exact > 32767.5L) {
            FUZZ_CHECK(point.y == 32767);
        } else {
            FUZZ_CHECK(point.y - exact <= 0.5L + 1e-9L && exact - point.y <= 0.5L + 1e-9L);
        }
        // A share of exactly the top lies on the top edge.
        if (static_cast<__int128>(count) * 100 == static_cast<__int128>(sliceCount) * top) FUZZ_CHECK(point.y == 900);
        if (realistic) FUZZ_CHECK(point.y >= 100 && point.y <= 900);
    }
    // More slices never lie lower.
    for (std::size_t i = 0; i < points.size(); ++i) {
        for (std::size_t j = 0; j < points.size(); ++j) {
            if (histogram.bins[i] < histogram.bins[j]) FUZZ_CHECK(points[i].y <= points[j].y);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FieldReader reader(data, size);
    const auto flags = static_cast<std::uint8_t>(reader.next(1));
    const bool realistic = (flags & 1) != 0;
    const int channels = static_cast<std::int8_t>(reader.next(1));
    const std::size_t histogramCount = reader.next(1) % 10;
    auto sliceCount = static_cast<std::int64_t>(reader.next(8));
    analysis::ShareScale scale;
    scale.top = static_cast<std::int16_t>(reader.next(2));
    scale.divisions = static_cast<std::int16_t>(reader.next(2));
    // Any number of divisions is drawn, but each one costs a grid line and a
    // label: most inputs get a few, some up to a thousand, so that no input
    // takes seconds.
    scale.divisions = static_cast<std::int16_t>(scale.divisions % ((flags & 2) != 0 ? 1024 : 40));

    std::vector<analysis::LevelHistogram> histograms(histogramCount);
    for (analysis::LevelHistogram& histogram : histograms)
        for (std::int64_t& count : histogram.bins) count = static_cast<std::int32_t>(reader.next(4));

    if (realistic) {
        // What an analysis gives: at most 2^31 - 1 samples per channel, so far fewer slices.
        sliceCount = static_cast<std::int64_t>(static_cast<std::uint64_t>(sliceCount) % 2'000'000'000);
        for (analysis::LevelHistogram& histogram : histograms)
            for (std::int64_t& count : histogram.bins)
                count = static_cast<std::int64_t>(static_cast<std::uint32_t>(count) %
                                                  static_cast<std::uint64_t>(sliceCount + 1));
        scale = analysis::chooseShareScale(analysis::highestShare(histograms, sliceCount));
    }

    for (const analysis::LevelHistogram& histogram : histograms) {
        checkPoints(output::chartPoints(histogram, sliceCount, scale.top), histogram, sliceCount, scale.top,
                    realistic);
    }

    const std::vector<std::uint8_t> file =
        output::drawChart(output::ChartFormat::Metafile, channels, histograms, sliceCount, scale);

    const fuzz::EmfWalk walk = fuzz::walkEmf(file);
    if (!walk.wellFormed()) {
        std::fprintf(stderr, "metafile not well formed: %s\n", walk.error.c_str());
        FUZZ_CHECK(walk.wellFormed());
    }

    // One curve per channel of a chart of 1 to 8 channels, drawn from the chart points.
    const bool drawsCurves = channels >= 1 && channels <= output::kMostChartChannels &&
                             histograms.size() == static_cast<std::size_t>(channels);
    const analysis::ShareScale usedScale =
        scale.top > 0 && scale.divisions > 0 ? scale : analysis::ShareScale{};
    std::size_t curve = 0;
    for (const fuzz::EmfRecord& record : walk.records) {
        if (record.type != fuzz::emf_types::kPolyline16 && record.type != fuzz::emf_types::kPolyline) continue;
        FUZZ_CHECK(drawsCurves && curve < histograms.size());
        const output::PointList expected = output::chartPoints(histograms[curve], sliceCount, usedScale.top);
        const std::vector<fuzz::EmfPoint> drawn = fuzz::polylinePoints(file, record);
        FUZZ_CHECK(drawn.size() == expected.size());
        for (std::size_t i = 0; i < drawn.size(); ++i)
            FUZZ_CHECK(drawn[i].x == expected[i].x && drawn[i].y == expected[i].y);
        ++curve;
    }
    FUZZ_CHECK(curve == (drawsCurves ? histograms.size() : 0));
    return 0;
}
