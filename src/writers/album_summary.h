#pragma once
// The arithmetic of an album: its tracks' values taken together.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "analysis/level_distribution.h"
#include "measure/loudness.h"
#include "writers/analysed_file.h"

namespace vantorel::writers {

// The summary of an album: the tracks analysed in one folder.
struct AlbumSummary {
    std::string folder;
    std::size_t tracks = 0;
    double durationSeconds = 0;
    std::optional<int> dr;  // the mean of the tracks' DR values (those that have one), rounded; halves to even
    double peak = 0;        // the highest sample peak, 1.0 = full scale
    // With loudness: the tracks measured as one, and the highest true peak.
    std::optional<measure::AlbumLoudness> loudness;
    std::optional<double> truePeakDbtp;
    // The tracks' level counts summed per channel name, names in the order met.
    std::vector<std::pair<std::string, analysis::LevelHistogram>> histograms;
};

AlbumSummary summariseAlbum(const std::string& folder, std::span<const AnalysedFile* const> tracks, bool loudness);

}  // namespace vantorel::writers
