#pragma once
// The number forms on the screen: the print form, and the text forms the
// dialogue shares with the chart and the summaries.

#include "platform/console.h"
#include "text/number_format.h"

namespace vantorel::app {

using text::formatNumber;
using text::numberText;
using text::roundDecimals;

// The print form: writes formatNumber and one trailing blank at the cursor.
void printNumber(platform::Console& console, long double value, int digits);

}  // namespace vantorel::app
