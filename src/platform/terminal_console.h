#pragma once
// The terminal front: shows the screen model in a real terminal through ncurses
// and reads its keys. Restores the terminal on every way out, signals included.

#include <memory>
#include <string>
#include <variant>

#include "platform/console.h"

namespace vantorel::platform {

// Takes over the terminal on standard input and output. Gives a reason instead
// when either is not a terminal or the terminal cannot be set up. The device
// gives the terminal back when destroyed.
std::variant<std::unique_ptr<ConsoleDevice>, std::string> openTerminalConsole();

}  // namespace vantorel::platform
