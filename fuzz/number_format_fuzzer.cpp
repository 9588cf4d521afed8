// Fuzzes the number forms: formatNumber and numberText on arbitrary long double
// bit patterns (every exponent, both signs, denormals, infinities, NaNs and the
// encodings the x87 unit refuses), on every double and on whole numbers; and
// roundDecimals on the same values.
//
// Input: byte 0 picks how the value is built, byte 1 an extra precision and a
// number of decimals, the rest holds the value's bits.
//
// Checked for every text: the sign position; the character set; the layout
// (plain digits, a decimal point without a leading zero and without trailing
// zeros, or the exponent layout only where the plain forms would need more than
// D digits); at most D significant digits; and, for finite values, that the
// digits read back lie within 0.65 units of the D-th digit of the value (half a
// unit for the rounding to D digits, a little more because digit D + 1 alone
// decides it after the first rounding to 18 digits). Whole numbers that fit in
// D digits must come out exactly as their decimal digits.

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "app/number_format.h"
#include "fuzz_check.h"
#include "platform/console.h"
#include "platform/memory_console.h"
#include "platform/screen_buffer.h"

namespace {

using vantorel::app::formatNumber;
using vantorel::app::numberText;
using vantorel::app::roundDecimals;

// The body's digits and point position: value = 0.d1…dS × 10^P.
struct ReadBody {
    std::string digits;  // d1 … dS, d1 not 0, dS not 0
    int pointPosition = 0;
    bool exponentLayout = false;
};

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool allDigits(const std::string& text) { return std::all_of(text.begin(), text.end(), isDigit); }

// Reads a body of a nonzero value and checks its layout as it goes.
ReadBody readBody(const std::string& body) {
    FUZZ_CHECK(!body.empty());
    FUZZ_CHECK(body.find_first_not_of("0123456789.E+-") == std::string::npos);
    ReadBody read;
    const std::size_t e = body.find('E');
    if (e != std::string::npos) {
        read.exponentLayout = true;
        const std::string mantissa = body.substr(0, e);
        const std::string exponent = body.substr(e + 1);
        FUZZ_CHECK(exponent.size() >= 2 && exponent.size() <= 5);
        FUZZ_CHECK(exponent[0] == '+' || exponent[0] == '-');
        const std::string exponentDigits = exponent.substr(1);
        FUZZ_CHECK(allDigits(exponentDigits));
        FUZZ_CHECK(exponentDigits == "0" || exponentDigits[0] != '0');
        const int magnitude = std::stoi(exponentDigits);
        FUZZ_CHECK(!(exponent[0] == '-' && magnitude == 0));
        FUZZ_CHECK(!mantissa.empty() && isDigit(mantissa[0]) && mantissa[0] != '0');
        read.digits = mantissa.substr(0, 1);
        if (mantissa.size() > 1) {
            FUZZ_CHECK(mantissa[1] == '.' && mantissa.size() > 2);
            const std::string rest = mantissa.substr(2);
            FUZZ_CHECK(allDigits(rest) && rest.back() != '0');
            read.digits += rest;
        }
        read.pointPosition = (exponent[0] == '-' ? -magnitude : magnitude) + 1;
        return read;
    }
    const std::size_t point = body.find('.');
    if (point == std::string::npos) {
        FUZZ_CHECK(allDigits(body) && body[0] != '0');
        read.digits = body.substr(0, body.find_last_not_of('0') + 1);
        read.pointPosition = static_cast<int>(body.size());
        return read;
    }
    const std::string whole = body.substr(0, point);
    const std::string fraction = body.substr(point + 1);
    FUZZ_CHECK(allDigits(whole) && allDigits(fraction));
    FUZZ_CHECK(!fraction.empty() && fraction.back() != '0');  // no trailing zeros, no bare point
    if (whole.empty()) {
        // ".0001234": no zero before the point.
        const std::size_t first = fraction.find_first_not_of('0');
        FUZZ_CHECK(first != std::string::npos);
        read.digits = fraction.substr(first);
        read.pointPosition = -static_cast<int>(first);
        return read;
    }
    FUZZ_CHECK(whole[0] != '0');
    read.digits = whole + fraction;
    read.pointPosition = static_cast<int>(whole.size());
    return read;
}

// 10^exponent for any exponent of the extended range, as two normal factors.
long double scaleByPowerOfTen(long double value, int exponent) {
    const int half = exponent / 2;
    return value * std::pow(10.0L, static_cast<long double>(half)) *
           std::pow(10.0L, static_cast<long double>(exponent - half));
}

// Checks the text of one precision and gives it back.
std::string checkFormat(long double value, int digits) {
    const int precision = std::clamp(digits, 1, 17);
    const std::string text = formatNumber(value, digits);
    FUZZ_CHECK(text.size() >= 2);
    FUZZ_CHECK(text[0] == ' ' || text[0] == '-');
    const std::string body = text.substr(1);

    // NaN and everything below the smallest normal number show as zero.
    if (std::isnan(value) || std::fabs(value) < LDBL_MIN) {
        FUZZ_CHECK(text == " 0");
        return text;
    }
    FUZZ_CHECK(text[0] == (std::signbit(value) ? '-' : ' '));
    FUZZ_CHECK(body != "0");

    const ReadBody read = readBody(body);
    const int significant = static_cast<int>(read.digits.size());
    const int position = read.pointPosition;
    FUZZ_CHECK(significant >= 1 && significant <= precision);
    // The exponent layout exactly where the plain forms would need more than D digits.
    const bool needsExponent = position > precision || (position <= 0 && significant - position > precision);
    FUZZ_CHECK(read.exponentLayout == needsExponent);

    if (std::isinf(value)) {
        const std::string nines = precision == 1 ? "9" : "9." + std::string(static_cast<std::size_t>(precision - 1), '9');
        FUZZ_CHECK(body == nines + "E+998");
        return text;
    }

    // The digits as d1.d2…dS against the value scaled into [1, 10).
    std::string mantissa = read.digits.substr(0, 1);
    if (significant > 1) mantissa += "." + read.digits.substr(1);
    const long double shown = std::strtold(mantissa.c_str(), nullptr);
    const long double scaled = scaleByPowerOfTen(std::fabs(value), 1 - position);
    const long double unit = std::pow(10.0L, static_cast<long double>(1 - precision));
    FUZZ_CHECK(std::fabs(shown - scaled) <= 0.65L * unit + 1e-16L);
    return text;
}

// Whole numbers that fit in D digits are shown digit for digit.
void checkWholeNumber(std::int64_t number) {
    const std::string sign = number < 0 ? "-" : " ";
    const std::uint64_t magnitude =
        number < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(number) : static_cast<std::uint64_t>(number);
    const std::string expected = sign + std::to_string(magnitude);
    const auto value = static_cast<long double>(number);
    if (magnitude < 10'000'000) FUZZ_CHECK(formatNumber(value, 7) == (number == 0 ? " 0" : expected));
    if (magnitude < 1'000'000'000'000'000) FUZZ_CHECK(formatNumber(value, 15) == (number == 0 ? " 0" : expected));
}

void checkRoundDecimals(long double value, int decimals) {
    const long double rounded = roundDecimals(value, decimals);
    if (std::isnan(value)) {
        FUZZ_CHECK(std::isnan(rounded));
        return;
    }
    if (std::isinf(value)) {
        FUZZ_CHECK(rounded == value);
        return;
    }
    FUZZ_CHECK(std::isfinite(rounded));
    FUZZ_CHECK(std::signbit(rounded) == std::signbit(value));
    // Within half a unit of the last decimal kept, and a few roundings of the value.
    const long double halfUnit = 0.5L * std::pow(10.0L, static_cast<long double>(-decimals));
    FUZZ_CHECK(std::fabs(rounded - value) <= halfUnit * (1 + 4 * LDBL_EPSILON) + std::fabs(value) * 4 * LDBL_EPSILON);
    if (decimals == 2 && std::fabs(value) < 1e12L && (rounded == 0 || std::fabs(rounded) >= 0.01L)) {
        // The duration line: two decimals at most, never a trailing zero.
        const std::string body = formatNumber(rounded, 15).substr(1);
        const std::size_t point = body.find('.');
        FUZZ_CHECK(body.find('E') == std::string::npos);
        FUZZ_CHECK(point == std::string::npos || body.size() - point - 1 <= 2);
    }
}

template <class T>
std::optional<T> bitsOf(const std::uint8_t* data, std::size_t size, std::size_t bytes) {
    if (size < bytes) return std::nullopt;
    T value{};
    std::memcpy(&value, data, bytes);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t mode = data[0];
    const auto extraDigits = static_cast<std::int8_t>(data[1]);
    const int decimals = data[1] % 11 - 4;  // -4 … 6
    data += 2;
    size -= 2;

    std::optional<long double> value;
    switch (mode % 4) {
        case 0:  // the 80 bits of an extended value, as they come
            if (const auto bits = bitsOf<long double>(data, size, 10)) value = *bits;
            break;
        case 1:  // a double
            if (const auto bits = bitsOf<double>(data, size, 8)) value = *bits;
            break;
        case 2:  // a whole number
            if (const auto bits = bitsOf<std::int64_t>(data, size, 8)) {
                // Narrow ones more often: the panel shows 16- and 32-bit fields.
                const std::int64_t number = (mode & 4) != 0 ? static_cast<std::int32_t>(*bits) : *bits;
                checkWholeNumber(number);
                value = static_cast<long double>(number);
            }
            break;
        case 3:  // a decimal value near a rounding boundary: whole / 10^k
            if (const auto bits = bitsOf<std::int64_t>(data, size, 8)) {
                const int k = (mode >> 2) % 24;
                value = static_cast<long double>(*bits) / std::pow(10.0L, static_cast<long double>(k));
            }
            break;
    }
    if (!value) return 0;

    checkFormat(*value, 7);
    const std::string text = checkFormat(*value, 15);
    checkFormat(*value, extraDigits);
    checkRoundDecimals(*value, 2);
    checkRoundDecimals(*value, decimals);

    // The text form is formatNumber itself; the print form adds one blank at the cursor.
    FUZZ_CHECK(numberText(*value, 15) == text);
    vantorel::platform::MemoryConsoleDevice device;
    vantorel::platform::Console console = vantorel::platform::makeConsole(device);
    vantorel::app::printNumber(console, *value, 15);
    FUZZ_CHECK(vantorel::platform::rowText(console.screen, 1).starts_with(text + " "));
    return 0;
}
