#include "app/console_window.h"

#include <cstdint>

namespace vantorel::app {

namespace {
constexpr int kApplicationIcon = 32512;  // the standard application icon
constexpr int kSystemMenuRestore = 0xF120;
constexpr int kSystemMenuSize = 0xF000;
constexpr int kSystemMenuMaximise = 0xF030;
constexpr int kConsoleRows = 33;  // room for the 32 rows a Job uses
constexpr int kWindowPositionUnchanged = 32767;
}  // namespace

void setUpConsoleWindow(platform::Console& console, platform::InstanceHandle instance) {
    std::int32_t reserved = 0;
    platform::InitConsoleTools(console, instance, 0, 0, 0, reserved, 0);
    platform::ConsoleToolBar(console, 0, 5);
    platform::ConsoleTitle(console, "Vantorel");
    platform::ConsoleIcon(console, kApplicationIcon);
    // Without restore, size and maximise the user cannot change the window's shape.
    for (const int item : {kSystemMenuRestore, 0, kSystemMenuSize, -2, -1, kSystemMenuMaximise})
        platform::DeleteWindowMenuItem(console, item);
    platform::setAttribute(console, platform::kAttributeStrong);
    platform::clearScreen(console);
    platform::Console80x(console, kConsoleRows);
    platform::ConsoleMove(console, kWindowPositionUnchanged, kWindowPositionUnchanged);
}

}  // namespace vantorel::app
