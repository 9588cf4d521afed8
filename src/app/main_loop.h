#pragma once
// The tool's entry and its dialogue: one Job after another until the user answers N.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/console.h"
#include "platform/console_tools.h"

namespace vantorel::app {

// Caption of every error box: two blanks, then ERROR.
inline constexpr std::string_view kErrorCaption = "  ERROR";


// Runs the tool on the console: start-up, then Jobs until the user answers N or
// n (returns 0). Returns 1 when the console input ends for good.
int WINMAIN(platform::Console& console, platform::InstanceHandle instance);

// Rings the default beep, then shows the message in a box captioned "  ERROR"
// and waits until the user closes it.
void showErrorBox(platform::Console& console, std::string_view message);

// The line editor: echoes typed characters in the current colour at the cursor,
// Backspace erases the last one (also across a wrapped row), Enter ends the line
// and moves the cursor to column 1 of the next row. Control codes and keys
// without a character are ignored; at most 10,000 characters are kept. Shows the
// cursor while waiting and restores its visibility afterwards. Gives no line
// when the input has ended for good.
std::optional<std::string> readConsoleLine(platform::Console& console);

// A line as the line editor took it: the text, and the cells its echo takes on
// the screen, one a key. A character that a terminal in a single-byte locale
// delivers byte by byte is one character of the text but a cell for each byte.
struct TypedLine {
    std::string text;
    std::size_t echoedCells = 0;
};
std::optional<TypedLine> readTypedLine(platform::Console& console);

}  // namespace vantorel::app
