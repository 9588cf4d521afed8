#include "app/number_format.h"

namespace vantorel::app {

void printNumber(platform::Console& console, long double value, int digits) {
    platform::writeText(console, formatNumber(value, digits) + " ");
}

}  // namespace vantorel::app
