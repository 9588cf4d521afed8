// Entry point. Without arguments: takes over the terminal and runs the dialogue
// on it. With arguments: the command line, which never touches the terminal.

#include <cstdio>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "app/main_loop.h"
#include "platform/terminal_console.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        const std::vector<std::string> arguments(argv + 1, argv + argc);
        return vantorel::app::runCommandLine(arguments, stdout, stderr);
    }
    auto opened = vantorel::platform::openTerminalConsole();
    if (auto* reason = std::get_if<std::string>(&opened)) {
        std::fprintf(stderr, "vantorel: %s\n", reason->c_str());
        return 2;
    }
    auto& device = std::get<std::unique_ptr<vantorel::platform::ConsoleDevice>>(opened);
    vantorel::platform::Console console = vantorel::platform::makeConsole(*device);
    const int status = vantorel::app::WINMAIN(console, nullptr);
    device.reset();  // gives the terminal back before the process ends
    return status;
}
