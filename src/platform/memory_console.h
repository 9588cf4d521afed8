#pragma once
// An in-memory console device: keys come from a script, boxes and beeps are
// recorded. Lets the whole dialogue run in unit tests without a terminal.

#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "platform/console.h"

namespace vantorel::platform {

struct MessageBoxRecord {
    std::string message;
    std::string caption;
    int beepsBefore = 0;   // beeps rung before this box was shown
    ScreenBuffer screen;   // the screen under the box when it was shown
};

class MemoryConsoleDevice final : public ConsoleDevice {
public:
    std::deque<KeyPress> keys;               // what the user will press, in order
    std::vector<MessageBoxRecord> boxes;     // every box shown, in order
    int beeps = 0;
    std::string title;
    int requestedColumns = 0;
    int requestedRows = 0;
    int presents = 0;

    void present(const ScreenBuffer& screen) override;
    // Next scripted key; once the script is used up the input reads as closed.
    KeyPress readKey(const ScreenBuffer& screen) override;
    // Records the box; it closes at once without using a scripted key.
    void showMessageBox(const ScreenBuffer& screen, std::string_view message,
                        std::string_view caption) override;
    void beep() override;
    void setTitle(std::string_view newTitle) override;
    void requestSize(int columns, int rows) override;

    // Appends one key press per character of text (split as the screen splits it).
    void type(std::string_view text);
    // Appends a key that carries no character (an arrow or function key).
    void pressKeyWithoutCharacter();
};

}  // namespace vantorel::platform
