// The metafile device context against two charts recorded by a real GDI, and
// the header, text, failure and file behaviour on their own.

#include "drawing/metafile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vantorel::drawing {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Record types the tests look for.
constexpr std::uint32_t kHeader = 1, kPolyline = 4, kSelectObject = 37, kBitBlt = 76, kCreateFont = 82,
                        kTextOutW = 84, kPolyline16 = 87;

std::uint32_t le32(const Bytes& bytes, std::size_t offset) {
    return bytes.at(offset) | bytes.at(offset + 1) << 8 | bytes.at(offset + 2) << 16 |
           static_cast<std::uint32_t>(bytes.at(offset + 3)) << 24;
}
std::int32_t s32(const Bytes& bytes, std::size_t offset) { return static_cast<std::int32_t>(le32(bytes, offset)); }

struct Record {
    std::uint32_t type;
    Bytes bytes;  // the whole record, Type and Size included
};

std::vector<Record> splitRecords(const Bytes& file) {
    std::vector<Record> records;
    for (std::size_t offset = 0; offset + 8 <= file.size();) {
        const std::uint32_t size = le32(file, offset + 4);
        if (size < 8 || size % 4 != 0 || offset + size > file.size()) {
            ADD_FAILURE() << "bad record size " << size << " at " << offset;
            break;
        }
        records.push_back({le32(file, offset), Bytes(file.begin() + offset, file.begin() + offset + size)});
        offset += size;
    }
    return records;
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

fs::path referenceDir() {
    if (const char* dir = std::getenv("VANTOREL_REFERENCE_DIR")) return dir;
    return fs::path(__FILE__).parent_path() / "data";
}

// The chart's drawing list, call by call, as the chart writer performs it.
struct ChartInput {
    std::vector<std::vector<int>> curves;  // y of x = 900, 880, ..., 100, per channel
    std::vector<std::pair<std::string, POINT>> shareLabels;
};

Bytes drawChart(const ChartInput& input, HDC dc) {
    const HPEN framePen = CreatePen(PS_SOLID, 2, RGB(0, 0, 0));
    const HPEN gridPen = CreatePen(PS_SOLID, 1, RGB(0, 0, 0));
    const HPEN bluePen = CreatePen(PS_SOLID, 4, RGB(0, 0, 255));
    const HPEN redPen = CreatePen(PS_SOLID, 4, RGB(255, 0, 0));
    const HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
    const HFONT labelFont = CreateFontA(30, 15, 0, 0, 800, 0, 0, 0, 0, 4, 0, 2, 48, "Arial");
    const HFONT creditFont = CreateFontA(80, 40, 0, 0, 800, 0, 0, 0, 0, 4, 0, 2, 48, "Arial");
    const int previousMode = SetMapMode(dc, MM_LOMETRIC);
    const HGDIOBJ previousPen = SelectObject(dc, framePen);
    const HGDIOBJ previousBrush = SelectObject(dc, white);
    const unsigned previousAlign = GetTextAlign(dc);
    const RECT picture{0, 0, 950, 950};
    FillRect(dc, &picture, white);
    SelectObject(dc, framePen);
    MoveToEx(dc, 100, 100, nullptr);
    LineTo(dc, 900, 100);
    LineTo(dc, 900, 900);
    LineTo(dc, 100, 900);
    LineTo(dc, 100, 100);
    const HGDIOBJ previousFont = SelectObject(dc, creditFont);
    SetTextColor(dc, RGB(220, 220, 220));
    TextOutA(dc, 170, 544, "Vantorel", 8);
    SelectObject(dc, gridPen);
    for (int x = 200; x <= 800; x += 100) MoveToEx(dc, x, 100, nullptr), LineTo(dc, x, 900);
    for (const int y : {260, 420, 580, 740}) MoveToEx(dc, 100, y, nullptr), LineTo(dc, 900, y);
    SetTextColor(dc, RGB(0, 0, 0));
    SelectObject(dc, labelFont);
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    const char* levels[] = {"-40", "-35", "-30", "-25", "-20", "-15", "-10", "-5", "0"};
    for (int i = 0; i < 9; ++i) TextOutA(dc, 100 + 100 * i, 90, levels[i], static_cast<int>(std::strlen(levels[i])));
    TextOutA(dc, 500, 50, "peak level (dBFS)", 17);
    for (const auto& [text, at] : input.shareLabels) TextOutA(dc, at.x, at.y, text.c_str(), static_cast<int>(text.size()));
    TextOutA(dc, 30, 512, "%", 1);
    const HPEN curvePens[] = {bluePen, redPen};
    for (std::size_t channel = 0; channel < input.curves.size(); ++channel) {
        std::vector<POINT> points;
        for (int i = 0; i < 41; ++i) points.push_back(POINT{900 - 20 * i, input.curves[channel].at(i)});
        SelectObject(dc, curvePens[channel]);
        Polyline(dc, points.data(), 41);
    }
    SelectObject(dc, previousBrush);
    SelectObject(dc, previousPen);
    SelectObject(dc, previousFont);
    SetMapMode(dc, previousMode);
    SetTextAlign(dc, previousAlign);
    Bytes bytes = metafileBytes(dc);
    DeleteEnhMetaFile(CloseEnhMetaFile(dc));
    for (const HGDIOBJ object : {framePen, gridPen, bluePen, redPen, white, labelFont, creditFont}) DeleteObject(object);
    return bytes;
}

Bytes drawChartInMemory(const ChartInput& input) {
    const RECT frame{0, -9500, 9500, 0};
    // The recording is never closed onto a real path here: the folder does not exist.
    return drawChart(input, CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel/chart VT.emf", &frame, nullptr));
}

ChartInput monoAllInBin6() {
    std::vector<int> y(41, 100);
    y[6] = 900;
    return {{y}, {{" 0", {80, 112}}, {" 20", {75, 272}}, {" 40", {75, 432}}, {" 60", {75, 592}},
                  {" 80", {75, 752}}, {" 100", {75, 912}}}};
}

ChartInput stereoMusic() {
    return {{{340, 260, 193, 207, 233, 220, 340, 193, 313, 353, 287, 313, 340, 327, 260, 420, 353, 340, 367, 340, 300,
              447, 447, 340, 313, 313, 340, 287, 327, 287, 233, 260, 287, 220, 167, 193, 207, 233, 153, 127, 127},
             {340, 140, 207, 180, 193, 247, 260, 220, 313, 273, 220, 300, 353, 313, 367, 233, 380, 380, 327, 407, 367,
              327, 393, 420, 393, 473, 393, 380, 353, 300, 313, 247, 207, 260, 193, 140, 140, 140, 220, 127, 127}},
            {{" 0", {80, 112}}, {" 2", {80, 272}}, {" 4", {80, 432}}, {" 6", {80, 592}}, {" 8", {80, 752}},
             {" 10", {75, 912}}}};
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) { return Bytes(bytes.begin() + from, bytes.begin() + to); }

// Compares record by record, skipping what a recording GDI decides for itself:
// the bounds of drawing records, the text scale and advance widths, and the
// font record beyond the LogFont fields.
void expectSameRecordsAsGdi(const Bytes& ours, const Bytes& reference) {
    const std::vector<Record> a = splitRecords(ours), b = splitRecords(reference);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i) + " of type " + std::to_string(b[i].type));
        ASSERT_EQ(a[i].type, b[i].type);
        ASSERT_EQ(a[i].bytes.size(), b[i].bytes.size());
        const Bytes& x = a[i].bytes;
        const Bytes& y = b[i].bytes;
        switch (a[i].type) {
            case kHeader:  // same reference display, so even the bounds agree
                EXPECT_EQ(x, y);
                break;
            case kBitBlt:
                EXPECT_EQ(slice(x, 24, 100), slice(y, 24, 100));
                break;
            case kTextOutW: {
                const std::size_t chars = le32(y, 44);
                EXPECT_EQ(le32(x, 24), le32(y, 24));                  // graphics mode
                EXPECT_EQ(le32(x, 28), le32(y, 28));                  // exScale 10.0
                EXPECT_EQ(slice(x, 36, 76 + 2 * chars), slice(y, 36, 76 + 2 * chars));  // point, flags, text
                break;
            }
            case kCreateFont: {
                // LogFont up to the face name, then the face name up to its zero.
                EXPECT_EQ(slice(x, 0, 40), slice(y, 0, 40));
                EXPECT_EQ(slice(x, 40, 52), slice(y, 40, 52));  // "Arial" and its zero
                break;
            }
            case kPolyline16:
                EXPECT_EQ(slice(x, 24, x.size()), slice(y, 24, y.size()));
                break;
            default:
                EXPECT_EQ(x, y);
        }
    }
}

