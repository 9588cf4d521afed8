#pragma once
// What the writers are given of a file: its header, its measurement and the
// result files written for it.

#include <string>
#include <vector>

#include "analysis/level_distribution.h"
#include "wave/wave_info.h"

namespace vantorel::writers {

// A file analysed with its results written.
struct AnalysedFile {
    wave::WaveInfo info;
    analysis::LevelAnalysis levels;
    std::vector<std::string> written;  // result files, in the order written
};

}  // namespace vantorel::writers
