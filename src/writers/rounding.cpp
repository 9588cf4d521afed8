#include "writers/rounding.h"

#include <cmath>

namespace vantorel::writers {

std::optional<double> oneDecimal(std::optional<double> value) {
    if (!value || !std::isfinite(*value)) return std::nullopt;
    const double rounded = std::nearbyint(*value * 10) / 10;
    return rounded == 0 ? 0.0 : rounded;
}

}  // namespace vantorel::writers
