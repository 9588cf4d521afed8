#pragma once
// The device context's second back end: drawing calls rendered as elements of
// an SVG document instead of EMF records. The device context works out every
// position, size and colour from its own state and hands them here; this layer
// only writes them down. Coordinates are in hundredths of a millimetre with y
// downwards, the unit and orientation of a metafile's picture frame.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vantorel::drawing {

struct SvgPoint {
    double x = 0;
    double y = 0;
};

// A stroke: colour as 0x00BBGGRR (a COLORREF), width in 0.01 mm. Ends and
// joins are round, as those of the pens the device context creates.
struct SvgStroke {
    std::uint32_t color = 0;
    double width = 0;
};

// A text run: its left end on the baseline, the length its advances add up to,
// and the font. Glyphs are stretched to the length, as the metafile's advances
// place them.
struct SvgText {
    SvgPoint baselineStart;
    double length = 0;
    double emSize = 0;
    int weight = 400;
    bool italic = false;
    std::u16string faceName;
    std::uint32_t color = 0;
    std::u16string text;
};

// The elements drawn so far, in drawing order.
struct SvgCanvas {
    std::string elements;
};

void drawSvgRectangle(SvgCanvas& canvas, SvgPoint corner, SvgPoint oppositeCorner, std::uint32_t fillColor);
void drawSvgLine(SvgCanvas& canvas, SvgPoint from, SvgPoint to, const SvgStroke& stroke);
void drawSvgPolyline(SvgCanvas& canvas, std::span<const SvgPoint> points, const SvgStroke& stroke);
void drawSvgText(SvgCanvas& canvas, const SvgText& text);

// The whole document: the picture frame (0.01 mm; any two opposite corners)
// becomes its size in millimetres and its view box.
std::string svgDocument(const SvgCanvas& canvas, SvgPoint frameCorner, SvgPoint frameOppositeCorner);

}  // namespace vantorel::drawing
