// The Windows console front: shows the screen model in the console the program
// was started in and reads its key events. Input is switched to raw mode for
// the whole run (no line buffering, no echo, Ctrl+C arrives as code 3) and the
// console's input mode and cursor are given back when the device goes away.

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/terminal_console.h"
#include "platform/win32/console_codes.h"

namespace vantorel::platform {

namespace {

// ConsoleMove's coordinate that leaves the window where the system put it.
constexpr int kKeepPosition = 32767;
// System-menu commands (SC_RESTORE, SC_SIZE, SC_MAXIMIZE, ...) are 0xF000 and up.
constexpr int kFirstSystemCommand = 0xF000;

// The text a box shows: the two characters backslash and n break the line, as
// they do in the terminal's box; blanks are kept.
std::string boxText(std::string_view message) {
    std::string text;
    for (std::size_t i = 0; i < message.size(); ++i) {
        if (message[i] == '\\' && i + 1 < message.size() && message[i + 1] == 'n') {
            text += '\n';
            ++i;
        } else if (message[i] != '\0') {
            text += message[i];
        }
    }
    return text;
}

std::string zeroTerminated(std::string_view text) {
    std::string copy;
    for (const char c : text)
        if (c != '\0') copy += c;
    return copy;
}

class WindowsConsoleDevice final : public ConsoleDevice {
public:
    WindowsConsoleDevice(HANDLE input, HANDLE output, DWORD savedInputMode, CONSOLE_CURSOR_INFO savedCursor)
        : input_(input), output_(output), savedInputMode_(savedInputMode), savedCursor_(savedCursor),
          codePage_(::GetConsoleCP()) {}

    ~WindowsConsoleDevice() override {
        ::SetConsoleCursorInfo(output_, &savedCursor_);
        ::SetConsoleMode(input_, savedInputMode_);
        ::SetConsoleCtrlHandler(nullptr, FALSE);
    }

    WindowsConsoleDevice(const WindowsConsoleDevice&) = delete;
    WindowsConsoleDevice& operator=(const WindowsConsoleDevice&) = delete;

