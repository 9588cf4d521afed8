// The number forms and chart points are computed in x87 extended precision; the
// Windows build must keep long double at 80 bits (64-bit mantissa) like Linux.

#include <gtest/gtest.h>

#include <cfloat>

namespace {

TEST(ExtendedPrecision, LongDoubleIsTheX87EightyBitFormat) {
    EXPECT_EQ(LDBL_MANT_DIG, 64);
    EXPECT_EQ(sizeof(long double), 16u);  // 10 bytes of value padded to 16
    EXPECT_EQ(LDBL_MAX_EXP, 16384);
}

TEST(ExtendedPrecision, ArithmeticKeepsTheSixtyFourthBit) {
    // 1 + 2^-63 is representable with a 64-bit mantissa and lost with 53 bits.
    volatile long double one = 1.0L;
    volatile long double tiny = 0x1p-63L;
    const long double sum = one + tiny;
    EXPECT_NE(sum, 1.0L);
    EXPECT_EQ(sum - one, tiny);
}

}  // namespace
