#pragma once
// Layout of the message box the terminal front draws over the screen: a frame
// with the caption in its top border, the message lines centred inside and an
// OK button under them, the whole box centred in the visible area. Positions
// are 1-based screen rows and columns; widths count characters.

#include <string>
#include <string_view>
#include <vector>

namespace vantorel::platform {

inline constexpr std::string_view kMessageBoxButton = "[ OK ]";

struct MessageBoxLine {
    int row = 0;
    int column = 0;
    std::string text;
};

struct MessageBoxLayout {
    int top = 1;      // row of the top border
    int left = 1;     // column of the left border
    int width = 0;    // columns, borders included
    int height = 0;   // rows, borders included
    std::string caption;  // trimmed and cut to fit the top border
    int captionColumn = 0;
    std::vector<MessageBoxLine> lines;
    int buttonRow = 0;
    int buttonColumn = 0;
};

// The message's lines: it breaks at each backslash-n pair (the two characters
// '\' and 'n') and at each newline byte; every line loses its leading and
// trailing blanks. An empty message gives one empty line.
std::vector<std::string> messageLines(std::string_view message);

// Lays the box out in an area of areaColumns x areaRows cells at the top left
// of the screen. Lines wider than the area allows are wrapped; lines that do
// not fit in its height are dropped, the button always stays. An area smaller
// than 8 x 5 cells still gives a box of at least that size, to be clipped.
MessageBoxLayout layoutMessageBox(std::string_view message, std::string_view caption,
                                  int areaColumns, int areaRows);

}  // namespace vantorel::platform
