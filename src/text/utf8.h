#pragma once
// UTF-8 as the screen, the summaries, the JSON, the HTML and the SVG see it.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::text {

// Bytes of the well-formed UTF-8 sequence that starts at `at` (1 for ASCII),
// or 0 where none does: a stray or missing continuation byte, an overlong form,
// a surrogate or a code point beyond Unicode.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);

// Splits bytes into characters: each well-formed UTF-8 sequence is one character,
// every other byte is a character of its own.
std::vector<std::string> splitCharacters(std::string_view text);

}  // namespace vantorel::text
