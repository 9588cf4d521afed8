#pragma once
// Stand-in for the console-tools library the tool was designed around: the same
// calls with the same argument lists, each taking the Console it acts on first.
// The title, size, icon, system-menu items and window position are handed to
// the device; a terminal takes the title and size and has no counterpart for
// the rest. The tool bar has none anywhere and the call does nothing.
// Every call returns 0 and its result may be ignored.

#include <cstdint>

#include "platform/console.h"

namespace vantorel::platform {

using InstanceHandle = void*;

int InitConsoleTools(Console& console, InstanceHandle instance, int, int, int,
                     std::int32_t& reserved, int);
int ConsoleToolBar(Console& console, int, int);
int ConsoleTitle(Console& console, const char* title);
int ConsoleIcon(Console& console, int iconId);
int DeleteWindowMenuItem(Console& console, int item);
// A console 80 columns wide and `rows` rows high: asks the device for it and
// sizes the screen model to match.
int Console80x(Console& console, int rows);
int ConsoleMove(Console& console, int x, int y);
// A box owned by the console with the text and caption; returns when closed.
int ConsoleMessageBox(Console& console, const char* text, int, const char* caption, int, int);

// The default system beep (type 0).
void MessageBeep(Console& console, unsigned type);

}  // namespace vantorel::platform
