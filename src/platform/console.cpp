#include "platform/console.h"

namespace vantorel::platform {

Console makeConsole(ConsoleDevice& device) {
    return Console{makeScreenBuffer(kScreenColumns, kScreenRows), &device};
}

void clearScreen(Console& console) {
    clearScreen(console.screen);
    console.device->present(console.screen);
}

void setAttribute(Console& console, std::uint8_t attribute) {
    console.screen.attribute = attribute;
}

void writeText(Console& console, std::string_view text) {
    writeText(console.screen, text);
    console.device->present(console.screen);
}

void newLine(Console& console, int count) {
    for (int i = 0; i < count; ++i) newLine(console.screen);
    console.device->present(console.screen);
}

void moveCursor(Console& console, int row, int column) {
    moveCursor(console.screen, row, column);
    console.device->present(console.screen);
}

void setCursorVisible(Console& console, bool visible) {
    console.screen.cursorVisible = visible;
    console.device->present(console.screen);
}

KeyPress readKey(Console& console) {
    return console.device->readKey(console.screen);
}

void keepShown(Console& console) { console.device->keepShown(console.screen); }

}  // namespace vantorel::platform
