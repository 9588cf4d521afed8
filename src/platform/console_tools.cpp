#include "platform/console_tools.h"

namespace vantorel::platform {

int InitConsoleTools(Console&, InstanceHandle, int, int, int, std::int32_t&, int) { return 0; }

int ConsoleToolBar(Console&, int, int) { return 0; }

int ConsoleTitle(Console& console, const char* title) {
    console.device->setTitle(title == nullptr ? "" : title);
    return 0;
}

int ConsoleIcon(Console& console, int iconId) {
    console.device->setIcon(iconId);
    return 0;
}

int DeleteWindowMenuItem(Console& console, int item) {
    console.device->deleteSystemMenuItem(item);
    return 0;
}

int Console80x(Console& console, int rows) {
    if (rows < 1) return 0;
    console.device->requestSize(kScreenColumns, rows);
    const ScreenBuffer previous = console.screen;
    console.screen = makeScreenBuffer(kScreenColumns, rows);
    console.screen.attribute = previous.attribute;
    console.screen.cursorVisible = previous.cursorVisible;
    clearScreen(console.screen);
    console.screen.attribute = previous.attribute;
    moveCursor(console.screen, previous.cursorRow, previous.cursorColumn);
    console.device->present(console.screen);
    return 0;
}

int ConsoleMove(Console& console, int x, int y) {
    console.device->moveWindow(x, y);
    return 0;
}

int ConsoleMessageBox(Console& console, const char* text, int, const char* caption, int, int) {
    console.device->showMessageBox(console.screen, text == nullptr ? "" : text,
                                   caption == nullptr ? "" : caption);
    console.device->present(console.screen);
    return 0;
}

void MessageBeep(Console& console, unsigned) { console.device->beep(); }

}  // namespace vantorel::platform
