#include "app/number_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "platform/memory_console.h"

namespace vantorel::app {
namespace {

constexpr long double kInfinity = std::numeric_limits<long double>::infinity();
constexpr long double kNaN = std::numeric_limits<long double>::quiet_NaN();

// The print form as it lands on a fresh console's first row, trailing blanks cut.
std::string printed(long double value, int digits) {
    platform::MemoryConsoleDevice device;
    auto console = platform::makeConsole(device);
    printNumber(console, value, digits);
    const std::string row = platform::rowText(console.screen, 1);
    return row.substr(0, static_cast<std::size_t>(console.screen.cursorColumn - 1));
}

TEST(NumberFormat, PrintFormSevenDigits) {
    EXPECT_EQ(printed(2, 7), " 2 ");
    EXPECT_EQ(printed(0, 7), " 0 ");
    EXPECT_EQ(printed(-3, 7), "-3 ");
    EXPECT_EQ(printed(-32768, 7), "-32768 ");
    EXPECT_EQ(printed(255, 7), " 255 ");
    EXPECT_EQ(printed(1234567, 7), " 1234567 ");
    EXPECT_EQ(printed(12345678, 7), " 1.234568E+7 ");
    EXPECT_EQ(printed(9999998.5, 7), " 9999998 ");
    EXPECT_EQ(printed(9999999.5, 7), " 1E+7 ");
    EXPECT_EQ(printed(9.9999996, 7), " 10 ");
    EXPECT_EQ(printed(2.0L / 3.0L, 7), " .6666667 ");
    EXPECT_EQ(printed(2.0 / 3.0, 7), " .6666667 ");
    EXPECT_EQ(printed(0.0001234, 7), " .0001234 ");
    EXPECT_EQ(printed(0.00001234, 7), " 1.234E-5 ");
    EXPECT_EQ(printed(0.0000001, 7), " .0000001 ");
    EXPECT_EQ(printed(0.0000001L, 7), " .0000001 ");
    EXPECT_EQ(printed(0.00000001, 7), " 1E-8 ");
}

TEST(NumberFormat, PrintFormFifteenDigits) {
    EXPECT_EQ(printed(44100, 15), " 44100 ");
    EXPECT_EQ(printed(2147483647, 15), " 2147483647 ");
    EXPECT_EQ(printed(999999999999999, 15), " 999999999999999 ");
    EXPECT_EQ(printed(1e15L, 15), " 1E+15 ");
    EXPECT_EQ(printed(1.0L / 3.0L, 15), " .333333333333333 ");
    EXPECT_EQ(printed(-0.25, 15), "-.25 ");
    EXPECT_EQ(printed(-86398.8, 15), "-86398.8 ");
}

TEST(NumberFormat, PrintFormGoesToTheCursorAndJoinsFollowingText) {
    platform::MemoryConsoleDevice device;
    auto console = platform::makeConsole(device);
    platform::moveCursor(console, 4, 10);
    platform::writeText(console, "Sample rate:");
    printNumber(console, 44100, 15);
    platform::writeText(console, "Hz");
    EXPECT_EQ(platform::rowText(console.screen, 4).substr(9, 21), "Sample rate: 44100 Hz");
    EXPECT_EQ(console.screen.cursorRow, 4);
    EXPECT_EQ(console.screen.cursorColumn, 31);
}

TEST(NumberFormat, TextFormHasNoTrailingBlank) {
    EXPECT_EQ(numberText(16, 7), " 16");
    EXPECT_EQ(numberText(100, 15), " 100");
    EXPECT_EQ(numberText(0, 7), " 0");
    EXPECT_EQ(numberText(0, 15), " 0");
    EXPECT_EQ(numberText(100.0L * 1 / 6, 15), " 16.6666666666667");
}

TEST(NumberFormat, FileDataValues) {
    EXPECT_EQ(numberText(2, 7), " 2");
    EXPECT_EQ(numberText(44100, 15), " 44100");
    EXPECT_EQ(numberText(2646000, 15), " 2646000");
    EXPECT_EQ(numberText(roundDecimals(1000000.0 / 44100.0, 2), 15), " 22.68");
    EXPECT_EQ(numberText(roundDecimals(2646000.0 / 44100.0, 2), 15), " 60");
    EXPECT_EQ(numberText(-2147483648.0L, 15), "-2147483648");
    EXPECT_EQ(numberText(2147483647, 7), " 2.147484E+9");
}

TEST(NumberFormat, DigitCountBoundaries) {
    EXPECT_EQ(numberText(999999, 7), " 999999");
    EXPECT_EQ(numberText(1000000, 7), " 1000000");
    EXPECT_EQ(numberText(9999999, 7), " 9999999");
    EXPECT_EQ(numberText(10000000, 7), " 1E+7");
    EXPECT_EQ(numberText(10000001, 7), " 1E+7");
    EXPECT_EQ(numberText(-10000000, 7), "-1E+7");
    EXPECT_EQ(numberText(99999999999999, 15), " 99999999999999");
    EXPECT_EQ(numberText(100000000000000, 15), " 100000000000000");
    EXPECT_EQ(numberText(999999999999999, 15), " 999999999999999");
    EXPECT_EQ(numberText(1000000000000000, 15), " 1E+15");
    EXPECT_EQ(numberText(1234567890123456, 15), " 1.23456789012346E+15");
    EXPECT_EQ(numberText(9999999999999995, 15), " 1E+16");
    // Fractions: at most D digits after the point, else the exponent layout.
    EXPECT_EQ(numberText(0.1, 7), " .1");
    EXPECT_EQ(numberText(0.1234567, 7), " .1234567");
    EXPECT_EQ(numberText(0.01234567, 7), " 1.234567E-2");
    EXPECT_EQ(numberText(1.5, 7), " 1.5");
    EXPECT_EQ(numberText(123.25, 7), " 123.25");
    EXPECT_EQ(numberText(0.000000000000001, 15), " .000000000000001");
    EXPECT_EQ(numberText(0.0000000000000001, 15), " 1E-16");
}

TEST(NumberFormat, RoundingLooksOnlyAtTheNextDigit) {
    EXPECT_EQ(numberText(12345675, 7), " 1.234568E+7");   // 5 after an odd digit: up
    EXPECT_EQ(numberText(12345665, 7), " 1.234566E+7");   // 5 after an even digit: stays
    EXPECT_EQ(numberText(12345665.9, 7), " 1.234566E+7"); // digits past the 5 are ignored
    EXPECT_EQ(numberText(12345666, 7), " 1.234567E+7");
    EXPECT_EQ(numberText(12345664, 7), " 1.234566E+7");
    EXPECT_EQ(numberText(99999995, 7), " 1E+8");          // carry out of the first digit
    EXPECT_EQ(numberText(0.99999995L, 7), " 1");
    EXPECT_EQ(numberText(0.099999996L, 7), " .1");
    // 1.2345674999999999999 first rounds to 18 digits (…4999999999|9 → …5000000000),
    // and then the 5 in digit 8 rounds the odd 7 up.
    EXPECT_EQ(numberText(1.2345674999999999999L, 7), " 1.234568");
}

TEST(NumberFormat, EighteenDigitScalingTiesToEven) {
    // 19-digit integers, exact in the 64-bit significand; digit 19 is an exact 5.
    EXPECT_EQ(numberText(static_cast<long double>(1000000000000004995ULL), 15), " 1E+18");
    EXPECT_EQ(numberText(static_cast<long double>(1000000000000014995ULL), 15), " 1.00000000000002E+18");
    EXPECT_EQ(numberText(static_cast<long double>(1000000000000014985ULL), 15), " 1.00000000000001E+18");
    EXPECT_EQ(numberText(static_cast<long double>(1000000000000014996ULL), 15), " 1.00000000000002E+18");
}

TEST(NumberFormat, SpecialValues) {
    EXPECT_EQ(numberText(kInfinity, 7), " 9.999999E+998");
    EXPECT_EQ(numberText(-kInfinity, 7), "-9.999999E+998");
    EXPECT_EQ(numberText(kInfinity, 15), " 9.99999999999999E+998");
    EXPECT_EQ(numberText(-kInfinity, 15), "-9.99999999999999E+998");
    EXPECT_EQ(printed(kInfinity, 15), " 9.99999999999999E+998 ");
    EXPECT_EQ(numberText(kNaN, 7), " 0");
    EXPECT_EQ(numberText(-kNaN, 15), " 0");
    EXPECT_EQ(numberText(-0.0L, 7), " 0");
    EXPECT_EQ(numberText(LDBL_MIN / 2, 7), " 0");   // subnormal in the extended format
    EXPECT_EQ(numberText(-LDBL_TRUE_MIN, 15), " 0");
}

TEST(NumberFormat, ExtremesOfTheExtendedFormat) {
    EXPECT_EQ(numberText(LDBL_MAX, 7), " 1.189731E+4932");        // 1.18973149535723176502e4932
    EXPECT_EQ(numberText(-LDBL_MAX, 15), "-1.18973149535723E+4932");
    EXPECT_EQ(numberText(LDBL_MIN, 7), " 3.362103E-4932");        // 3.36210314311209350626e-4932
    // The smallest double subnormal is a normal extended value.
    EXPECT_EQ(numberText(std::numeric_limits<double>::denorm_min(), 7), " 4.940656E-324");
    EXPECT_EQ(numberText(1e300L * 1e300L, 7), " 1E+600");
}

TEST(RoundDecimals, TwoDecimalsThenPrintForm) {
    const auto shown = [](long double value) { return printed(roundDecimals(value, 2), 15); };
    EXPECT_EQ(shown(22.675736961), " 22.68 ");
    EXPECT_EQ(shown(30), " 30 ");
    EXPECT_EQ(shown(123.456), " 123.46 ");
    EXPECT_EQ(shown(0.012), " .01 ");
    EXPECT_EQ(shown(0.875), " .88 ");
    EXPECT_EQ(shown(1.125), " 1.12 ");
    EXPECT_EQ(shown(2.625), " 2.62 ");
    EXPECT_EQ(shown(1.375), " 1.38 ");
    EXPECT_EQ(shown(-0.004), " 0 ");
    EXPECT_EQ(shown(22.6), " 22.6 ");
    EXPECT_EQ(shown(-1.125), "-1.12 ");
    EXPECT_EQ(shown(-1.375), "-1.38 ");
    EXPECT_EQ(shown(2.675), " 2.67 ");  // the double just below 2.675
    EXPECT_EQ(shown(59.999), " 60 ");
}

TEST(RoundDecimals, EdgeValues) {
    EXPECT_TRUE(std::signbit(roundDecimals(-0.004L, 2)));
    EXPECT_EQ(roundDecimals(-0.004L, 2), 0.0L);
    EXPECT_EQ(roundDecimals(kInfinity, 2), kInfinity);
    EXPECT_EQ(roundDecimals(-kInfinity, 2), -kInfinity);
    EXPECT_TRUE(std::isnan(roundDecimals(kNaN, 2)));
    // Too large to scale by 100 without overflowing: kept as it is.
    EXPECT_EQ(roundDecimals(LDBL_MAX, 2), LDBL_MAX);
    EXPECT_EQ(roundDecimals(LDBL_MAX, -2), LDBL_MAX);
    EXPECT_EQ(roundDecimals(-LDBL_MAX, -4), -LDBL_MAX);
    EXPECT_EQ(roundDecimals(2.5L, 0), 2.0L);
    EXPECT_EQ(roundDecimals(3.5L, 0), 4.0L);
}

}  // namespace
}  // namespace vantorel::app
