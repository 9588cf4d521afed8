// The line editor and the error box: the two ways the dialogue meets the user.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "app/main_loop.h"

namespace vantorel::app {

namespace {

using platform::Console;

constexpr std::size_t kLineLimit = 10000;  // characters kept by the line editor

// Erases the character left of the cursor: one cell back (to the end of the
// previous row from column 1), a blank over it, and back again.
void eraseCharacterBeforeCursor(Console& console) {
    platform::moveCursorBack(console.screen);
    platform::writeText(console, " ");
    platform::moveCursorBack(console.screen);
    console.device->present(console.screen);
}

}  // namespace

void showErrorBox(Console& console, std::string_view message) {
    platform::MessageBeep(console, 0);
    const std::string text(message);
    const std::string caption(kErrorCaption);
    platform::ConsoleMessageBox(console, text.c_str(), 0, caption.c_str(), 0, 0);
}

std::optional<TypedLine> readTypedLine(Console& console) {
    const bool cursorWasVisible = console.screen.cursorVisible;
    platform::setCursorVisible(console, true);
    std::vector<std::string> characters;
    std::optional<TypedLine> line;
    for (;;) {
        const platform::KeyPress key = platform::readKey(console);
        if (key.inputClosed) break;
        if (key.character.empty()) continue;  // arrows, function keys, modifiers
        if (key.character == "\r") {
            platform::newLine(console);
            line.emplace();
            for (const std::string& character : characters) line->text += character;
            line->echoedCells = characters.size();
            break;
        }
        if (key.character == "\b") {
            if (!characters.empty()) {
                characters.pop_back();
                eraseCharacterBeforeCursor(console);
            }
            continue;
        }
        if (key.character.size() == 1 && static_cast<unsigned char>(key.character[0]) < 32) continue;
        if (characters.size() >= kLineLimit) continue;
        characters.push_back(key.character);
        platform::writeText(console, key.character);
    }
    platform::setCursorVisible(console, cursorWasVisible);
    return line;
}

std::optional<std::string> readConsoleLine(Console& console) {
    std::optional<TypedLine> line = readTypedLine(console);
    if (!line) return std::nullopt;
    return std::move(line->text);
}

}  // namespace vantorel::app
