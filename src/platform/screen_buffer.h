#pragma once
// The console screen as the tool sees it: a grid of cells, each one character
// in one colour attribute, and a cursor. Every screen rule (clearing, wrapping
// at the last column, scrolling, colours) lives here, so the terminal front
// and the in-memory test console show exactly the same screen.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/utf8.h"

namespace vantorel::platform {

inline constexpr int kScreenColumns = 80;
inline constexpr int kScreenRows = 33;

// Console colour attributes: foreground + 16 x background.
inline constexpr std::uint8_t kAttributeStrong = 0xF0;  // black on bright white
inline constexpr std::uint8_t kAttributeDim = 0xF8;     // dark grey on bright white

struct ScreenCell {
    std::string character = " ";  // the bytes of one character (UTF-8 or a single byte)
    std::uint8_t attribute = kAttributeStrong;
};

struct ScreenBuffer {
    int columns = kScreenColumns;
    int rows = kScreenRows;
    std::vector<ScreenCell> cells;  // row-major, rows x columns
    std::uint8_t attribute = kAttributeStrong;  // colour of text written from now on
    int cursorRow = 1;     // 1-based
    int cursorColumn = 1;  // 1-based
    bool cursorVisible = true;
};

// A screen of the given size, every cell blank in the strong colours, cursor home.
ScreenBuffer makeScreenBuffer(int columns, int rows);

// Fills every cell with a blank in the current attribute and homes the cursor.
void clearScreen(ScreenBuffer& screen);

// Writes one character at the cursor in the current attribute and advances the
// cursor; after the last column the cursor goes to column 1 of the next row,
// scrolling the buffer up by one row when it was on the last row.
void writeCharacter(ScreenBuffer& screen, std::string_view character);

// Writes text character by character; a '\n' byte is a newline.
void writeText(ScreenBuffer& screen, std::string_view text);

// Moves the cursor to column 1 of the next row, scrolling on the last row.
void newLine(ScreenBuffer& screen);

// Moves the cursor; positions outside the buffer are clamped into it.
void moveCursor(ScreenBuffer& screen, int row, int column);

// Moves the cursor one cell back: to the last column of the previous row when it
// stands in column 1; stays put at row 1, column 1.
void moveCursorBack(ScreenBuffer& screen);

// Drops the top row, moves every other row up and blanks the last row in the
// current attribute.
void scrollUp(ScreenBuffer& screen);

const ScreenCell& cellAt(const ScreenBuffer& screen, int row, int column);

// The characters of one row joined, trailing blanks included (for tests and logs).
std::string rowText(const ScreenBuffer& screen, int row);

// The screen counts characters as the text layer splits them.
using text::splitCharacters;
using text::utf8SequenceLength;

}  // namespace vantorel::platform
