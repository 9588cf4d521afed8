#include "text/number_format.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantorel::text {

static_assert(LDBL_MANT_DIG == 64, "the number forms need the x87 80-bit extended format");

namespace {

constexpr int kScaledDigits = 18;     // digits of the scaled integer N
constexpr int kInfinityPosition = 999;  // decimal point position shown for an infinity

// A non-negative whole number of any size, 32-bit limbs, least significant first.
// Used only to write a long double out in full decimal, which is always exact:
// every finite binary value has a finite decimal expansion.
using Limbs = std::vector<std::uint32_t>;

void multiplySmall(Limbs& number, std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : number) {
        const std::uint64_t product = std::uint64_t{limb} * factor + carry;
        limb = static_cast<std::uint32_t>(product);
        carry = product >> 32;
    }
    if (carry != 0) number.push_back(static_cast<std::uint32_t>(carry));
}

void shiftLeft(Limbs& number, int bits) {
    number.insert(number.begin(), static_cast<std::size_t>(bits / 32), 0u);
    const int rest = bits % 32;
    if (rest == 0) return;
    std::uint32_t carry = 0;
    for (std::uint32_t& limb : number) {
        const std::uint32_t next = limb >> (32 - rest);
        limb = (limb << rest) | carry;
        carry = next;
    }
    if (carry != 0) number.push_back(carry);
}

// Decimal digits without leading zeros ("0" for zero).
std::string decimalDigits(Limbs number) {
    constexpr std::uint32_t kChunk = 1'000'000'000;  // nine digits per division
    std::vector<std::uint32_t> chunks;  // least significant first
    while (!number.empty()) {
        std::uint64_t remainder = 0;
        for (std::size_t i = number.size(); i-- > 0;) {
            const std::uint64_t current = (remainder << 32) | number[i];
            number[i] = static_cast<std::uint32_t>(current / kChunk);
            remainder = current % kChunk;
        }
        chunks.push_back(static_cast<std::uint32_t>(remainder));
        while (!number.empty() && number.back() == 0) number.pop_back();
    }
    if (chunks.empty()) return "0";
    std::string digits = std::to_string(chunks.back());
    for (std::size_t i = chunks.size() - 1; i-- > 0;) {
        const std::string chunk = std::to_string(chunks[i]);
        digits.append(9 - chunk.size(), '0');
        digits += chunk;
    }
    return digits;
}

// A positive value written out in full: value = 0.digits × 10^pointPosition,
// digits without leading zeros.
struct ExactDecimal {
    std::string digits;
    int pointPosition = 0;
};

// `magnitude` is finite and at least the smallest normal long double.
ExactDecimal exactDecimal(long double magnitude) {
    int binaryExponent = 0;
    const long double fraction = std::frexp(magnitude, &binaryExponent);  // [0.5, 1)
    // The 64-bit significand as an integer: magnitude = significand × 2^binaryExponent.
    auto significand = static_cast<std::uint64_t>(std::ldexp(fraction, 64));
    binaryExponent -= 64;
    while ((significand & 1u) == 0) {  // fewer bits, same value
        significand >>= 1;
        ++binaryExponent;
    }
    Limbs number{static_cast<std::uint32_t>(significand), static_cast<std::uint32_t>(significand >> 32)};
    while (number.back() == 0) number.pop_back();
    if (binaryExponent >= 0) {
        shiftLeft(number, binaryExponent);
        std::string digits = decimalDigits(std::move(number));
        const int length = static_cast<int>(digits.size());
        return {std::move(digits), length};
    }
    // m × 2^-k = m × 5^k / 10^k.
    const int fractionDigits = -binaryExponent;
    constexpr std::uint32_t kFivePower13 = 1'220'703'125;  // 5^13, the largest power below 2^32
    int remaining = fractionDigits;
    for (; remaining >= 13; remaining -= 13) multiplySmall(number, kFivePower13);
    for (; remaining > 0; --remaining) multiplySmall(number, 5);
    std::string digits = decimalDigits(std::move(number));
    const int length = static_cast<int>(digits.size());
    return {std::move(digits), length - fractionDigits};
}

std::uint64_t powerOfTen(int exponent) {
    std::uint64_t power = 1;
    for (int i = 0; i < exponent; ++i) power *= 10;
    return power;
}

// A fixed count of significant digits d1…dn held as one integer, with the
// decimal point position P: the value is 0.d1…dn × 10^P.
struct RoundedDigits {
    std::uint64_t digits = 0;
    int pointPosition = 0;
};

