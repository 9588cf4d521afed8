#include "drawing/svg_drawing.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace vantorel::drawing {

namespace {

// A coordinate or size: at most two decimals (a micrometre is finer than any
// screen), no trailing zeros, never "-0", the same in every locale.
std::string number(double value) {
    if (!std::isfinite(value)) return "0";
    std::array<char, 64> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                            std::chars_format::fixed, 2);
    if (error != std::errc{}) return "0";
    std::string text(buffer.data(), end);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    if (text == "-0") text = "0";
    return text;
}

std::string colorText(std::uint32_t color) {
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string text = "#";
    for (const int shift : {0, 8, 16}) {  // red, green, blue
        const unsigned component = (color >> shift) & 0xFF;
        text += kDigits[component >> 4];
        text += kDigits[component & 0xF];
    }
    return text;
}

// UTF-16 text as UTF-8 character data or attribute value. Characters XML does
// not allow (control codes, lone surrogates) become U+FFFD.
std::string escaped(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if ((code < 0x20 && code != '\t') || (code >= 0xD800 && code <= 0xDFFF) || code >= 0xFFFE) {
            code = 0xFFFD;
        }
        switch (code) {
            case '&': out += "&amp;"; continue;
            case '<': out += "&lt;"; continue;
            case '>': out += "&gt;"; continue;
            case '"': out += "&quot;"; continue;
            default: break;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::string strokeAttributes(const SvgStroke& stroke) {
    return " fill=\"none\" stroke=\"" + colorText(stroke.color) + "\" stroke-width=\"" + number(stroke.width) +
           "\" stroke-linecap=\"round\" stroke-linejoin=\"round\"";
}

}  // namespace

void drawSvgRectangle(SvgCanvas& canvas, SvgPoint corner, SvgPoint oppositeCorner, std::uint32_t fillColor) {
    canvas.elements += "<rect x=\"" + number(std::min(corner.x, oppositeCorner.x)) + "\" y=\"" +
                       number(std::min(corner.y, oppositeCorner.y)) + "\" width=\"" +
                       number(std::fabs(oppositeCorner.x - corner.x)) + "\" height=\"" +
                       number(std::fabs(oppositeCorner.y - corner.y)) + "\" fill=\"" + colorText(fillColor) +
                       "\"/>\n";
}

void drawSvgLine(SvgCanvas& canvas, SvgPoint from, SvgPoint to, const SvgStroke& stroke) {
    canvas.elements += "<line x1=\"" + number(from.x) + "\" y1=\"" + number(from.y) + "\" x2=\"" + number(to.x) +
                       "\" y2=\"" + number(to.y) + "\"" + strokeAttributes(stroke) + "/>\n";
}

void drawSvgPolyline(SvgCanvas& canvas, std::span<const SvgPoint> points, const SvgStroke& stroke) {
    std::string list;
    for (const SvgPoint& point : points) {
        if (!list.empty()) list += ' ';
        list += number(point.x) + "," + number(point.y);
    }
    canvas.elements += "<polyline points=\"" + list + "\"" + strokeAttributes(stroke) + "/>\n";
}

void drawSvgText(SvgCanvas& canvas, const SvgText& text) {
    // Blanks are kept (" 20" is three advances wide), and the generic family
    // stands in where the face is not installed.
    canvas.elements += "<text xml:space=\"preserve\" x=\"" + number(text.baselineStart.x) + "\" y=\"" +
                       number(text.baselineStart.y) + "\" textLength=\"" + number(text.length) +
                       "\" lengthAdjust=\"spacingAndGlyphs\" font-family=\"" + escaped(text.faceName) +
                       ", sans-serif\" font-size=\"" + number(text.emSize) + "\" font-weight=\"" +
                       std::to_string(std::clamp(text.weight, 1, 1000)) + "\"" +
                       (text.italic ? " font-style=\"italic\"" : "") + " fill=\"" + colorText(text.color) + "\">" +
                       escaped(text.text) + "</text>\n";
}

std::string svgDocument(const SvgCanvas& canvas, SvgPoint frameCorner, SvgPoint frameOppositeCorner) {
    const double left = std::min(frameCorner.x, frameOppositeCorner.x);
    const double top = std::min(frameCorner.y, frameOppositeCorner.y);
    const double width = std::fabs(frameOppositeCorner.x - frameCorner.x);
    const double height = std::fabs(frameOppositeCorner.y - frameCorner.y);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" +
           number(width / 100) + "mm\" height=\"" + number(height / 100) + "mm\" viewBox=\"" + number(left) + " " +
           number(top) + " " + number(width) + " " + number(height) + "\">\n" + canvas.elements + "</svg>\n";
}

}  // namespace vantorel::drawing
