#include "output/text_report.h"

#include <cstddef>
#include <string>
#include <vector>

#include "platform/files.h"
#include "text/utf8.h"

namespace vantorel::output {

namespace {

// Characters dropped from the end of the input name: the extension ".wav" and
// whatever else stands in its four places.
constexpr std::size_t kDroppedCharacters = 4;

}  // namespace

std::string_view reportLine(int channels) {
    switch (channels) {
        case 1: return "mono,mono\r\n";                 // 9 characters + CR LF = 11 bytes
        case 2: return "left, left, right, right\r\n";  // 24 characters + CR LF = 26 bytes
        default: return {};
    }
}

std::string resultFileName(std::string_view inputName, std::string_view suffix) {
    // Only the file's own name loses characters, never its folder. Counting
    // whole characters keeps a multibyte character from being cut in half; a
    // name too short to lose four keeps them all.
    const std::size_t start = platform::fileNameStart(inputName);
    const std::vector<std::string> characters = text::splitCharacters(inputName.substr(start));
    const std::size_t kept =
        characters.size() >= kDroppedCharacters ? characters.size() - kDroppedCharacters : characters.size();
    std::string name(inputName.substr(0, start));
    name.reserve(inputName.size() + suffix.size());
    for (std::size_t i = 0; i < kept; ++i) name += characters[i];
    name += suffix;
    return name;
}

std::string decodedResultFileName(std::string_view inputName, std::string_view suffix) {
    const std::size_t start = platform::fileNameStart(inputName);
    const std::size_t dot = inputName.rfind('.');
    const std::size_t end = dot != std::string_view::npos && dot > start ? dot : inputName.size();
    std::string name(inputName.substr(0, end));
    name += suffix;
    return name;
}

}  // namespace vantorel::output
