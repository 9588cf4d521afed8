#pragma once
// The text output: a summary per file and a block per album, in the panel's
// number forms.

#include <string>

#include "writers/album_summary.h"
#include "writers/analysed_file.h"

namespace vantorel::writers {

// The summary of an analysed file: its name, the FILE DATA values in the
// panel's number forms, the slice count and the files written, names with
// their control characters escaped.
std::string summaryText(const std::string& name, const AnalysedFile& file);

// The album block of the text output: "Album FOLDER" and its values in the
// summaries' layout.
std::string albumText(const AlbumSummary& album);

}  // namespace vantorel::writers
