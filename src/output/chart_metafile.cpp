#include "output/chart_metafile.h"

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <span>
#include <cstring>
#include <string_view>

#include "text/number_format.h"
#include "drawing/metafile.h"
#include "stream/channel_layout.h"

namespace vantorel::output {

static_assert(LDBL_MANT_DIG == 64, "the chart points need the x87 80-bit extended format");

namespace {

using drawing::COLORREF;
using drawing::HBRUSH;
using drawing::HDC;
using drawing::HENHMETAFILE;
using drawing::HFONT;
using drawing::HGDIOBJ;
using drawing::HPEN;
using drawing::POINT;
using drawing::RECT;
using drawing::RGB;
using drawing::SIZE;

// Plot area and picture in logical units (tenths of a millimetre, y upwards).
constexpr int kPlotLow = 100;
constexpr int kPlotHigh = 900;
constexpr int kPlotSpan = kPlotHigh - kPlotLow;  // 800
constexpr int kPictureSize = 950;
constexpr int kBinStep = 20;  // x units per decibel

// Label of the percentage axis: its top edge stands this far above its grid line.
constexpr int kShareLabelOffset = 12;

// Every text goes to TextOutA through a 20-byte zero-terminated buffer, so at
// most 19 characters of it are drawn.
constexpr std::size_t kTextBufferSize = 20;

// Point coordinates are held within the 16-bit range: far beyond the picture,
// yet clear of any overflow when the metafile layer scales or records them.
constexpr long double kLowestCoordinate = -32768.0L;
constexpr long double kHighestCoordinate = 32767.0L;

constexpr std::string_view kCreditText = "Vantorel";
constexpr std::string_view kLevelTitle = "peak level (dBFS)";
constexpr std::string_view kShareTitle = "%";

// Curve colours channel by channel: blue and red, as mono and stereo charts
// have them, then six that stay apart from those and from each other on white.
constexpr std::array<COLORREF, kMostChartChannels> kCurveColours{
    RGB(0, 0, 255),    // blue
    RGB(255, 0, 0),    // red
    RGB(0, 160, 0),    // green
    RGB(255, 140, 0),  // orange
    RGB(128, 0, 192),  // purple
    RGB(0, 160, 160),  // teal
    RGB(140, 80, 20),  // brown
    RGB(220, 0, 160),  // magenta
};
constexpr int kCurvePenWidth = 4;  // 0.4 mm

// The legend of three or more curves: a white box with a thin frame in a top
// corner of the plot area, one row per channel from channel 1 down, each a
// short line in the curve's pen and the channel's name in the label font.
constexpr int kLegendInset = 15;         // from the plot area's frame to the box
constexpr int kLegendPadding = 12;       // inside the box, around the rows
constexpr int kLegendRowPitch = 34;      // from one row's top to the next
constexpr int kLegendSampleLength = 50;  // the line in the curve's pen
constexpr int kLegendGap = 12;           // between that line and the name
constexpr int kLegendSampleDrop = 16;    // the line's height below the row's top: mid-height of lower-case letters

struct LevelLabel {
    int x;
    std::string_view text;
};

// The level axis is labelled every 5 dB, all labels 10 units below the plot area.
constexpr int kLevelLabelY = 90;
constexpr std::array<LevelLabel, 9> kLevelLabels{{
    {100, "-40"}, {200, "-35"}, {300, "-30"}, {400, "-25"}, {500, "-20"},
    {600, "-15"}, {700, "-10"}, {800, "-5"}, {900, "0"},
}};

// Nearest whole number, ties to the even one, whatever the FPU rounding mode.
// v - floor(v) is exact in binary floating point.
long double roundTiesToEven(long double value) {
    long double whole = std::floor(value);
    const long double fraction = value - whole;
    if (fraction > 0.5L || (fraction == 0.5L && std::fmod(whole, 2.0L) != 0)) whole += 1.0L;
    return whole;
}

// j / divisions x 800 + 100 + offset, rounded: the height of grid line or label j.
std::int32_t shareAxisY(int j, int divisions, int offset) {
    const long double exact =
        static_cast<long double>(j) / divisions * kPlotSpan + kPlotLow + static_cast<long double>(offset);
    return static_cast<std::int32_t>(roundTiesToEven(exact));
}

// The curve's y: a NaN (never produced by the guarded inputs) lies on the 0 % line.
std::int32_t pointY(long double exact) {
    if (std::isnan(exact)) return kPlotLow;
    const long double held = std::clamp(roundTiesToEven(exact), kLowestCoordinate, kHighestCoordinate);
    return static_cast<std::int32_t>(held);
}

// What TextOutA gets of a text through the 20-byte buffer: at most 19
// characters, up to the first zero byte.
std::string_view shownText(std::string_view text) {
    text = text.substr(0, kTextBufferSize - 1);
    return text.substr(0, text.find('\0'));
}

void drawText(HDC dc, int x, int y, std::string_view text) {
    const std::string_view shown = shownText(text);
    drawing::TextOutA(dc, x, y, shown.data(), static_cast<int>(shown.size()));
}

// The width and cell height of a text as drawText draws it in the selected font.
SIZE textExtent(HDC dc, std::string_view text) {
    const std::string_view shown = shownText(text);
    SIZE extent{};
    drawing::GetTextExtentPoint32A(dc, shown.data(), static_cast<int>(shown.size()), &extent);
    return extent;
}

void drawLine(HDC dc, int fromX, int fromY, int toX, int toY) {
    drawing::MoveToEx(dc, fromX, fromY, nullptr);
    drawing::LineTo(dc, toX, toY);
}

void drawCurve(HDC dc, const PointList& points) {
    std::array<POINT, analysis::kLevelBins> polyline{};
    for (std::size_t i = 0; i < points.size(); ++i) polyline[i] = {points[i].x, points[i].y};
    drawing::Polyline(dc, polyline.data(), static_cast<int>(polyline.size()));
}

HFONT createChartFont(int height, int width) {
    // Extra-bold Arial, TrueType, proof quality, horizontal.
    return drawing::CreateFontA(height, width, /*escapement*/ 0, /*orientation*/ 0, /*weight*/ 800,
                                 /*italic*/ 0, /*underline*/ 0, /*strikeOut*/ 0, /*charSet ANSI*/ 0,
                                 /*outPrecision OUT_TT_PRECIS*/ 4, /*clipPrecision default*/ 0,
                                 /*quality PROOF_QUALITY*/ 2, /*pitchAndFamily FF_MODERN*/ 48, "Arial");
}

bool isUsableScale(analysis::ShareScale scale) { return scale.top > 0 && scale.divisions > 0; }

// A box in logical units, y upwards.
struct LegendBox {
    int left;
    int bottom;
    int right;
    int top;
};

// How high the curves reach over the x range from left to right, counting the
// points just beyond it, whose segments cross its edges.
std::int32_t highestCurvePoint(const std::vector<PointList>& curves, int left, int right) {
    std::int32_t highest = kPlotLow;
    for (const PointList& curve : curves)
        for (const ChartPoint& point : curve)
            if (point.x >= left - kBinStep && point.x <= right + kBinStep) highest = std::max(highest, point.y);
    return highest;
}

// The legend's box in the top right corner when the curves stay below it, else
// in the top left one if they reach less high there.
LegendBox legendBox(const std::vector<PointList>& curves, int width, int height) {
    const int top = kPlotHigh - kLegendInset;
    const LegendBox right{kPlotHigh - kLegendInset - width, top - height, kPlotHigh - kLegendInset, top};
    const LegendBox left{kPlotLow + kLegendInset, top - height, kPlotLow + kLegendInset + width, top};
    const std::int32_t underRight = highestCurvePoint(curves, right.left, right.right);
    if (underRight < right.bottom || underRight <= highestCurvePoint(curves, left.left, left.right)) return right;
    return left;
}

// The legend, drawn over the curves with the label font selected: one row per
// curve, names[i] beside a line in curvePens[i].
void drawLegend(HDC dc, const std::vector<PointList>& curves, std::span<const std::string> names,
                std::span<const HPEN> curvePens, HPEN framePen, HBRUSH background) {
    int widestName = 0;
    int cellHeight = 0;
    for (const std::string& name : names) {
        const SIZE extent = textExtent(dc, name);
        widestName = std::max(widestName, static_cast<int>(extent.cx));
        cellHeight = std::max(cellHeight, static_cast<int>(extent.cy));
    }
    const int rows = static_cast<int>(names.size());
    const int width = 2 * kLegendPadding + kLegendSampleLength + kLegendGap + widestName;
    const int height = 2 * kLegendPadding + (rows - 1) * kLegendRowPitch + cellHeight;
    const LegendBox box = legendBox(curves, width, height);

    // FillRect's rectangle runs from its top field to its bottom field; with y
    // upwards the lower edge goes first, as for the picture's background.
    const RECT area{box.left, box.bottom, box.right, box.top};
    drawing::FillRect(dc, &area, background);
    drawing::SelectObject(dc, framePen);
    drawing::MoveToEx(dc, box.left, box.bottom, nullptr);
    drawing::LineTo(dc, box.right, box.bottom);
    drawing::LineTo(dc, box.right, box.top);
    drawing::LineTo(dc, box.left, box.top);
    drawing::LineTo(dc, box.left, box.bottom);

    drawing::SetTextAlign(dc, drawing::TA_LEFT | drawing::TA_TOP);
    const int sampleLeft = box.left + kLegendPadding;
    for (int row = 0; row < rows; ++row) {
        const int rowTop = box.top - kLegendPadding - row * kLegendRowPitch;
        drawing::SelectObject(dc, curvePens[static_cast<std::size_t>(row)]);
        drawLine(dc, sampleLeft, rowTop - kLegendSampleDrop, sampleLeft + kLegendSampleLength,
                 rowTop - kLegendSampleDrop);
        drawText(dc, sampleLeft + kLegendSampleLength + kLegendGap, rowTop, names[static_cast<std::size_t>(row)]);
    }
}

}  // namespace

ShareAxis shareAxis(analysis::ShareScale scale) {
    ShareAxis axis;
    if (!isUsableScale(scale)) return axis;
    const int divisions = scale.divisions;
    for (int j = 1; j < divisions; ++j) axis.gridY.push_back(shareAxisY(j, divisions, 0));
    for (int j = 0; j <= divisions; ++j) {
        // A whole number for every scale the analysis chooses.
        const long double value = static_cast<long double>(scale.top) * j / divisions;
        axis.labels.push_back({text::numberText(value, 15), value < 10 ? 80 : 75,
                               shareAxisY(j, divisions, kShareLabelOffset)});
    }
    return axis;
}

PointList chartPoints(const analysis::LevelHistogram& histogram, std::int64_t sliceCount, int top) {
    PointList points{};
    for (int i = 0; i < analysis::kLevelBins; ++i) {
        ChartPoint& point = points[static_cast<std::size_t>(i)];
        point.x = kPlotHigh - kBinStep * i;
        if (sliceCount <= 0 || top <= 0) {
            // No share exists (0 / 0): the curve lies on the 0 % line, not below the plot.
            point.y = kPlotLow;
            continue;
        }
        // Each operation rounds to the 64-bit significand, in exactly this order:
        // the chart's coordinates on ties depend on it.
        long double y = static_cast<long double>(histogram.bins[static_cast<std::size_t>(i)]);
        y = y * 100.0L;
        y = y / static_cast<long double>(sliceCount);
        y = y * static_cast<long double>(kPlotSpan);
        y = y / static_cast<long double>(top);
        y = y + static_cast<long double>(kPlotLow);
        point.y = pointY(y);
    }
    return points;
}

std::vector<std::uint8_t> drawChart(ChartFormat format, int channels,
                                    const std::vector<analysis::LevelHistogram>& histograms, std::int64_t sliceCount,
                                    analysis::ShareScale scale, std::span<const std::string> channelNames) {
    // The analysis always gives a usable scale; anything else is drawn as the
    // scale of an empty recording.
    const analysis::ShareScale usedScale = isUsableScale(scale) ? scale : analysis::ShareScale{};
    const ShareAxis axis = shareAxis(usedScale);

    // One curve per channel when every channel has its histogram; no curve otherwise.
    std::vector<PointList> curves;
    if (channels >= 1 && channels <= kMostChartChannels && histograms.size() == static_cast<std::size_t>(channels))
        for (const analysis::LevelHistogram& histogram : histograms)
            curves.push_back(chartPoints(histogram, sliceCount, usedScale.top));
    // The legend's names: the caller's when there is one per curve.
    const std::vector<std::string> numberedNames = stream::numberedChannelNames(static_cast<int>(curves.size()));
    const std::span<const std::string> legendNames =
        channelNames.size() == curves.size() ? channelNames : std::span<const std::string>(numberedNames);

    const HPEN framePen = drawing::CreatePen(drawing::PS_SOLID, 2, RGB(0, 0, 0));
    const HPEN gridPen = drawing::CreatePen(drawing::PS_SOLID, 1, RGB(0, 0, 0));
    // Pens 3 and 4, blue and red, stay third and fourth; a pen leaves no record
    // in the file until it is selected.
    std::array<HPEN, kMostChartChannels> curvePens{};
    for (std::size_t channel = 0; channel < curvePens.size(); ++channel)
        curvePens[channel] = drawing::CreatePen(drawing::PS_SOLID, kCurvePenWidth, kCurveColours[channel]);
    const HBRUSH whiteBrush = drawing::CreateSolidBrush(RGB(255, 255, 255));
    const HFONT labelFont = createChartFont(30, 15);
    const HFONT creditFont = createChartFont(80, 40);

    // The picture frame in 0.01 mm, device orientation: the square 0..950 logical.
    const RECT frame{0, -kPictureSize * 10, kPictureSize * 10, 0};
    // Recorded in memory: the caller writes it together with the other results.
    std::vector<std::uint8_t> bytes;
    const HDC dc = format == ChartFormat::Svg ? drawing::CreateSvgDrawingA(nullptr, &frame)
                                              : drawing::CreateEnhMetaFileA(nullptr, nullptr, &frame, nullptr);
    if (dc != nullptr) {
        const int previousMode = drawing::SetMapMode(dc, drawing::MM_LOMETRIC);
        const HGDIOBJ previousPen = drawing::SelectObject(dc, framePen);
        const HGDIOBJ previousBrush = drawing::SelectObject(dc, whiteBrush);
        const unsigned previousAlign = drawing::GetTextAlign(dc);

        const RECT picture{0, 0, kPictureSize, kPictureSize};
        drawing::FillRect(dc, &picture, whiteBrush);

        drawing::SelectObject(dc, framePen);
        drawing::MoveToEx(dc, kPlotLow, kPlotLow, nullptr);
        drawing::LineTo(dc, kPlotHigh, kPlotLow);
        drawing::LineTo(dc, kPlotHigh, kPlotHigh);
        drawing::LineTo(dc, kPlotLow, kPlotHigh);
        drawing::LineTo(dc, kPlotLow, kPlotLow);

        // The credit stands behind the grid, top-left aligned (the default).
        const HGDIOBJ previousFont = drawing::SelectObject(dc, creditFont);
        drawing::SetTextColor(dc, RGB(220, 220, 220));
        drawText(dc, 170, 544, kCreditText);

        drawing::SelectObject(dc, gridPen);
        for (int x = 200; x <= 800; x += 100) drawLine(dc, x, kPlotLow, x, kPlotHigh);  // every 5 dB
        for (const std::int32_t y : axis.gridY) drawLine(dc, kPlotLow, y, kPlotHigh, y);

        drawing::SetTextColor(dc, RGB(0, 0, 0));
        drawing::SelectObject(dc, labelFont);
        drawing::SetTextAlign(dc, drawing::TA_CENTER | drawing::TA_TOP);
        for (const LevelLabel& label : kLevelLabels) drawText(dc, label.x, kLevelLabelY, label.text);
        drawText(dc, 500, 50, kLevelTitle);
        for (const ShareLabel& label : axis.labels) drawText(dc, label.x, label.y, label.text);
        drawText(dc, 30, 500 + kShareLabelOffset, kShareTitle);

        // In channel order, each over the ones before (stereo: red right over blue left).
        for (std::size_t channel = 0; channel < curves.size(); ++channel) {
            drawing::SelectObject(dc, curvePens[channel]);
            drawCurve(dc, curves[channel]);
        }
        // Two colours need no key: blue is left (or mono), red is right.
        if (curves.size() > 2) drawLegend(dc, curves, legendNames, curvePens, gridPen, whiteBrush);

        // The device context ends as it began.
        drawing::SelectObject(dc, previousBrush);
        drawing::SelectObject(dc, previousPen);
        drawing::SelectObject(dc, previousFont);
        drawing::SetMapMode(dc, previousMode);
        drawing::SetTextAlign(dc, previousAlign);
        const HENHMETAFILE metafile = drawing::CloseEnhMetaFile(dc);
        if (metafile != nullptr) {
            bytes.resize(drawing::GetEnhMetaFileBits(metafile, 0, nullptr));
            drawing::GetEnhMetaFileBits(metafile, static_cast<unsigned>(bytes.size()), bytes.data());
            drawing::DeleteEnhMetaFile(metafile);
        }
    }

    drawing::DeleteObject(framePen);
    drawing::DeleteObject(gridPen);
    for (const HPEN pen : curvePens) drawing::DeleteObject(pen);
    drawing::DeleteObject(whiteBrush);
    drawing::DeleteObject(labelFont);
    drawing::DeleteObject(creditFont);
    return bytes;
}

}  // namespace vantorel::output
