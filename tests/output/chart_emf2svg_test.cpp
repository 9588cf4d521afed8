// The chart read by an independent EMF reader: emf2svg-conv turns the file into
// SVG, and the picture it sees must hold the white background, the label texts
// and both curves at their points. Skipped where the converter is not installed.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "output/chart_metafile.h"
#include "reference_charts.h"
#include "wave_writer.h"

namespace vantorel::output {
namespace {

using analysis::LevelHistogram;
using analysis::ShareScale;
using test_support::ScratchFolder;

struct SvgPath {
    std::string style;                // "fill:#ffffff" for a filled area
    std::string stroke;               // "#0000FF" for a line
    std::vector<double> coordinates;  // x, y, x, y, ... in SVG pixels, y downwards
};

struct SvgText {
    std::string fill;
    double x = 0;
    std::string text;
};

std::string fileText(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The value of attribute `name` within an element's text ("" when absent).
std::string attribute(const std::string& element, const std::string& name) {
    const std::string opening = " " + name + "=\"";
    const std::size_t start = element.find(opening);
    if (start == std::string::npos) return "";
    const std::size_t from = start + opening.size();
    return element.substr(from, element.find('"', from) - from);
}

// Every number of a path's data ("M 1.5,-2 L 3,4 ").
std::vector<double> numbersOf(const std::string& data) {
    std::vector<double> numbers;
    const char* cursor = data.c_str();
    while (*cursor != '\0') {
        if (*cursor == '-' || (*cursor >= '0' && *cursor <= '9')) {
            char* end = nullptr;
            numbers.push_back(std::strtod(cursor, &end));
            cursor = end;
        } else {
            ++cursor;
        }
    }
    return numbers;
}

// The elements named `tag` of the SVG, each as its text from "<tag" to its end.
std::vector<std::string> elementsOf(const std::string& svg, const std::string& tag, const std::string& ending) {
    std::vector<std::string> elements;
    for (std::size_t at = svg.find("<" + tag + " "); at != std::string::npos; at = svg.find("<" + tag + " ", at + 1)) {
        const std::size_t end = svg.find(ending, at);
        if (end == std::string::npos) break;
        elements.push_back(svg.substr(at, end + ending.size() - at));
    }
    return elements;
}

std::vector<SvgPath> pathsOf(const std::string& svg) {
    std::vector<SvgPath> paths;
    for (const std::string& element : elementsOf(svg, "path", "/>"))
        paths.push_back({attribute(element, "style"), attribute(element, "stroke"),
                         numbersOf(attribute(element, "d"))});
    return paths;
}

std::vector<SvgText> textsOf(const std::string& svg) {
    static const std::string kOpening = "<![CDATA[";
    std::vector<SvgText> texts;
    for (const std::string& element : elementsOf(svg, "text", "</text>")) {
        const std::size_t from = element.find(kOpening);
        const std::size_t to = element.find("]]>");
        if (from == std::string::npos || to == std::string::npos) continue;
        texts.push_back({attribute(element, "fill"), std::strtod(attribute(element, "x").c_str(), nullptr),
                         element.substr(from + kOpening.size(), to - from - kOpening.size())});
    }
    return texts;
}

TEST(ChartInAnotherReader, ShowsBackgroundLabelsAndBothCurves) {
    if (std::system("command -v emf2svg-conv > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "emf2svg-conv is not installed (Debian package emf2svg)";

    ScratchFolder folder;
    const std::vector<std::uint8_t> drawn = drawChart(ChartFormat::Metafile, 2, {reference::kMusicLeft,
                                                  reference::kMusicRight}, reference::kMusicSlices, ShareScale{10, 5});
    const std::string chart = folder.file("music VT.emf");
    ASSERT_TRUE(test_support::writeFileBytes(chart, std::as_bytes(std::span(drawn))));
    const std::string svgName = folder.file("music.svg");
    ASSERT_EQ(std::system(("emf2svg-conv -i '" + chart + "' -o '" + svgName + "' > /dev/null 2>&1").c_str()), 0);
    const std::string svg = fileText(svgName);

    // The white background covers the whole picture; its width gives the scale
    // from logical units (0.1 mm) to SVG pixels.
    const std::vector<SvgPath> paths = pathsOf(svg);
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ(paths[0].style, "fill:#ffffff");
    ASSERT_EQ(paths[0].coordinates.size(), 8u);
    const double scale = paths[0].coordinates[2] / 950;
    ASSERT_GT(scale, 0);
    auto logical = [scale](double pixels) { return static_cast<int>(std::lround(pixels / scale)); };
    EXPECT_EQ(logical(-paths[0].coordinates[5]), 950);

    // The curves, blue left then red right, as logical points (y upwards).
    std::vector<SvgPath> curves;
    for (const SvgPath& path : paths)
        if (path.coordinates.size() == 82) curves.push_back(path);
    ASSERT_EQ(curves.size(), 2u);
    EXPECT_EQ(curves[0].stroke, "#0000FF");
    EXPECT_EQ(curves[1].stroke, "#FF0000");
    for (int i = 0; i < 41; ++i) {
        const auto at = static_cast<std::size_t>(2 * i);
        EXPECT_EQ(logical(curves[0].coordinates[at]), 900 - 20 * i);
        EXPECT_EQ(logical(-curves[0].coordinates[at + 1]), reference::kMusicLeftY[static_cast<std::size_t>(i)]) << "left " << i;
        EXPECT_EQ(logical(-curves[1].coordinates[at + 1]), reference::kMusicRightY[static_cast<std::size_t>(i)]) << "right " << i;
    }

    // Every text, in drawing order, with its colour and x.
    const std::vector<SvgText> texts = textsOf(svg);
    const std::vector<SvgText> expected{
        {"#DCDCDC", 170, "Vantorel"}, {"#000000", 100, "-40"}, {"#000000", 200, "-35"},
        {"#000000", 300, "-30"},      {"#000000", 400, "-25"}, {"#000000", 500, "-20"},
        {"#000000", 600, "-15"},      {"#000000", 700, "-10"}, {"#000000", 800, "-5"},
        {"#000000", 900, "0"},        {"#000000", 500, "peak level (dBFS)"},
        {"#000000", 80, " 0"},        {"#000000", 80, " 2"},   {"#000000", 80, " 4"},
        {"#000000", 80, " 6"},        {"#000000", 80, " 8"},   {"#000000", 75, " 10"},
        {"#000000", 30, "%"}};
    ASSERT_EQ(texts.size(), expected.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(texts[i].text, expected[i].text) << "text " << i;
        EXPECT_EQ(texts[i].fill, expected[i].fill) << "text " << i;
        EXPECT_EQ(logical(texts[i].x), static_cast<int>(expected[i].x)) << "text " << i;
    }
}

}  // namespace
}  // namespace vantorel::output
