#include "writers/html_writer.h"

#include "measure/dynamics.h"
#include "stream/channel_layout.h"
#include "writers/rounding.h"

namespace vantorel::writers {

// A track of the HTML page from an analysed file.
output::ReportTrack reportTrack(const std::string& name, const AnalysedFile& file) {
    const wave::WaveInfo& info = file.info;
    const analysis::LevelAnalysis& levels = file.levels;
    std::string format = info.formatName.empty() ? "WAV" : info.formatName;
    if (!info.lossy) format += std::string(" ") + std::to_string(info.bitsPerSample) + "-bit" + (info.formatTag == 3 ? " float" : "");
    format += std::string(", ") + std::to_string(info.sampleRate) + " Hz";
    output::ReportTrack track{.name = name,
                              .format = format,
                              .durationSeconds = info.durationSeconds,
                              .peakDbfs = oneDecimal(measure::peakDbfs(levels.dynamics.peak)),
                              .dr = levels.dynamics.dr,
                              .loudnessLufs = {},
                              .rangeLu = {},
                              .truePeakDbtp = {},
                              .histograms = levels.histograms,
                              .sliceCount = levels.grid.sliceCount,
                              .scale = levels.scale,
                              .channelNames = stream::channelNames(static_cast<int>(levels.histograms.size()),
                                                                 info.channelMask)};
    if (levels.loudness) {
        track.loudnessLufs = oneDecimal(levels.loudness->integratedLufs);
        track.rangeLu = oneDecimal(levels.loudness->rangeLu);
        track.truePeakDbtp = oneDecimal(levels.loudness->truePeakDbtp);
    }
    return track;
}

output::ReportSummary reportSummary(const AlbumSummary& album) {
    output::ReportSummary summary{.tracks = album.tracks,
                                  .durationSeconds = album.durationSeconds,
                                  .dr = album.dr,
                                  .peakDbfs = oneDecimal(measure::peakDbfs(album.peak)),
                                  .loudnessLufs = {},
                                  .rangeLu = {},
                                  .truePeakDbtp = oneDecimal(album.truePeakDbtp)};
    if (album.loudness) {
        summary.loudnessLufs = oneDecimal(album.loudness->integratedLufs);
        summary.rangeLu = oneDecimal(album.loudness->rangeLu);
    }
    return summary;
}

}  // namespace vantorel::writers
