#include "writers/album_summary.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "stream/channel_layout.h"

namespace vantorel::writers {

AlbumSummary summariseAlbum(const std::string& folder, std::span<const AnalysedFile* const> tracks, bool loudness) {
    AlbumSummary album{.folder = folder, .tracks = tracks.size(), .durationSeconds = 0, .dr = {}, .peak = 0,
                       .loudness = {}, .truePeakDbtp = {}, .histograms = {}};
    long long drSum = 0;
    int drCount = 0;
    std::vector<const measure::LoudnessBlocks*> blocks;
    for (const AnalysedFile* track : tracks) {
        const analysis::LevelAnalysis& levels = track->result.levels;
        album.durationSeconds += stream::durationSeconds(track->result.format);
        if (levels.dynamics.dr) drSum += *levels.dynamics.dr, ++drCount;
        album.peak = std::max(album.peak, levels.dynamics.peak);
        if (levels.loudness) {
            if (levels.loudness->blocks) blocks.push_back(&*levels.loudness->blocks);
            if (const std::optional<double> peak = levels.loudness->truePeakDbtp)
                album.truePeakDbtp = std::max(album.truePeakDbtp.value_or(*peak), *peak);
        }
        const std::vector<std::string> names =
            stream::channelNames(static_cast<int>(levels.histograms.size()), track->result.format.channelMask);
        for (std::size_t channel = 0; channel < levels.histograms.size() && channel < names.size(); ++channel) {
            auto summed = std::find_if(album.histograms.begin(), album.histograms.end(),
                                       [&](const auto& entry) { return entry.first == names[channel]; });
            if (summed == album.histograms.end())
                summed = album.histograms.insert(album.histograms.end(), {names[channel], analysis::LevelHistogram{}});
            for (std::size_t level = 0; level < summed->second.bins.size(); ++level)
                summed->second.bins[level] += levels.histograms[channel].bins[level];
        }
    }
    if (drCount > 0) album.dr = static_cast<int>(std::nearbyint(static_cast<double>(drSum) / drCount));
    if (loudness) album.loudness = measure::albumLoudness(blocks);
    return album;
}

}  // namespace vantorel::writers
