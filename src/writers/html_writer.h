#pragma once
// The HTML page's sections from the analysed files and the albums.

#include <string>

#include "output/html_report.h"
#include "writers/album_summary.h"
#include "writers/analysed_file.h"

namespace vantorel::writers {

// A track of the page: its name as shown, format, values and chart.
output::ReportTrack reportTrack(const std::string& name, const AnalysedFile& file);

// An album's values on the page.
output::ReportSummary reportSummary(const AlbumSummary& album);

}  // namespace vantorel::writers
