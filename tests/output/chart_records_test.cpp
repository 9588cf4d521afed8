// The chart read back record by record. Each record is walked by its type
// and size and written as a short line ("MOVETO 100 100", "TEXT 170 544 Vantorel"),
// and the lines are compared with the drawing recorded from a real GDI for the
// same histograms: the sequence of records, their coordinates, objects and texts.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "output/chart_metafile.h"
#include "reference_charts.h"

namespace vantorel::output {
namespace {

using analysis::LevelHistogram;
using analysis::ShareScale;
using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::string>;

std::uint32_t le32(const Bytes& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes.at(offset)) | static_cast<std::uint32_t>(bytes.at(offset + 1)) << 8 |
           static_cast<std::uint32_t>(bytes.at(offset + 2)) << 16 |
           static_cast<std::uint32_t>(bytes.at(offset + 3)) << 24;
}
std::int32_t s32(const Bytes& bytes, std::size_t offset) { return static_cast<std::int32_t>(le32(bytes, offset)); }
std::int16_t s16(const Bytes& bytes, std::size_t offset) {
    return static_cast<std::int16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

std::string colourText(std::uint32_t colorref) {
    return std::to_string(colorref & 0xFF) + " " + std::to_string(colorref >> 8 & 0xFF) + " " +
           std::to_string(colorref >> 16 & 0xFF);
}

std::string hexText(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// EMR_EXTTEXTOUTA/W: Bounds 8..23, iGraphicsMode 24, exScale 28, eyScale 32, then
// the EmrText: Reference 36, Chars 44, offString 48 (from the record's start).
std::string textLine(const Bytes& record, bool wide) {
    const std::uint32_t count = le32(record, 44);
    const std::uint32_t offset = le32(record, 48);
    std::string text;
    for (std::uint32_t i = 0; i < count; ++i)
        text += static_cast<char>(wide ? record.at(offset + 2 * i) : record.at(offset + i));
    return "TEXT " + std::to_string(s32(record, 36)) + " " + std::to_string(s32(record, 40)) + " '" + text + "'";
}

// EMR_POLYLINE16 / EMR_POLYLINE: Bounds 8..23, Count 24, points from 28.
std::string polylineLine(const Bytes& record, bool sixteenBit) {
    const std::uint32_t count = le32(record, 24);
    std::string line = "POLYLINE";
    for (std::uint32_t i = 0; i < count; ++i) {
        const int x = sixteenBit ? s16(record, 28 + 4 * i) : s32(record, 28 + 8 * i);
        const int y = sixteenBit ? s16(record, 30 + 4 * i) : s32(record, 32 + 8 * i);
        line.append(1, ' ').append(std::to_string(x)).append(1, ',').append(std::to_string(y));
    }
    return line;
}

// EMR_EXTCREATEFONTINDIRECTW: ihFont 8, then the LogFont from 12: Height, Width,
// Escapement, Orientation, Weight (4 bytes each), eight one-byte fields, FaceName
// as 32 UTF-16 units.
std::string fontLine(const Bytes& record) {
    std::string line = "FONT";
    for (std::size_t field = 0; field < 5; ++field) line.append(1, ' ').append(std::to_string(s32(record, 12 + 4 * field)));
    for (std::size_t field = 0; field < 8; ++field) line.append(1, ' ').append(std::to_string(record.at(32 + field)));
    line += " ";
    for (std::size_t i = 0; i < 32 && record.at(40 + 2 * i) != 0; ++i) line += static_cast<char>(record.at(40 + 2 * i));
    return line;
}

// A metafile as lines, one per record. A selection names what it selects: the
// line of the object's definition, or the stock object's number. Walking the
// records checks that their sizes add up to the header's length.
Lines readRecords(const Bytes& file) {
    Lines lines;
    std::map<std::uint32_t, std::string> objects;  // object-table index -> definition
    std::size_t offset = 0;
    std::uint32_t records = 0;
    while (offset + 8 <= file.size()) {
        const std::uint32_t type = le32(file, offset);
        const std::uint32_t size = le32(file, offset + 4);
        if (size < 8 || size % 4 != 0 || offset + size > file.size()) {
            ADD_FAILURE() << "record " << records << " of type " << type << " has size " << size;
            return lines;
        }
        const Bytes record(file.begin() + static_cast<std::ptrdiff_t>(offset),
                           file.begin() + static_cast<std::ptrdiff_t>(offset + size));
        ++records;
        offset += size;
        switch (type) {
            case 1:  // EMR_HEADER: Bounds 8, Frame 24, " EMF" 40, Version 44, Bytes 48, Records 52
                EXPECT_EQ(le32(record, 40), 0x464D4520u);
                EXPECT_EQ(le32(record, 48), file.size());
                lines.push_back("HEADER " + std::to_string(s32(record, 24)) + " " + std::to_string(s32(record, 28)) +
                                " " + std::to_string(s32(record, 32)) + " " + std::to_string(s32(record, 36)) +
                                " description " + std::to_string(le32(record, 64)));
                break;
            case 14: lines.push_back("EOF"); break;
            case 17: lines.push_back("MAPMODE " + std::to_string(le32(record, 8))); break;
            case 22: lines.push_back("TEXTALIGN " + std::to_string(le32(record, 8))); break;
            case 24: lines.push_back("TEXTCOLOR " + colourText(le32(record, 8))); break;
            case 27: lines.push_back("MOVETO " + std::to_string(s32(record, 8)) + " " + std::to_string(s32(record, 12))); break;
            case 54: lines.push_back("LINETO " + std::to_string(s32(record, 8)) + " " + std::to_string(s32(record, 12))); break;
            case 37: {
                const std::uint32_t index = le32(record, 8);
                lines.push_back("SELECT " + (objects.count(index) ? objects[index] : hexText(index)));
                break;
            }
            case 38:  // EMR_CREATEPEN: ihPen 8, LogPen: Style 12, Width.x 16, Width.y 20, Color 24
                objects[le32(record, 8)] = "PEN " + std::to_string(le32(record, 12)) + " " +
                                           std::to_string(s32(record, 16)) + " " + colourText(le32(record, 24));
                lines.push_back("CREATE " + objects[le32(record, 8)]);
                break;
            case 39:  // EMR_CREATEBRUSHINDIRECT: ihBrush 8, LogBrush: Style 12, Color 16, Hatch 20
                objects[le32(record, 8)] =
                    "BRUSH " + std::to_string(le32(record, 12)) + " " + colourText(le32(record, 16));
                lines.push_back("CREATE " + objects[le32(record, 8)]);
                break;
            case 82:
                objects[le32(record, 8)] = fontLine(record);
                lines.push_back("CREATE " + objects[le32(record, 8)]);
                break;
            case 76:  // EMR_BITBLT: Bounds 8, xDest 24, yDest 28, cxDest 32, cyDest 36, dwRop 40
                lines.push_back("BITBLT " + std::to_string(s32(record, 24)) + " " + std::to_string(s32(record, 28)) +
                                " " + std::to_string(s32(record, 32)) + " " + std::to_string(s32(record, 36)) + " " +
                                hexText(le32(record, 40)));
                break;
            case 83: lines.push_back(textLine(record, false)); break;
            case 84: lines.push_back(textLine(record, true)); break;
            case 87: lines.push_back(polylineLine(record, true)); break;
            case 4: lines.push_back(polylineLine(record, false)); break;
            default: lines.push_back("TYPE " + std::to_string(type)); break;
        }
    }
    EXPECT_EQ(offset, file.size());
    return lines;
}

const std::string kFramePen = "PEN 0 2 0 0 0";
const std::string kGridPen = "PEN 0 1 0 0 0";
const std::string kBluePen = "PEN 0 4 0 0 255";
const std::string kRedPen = "PEN 0 4 255 0 0";
const std::string kWhiteBrush = "BRUSH 0 255 255 255";
const std::string kLabelFont = "FONT 30 15 0 0 800 0 0 0 0 4 0 2 48 Arial";
const std::string kCreditFont = "FONT 80 40 0 0 800 0 0 0 0 4 0 2 48 Arial";

// The records of the reference recordings, up to the curves: the same for every
// chart but for the percentage axis, given as grid heights and label lines.
Lines chartWithoutCurves(const std::vector<int>& gridHeights, const Lines& shareLabels) {
    Lines lines{"HEADER 0 -9500 9500 0 description 0",
                "MAPMODE 2",
                "CREATE " + kFramePen,
                "SELECT " + kFramePen,
                "CREATE " + kWhiteBrush,
                "SELECT " + kWhiteBrush,
                // FillRect: the brush selected for the fill, the picture painted, the brush again.
                "SELECT " + kWhiteBrush,
                "BITBLT 0 0 950 950 0x00F00021",
                "SELECT " + kWhiteBrush,
                "SELECT " + kFramePen,
                "MOVETO 100 100", "LINETO 900 100", "LINETO 900 900", "LINETO 100 900", "LINETO 100 100",
                "CREATE " + kCreditFont,
                "SELECT " + kCreditFont,
                "TEXTCOLOR 220 220 220",
                "TEXT 170 544 'Vantorel'",
                "CREATE " + kGridPen,
                "SELECT " + kGridPen};
    for (const int x : {200, 300, 400, 500, 600, 700, 800}) {
        lines.push_back("MOVETO " + std::to_string(x) + " 100");
        lines.push_back("LINETO " + std::to_string(x) + " 900");
    }
    for (const int y : gridHeights) {
        lines.push_back("MOVETO 100 " + std::to_string(y));
        lines.push_back("LINETO 900 " + std::to_string(y));
    }
    const Lines labels{"TEXTCOLOR 0 0 0",
                       "CREATE " + kLabelFont,
                       "SELECT " + kLabelFont,
                       "TEXTALIGN 6",
                       "TEXT 100 90 '-40'", "TEXT 200 90 '-35'", "TEXT 300 90 '-30'", "TEXT 400 90 '-25'",
                       "TEXT 500 90 '-20'", "TEXT 600 90 '-15'", "TEXT 700 90 '-10'", "TEXT 800 90 '-5'",
                       "TEXT 900 90 '0'",
                       "TEXT 500 50 'peak level (dBFS)'"};
    lines.insert(lines.end(), labels.begin(), labels.end());
    lines.insert(lines.end(), shareLabels.begin(), shareLabels.end());
    lines.push_back("TEXT 30 512 '%'");
    return lines;
}

// Brush, pen and font put back (as the stock objects), then mode and alignment.
const Lines kChartEnd{"SELECT 0x80000000", "SELECT 0x80000007", "SELECT 0x8000000D", "MAPMODE 1", "TEXTALIGN 0",
                      "EOF"};

Lines joined(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

std::string polylineOf(const std::vector<std::int32_t>& ys) {
    std::string line = "POLYLINE";
    for (std::size_t i = 0; i < ys.size(); ++i)
        line.append(1, ' ').append(std::to_string(900 - 20 * static_cast<int>(i))).append(1, ',').append(
            std::to_string(ys[i]));
    return line;
}

// Draws the chart as a metafile and reads it back; the header's record count
// (offset 52) must match the walk.
Lines chartRecords(int channels, const std::vector<LevelHistogram>& histograms, std::int64_t sliceCount,
                   ShareScale scale) {
    const Bytes bytes = drawChart(ChartFormat::Metafile, channels, histograms, sliceCount, scale);
    if (bytes.size() < 56) {
        ADD_FAILURE() << "no chart";
        return {};
    }
    const Lines lines = readRecords(bytes);
    EXPECT_EQ(le32(bytes, 52), lines.size());
    return lines;
}

const Lines kTopTenLabels{"TEXT 80 112 ' 0'", "TEXT 80 272 ' 2'", "TEXT 80 432 ' 4'",
                          "TEXT 80 592 ' 6'", "TEXT 80 752 ' 8'", "TEXT 75 912 ' 10'"};

TEST(ChartRecords, StereoMatchesTheReferenceRecording) {
    Lines expected = chartWithoutCurves({260, 420, 580, 740}, kTopTenLabels);
    expected = joined(expected,
                      {"CREATE " + kBluePen, "SELECT " + kBluePen,
                       polylineOf(reference::kMusicLeftY),
                       "CREATE " + kRedPen, "SELECT " + kRedPen,
                       polylineOf(reference::kMusicRightY)});
    EXPECT_EQ(chartRecords(2, {reference::kMusicLeft, reference::kMusicRight}, reference::kMusicSlices,
                           ShareScale{10, 5}),
              joined(expected, kChartEnd));
}

TEST(ChartRecords, MonoMatchesTheReferenceRecording) {
    std::vector<std::int32_t> ys(41, 100);
    ys[6] = 900;
    const Lines expected = joined(
        chartWithoutCurves({260, 420, 580, 740}, {"TEXT 80 112 ' 0'", "TEXT 75 272 ' 20'", "TEXT 75 432 ' 40'",
                                                  "TEXT 75 592 ' 60'", "TEXT 75 752 ' 80'", "TEXT 75 912 ' 100'"}),
        {"CREATE " + kBluePen, "SELECT " + kBluePen, polylineOf(ys)});
    EXPECT_EQ(chartRecords(1, {reference::histogramOf({0, 0, 0, 0, 0, 0, 100})}, 100, ShareScale{100, 5}),
              joined(expected, kChartEnd));
}

TEST(ChartRecords, OtherChannelCountsDrawEverythingButTheCurves) {
    EXPECT_EQ(chartRecords(6, {}, 600, ShareScale{10, 5}),
              joined(chartWithoutCurves({260, 420, 580, 740}, kTopTenLabels), kChartEnd));
}

TEST(ChartRecords, HistogramsThatDoNotFitTheChannelCountDrawNoCurve) {
    const LevelHistogram some = reference::histogramOf({60});
    const Lines noCurves = joined(chartWithoutCurves({260, 420, 580, 740}, kTopTenLabels), kChartEnd);
    EXPECT_EQ(chartRecords(1, {some, some}, 600, ShareScale{10, 5}), noCurves);
    EXPECT_EQ(chartRecords(2, {some}, 600, ShareScale{10, 5}), noCurves);
}

TEST(ChartRecords, AScaleOfSixDivisionsAndARecordingWithoutSlices) {
    const Lines expected = joined(
        chartWithoutCurves({233, 367, 500, 633, 767},
                           {"TEXT 80 112 ' 0'", "TEXT 80 245 ' 5'", "TEXT 75 379 ' 10'", "TEXT 75 512 ' 15'",
                            "TEXT 75 645 ' 20'", "TEXT 75 779 ' 25'", "TEXT 75 912 ' 30'"}),
        {"CREATE " + kBluePen, "SELECT " + kBluePen, polylineOf(std::vector<std::int32_t>(41, 100))});
    EXPECT_EQ(chartRecords(1, {reference::histogramOf({5})}, 0, ShareScale{30, 6}), joined(expected, kChartEnd));
}

// What a chart draws, in order: "line [r g b]" and "polyline [r g b]" in the
// pen's colour, "rect", "text [r g b] '<text>'". Read from the metafile's
// records or from the SVG's elements, one to a line.
Lines metafileSteps(const Lines& records) {
    Lines steps;
    std::string pen, textColour;
    for (const std::string& record : records) {
        const std::string rest = record.substr(record.find(' ') + 1);
        if (record.starts_with("SELECT PEN")) pen = " [" + rest.substr(rest.find(' ', 6) + 1) + "]";  // style, width
        if (record.starts_with("TEXTCOLOR")) textColour = " [" + rest + "]";
        if (record.starts_with("LINETO")) steps.push_back("line" + pen);
        if (record.starts_with("POLYLINE")) steps.push_back("polyline" + pen);
        if (record.starts_with("BITBLT")) steps.push_back("rect");
        if (record.starts_with("TEXT ")) steps.push_back("text" + textColour + rest.substr(rest.find('\'') - 1));
    }
    return steps;
}

Lines svgSteps(const Bytes& svg) {
    Lines steps;
    std::istringstream in(std::string(svg.begin(), svg.end()));
    for (std::string element; std::getline(in, element);) {
        const auto colour = [&element](const std::string& name) {
            const std::size_t at = element.find(" " + name + "=\"#") + name.size() + 4;
            return " [" + std::to_string(std::stoi(element.substr(at, 2), nullptr, 16)) + " " +
                   std::to_string(std::stoi(element.substr(at + 2, 2), nullptr, 16)) + " " +
                   std::to_string(std::stoi(element.substr(at + 4, 2), nullptr, 16)) + "]";
        };
        const std::size_t from = element.find('>') + 1;
        const std::string text = element.substr(from, element.find("</text>") - from);
        if (element.starts_with("<line ")) steps.push_back("line" + colour("stroke"));
        if (element.starts_with("<polyline ")) steps.push_back("polyline" + colour("stroke"));
        if (element.starts_with("<rect ")) steps.push_back("rect");
        if (element.starts_with("<text ")) steps.push_back("text" + colour("fill") + " '" + text + "'");
    }
    return steps;
}

struct ChannelRow {
    int channels;
    std::vector<LevelHistogram> histograms;
    std::vector<std::string> names;    // given to the chart
    std::vector<std::string> colours;  // of the curves drawn, in order
    std::vector<std::string> legend;   // its texts, top to bottom
    int lastRectangleLeft;             // the legend box's left edge; 0: the background, no legend
};

// A legend box is 12 + 50 + 12 units of line and gaps, its widest name and 12
// more wide, 15 units inside the plot area's frame (x 115 or up to 885).
// "surround right" is 6889 thousandths of an em in Arial Bold, whose average
// width of 480 thousandths is drawn 15 units wide: 215 units, so the box runs
// from 584 to 885; "channel 8" (4613 thousandths) is 144 units, from 655.
// Both formats draw the same steps.
TEST(ChartChannels, CurvesColoursAndLegendForEveryChannelCount) {
    const LevelHistogram loud = reference::histogramOf({60});  // 10 % at 0 dBFS: the top right corner
    const std::vector<std::string> surround{"left", "right", "center", "lfe", "surround left", "surround right"};
    const std::vector<std::string> colours{"[0 0 255]",   "[255 0 0]",   "[0 160 0]",  "[255 140 0]",
                                           "[128 0 192]", "[0 160 160]", "[140 80 20]", "[220 0 160]"};
    const auto first = [&colours](std::size_t count) { return Lines(colours.begin(), colours.begin() + count); };
    const std::vector<ChannelRow> table{
        {1, {reference::kMusicLeft}, {"mono"}, first(1), {}, 0},
        {2, {reference::kMusicLeft, reference::kMusicRight}, {"left", "right"}, first(2), {}, 0},
        {6, {reference::kMusicLeft, reference::kMusicRight, reference::kMusicLeft, LevelHistogram{},
             reference::kMusicRight, reference::kMusicRight},
         surround, first(6), surround, 584},
        {3, {loud, loud, reference::kMusicRight}, {"a", "b"}, first(3), {"channel 1", "channel 2", "channel 3"}, 115},
        {8, std::vector<LevelHistogram>(8, reference::kMusicLeft), {}, first(8),
         {"channel 1", "channel 2", "channel 3", "channel 4", "channel 5", "channel 6", "channel 7", "channel 8"},
         655},
        {9, std::vector<LevelHistogram>(9, loud), {}, {}, {}, 0},
        {6, std::vector<LevelHistogram>(5, loud), surround, {}, {}, 0},
        {0, {}, {}, {}, {}, 0},
    };
    for (const ChannelRow& row : table) {
        SCOPED_TRACE(testing::Message() << row.channels << " channels, " << row.histograms.size() << " histograms");
        const auto draw = [&row](ChartFormat format, std::span<const std::string> names) {
            return drawChart(format, row.channels, row.histograms, reference::kMusicSlices, ShareScale{10, 5}, names);
        };
        const Bytes metafile = draw(ChartFormat::Metafile, row.names);
        const Lines records = readRecords(metafile);
        const Lines steps = metafileSteps(records);
        EXPECT_EQ(svgSteps(draw(ChartFormat::Svg, row.names)), steps);
        if (row.channels <= 2) {
            EXPECT_EQ(draw(ChartFormat::Metafile, {}), metafile);  // names change nothing
        }
        Lines curveColours, legend;
        for (const std::string& step : steps) {
            if (step.starts_with("polyline")) curveColours.push_back(step.substr(9));
            if (!curveColours.empty() && step.starts_with("text")) legend.push_back(step.substr(step.find('\'') + 1));
        }
        for (std::string& text : legend) text.pop_back();  // the closing quote
        EXPECT_EQ(curveColours, row.colours);
        EXPECT_EQ(legend, row.legend);
        const auto lastRectangle = std::find_if(records.rbegin(), records.rend(),
                                                [](const std::string& line) { return line.starts_with("BITBLT"); });
        ASSERT_NE(lastRectangle, records.rend());
        EXPECT_EQ(std::stoi(lastRectangle->substr(7)), row.lastRectangleLeft);
    }
}

}  // namespace
}  // namespace vantorel::output