    void present(const ScreenBuffer& screen) override {
        const int columns = std::clamp(screen.columns, 1, 0x7FFF);
        const int rows = std::clamp(screen.rows, 1, 0x7FFF);
        std::vector<CHAR_INFO> cells(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
        for (std::size_t i = 0; i < cells.size() && i < screen.cells.size(); ++i) {
            cells[i].Char.UnicodeChar = win32::consoleCharacterFor(screen.cells[i].character, codePage_);
            cells[i].Attributes = screen.cells[i].attribute;
        }
        // Only rows that changed since the last call are written, which keeps
        // typing free of flicker.
        const bool sameShape = columns == shownColumns_ && rows == shownRows_;
        int first = 0;
        int last = rows - 1;
        if (sameShape) {
            auto rowDiffers = [&](int row) {
                const std::size_t begin = static_cast<std::size_t>(row) * static_cast<std::size_t>(columns);
                for (std::size_t i = begin; i < begin + static_cast<std::size_t>(columns); ++i)
                    if (cells[i].Char.UnicodeChar != shown_[i].Char.UnicodeChar ||
                        cells[i].Attributes != shown_[i].Attributes)
                        return true;
                return false;
            };
            while (first <= last && !rowDiffers(first)) ++first;
            while (last >= first && !rowDiffers(last)) --last;
        }
        if (first <= last) {
            SMALL_RECT region{0, static_cast<SHORT>(first), static_cast<SHORT>(columns - 1), static_cast<SHORT>(last)};
            ::WriteConsoleOutputW(output_, cells.data(), COORD{static_cast<SHORT>(columns), static_cast<SHORT>(rows)},
                                  COORD{0, static_cast<SHORT>(first)}, &region);
        }
        shown_ = std::move(cells);
        shownColumns_ = columns;
        shownRows_ = rows;

        ::SetConsoleCursorPosition(output_, COORD{static_cast<SHORT>(std::clamp(screen.cursorColumn, 1, columns) - 1),
                                                  static_cast<SHORT>(std::clamp(screen.cursorRow, 1, rows) - 1)});
        if (!cursorKnown_ || cursorVisible_ != screen.cursorVisible) {
            CONSOLE_CURSOR_INFO cursor = savedCursor_;
            if (cursor.dwSize < 1 || cursor.dwSize > 100) cursor.dwSize = 25;
            cursor.bVisible = screen.cursorVisible ? TRUE : FALSE;
            ::SetConsoleCursorInfo(output_, &cursor);
            cursorVisible_ = screen.cursorVisible;
            cursorKnown_ = true;
        }
    }

    KeyPress readKey(const ScreenBuffer& screen) override {
        if (repeatsLeft_ > 0) {
            --repeatsLeft_;
            return repeated_;
        }
        for (;;) {
            INPUT_RECORD record{};
            DWORD count = 0;
            if (!::ReadConsoleInputA(input_, &record, 1, &count)) return KeyPress{{}, true};
            if (count == 0) continue;
            if (record.EventType == WINDOW_BUFFER_SIZE_EVENT) {
                // The user changed the buffer: show everything again.
                shownColumns_ = 0;
                present(screen);
                continue;
            }
            if (record.EventType != KEY_EVENT) continue;
            const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
            const int presses = win32::keyPressCount(key.bKeyDown != FALSE, key.wRepeatCount);
            if (presses == 0) continue;
            repeated_ = win32::keyPressForCharacterCode(key.uChar.AsciiChar);
            repeatsLeft_ = presses - 1;
            return repeated_;
        }
    }

    void showMessageBox(const ScreenBuffer&, std::string_view message, std::string_view caption) override {
        const std::string text = boxText(message);
        const std::string title = zeroTerminated(caption);
        ::MessageBoxA(::GetConsoleWindow(), text.c_str(), title.c_str(), MB_OK);
        // What was typed while the box was up belongs to the box.
        repeatsLeft_ = 0;
    }

    void beep() override { ::MessageBeep(0); }

    void setTitle(std::string_view title) override { ::SetConsoleTitleA(zeroTerminated(title).c_str()); }

    void requestSize(int columns, int rows) override {
        columns = std::clamp(columns, 1, 0x7FFF);
        rows = std::clamp(rows, 1, 0x7FFF);
        // The window must fit inside the buffer at every step: shrink it to one
        // cell, size the buffer, then open the window over all of it (as far as
        // the screen allows).
        SMALL_RECT oneCell{0, 0, 0, 0};
        ::SetConsoleWindowInfo(output_, TRUE, &oneCell);
        ::SetConsoleScreenBufferSize(output_, COORD{static_cast<SHORT>(columns), static_cast<SHORT>(rows)});
        const COORD largest = ::GetLargestConsoleWindowSize(output_);
        const int windowColumns = largest.X > 0 ? std::min<int>(columns, largest.X) : columns;
        const int windowRows = largest.Y > 0 ? std::min<int>(rows, largest.Y) : rows;
        SMALL_RECT window{0, 0, static_cast<SHORT>(windowColumns - 1), static_cast<SHORT>(windowRows - 1)};
        ::SetConsoleWindowInfo(output_, TRUE, &window);
        shownColumns_ = 0;  // the next present writes every cell
    }

    void setIcon(int iconId) override {
        const HWND window = ::GetConsoleWindow();
        if (window == nullptr) return;
        const HICON icon = ::LoadIconA(nullptr, MAKEINTRESOURCEA(iconId));
        if (icon == nullptr) return;
        ::SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
        ::SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    }

    // Only system commands are removed, by command; other numbers name no item
    // of a system menu that stays the same from one Windows version to the next,
    // so they are ignored.
    void deleteSystemMenuItem(int item) override {
        if (item < kFirstSystemCommand) return;
        const HWND window = ::GetConsoleWindow();
        if (window == nullptr) return;
        const HMENU menu = ::GetSystemMenu(window, FALSE);
        if (menu == nullptr) return;
        if (::DeleteMenu(menu, static_cast<UINT>(item), MF_BYCOMMAND)) ::DrawMenuBar(window);
    }

    // Puts the window's top left corner at (x, y) in screen pixels; 32767 keeps
    // that coordinate as it is.
    void moveWindow(int x, int y) override {
        if (x == kKeepPosition && y == kKeepPosition) return;
        const HWND window = ::GetConsoleWindow();
        RECT frame{};
        if (window == nullptr || !::GetWindowRect(window, &frame)) return;
        ::SetWindowPos(window, nullptr, x == kKeepPosition ? frame.left : x, y == kKeepPosition ? frame.top : y, 0,
                       0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

private:
    HANDLE input_;
    HANDLE output_;
    DWORD savedInputMode_;
    CONSOLE_CURSOR_INFO savedCursor_;
    unsigned codePage_;
    std::vector<CHAR_INFO> shown_;
    int shownColumns_ = 0;
    int shownRows_ = 0;
    bool cursorKnown_ = false;
    bool cursorVisible_ = true;
    KeyPress repeated_;
    int repeatsLeft_ = 0;
};

}  // namespace

std::variant<std::unique_ptr<ConsoleDevice>, std::string> openTerminalConsole() {
    const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD inputMode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || !::GetConsoleMode(input, &inputMode))
        return std::string("standard input is not a console");
    CONSOLE_SCREEN_BUFFER_INFO buffer{};
    if (output == nullptr || output == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(output, &buffer))
        return std::string("standard output is not a console");
    CONSOLE_CURSOR_INFO cursor{};
    if (!::GetConsoleCursorInfo(output, &cursor)) cursor = CONSOLE_CURSOR_INFO{25, TRUE};
    // Raw input: no line buffering, no echo, no Ctrl+C handling by the console.
    if (!::SetConsoleMode(input, 0)) return std::string("the console input cannot be switched to raw mode");
    // Ctrl+C never ends the program: where a console still turns it into a
    // signal (a terminal under Wine does), the signal is ignored.
    ::SetConsoleCtrlHandler(nullptr, TRUE);
    return std::unique_ptr<ConsoleDevice>(std::make_unique<WindowsConsoleDevice>(input, output, inputMode, cursor));
}

}  // namespace vantorel::platform
