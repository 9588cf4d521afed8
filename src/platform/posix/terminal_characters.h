#pragma once
// Conversions between the screen model's characters (bytes) and the wide
// characters of the terminal, in the encoding of the current C locale
// (UTF-8 under a UTF-8 locale). Also the colours a console attribute gets on a
// terminal with a given number of colours, and the part of the screen a
// terminal smaller than it shows. No curses here, so all of it can be tested
// without a terminal.

#include <cstdint>
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"

namespace vantorel::platform {

// The wide character shown for a cell's bytes: the one character they encode
// in the current locale if it takes exactly one column; '?' for bytes that are
// no character there, a control character, several characters, or a character
// of another width. An empty cell shows as a blank.
wchar_t displayCharacter(std::string_view bytes);

// The key press a character code read from the terminal gives: 10 and 13 are
// Enter ("\r"); 8, 127 and the terminal's erase character are Backspace
// ("\b"); any other code below 32 is that byte (Ctrl+C is "\x03"); a printable
// character is its bytes in the current locale. C1 control codes and codes that
// the locale cannot encode carry no character (empty).
KeyPress keyPressForCharacter(wchar_t code, wchar_t eraseCharacter);

// A character as it was typed: its bytes, and the wide character they make in
// the current locale; none for a byte that makes no character there, which is
// kept as typed all the same.
struct TypedCharacter {
    std::string bytes;
    std::optional<wchar_t> code;
};

// Turns the bytes of typed characters, read one at a time, into characters of
// the current locale, losing none of them.
struct KeyByteDecoder {
    std::mbstate_t state{};
    std::string held;  // the bytes of an unfinished character
};

// Feeds one byte: gives the characters it completes, in order. Nothing while a
// character is unfinished; when the bytes held turn out to make no character,
// each of them comes out on its own, without a code, and this byte starts
// afresh, so a stray byte never holds up the keys after it.
std::vector<TypedCharacter> decodeKeyByte(KeyByteDecoder& decoder, unsigned char byte);

// Gives the bytes of an unfinished character, each on its own, and starts
// afresh (a key without a character came between).
std::vector<TypedCharacter> flushKeyByteDecoder(KeyByteDecoder& decoder);

// The key press of a typed character: keyPressForCharacter of its code, or
// for a byte that makes no character in the locale, that byte as typed.
KeyPress keyPressForTyped(const TypedCharacter& typed, wchar_t eraseCharacter);

// How a console attribute (foreground + 16 x background, colour indexes in
// console order: 1 blue, 4 red, 8 dark grey, 15 bright white) is shown.
struct TerminalColours {
    bool usesColour = false;  // false: the terminal has too few colours
    short foreground = 0;     // curses colour numbers (ANSI order: 1 red, 4 blue)
    short background = 0;
    bool dim = false;         // show with the dim attribute
    bool bold = false;        // show with the bold attribute (bright foreground on 8 colours)
};

// `colourCount` is what the terminal offers: 16 or more shows the console
// colours exactly; 8 shows them with the bright bit dropped, a bright
// foreground as bold and dark grey as dim black; fewer shows no colour, dark
// grey text as dim.
TerminalColours terminalColoursFor(std::uint8_t attribute, int colourCount);

// The part of the screen model a terminal shows at its top left: the first
// screen row and column shown (1-based) and how many rows and columns.
struct ScreenView {
    int firstRow = 1;
    int firstColumn = 1;
    int rows = 0;
    int columns = 0;
};

// A terminal at least as large as the screen shows all of it. With fewer rows
// it shows the screen's top rows while the cursor's row is among them, else
// the rows that end at the cursor's row; columns go the same way. So the
// cursor's cell is always shown, and a screen that fits is never moved.
ScreenView screenViewFor(const ScreenBuffer& screen, int terminalColumns, int terminalRows);

}  // namespace vantorel::platform
