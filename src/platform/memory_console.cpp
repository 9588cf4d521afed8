#include "platform/memory_console.h"

namespace vantorel::platform {

void MemoryConsoleDevice::present(const ScreenBuffer&) { ++presents; }

KeyPress MemoryConsoleDevice::readKey(const ScreenBuffer&) {
    if (keys.empty()) return KeyPress{"", true};
    KeyPress key = keys.front();
    keys.pop_front();
    return key;
}

void MemoryConsoleDevice::showMessageBox(const ScreenBuffer& screen, std::string_view message,
                                         std::string_view caption) {
    boxes.push_back(MessageBoxRecord{std::string(message), std::string(caption), beeps, screen});
}

void MemoryConsoleDevice::beep() { ++beeps; }

void MemoryConsoleDevice::setTitle(std::string_view newTitle) { title = newTitle; }

void MemoryConsoleDevice::requestSize(int columns, int rows) {
    requestedColumns = columns;
    requestedRows = rows;
}

void MemoryConsoleDevice::type(std::string_view text) {
    for (std::string& character : splitCharacters(text)) keys.push_back(KeyPress{std::move(character), false});
}

void MemoryConsoleDevice::pressKeyWithoutCharacter() { keys.push_back(KeyPress{"", false}); }

}  // namespace vantorel::platform
