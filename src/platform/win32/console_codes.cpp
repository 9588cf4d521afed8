#include "platform/win32/console_codes.h"

#include <windows.h>

#include <algorithm>

namespace vantorel::platform::win32 {

KeyPress keyPressForCharacterCode(char code) {
    if (code == '\0') return KeyPress{};
    return KeyPress{std::string(1, code)};
}

int keyPressCount(bool keyDown, unsigned repeatCount) {
    if (!keyDown) return 0;
    return static_cast<int>(std::clamp(repeatCount, 1u, 0xFFFFu));
}

wchar_t consoleCharacterFor(std::string_view bytes, unsigned codePage) {
    if (bytes.empty()) return L' ';
    if (bytes.size() == 1) {
        const auto byte = static_cast<unsigned char>(bytes[0]);
        if (byte < 0x20 || byte == 0x7F) return L'?';
        if (byte < 0x80) return static_cast<wchar_t>(byte);
    } else {
        codePage = kUtf8CodePage;
    }
    wchar_t converted[2] = {};
    const int count = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(),
                                            static_cast<int>(bytes.size()), converted, 2);
    if (count != 1 || converted[0] < 0x20 || (converted[0] >= 0x7F && converted[0] < 0xA0)) return L'?';
    return converted[0];
}

}  // namespace vantorel::platform::win32