TEST(MetafileAgainstGdi, MonoChartHasTheRecordsOfTheGdiRecording) {
    expectSameRecordsAsGdi(drawChartInMemory(monoAllInBin6()), readFile(referenceDir() / "gdi-mono.emf"));
}

TEST(MetafileAgainstGdi, StereoChartHasTheRecordsOfTheGdiRecording) {
    expectSameRecordsAsGdi(drawChartInMemory(stereoMusic()), readFile(referenceDir() / "gdi-stereo.emf"));
}

TEST(MetafileHeader, CountsAndBoundsAgreeWithTheRecords) {
    const Bytes bytes = drawChartInMemory(stereoMusic());
    const std::vector<Record> records = splitRecords(bytes);
    ASSERT_FALSE(records.empty());
    const Bytes& header = records.front().bytes;
    EXPECT_EQ(le32(header, 48), bytes.size());
    EXPECT_EQ(le32(header, 52), records.size());
    std::uint32_t highestIndex = 0;
    for (const Record& record : records) {
        if (record.type == 38 || record.type == 39 || record.type == kCreateFont) {
            highestIndex = std::max(highestIndex, le32(record.bytes, 8));
        }
        if (record.type == kBitBlt || record.type == kTextOutW || record.type == kPolyline16) {
            EXPECT_LE(s32(header, 8), s32(record.bytes, 8));     // left
            EXPECT_LE(s32(header, 12), s32(record.bytes, 12));   // top
            EXPECT_GE(s32(header, 16), s32(record.bytes, 16));   // right
            EXPECT_GE(s32(header, 20), s32(record.bytes, 20));   // bottom
        }
    }
    EXPECT_EQ(highestIndex, 7U);  // four pens, a brush, two fonts
    EXPECT_EQ(header[56] | header[57] << 8, 8);
    // The picture is 95 mm square: 359 pixels at 1024 px / 271 mm and 768 px / 203 mm, y upwards.
    EXPECT_EQ((std::vector<std::int32_t>{s32(header, 8), s32(header, 12), s32(header, 16), s32(header, 20)}),
              (std::vector<std::int32_t>{0, -359, 359, 0}));
    EXPECT_EQ(records.back().type, 14U);
}

