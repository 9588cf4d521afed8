#include "text/utf8.h"

#include <algorithm>

namespace vantorel::text {

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

std::vector<std::string> splitCharacters(std::string_view text) {
    std::vector<std::string> characters;
    characters.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = std::max<std::size_t>(utf8SequenceLength(text, 0), 1);
        characters.emplace_back(text.substr(0, length));
        text.remove_prefix(length);
    }
    return characters;
}

}  // namespace vantorel::text