// First rounding: the magnitude scaled to an 18-digit integer N, rounded to
// nearest with ties to even on its exact decimal expansion.
RoundedDigits scaleToEighteenDigits(long double magnitude) {
    const ExactDecimal exact = exactDecimal(magnitude);
    const std::string& all = exact.digits;
    std::uint64_t scaled = 0;
    for (int i = 0; i < kScaledDigits; ++i) {
        const auto index = static_cast<std::size_t>(i);
        scaled = scaled * 10 + (index < all.size() ? static_cast<std::uint64_t>(all[index] - '0') : 0);
    }
    int pointPosition = exact.pointPosition;
    if (all.size() > static_cast<std::size_t>(kScaledDigits)) {
        const int next = all[kScaledDigits] - '0';
        const bool aboveHalf =
            all.find_first_not_of('0', static_cast<std::size_t>(kScaledDigits) + 1) != std::string::npos;
        if (next > 5 || (next == 5 && (aboveHalf || scaled % 2 == 1))) ++scaled;
        if (scaled == powerOfTen(kScaledDigits)) {
            scaled = powerOfTen(kScaledDigits - 1);
            ++pointPosition;
        }
    }
    return {scaled, pointPosition};
}

// Second rounding: keeps the first `precision` digits of N and judges only the
// digit after them, so 5 rounds to the even neighbour whatever follows it.
RoundedDigits roundToPrecision(RoundedDigits scaled, int precision) {
    const std::uint64_t dropped = powerOfTen(kScaledDigits - precision);
    std::uint64_t kept = scaled.digits / dropped;
    const std::uint64_t judged = scaled.digits / (dropped / 10) % 10;
    if (judged > 5 || (judged == 5 && kept % 2 == 1)) ++kept;
    int pointPosition = scaled.pointPosition;
    if (kept == powerOfTen(precision)) {
        kept = powerOfTen(precision - 1);
        ++pointPosition;
    }
    return {kept, pointPosition};
}

// The body for `precision` digits: trailing zeros dropped, then plain digits, a
// decimal point or the exponent layout, whichever shows at most `precision` digits.
std::string layoutBody(RoundedDigits rounded, int precision) {
    std::string digits = std::to_string(rounded.digits);
    digits.erase(digits.find_last_not_of('0') + 1);
    const int significant = static_cast<int>(digits.size());
    const int point = rounded.pointPosition;

    const bool exponentLayout = point > precision || (point <= 0 && significant - point > precision);
    if (exponentLayout) {
        std::string body(1, digits[0]);
        // Appended piece by piece: std::string(".") + string inserts at the front, which g++ 12
        // at -O3 takes for an overlapping copy (a false -Wrestrict).
        if (significant > 1) {
            body += '.';
            body.append(digits, 1);
        }
        const int exponent = point - 1;
        body += exponent >= 0 ? "E+" : "E-";
        body += std::to_string(exponent >= 0 ? exponent : -exponent);
        return body;
    }
    if (point >= significant) return digits + std::string(static_cast<std::size_t>(point - significant), '0');
    if (point >= 1)
        return digits.substr(0, static_cast<std::size_t>(point)) + "." +
               digits.substr(static_cast<std::size_t>(point));
    std::string body(1, '.');
    body.append(static_cast<std::size_t>(-point), '0');
    body += digits;
    return body;
}

}  // namespace

std::string formatNumber(long double value, int digits) {
    // Only 7 and 15 are used; anything else is held to what 18 scaled digits allow.
    const int precision = std::clamp(digits, 1, kScaledDigits - 1);
    if (std::isnan(value) || std::fabs(value) < LDBL_MIN) return " 0";
    const std::string sign = std::signbit(value) ? "-" : " ";
    if (std::isinf(value))
        return sign + layoutBody({powerOfTen(precision) - 1, kInfinityPosition}, precision);
    const RoundedDigits rounded = roundToPrecision(scaleToEighteenDigits(std::fabs(value)), precision);
    return sign + layoutBody(rounded, precision);
}

std::string numberText(long double value, int digits) { return formatNumber(value, digits); }

long double roundDecimals(long double value, int decimals) {
    if (!std::isfinite(value)) return value;
    long double scale = 1.0L;
    for (int i = 0; i < std::abs(decimals); ++i) scale *= 10.0L;
    const long double scaled = decimals >= 0 ? value * scale : value / scale;
    // Too large to scale: the value has no fractional digits to round away.
    if (std::isinf(scaled)) return value;
    // Nearest whole number, ties to the even one; independent of the FPU rounding mode.
    long double whole = std::floor(scaled);
    const long double fraction = scaled - whole;  // exact
    if (fraction > 0.5L || (fraction == 0.5L && std::fmod(whole, 2.0L) != 0)) whole += 1.0L;
    whole = std::copysign(whole, scaled);  // -0.4 rounds to a negative zero
    const long double rounded = decimals >= 0 ? whole / scale : whole * scale;
    // Rounding to tens or more near the top of the range can step past it; no value
    // there is closer to the exact multiple than the value itself.
    return std::isfinite(rounded) ? rounded : value;
}

}  // namespace vantorel::text
