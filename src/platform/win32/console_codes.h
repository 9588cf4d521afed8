#pragma once
// The parts of the Windows console front that need no console: how a key event
// becomes key presses and how a screen cell's bytes become the one UTF-16
// character a console cell holds. Kept apart so the tests can check them.

#include <string_view>

#include "platform/console.h"

namespace vantorel::platform::win32 {

// The code page number of UTF-8.
inline constexpr unsigned kUtf8CodePage = 65001;

// The key press of a key-down event whose character code (8-bit, in the
// console's input code page) is `code`: 13 is Enter ("\r"), 8 Backspace ("\b"),
// any other code its one byte; code 0 is a key without a character (arrows,
// function keys, Shift, Ctrl, Alt, the lock keys) and gives an empty press.
KeyPress keyPressForCharacterCode(char code);

// How many key presses one key event stands for: none for a key release, the
// repeat count for a key held down (at least one).
int keyPressCount(bool keyDown, unsigned repeatCount);

// The character a console cell shows for a screen cell's bytes: a blank for an
// empty cell; one byte is read in `codePage` (the console's code page), several
// bytes as one UTF-8 sequence. Control codes, bytes that are no character in
// their encoding and characters outside the 16-bit range show as '?'.
wchar_t consoleCharacterFor(std::string_view bytes, unsigned codePage);

}  // namespace vantorel::platform::win32
