#include "drawing/font_metrics.h"

#include <algorithm>
#include <array>

namespace vantorel::drawing {

namespace {

// Arial Bold advance widths, design units of 2048 per em, for 0x20..0x7E.
constexpr std::array<std::int16_t, 95> kPrintableAdvances = {
    569,  682,  971,  1139, 1139, 1821, 1479, 487,   //  !"#$%&'
    682,  682,  797,  1196, 569,  682,  569,  569,   // ()*+,-./
    1139, 1139, 1139, 1139, 1139, 1139, 1139, 1139,  // 01234567
    1139, 1139, 682,  682,  1196, 1196, 1196, 1251,  // 89:;<=>?
    1997, 1479, 1479, 1479, 1479, 1366, 1251, 1593,  // @ABCDEFG
    1479, 569,  1139, 1479, 1251, 1706, 1479, 1593,  // HIJKLMNO
    1366, 1593, 1479, 1366, 1251, 1479, 1366, 1933,  // PQRSTUVW
    1366, 1366, 1251, 682,  569,  682,  1196, 1139,  // XYZ[\]^_
    682,  1139, 1251, 1139, 1251, 1139, 682,  1251,  // `abcdefg
    1251, 569,  569,  1139, 569,  1821, 1251, 1251,  // hijklmno
    1251, 1251, 797,  1139, 682,  1251, 1139, 1593,  // pqrstuvw
    1139, 1139, 1024, 797,  573,  797,  1196,        // xyz{|}~
};

constexpr int kDefaultCellHeight = 16;

std::int64_t magnitude(int value) {
    const std::int64_t wide = value;
    return wide < 0 ? -wide : wide;
}

// numerator / denominator rounded to the nearest whole number, ties to even;
// both non-negative, denominator positive.
std::int64_t roundedQuotient(std::int64_t numerator, std::int64_t denominator) {
    std::int64_t quotient = numerator / denominator;
    const std::int64_t twiceRemainder = 2 * (numerator % denominator);
    if (twiceRemainder > denominator || (twiceRemainder == denominator && quotient % 2 != 0)) ++quotient;
    return quotient;
}

// Logical units per design unit, as the fraction scale / designUnits.
struct DesignScale {
    std::int64_t scale;
    std::int64_t designUnits;
};

// Sizes beyond a million logical units are taken as a million: no text that
// large is meaningful, and the cap keeps the width arithmetic within 64 bits.
constexpr std::int64_t kLargestScale = std::int64_t{1} << 20;

DesignScale designScale(FontSize size) {
    if (size.averageWidth != 0) {
        return {std::min(magnitude(size.averageWidth), kLargestScale), kArialBoldAverageWidth};
    }
    if (size.height > 0) return {std::min(magnitude(size.height), kLargestScale), kArialBoldCellHeight};
    if (size.height < 0) return {std::min(magnitude(size.height), kLargestScale), kArialBoldUnitsPerEm};
    return {kDefaultCellHeight, kArialBoldCellHeight};
}

std::int32_t clampToInt32(std::int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<std::int32_t>(value);
}

}  // namespace

int arialBoldAdvance(unsigned char character) {
    if (character >= 0x20 && character <= 0x7E) return kPrintableAdvances[character - 0x20];
    return kArialBoldAverageWidth;
}

int fontCellHeight(FontSize size) {
    if (size.height > 0) return size.height;
    if (size.height < 0) {
        return clampToInt32(roundedQuotient(magnitude(size.height) * kArialBoldCellHeight, kArialBoldUnitsPerEm));
    }
    return kDefaultCellHeight;
}

int fontAscent(FontSize size) {
    return clampToInt32(roundedQuotient(std::int64_t{fontCellHeight(size)} * kArialBoldAscent, kArialBoldCellHeight));
}

std::vector<std::int32_t> textAdvances(std::span<const char> text, FontSize size) {
    const DesignScale ratio = designScale(size);
    std::vector<std::int32_t> advances;
    advances.reserve(text.size());
    // No overflow: at most 2^31 characters of at most 2048 design units (2^42)
    // times a scale of at most 2^20.
    std::int64_t designTotal = 0;
    std::int64_t placed = 0;
    for (const char character : text) {
        designTotal += arialBoldAdvance(static_cast<unsigned char>(character));
        const std::int64_t end = roundedQuotient(designTotal * ratio.scale, ratio.designUnits);
        advances.push_back(clampToInt32(end - placed));
        placed = end;
    }
    return advances;
}

}  // namespace vantorel::drawing
