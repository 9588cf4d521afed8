#pragma once
// What the writers are given of a file: its result and the result files
// written for it.

#include <string>
#include <vector>

#include "analysis/track_result.h"

namespace vantorel::writers {

// A file analysed with its results written.
struct AnalysedFile {
    analysis::TrackResult result;
    std::vector<std::string> written;  // result files, in the order written
};

}  // namespace vantorel::writers
