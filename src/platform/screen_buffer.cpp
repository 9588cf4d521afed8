#include "platform/screen_buffer.h"

#include <algorithm>
#include <cstddef>

namespace vantorel::platform {

namespace {

std::size_t cellIndex(const ScreenBuffer& screen, int row, int column) {
    return static_cast<std::size_t>(row - 1) * static_cast<std::size_t>(screen.columns) +
           static_cast<std::size_t>(column - 1);
}

// Length of the well-formed UTF-8 sequence starting at text[0], or 0 if none.
std::size_t utf8SequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    unsigned minimum = 0;
    unsigned codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2; minimum = 0x80; codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3; minimum = 0x800; codePoint = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4; minimum = 0x10000; codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0u) != 0x80u) return 0;
        codePoint = (codePoint << 6) | (next & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
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

std::vector<std::string> splitCharacters(std::string_view text) {
    std::vector<std::string> characters;
    characters.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = std::max<std::size_t>(utf8SequenceLength(text), 1);
        characters.emplace_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return characters;
}

std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned minimum = 0;
    if ((lead & 0xE0) == 0xC0) length = 2, minimum = 0x80;
    else if ((lead & 0xF0) == 0xE0) length = 3, minimum = 0x800;
    else if ((lead & 0xF8) == 0xF0) length = 4, minimum = 0x10000;
    else return 0;
    if (at + length > text.size()) return 0;
    unsigned code = lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        code = code << 6 | (next & 0x3F);
    }
    if (code < minimum || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
    return length;
}

}  // namespace vantorel::platform
