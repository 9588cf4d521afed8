#pragma once
// Result names and the one-line text report written beside the input.

#include <string>
#include <string_view>

namespace vantorel::output {

inline constexpr std::string_view kReportSuffix = " VT.txt";
inline constexpr std::string_view kChartSuffix = " VT.emf";

// The input name less the last four characters of its file name (UTF-8
// characters count as one; a file name of fewer than four keeps all of them),
// followed by the suffix. The folder part is kept whole.
std::string resultFileName(std::string_view inputName, std::string_view suffix);

// For files of other formats: the input name less its extension (the last dot
// of the file name and what follows it; a name without one, or whose only dot
// begins it, is kept whole), followed by the suffix.
std::string decodedResultFileName(std::string_view inputName, std::string_view suffix);

// The report's only line with CR LF: "mono,mono" or "left, left, right,
// right"; empty (no report) for other channel counts.
std::string_view reportLine(int channels);

}  // namespace vantorel::output
