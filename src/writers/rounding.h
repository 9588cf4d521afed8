#pragma once
// How the writers round the levels they show.

#include <optional>

namespace vantorel::writers {

// A level in dB rounded to one decimal, as the text output and JSON give it;
// none when not finite.
std::optional<double> oneDecimal(std::optional<double> value);

}  // namespace vantorel::writers
