#pragma once
// The console window set-up made once at start-up.

#include "platform/console.h"
#include "platform/console_tools.h"

namespace vantorel::app {

// Title, icon, tool bar, system menu, colours, cleared screen, size and position.
void setUpConsoleWindow(platform::Console& console, platform::InstanceHandle instance);

}  // namespace vantorel::app