TEST(MetafileHeader, DescriptionFollowsTheHeaderAndAMissingFrameIsTheDrawnArea) {
    HDC dc = CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel/d.emf", nullptr, "Vantorel");
    MoveToEx(dc, 0, 0, nullptr);
    LineTo(dc, 100, 100);  // MM_TEXT: pixels; the default pen is one pixel wide
    const Bytes bytes = metafileBytes(dc);
    DeleteEnhMetaFile(CloseEnhMetaFile(dc));
    const std::vector<Record> records = splitRecords(bytes);
    ASSERT_EQ(records.size(), 4U);
    const Bytes& header = records[0].bytes;
    // "Vantorel", a zero and the closing zero: 10 UTF-16 units, 20 bytes after the 108.
    EXPECT_EQ(header.size(), 128U);
    EXPECT_EQ(le32(header, 60), 10U);
    EXPECT_EQ(le32(header, 64), 108U);
    EXPECT_EQ(slice(header, 108, 112), (Bytes{'V', 0, 'a', 0}));
    EXPECT_EQ(slice(header, 124, 128), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(le32(header, 48), bytes.size());
    // Bounds (0, 0) - (100, 100) pixels; frame in 0.01 mm at 271 mm / 1024 px and 203 mm / 768 px.
    EXPECT_EQ((std::vector<std::int32_t>{s32(header, 8), s32(header, 12), s32(header, 16), s32(header, 20)}),
              (std::vector<std::int32_t>{0, 0, 100, 100}));
    EXPECT_EQ((std::vector<std::int32_t>{s32(header, 24), s32(header, 28), s32(header, 32), s32(header, 36)}),
              (std::vector<std::int32_t>{0, 0, 2646, 2643}));
}

TEST(MetafileText, AdvancesFollowArialBoldScaledToTheAverageWidth) {
    const std::vector<Record> records = splitRecords(drawChartInMemory(monoAllInBin6()));
    std::vector<std::vector<std::int32_t>> advances;
    for (const Record& record : records) {
        if (record.type != kTextOutW) continue;
        std::vector<std::int32_t> dx;
        for (std::uint32_t i = 0; i < le32(record.bytes, 44); ++i) dx.push_back(s32(record.bytes, le32(record.bytes, 72) + 4 * i));
        advances.push_back(dx);
    }
    ASSERT_EQ(advances.size(), 18U);
    // "Vantorel" at average width 40: V 1366, a 1139, n 1251, t 682, o 1251, r 797, e 1139, l 569
    // units of 2048 per em, against an average of 983; running total rounded.
    EXPECT_EQ(advances[0], (std::vector<std::int32_t>{56, 46, 51, 28, 50, 33, 46, 23}));
    // "-40" at average width 15: 682 and 1139 units: 10.41, 27.79, 45.17 in total.
    EXPECT_EQ(advances[1], (std::vector<std::int32_t>{10, 18, 17}));
    EXPECT_EQ(advances[17], (std::vector<std::int32_t>{28}));  // "%", 1821 units
}

TEST(MetafileText, CentredLabelBoundsOnTheReferenceDisplay) {
    const std::vector<Record> records = splitRecords(drawChartInMemory(monoAllInBin6()));
    const auto label = std::find_if(records.begin(), records.end(), [](const Record& r) {
        return r.type == kTextOutW && le32(r.bytes, 44) == 3 && r.bytes[76] == '-' && r.bytes[78] == '4';
    });
    ASSERT_NE(label, records.end());
    // "-40" is 45 units wide, centred on x 100, top at y 90, cell 30 high:
    // x 100 -> 37.79 px, half width 8.50 px; y 90 -> -34.05 px, height 11.35 px.
    EXPECT_EQ((std::vector<std::int32_t>{s32(label->bytes, 8), s32(label->bytes, 12), s32(label->bytes, 16),
                                         s32(label->bytes, 20)}),
              (std::vector<std::int32_t>{29, -35, 47, -22}));
}

// The SVG back end places what the records hold: 0.01 mm, y downwards; texts
// by their alignment on the baseline, an ascent (24 of a 30-unit cell) below
// a top edge; pens at least one reference pixel (26.46) wide.
TEST(MetafileSvg, TheSameCallsDrawnInHundredthsOfAMillimetre) {
    const RECT frame{0, -1000, 2000, 0};
    EXPECT_EQ(CreateSvgDrawingA("a.svg", nullptr), nullptr);
    HDC emf = CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel/a.emf", &frame, nullptr);
    EXPECT_EQ(svgDrawingText(emf), "");
    EXPECT_EQ(CloseEnhMetaFile(emf), nullptr);
    HDC dc = CreateSvgDrawingA("/nonexistent-vantorel/a.svg", &frame);
    SetMapMode(dc, MM_LOMETRIC);
    HPEN pen = CreatePen(PS_SOLID, 4, RGB(0, 0, 255));
    HFONT font = CreateFontA(30, 15, 0, 0, 800, 0, 0, 0, 0, 4, 0, 2, 48, "Arial");
    SelectObject(dc, pen);
    SelectObject(dc, font);
    const POINT line[] = {{100, 20}, {120, 40}};
    Polyline(dc, line, 2);
    MoveToEx(dc, 0, 0, nullptr);
    LineTo(dc, 5, 5);
    TextOutA(dc, 10, 90, "-40", 3);
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    TextOutA(dc, 100, 90, "-40", 3);
    const std::string svg = svgDrawingText(dc);
    EXPECT_NE(svg.find("viewBox=\"0 -1000 2000 1000\""), std::string::npos) << svg;
    EXPECT_NE(svg.find("<polyline points=\"1000,-200 1200,-400\" fill=\"none\" stroke=\"#0000FF\" "
                       "stroke-width=\"40\""), std::string::npos) << svg;
    EXPECT_NE(svg.find("x2=\"50\" y2=\"-50\" fill=\"none\" stroke=\"#0000FF\""), std::string::npos) << svg;
    EXPECT_NE(svg.find("x=\"100\" y=\"-660\" textLength=\"450\""), std::string::npos) << svg;
    EXPECT_NE(svg.find("x=\"775\" y=\"-660\" textLength=\"450\""), std::string::npos) << svg;
    EXPECT_NE(svg.find("font-weight=\"800\" fill=\"#000000\">-40</text>"), std::string::npos) << svg;
    EXPECT_EQ(CloseEnhMetaFile(dc), nullptr);  // the folder does not exist
    DeleteObject(pen);
    DeleteObject(font);
}

TEST(MetafileText, AnsiBytesBecomeUtf16AndLongFaceNamesAreCut) {
    HDC dc = CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel/t.emf", nullptr, nullptr);
    const HFONT font = CreateFontA(30, 0, 0, 0, 400, 0, 0, 0, 0, 0, 0, 0, 0,
                                   "A face name of forty characters, too long");
    SelectObject(dc, font);
    TextOutA(dc, 0, 0, "\xE9\x80", 2);
    const std::vector<Record> records = splitRecords(metafileBytes(dc));
    DeleteEnhMetaFile(CloseEnhMetaFile(dc));
    DeleteObject(font);
    ASSERT_EQ(records.size(), 5U);  // header, font, select, text, EOF
    const Bytes& fontRecord = records[1].bytes;
    EXPECT_EQ(fontRecord[40 + 2 * 30], 's');  // 31st character, the last of "characters", kept
    EXPECT_EQ(fontRecord[40 + 2 * 31], 0);    // the 32nd place holds the terminating zero
    const Bytes& text = records[3].bytes;
    EXPECT_EQ(slice(text, 76, 80), (Bytes{0xE9, 0x00, 0xAC, 0x20}));  // U+00E9, U+20AC
}

std::vector<std::uint32_t> types(const std::vector<Record>& records) {
    std::vector<std::uint32_t> result;
    for (const Record& record : records) result.push_back(record.type);
    return result;
}

TEST(MetafileObjects, FillRectPutsBackTheBrushSelectedBeforeEvenWhenItIsGone) {
    HDC dc = CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel/f.emf", nullptr, nullptr);
    const HBRUSH red = CreateSolidBrush(RGB(255, 0, 0));
    const HBRUSH white = CreateSolidBrush(RGB(255, 255, 255));
    SelectObject(dc, red);
    DeleteObject(red);  // still selected: the dc must not look at it again
    const RECT rect{10, 10, 20, 20};
    EXPECT_NE(FillRect(dc, &rect, white), 0);
    const std::vector<Record> records = splitRecords(metafileBytes(dc));
    DeleteEnhMetaFile(CloseEnhMetaFile(dc));
    DeleteObject(white);
    EXPECT_EQ(types(records), (std::vector<std::uint32_t>{kHeader, 39, kSelectObject, 39, kSelectObject, kBitBlt,
                                                          kSelectObject, 14}));
    EXPECT_EQ(le32(records[3].bytes, 16), RGB(255, 255, 255));
    EXPECT_EQ(le32(records[4].bytes, 8), 2U);  // the white brush for the fill
    EXPECT_EQ(le32(records[6].bytes, 8), 1U);  // the red brush back
}

TEST(MetafileObjects, EachRecordingDefinesItsObjectsAfresh) {
    const HPEN pen = CreatePen(PS_SOLID, 3, RGB(1, 2, 3));
    for (int recording = 0; recording < 2; ++recording) {
        HDC dc = CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel/o.emf", nullptr, nullptr);
        const HGDIOBJ previous = SelectObject(dc, pen);
        SelectObject(dc, pen);
        SelectObject(dc, previous);
        const std::vector<Record> records = splitRecords(metafileBytes(dc));
        DeleteEnhMetaFile(CloseEnhMetaFile(dc));
        ASSERT_EQ(types(records), (std::vector<std::uint32_t>{kHeader, 38, kSelectObject, kSelectObject,
                                                              kSelectObject, 14}));
        EXPECT_EQ(slice(records[1].bytes, 8, 28), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 0}));
        EXPECT_EQ(le32(records[2].bytes, 8), 1U);
        EXPECT_EQ(le32(records[3].bytes, 8), 1U);
        EXPECT_EQ(le32(records[4].bytes, 8), 0x80000007U);  // BLACK_PEN, the default
        EXPECT_EQ(records[0].bytes[56], 2);                 // one slot and the reserved index 0
    }
    DeleteObject(pen);
}

