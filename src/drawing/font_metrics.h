#pragma once
// Horizontal and vertical metrics of the chart's typeface, Arial Bold, so that
// text records can carry the advance widths a real renderer would use. The
// widths are those of Arial Bold in its own design units (2048 per em); they
// equal the public Helvetica-Bold metrics scaled from 1000 to 2048 units.

#include <cstdint>
#include <span>
#include <vector>

namespace vantorel::drawing {

inline constexpr int kArialBoldUnitsPerEm = 2048;
// OS/2 xAvgCharWidth: the width a font's "average width" argument refers to.
inline constexpr int kArialBoldAverageWidth = 983;
// usWinAscent + usWinDescent: the character cell height (1854 + 434).
inline constexpr int kArialBoldAscent = 1854;
inline constexpr int kArialBoldDescent = 434;
inline constexpr int kArialBoldCellHeight = kArialBoldAscent + kArialBoldDescent;

// Advance width of one character of the ANSI code page in Arial Bold design
// units. Printable ASCII (0x20..0x7E) has the font's own widths; every other
// byte is given the average width.
int arialBoldAdvance(unsigned char character);

// Size of a font in logical units, as CreateFontA was given it.
struct FontSize {
    int height = 0;        // > 0: cell height; < 0: em height; 0: default
    int averageWidth = 0;  // 0: the width that goes with the height
};

// Cell height in logical units (ascent + descent). A height of 0 stands for
// the default cell height of 16 units.
int fontCellHeight(FontSize size);
// Ascent in logical units (the distance from the top of the cell to the baseline).
int fontAscent(FontSize size);

// Advance widths in logical units, one per byte of text. The running total is
// rounded (ties to even) rather than each width, so that the sum equals the
// rounded width of the whole text.
std::vector<std::int32_t> textAdvances(std::span<const char> text, FontSize size);

}  // namespace vantorel::drawing
