#include "platform/message_box.h"

#include <algorithm>
#include <cstddef>

#include "platform/screen_buffer.h"

namespace vantorel::platform {

namespace {

constexpr int kMinimumWidth = 8;
constexpr int kMinimumHeight = 5;
constexpr int kPadding = 3;        // blank columns between the border and the text
constexpr int kNarrowPadding = 1;  // used when the full padding leaves too little room

std::string_view trimBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

int characterCount(std::string_view text) { return static_cast<int>(splitCharacters(text).size()); }

// Cuts text into pieces of at most `width` characters (width >= 1).
std::vector<std::string> wrapLine(const std::string& text, int width) {
    const std::vector<std::string> characters = splitCharacters(text);
    if (characters.empty()) return {std::string()};
    std::vector<std::string> pieces;
    for (std::size_t start = 0; start < characters.size(); start += static_cast<std::size_t>(width)) {
        const std::size_t end = std::min(characters.size(), start + static_cast<std::size_t>(width));
        std::string piece;
        for (std::size_t i = start; i < end; ++i) piece += characters[i];
        pieces.push_back(std::string(trimBlanks(piece)));
    }
    return pieces;
}

std::string firstCharacters(std::string_view text, int count) {
    std::string cut;
    int taken = 0;
    for (const std::string& character : splitCharacters(text)) {
        if (taken == count) break;
        cut += character;
        ++taken;
    }
    return cut;
}

}  // namespace

std::vector<std::string> messageLines(std::string_view message) {
    std::vector<std::string> lines;
    std::string current;
    for (std::size_t i = 0; i < message.size(); ++i) {
        const bool backslashN = message[i] == '\\' && i + 1 < message.size() && message[i + 1] == 'n';
        if (backslashN || message[i] == '\n') {
            lines.push_back(std::string(trimBlanks(current)));
            current.clear();
            if (backslashN) ++i;
        } else {
            current += message[i];
        }
    }
    lines.push_back(std::string(trimBlanks(current)));
    return lines;
}

MessageBoxLayout layoutMessageBox(std::string_view message, std::string_view caption,
                                  int areaColumns, int areaRows) {
    const std::string trimmedCaption(trimBlanks(caption));
    const std::vector<std::string> rawLines = messageLines(message);

    int contentWidth = std::max(characterCount(kMessageBoxButton), characterCount(trimmedCaption) + 2);
    for (const std::string& line : rawLines) contentWidth = std::max(contentWidth, characterCount(line));

    const int maxInner = std::max(areaColumns, kMinimumWidth) - 2;
    int padding = kPadding;
    if (contentWidth + 2 * padding > maxInner) padding = kNarrowPadding;
    contentWidth = std::min(contentWidth, maxInner - 2 * padding);

    MessageBoxLayout layout;
    layout.width = contentWidth + 2 * padding + 2;

    std::vector<std::string> lines;
    for (const std::string& line : rawLines)
        for (std::string& piece : wrapLine(line, contentWidth)) lines.push_back(std::move(piece));

    // Rows: two borders, the button, and blank rows around the text when room allows.
    const int maxHeight = std::max(areaRows, kMinimumHeight);
    int lineCount = static_cast<int>(lines.size());
    bool blankRows = true;
    if (lineCount + 5 > maxHeight) {
        blankRows = false;
        lineCount = std::min(lineCount, maxHeight - 3);
    }
    layout.height = lineCount + (blankRows ? 5 : 3);

    layout.top = std::max(1, (areaRows - layout.height) / 2 + 1);
    layout.left = std::max(1, (areaColumns - layout.width) / 2 + 1);

    // Top border: corner, a line, a blank, the caption, a blank, the rest of the line.
    layout.caption = firstCharacters(trimmedCaption, std::max(0, layout.width - 6));
    layout.captionColumn = layout.left + 3;

    const int textLeft = layout.left + 1 + padding;
    int row = layout.top + (blankRows ? 2 : 1);
    for (int i = 0; i < lineCount; ++i, ++row) {
        const int length = characterCount(lines[static_cast<std::size_t>(i)]);
        layout.lines.push_back(
            MessageBoxLine{row, textLeft + (contentWidth - length) / 2, lines[static_cast<std::size_t>(i)]});
    }
    layout.buttonRow = layout.top + layout.height - 2;
    layout.buttonColumn = textLeft + std::max(0, contentWidth - characterCount(kMessageBoxButton)) / 2;
    return layout;
}

}  // namespace vantorel::platform