TEST(MetafilePolyline, PointsBeyond16BitsUse32BitRecord) {
    HDC dc = CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel/p.emf", nullptr, nullptr);
    const POINT points[] = {{0, 0}, {40000, -5}, {7, -70000}};
    EXPECT_NE(Polyline(dc, points, 3), 0);
    EXPECT_EQ(Polyline(dc, points, 1), 0);  // a polyline needs two points
    const std::vector<Record> records = splitRecords(metafileBytes(dc));
    DeleteEnhMetaFile(CloseEnhMetaFile(dc));
    ASSERT_EQ(records.size(), 3U);
    const Bytes& line = records[1].bytes;
    EXPECT_EQ(records[1].type, kPolyline);
    EXPECT_EQ(line.size(), 28U + 3 * 8);
    EXPECT_EQ(le32(line, 24), 3U);
    EXPECT_EQ(s32(line, 36), 40000);
    EXPECT_EQ(s32(line, 40), -5);
    EXPECT_EQ(s32(line, 48), -70000);
}

TEST(MetafileSafety, NullHandlesAreRefusedWithoutEffect) {
    const RECT rect{0, 0, 1, 1};
    const POINT points[] = {{0, 0}, {1, 1}};
    EXPECT_EQ(SetMapMode(nullptr, MM_LOMETRIC), 0);
    EXPECT_EQ(SelectObject(nullptr, nullptr), nullptr);
    EXPECT_EQ(GetTextAlign(nullptr), GDI_ERROR);
    EXPECT_EQ(SetTextAlign(nullptr, TA_CENTER), GDI_ERROR);
    EXPECT_EQ(SetTextColor(nullptr, 0), 0xFFFFFFFFU);
    EXPECT_EQ(FillRect(nullptr, &rect, nullptr), 0);
    EXPECT_EQ(MoveToEx(nullptr, 1, 1, nullptr), 0);
    EXPECT_EQ(LineTo(nullptr, 1, 1), 0);
    EXPECT_EQ(TextOutA(nullptr, 0, 0, "x", 1), 0);
    EXPECT_EQ(Polyline(nullptr, points, 2), 0);
    EXPECT_EQ(CloseEnhMetaFile(nullptr), nullptr);
    EXPECT_EQ(DeleteEnhMetaFile(nullptr), 0);
    EXPECT_EQ(DeleteObject(nullptr), 0);
    EXPECT_TRUE(metafileBytes(nullptr).empty());
    EXPECT_EQ(CreateEnhMetaFileA(nullptr, "", nullptr, nullptr), nullptr);
    EXPECT_EQ(GetEnhMetaFileBits(nullptr, 0, nullptr), 0U);

    HDC dc = CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel/n.emf", nullptr, nullptr);
    const Bytes empty = metafileBytes(dc);
    EXPECT_EQ(SelectObject(dc, nullptr), nullptr);
    EXPECT_EQ(FillRect(dc, nullptr, nullptr), 0);
    const HPEN pen = CreatePen(PS_SOLID, 1, 0);
    EXPECT_EQ(FillRect(dc, &rect, pen), 0);  // a pen is no brush
    DeleteObject(pen);
    EXPECT_EQ(TextOutA(dc, 0, 0, nullptr, 3), 0);
    EXPECT_EQ(SetMapMode(dc, 99), 0);
    EXPECT_EQ(metafileBytes(dc), empty);  // nothing was recorded
    EXPECT_EQ(splitRecords(empty).size(), 2U);
    EXPECT_EQ(s32(empty, 16), -1);  // nothing drawn: bounds (0, 0) - (-1, -1)
    DeleteEnhMetaFile(CloseEnhMetaFile(dc));
}

