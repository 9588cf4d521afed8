#include "text/control_characters.h"

#include <cstddef>

namespace vantorel::text {

std::string escapeControlCharacters(std::string_view text) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    const auto hexEscape = [&](unsigned char byte) {
        return std::string{'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0xF]};
    };
    std::string shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = static_cast<unsigned char>(i + 1 < text.size() ? text[i + 1] : '\0');
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F in UTF-8
            shown += hexEscape(byte) + hexEscape(next);
            ++i;
        } else if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte == '\r') {
            shown += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            shown += hexEscape(byte);
        } else {
            shown += text[i];
        }
    }
    return shown;
}

}  // namespace vantorel::text
