#pragma once
// One self-contained HTML page for a batch: per album its summary, a chart
// that overlays its tracks' curves, a table of the tracks and each track's own
// chart, inline. No script, no style sheet or picture beside it, nothing from
// the network; it prints on A4.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/level_distribution.h"

namespace vantorel::output {

struct ReportTrack {
    std::string name;    // as shown, the folder part left out for an album's tracks
    std::string format;  // "WAV 16 bits", "FLAC 24 bits", "MP3"
    double durationSeconds = 0;
    std::optional<double> peakDbfs;  // one decimal; none for silence
    std::optional<int> dr;
    std::optional<double> loudnessLufs;  // with loudness: one decimal each
    std::optional<double> rangeLu;
    std::optional<double> truePeakDbtp;
    // What the track's chart draws.
    std::vector<analysis::LevelHistogram> histograms;
    std::int64_t sliceCount = 0;
    analysis::ShareScale scale;
    std::vector<std::string> channelNames;
};

struct ReportSummary {
    std::size_t tracks = 0;
    double durationSeconds = 0;
    std::optional<int> dr;
    std::optional<double> peakDbfs;
    std::optional<double> loudnessLufs;
    std::optional<double> rangeLu;
    std::optional<double> truePeakDbtp;
};

// An album (with its summary) or the files named on their own (without).
struct ReportSection {
    std::string title;
    std::optional<ReportSummary> summary;
    std::vector<ReportTrack> tracks;
};

// The page. `loudness`: the loudness columns and values are shown. Every name
// is escaped (bytes that are not UTF-8 become U+FFFD).
std::string htmlReport(std::span<const ReportSection> sections, bool loudness);

// The text as HTML text or attribute value: & < > " ' escaped.
std::string htmlText(std::string_view text);

// The share of each level bin averaged over the channels: what the overlay
// chart draws for one track (percent, 41 values, 0 dB first).
std::vector<double> meanShares(const ReportTrack& track);

}  // namespace vantorel::output
