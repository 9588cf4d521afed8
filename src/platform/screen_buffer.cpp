#include "platform/screen_buffer.h"

#include <algorithm>
#include <cstddef>

namespace vantorel::platform {

namespace {

std::size_t cellIndex(const ScreenBuffer& screen, int row, int column) {
    return static_cast<std::size_t>(row - 1) * static_cast<std::size_t>(screen.columns) +
           static_cast<std::size_t>(column - 1);
}

}  // namespace

ScreenBuffer makeScreenBuffer(int columns, int rows) {
    ScreenBuffer screen;
    screen.columns = std::max(columns, 1);
    screen.rows = std::max(rows, 1);
    screen.cells.assign(static_cast<std::size_t>(screen.columns) * static_cast<std::size_t>(screen.rows),
                        ScreenCell{});
    return screen;
}

void clearScreen(ScreenBuffer& screen) {
    for (ScreenCell& cell : screen.cells) cell = ScreenCell{" ", screen.attribute};
    screen.cursorRow = 1;
    screen.cursorColumn = 1;
}

void scrollUp(ScreenBuffer& screen) {
    const auto width = static_cast<std::ptrdiff_t>(screen.columns);
    std::move(screen.cells.begin() + width, screen.cells.end(), screen.cells.begin());
    std::fill(screen.cells.end() - width, screen.cells.end(), ScreenCell{" ", screen.attribute});
}

void newLine(ScreenBuffer& screen) {
    screen.cursorColumn = 1;
    if (screen.cursorRow == screen.rows)
        scrollUp(screen);
    else
        ++screen.cursorRow;
}

void writeCharacter(ScreenBuffer& screen, std::string_view character) {
    screen.cells[cellIndex(screen, screen.cursorRow, screen.cursorColumn)] =
        ScreenCell{std::string(character), screen.attribute};
    if (screen.cursorColumn == screen.columns)
        newLine(screen);
    else
        ++screen.cursorColumn;
}

void writeText(ScreenBuffer& screen, std::string_view text) {
    for (const std::string& character : splitCharacters(text)) {
        if (character == "\n")
            newLine(screen);
        else
            writeCharacter(screen, character);
    }
}

void moveCursor(ScreenBuffer& screen, int row, int column) {
    screen.cursorRow = std::clamp(row, 1, screen.rows);
    screen.cursorColumn = std::clamp(column, 1, screen.columns);
}

void moveCursorBack(ScreenBuffer& screen) {
    if (screen.cursorColumn > 1) {
        --screen.cursorColumn;
    } else if (screen.cursorRow > 1) {
        --screen.cursorRow;
        screen.cursorColumn = screen.columns;
    }
}

const ScreenCell& cellAt(const ScreenBuffer& screen, int row, int column) {
    return screen.cells[cellIndex(screen, row, column)];
}

std::string rowText(const ScreenBuffer& screen, int row) {
    std::string text;
    for (int column = 1; column <= screen.columns; ++column) text += cellAt(screen, row, column).character;
    return text;
}

}  // namespace vantorel::platform
