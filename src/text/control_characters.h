#pragma once
// Names as they are shown on standard output and error.

#include <string>
#include <string_view>

namespace vantorel::text {

// Text as it is shown on standard output and error: control characters, which
// would break the line or steer the terminal, become escapes, "\n", "\t" and
// "\r" or "\x1b" and the like (C1 controls, "\xc2\x9b", byte by byte). Other
// characters, the backslash included, stay as they are.
std::string escapeControlCharacters(std::string_view text);

}  // namespace vantorel::text
