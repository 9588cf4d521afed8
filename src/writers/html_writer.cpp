#include "writers/html_writer.h"

#include "measure/dynamics.h"
#include "stream/channel_layout.h"
#include "writers/rounding.h"

namespace vantorel::writers {

// A track of the HTML page from an analysed file.
output::ReportTrack reportTrack(const std::string& name, const AnalysedFile& file) {
    const stream::StreamFormat& format = file.result.format;
    const analysis::LevelAnalysis& levels = file.result.levels;
    std::string shown = format.codecName.empty() ? "WAV" : format.codecName;
    if (!format.lossy)
        shown += std::string(" ") + std::to_string(format.bitsPerSample) + "-bit" + (format.floatEncoding ? " float" : "");
    shown += std::string(", ") + std::to_string(format.sampleRate) + " Hz";
    output::ReportTrack track{.name = name,
                              .format = shown,
                              .durationSeconds = stream::durationSeconds(format),
                              .peakDbfs = oneDecimal(measure::peakDbfs(levels.dynamics.peak)),
                              .dr = levels.dynamics.dr,
                              .loudnessLufs = {},
                              .rangeLu = {},
                              .truePeakDbtp = {},
                              .histograms = levels.histograms,
                              .sliceCount = levels.grid.sliceCount,
                              .scale = levels.scale,
                              .channelNames = stream::channelNames(static_cast<int>(levels.histograms.size()),
                                                                 format.channelMask)};
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
