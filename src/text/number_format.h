#pragma once
// The tool's number forms, as text. Every number shown on the screen or on the chart goes
// through formatNumber, so each one comes out character for character the same.
// All arithmetic is in long double (x87 80-bit extended, 64-bit significand).

#include <string>

namespace vantorel::text {

// Sign position ("-" for negative values, a blank for zero and positive ones,
// also for a negative zero) followed by the body with at most `digits`
// significant digits (7 or 15): plain digits, a decimal point without a leading
// zero (".25"), or an exponent layout ("1.234568E+7", "1E-8"). NaN shows as
// zero; infinities as nines with exponent 998 ("9.999999E+998").
std::string formatNumber(long double value, int digits);

// The text form: formatNumber without a trailing blank (" 16", " 100").
std::string numberText(long double value, int digits);

// The value rounded to `decimals` decimals: scaled by 10^decimals, rounded to the
// nearest integer with ties to even, scaled back. Infinities and NaN pass unchanged.
long double roundDecimals(long double value, int decimals);

}  // namespace vantorel::text
