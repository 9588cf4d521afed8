#pragma once
// The CSV output: the level counts and shares of every channel.

#include <string>
#include <string_view>

#include "writers/analysed_file.h"

namespace vantorel::writers {

// The CSV rows of an analysed file: one per channel and level 0..40, each
// "file,channel,level_db,slices,percent" with the percent as the chart's share
// (count x 100 / slice count) and a decimal point whatever the locale.
inline constexpr std::string_view kCsvHeader = "file,channel,level_db,slices,percent\n";
std::string csvRows(const std::string& name, const AnalysedFile& file);

}  // namespace vantorel::writers
