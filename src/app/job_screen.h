#pragma once
// What a job shows on the screen between its prompts: the FILE DATA panel of
// the header read, and the analysis line of the grid measured.

#include <optional>

#include "analysis/slice_levels.h"
#include "platform/console.h"
#include "platform/files.h"
#include "stream/stream_format.h"
#include "wave/wave_info.h"

namespace vantorel::app {

// Reads the open file's header, validates it and prints the FILE DATA panel;
// on a rejection shows the error box and gives no WaveInfo.
std::optional<wave::WaveInfo> readWaveHeader(platform::Console& console, const platform::ReadOnlyFile& file);

// What follows an accepted header on the screen: two newlines, the cursor
// hidden for good, the FILE DATA panel. Gives the row of the panel's heading.
int showFileData(platform::Console& console, const stream::StreamFormat& format);

// Prints the FILE DATA panel (dim) of a stream at the cursor, ending with three
// empty lines; for a file in another format the first of them shows "Format"
// and its codec.
void printFileDataPanel(platform::Console& console, const stream::StreamFormat& format);

// The panel's Length and Duration lines at the cursor, each ending its row.
void printLengthLines(platform::Console& console, const stream::StreamFormat& format);

// Prints the Length and Duration lines again, over the old ones, in the panel
// whose heading stands on `headingRow`, and puts the cursor back: a lossy
// file's decoder tells its exact length only once it has decoded it.
void reprintLengthLines(platform::Console& console, int headingRow, const stream::StreamFormat& format);

// Prints "   Analysing over N time slices..." at the cursor and ends the line.
void printAnalysisLine(platform::Console& console, const analysis::SliceGrid& grid);

}  // namespace vantorel::app