TEST(MetafileSafety, ARecordPastTheFourGigabyteLimitSpoilsTheWholeMetafile) {
    HDC dc = CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel/big.emf", nullptr, nullptr);
    const char oneCharacter[] = "x";
    // Six bytes a character would need 12 GiB; the text is refused unread.
    EXPECT_EQ(TextOutA(dc, 0, 0, oneCharacter, INT32_MAX), 0);
    EXPECT_NE(LineTo(dc, 1, 1), 0);
    EXPECT_TRUE(metafileBytes(dc).empty());
    EXPECT_EQ(CloseEnhMetaFile(dc), nullptr);
}

class MetafileFiles : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("vantorel-metafile-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }
    fs::path folder_;
};

TEST_F(MetafileFiles, ClosingReplacesAnExistingFileWithTheRecording) {
    // A name past 99 characters is used in full.
    const fs::path path = folder_ / (std::string(120, 'n') + " VT.emf");
    std::ofstream(path) << "an older chart, longer than the new one will be" << std::string(8000, '.');
    const RECT frame{0, -9500, 9500, 0};
    HDC dc = CreateEnhMetaFileA(nullptr, path.string().c_str(), &frame, nullptr);
    MoveToEx(dc, 10, 10, nullptr);
    LineTo(dc, 20, 20);
    const Bytes expected = metafileBytes(dc);
    const HENHMETAFILE metafile = CloseEnhMetaFile(dc);
    EXPECT_NE(metafile, nullptr);
    DeleteEnhMetaFile(metafile);
    EXPECT_EQ(readFile(path), expected);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

TEST_F(MetafileFiles, WithoutAFileNameTheMetafileStaysInMemory) {
    const fs::path before = fs::current_path();
    fs::current_path(folder_);  // a stray file would land here
    HDC dc = CreateEnhMetaFileA(nullptr, nullptr, nullptr, nullptr);
    LineTo(dc, 5, 5);
    const Bytes expected = metafileBytes(dc);
    const HENHMETAFILE metafile = CloseEnhMetaFile(dc);
    fs::current_path(before);
    ASSERT_NE(metafile, nullptr);
    const unsigned size = GetEnhMetaFileBits(metafile, 0, nullptr);
    ASSERT_EQ(size, expected.size());
    Bytes bytes(size);
    EXPECT_EQ(GetEnhMetaFileBits(metafile, size - 1, bytes.data()), 0U);  // too small: nothing
    EXPECT_EQ(GetEnhMetaFileBits(metafile, size, bytes.data()), size);
    EXPECT_EQ(bytes, expected);
    DeleteEnhMetaFile(metafile);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 0);
}

TEST_F(MetafileFiles, UnwritableFolderGivesNoMetafileAndNoFile) {
    const fs::path blocker = folder_ / "not-a-folder";
    std::ofstream(blocker) << "x";
    const fs::path path = blocker / "chart VT.emf";
    HDC dc = CreateEnhMetaFileA(nullptr, path.string().c_str(), nullptr, nullptr);
    LineTo(dc, 5, 5);
    EXPECT_EQ(CloseEnhMetaFile(dc), nullptr);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace vantorel::drawing
