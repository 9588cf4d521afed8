#pragma once
// Result names and the one-line text report written beside the input.

#include <string>
#include <string_view>

namespace vantorel::output {

inline constexpr std::string_view kReportSuffix = " VT.txt";
inline constexpr std::string_view kChartSuffix = " VT.emf";

// The input name less its last four characters (UTF-8 characters count as one;
// a name of fewer than four keeps all of them), followed by the suffix.
std::string resultFileName(std::string_view inputName, std::string_view suffix);

// Writes "mono,mono" or "left, left, right, right" and CR LF to the report file;
// nothing for other channel counts. Failures are silent and never leave a
// half-written file or destroy the previous report.
void writeTextReport(const std::string& inputName, int channels);

}  // namespace vantorel::output
