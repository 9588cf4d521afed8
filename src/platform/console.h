#pragma once
// The seam between the tool and whatever shows its screen: a ConsoleDevice shows
// the screen model and delivers key presses. The terminal front (ncurses) and the
// in-memory console used by the tests are the two implementations. Subsystem code
// works on a Console record through the free functions below and never asks which
// device is behind it.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/screen_buffer.h"

namespace vantorel::platform {

// One key press. `character` holds the bytes of the character the key carries:
// "\r" for Enter, "\b" for Backspace, a control byte such as "\x03" for Ctrl+C,
// or a printable character (one UTF-8 sequence). It is empty for keys that carry
// no character (arrows, function keys, modifiers). `inputClosed` says the input
// has ended for good (the terminal went away); no further key will come.
struct KeyPress {
    std::string character;
    bool inputClosed = false;
};

class ConsoleDevice {
public:
    virtual ~ConsoleDevice() = default;
    // Shows the current screen, cursor position and cursor visibility.
    virtual void present(const ScreenBuffer& screen) = 0;
    // Blocks until a key arrives; keeps the screen shown meanwhile (e.g. on resize).
    virtual KeyPress readKey(const ScreenBuffer& screen) = 0;
    // Shows a message box over the screen and blocks until the user closes it;
    // the screen under it comes back unchanged.
    virtual void showMessageBox(const ScreenBuffer& screen, std::string_view message,
                                std::string_view caption) = 0;
    virtual void beep() = 0;
    virtual void setTitle(std::string_view title) = 0;
    // Asks for a window of this size in character cells (terminals may refuse).
    virtual void requestSize(int columns, int rows) = 0;
    // Called now and then during long work that draws nothing: shows the screen
    // again if the window's size changed meanwhile. Cheap when nothing changed.
    virtual void keepShown(const ScreenBuffer& /*screen*/) {}
    // Window decorations that a desktop console window has and a terminal has
    // not; a device without them keeps these defaults, which do nothing.
    // The window's icon, a resource number of the system's icons (32512 is the
    // standard application icon).
    virtual void setIcon(int /*iconId*/) {}
    // Removes an item from the window's system menu.
    virtual void deleteSystemMenuItem(int /*item*/) {}
    // Moves the window's top left corner to (x, y) on the desktop.
    virtual void moveWindow(int /*x*/, int /*y*/) {}
};

struct Console {
    ScreenBuffer screen;
    ConsoleDevice* device = nullptr;
};

Console makeConsole(ConsoleDevice& device);

// Screen operations: each changes the model, then shows it.
void clearScreen(Console& console);
void setAttribute(Console& console, std::uint8_t attribute);
void writeText(Console& console, std::string_view text);
void newLine(Console& console, int count = 1);
void moveCursor(Console& console, int row, int column);
void setCursorVisible(Console& console, bool visible);
KeyPress readKey(Console& console);
void keepShown(Console& console);

}  // namespace vantorel::platform
