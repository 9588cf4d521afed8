#include "platform/posix/terminal_characters.h"

#include <algorithm>
#include <climits>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>
#include <wchar.h>  // wcwidth

namespace vantorel::platform {

namespace {

constexpr wchar_t kUnshowable = L'?';

// Console colour indexes run blue, green, red in bits 0, 1, 2; curses (ANSI)
// colours run red, green, blue: bits 0 and 2 swap, the bright bit 3 stays.
short ansiColourOf(unsigned consoleColour) {
    const unsigned blue = consoleColour & 1u;
    const unsigned red = (consoleColour >> 2) & 1u;
    return static_cast<short>((consoleColour & 0x0Au) | (blue << 2) | red);
}

// The first of `screenCount` positions shown in `shown` terminal positions so
// that `cursor` is among them (the model keeps the cursor inside the screen).
int firstShown(int screenCount, int shown, int cursor) {
    if (shown <= 0 || cursor <= shown) return 1;
    return std::clamp(cursor - shown + 1, 1, screenCount - shown + 1);
}

constexpr unsigned kDarkGrey = 8;

}  // namespace

wchar_t displayCharacter(std::string_view bytes) {
    if (bytes.empty()) return L' ';
    if (bytes.size() == 1) {
        const auto byte = static_cast<unsigned char>(bytes[0]);
        if (byte >= 0x20 && byte < 0x7F) return static_cast<wchar_t>(byte);
        if (byte < 0x80) return kUnshowable;  // control characters
    }
    std::mbstate_t state{};
    wchar_t character = 0;
    const std::size_t used = std::mbrtowc(&character, bytes.data(), bytes.size(), &state);
    if (used != bytes.size() || character == 0) return kUnshowable;
    if (wcwidth(character) != 1) return kUnshowable;
    return character;
}

KeyPress keyPressForCharacter(wchar_t code, wchar_t eraseCharacter) {
    if (code == 10 || code == 13) return KeyPress{"\r", false};
    if (code == 8 || code == 127 || (eraseCharacter > 0 && code == eraseCharacter)) return KeyPress{"\b", false};
    if (code >= 0 && code < 32) return KeyPress{std::string(1, static_cast<char>(code)), false};
    if (code >= 0x80 && code < 0xA0) return KeyPress{"", false};  // C1 control codes
    // Surrogates and values past U+10FFFF are no characters, though wcrtomb
    // may still turn them into (ill-formed) bytes.
    if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return KeyPress{"", false};
    char bytes[MB_LEN_MAX];
    std::mbstate_t state{};
    const std::size_t length = std::wcrtomb(bytes, code, &state);
    if (length == static_cast<std::size_t>(-1) || length == 0) return KeyPress{"", false};
    return KeyPress{std::string(bytes, length), false};
}

std::vector<TypedCharacter> decodeKeyByte(KeyByteDecoder& decoder, unsigned char byte) {
    const char text = static_cast<char>(byte);
    std::vector<TypedCharacter> characters;
    for (;;) {
        wchar_t character = 0;
        const std::size_t used = std::mbrtowc(&character, &text, 1, &decoder.state);
        if (used == static_cast<std::size_t>(-2)) {
            decoder.held += text;
            return characters;
        }
        if (used != static_cast<std::size_t>(-1)) {
            characters.push_back({decoder.held + text, character});
            decoder.held.clear();
            return characters;
        }
        // No character: the bytes held come out as typed; the byte itself may
        // still start one, or comes out on its own as well.
        if (decoder.held.empty()) {
            characters.push_back({std::string(1, text), std::nullopt});
            decoder = KeyByteDecoder{};
            return characters;
        }
        for (TypedCharacter& held : flushKeyByteDecoder(decoder)) characters.push_back(std::move(held));
    }
}

std::vector<TypedCharacter> flushKeyByteDecoder(KeyByteDecoder& decoder) {
    std::vector<TypedCharacter> characters;
    for (const char held : decoder.held) characters.push_back({std::string(1, held), std::nullopt});
    decoder = KeyByteDecoder{};
    return characters;
}

KeyPress keyPressForTyped(const TypedCharacter& typed, wchar_t eraseCharacter) {
    if (typed.code) return keyPressForCharacter(*typed.code, eraseCharacter);
    return KeyPress{typed.bytes, false};
}

TerminalColours terminalColoursFor(std::uint8_t attribute, int colourCount) {
    const unsigned foreground = attribute & 0x0Fu;
    const unsigned background = (attribute >> 4) & 0x0Fu;
    TerminalColours colours;
    if (colourCount >= 16) {
        colours.usesColour = true;
        colours.foreground = ansiColourOf(foreground);
        colours.background = ansiColourOf(background);
    } else if (colourCount >= 8) {
        colours.usesColour = true;
        colours.foreground = ansiColourOf(foreground & 7u);
        colours.background = ansiColourOf(background & 7u);
        colours.dim = foreground == kDarkGrey;
        colours.bold = foreground > kDarkGrey;
    } else {
        colours.dim = foreground == kDarkGrey;
    }
    return colours;
}

ScreenView screenViewFor(const ScreenBuffer& screen, int terminalColumns, int terminalRows) {
    ScreenView view;
    view.rows = std::clamp(terminalRows, 0, screen.rows);
    view.columns = std::clamp(terminalColumns, 0, screen.columns);
    view.firstRow = firstShown(screen.rows, view.rows, screen.cursorRow);
    view.firstColumn = firstShown(screen.columns, view.columns, screen.cursorColumn);
    return view;
}

}  // namespace vantorel::platform
