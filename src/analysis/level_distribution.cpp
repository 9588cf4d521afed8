#include "analysis/level_distribution.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstddef>
#include <optional>

namespace vantorel::analysis {

namespace {

// The rows of the axis scale: a highest share up to `upTo` percent (inclusive)
// takes this top and number of divisions.
struct ShareScaleRow {
    double upTo;
    ShareScale scale;
};

constexpr ShareScaleRow kShareScaleRows[] = {
    {.upTo = 10, .scale = {.top = 10, .divisions = 5}},
    {.upTo = 20, .scale = {.top = 20, .divisions = 4}},
    {.upTo = 30, .scale = {.top = 30, .divisions = 6}},
    {.upTo = 40, .scale = {.top = 40, .divisions = 4}},
    {.upTo = 50, .scale = {.top = 50, .divisions = 5}},
    {.upTo = 60, .scale = {.top = 60, .divisions = 6}},
    {.upTo = 80, .scale = {.top = 80, .divisions = 4}},
};
constexpr ShareScale kFullShareScale = {.top = 100, .divisions = 5};  // above 80 percent

}  // namespace

void countSliceLevel(std::vector<LevelHistogram>& histograms, Channel channel, int sliceLevel) {
    const std::size_t index = channelIndex(channel);
    if (index >= histograms.size() || sliceLevel > kLevelBins - 1) return;
    // Peaks above full scale (float data only) have no bin of their own and count
    // as 0 dB; their slices stay in the slice count either way.
    const int bin = sliceLevel < 0 ? 0 : sliceLevel;
    ++histograms[index].bins[static_cast<std::size_t>(bin)];
}

double binShare(std::int64_t count, std::int64_t sliceCount) {
    if (sliceCount <= 0) return 0;
    // Multiplying first keeps whole shares exact (60 x 100 / 600 is exactly 10);
    // counts up to 2^53 are exact doubles.
    return static_cast<double>(count) * 100.0 / static_cast<double>(sliceCount);
}

double highestShare(const std::vector<LevelHistogram>& histograms, std::int64_t sliceCount) {
    double highest = 0;
    // Bin by bin, each channel in turn (left before right); only a strictly
    // greater share replaces the highest so far.
    for (std::size_t bin = 0; bin < static_cast<std::size_t>(kLevelBins); ++bin) {
        for (const LevelHistogram& histogram : histograms) {
            const double share = binShare(histogram.bins[bin], sliceCount);
            if (share > highest) highest = share;
        }
    }
    return highest;
}

ShareScale chooseShareScale(double highestShare) {
    // A share that is not a number is no share at all: the lowest row.
    if (std::isnan(highestShare)) return kShareScaleRows[0].scale;
    for (const ShareScaleRow& row : kShareScaleRows) {
        if (highestShare <= row.upTo) return row.scale;
    }
    return kFullShareScale;
}

namespace {

// Reads the samples of one kind and folds them into the scan block by block.
template <wave::SampleKind kind>
std::optional<wave::LoadFailure> scanFile(const platform::ReadOnlyFile& file, const wave::WaveInfo& info,
                                          SliceScan& scan, const SliceLevelReceiver& receiver,
                                          const std::function<void()>& afterEachBlock) {
    const auto frames = static_cast<std::uint64_t>(framesToScan(scan.grid));
    const auto loaded = wave::loadSamples<kind>(file, info, frames, [&](const wave::ChannelSamples<kind>& block) {
        scanSliceLevels<kind>(scan, block, receiver);
        if (afterEachBlock) afterEachBlock();
    });
    if (const auto* failure = std::get_if<wave::LoadFailure>(&loaded)) return *failure;
    // Where the file ends before the grid does, the slice it ends in is
    // complete as it stands; the slices after it are silent.
    finishSliceScan(scan, receiver);
    return std::nullopt;
}

}  // namespace

std::variant<LevelAnalysis, wave::LoadFailure> analyseLevels(const wave::WaveInfo& info,
                                                            const platform::ReadOnlyFile& file,
                                                            const std::function<void()>& afterEachBlock) {
    LevelAnalysis analysis;
    analysis.grid = computeSliceGrid(info.sampleRate, info.sampleCount);

    // One histogram per channel of a layout that is loaded; none otherwise.
    const std::optional<wave::SampleKind> kind = wave::sampleKindFor(info);
    if (kind) analysis.histograms.resize(static_cast<std::size_t>(info.channels));

    SliceScan scan{.grid = analysis.grid};
    const SliceLevelReceiver count = [&analysis](Channel channel, int level) {
        countSliceLevel(analysis.histograms, channel, level);
    };
    std::optional<wave::LoadFailure> failure;
    if (kind) {
        switch (*kind) {
        case wave::SampleKind::Int16: failure = scanFile<wave::SampleKind::Int16>(file, info, scan, count, afterEachBlock); break;
        case wave::SampleKind::Int24: failure = scanFile<wave::SampleKind::Int24>(file, info, scan, count, afterEachBlock); break;
        case wave::SampleKind::Int32: failure = scanFile<wave::SampleKind::Int32>(file, info, scan, count, afterEachBlock); break;
        case wave::SampleKind::Float32: failure = scanFile<wave::SampleKind::Float32>(file, info, scan, count, afterEachBlock); break;
        case wave::SampleKind::Float64: break;  // no wave file holds doubles
        }
    }
    if (failure) return *failure;

    analysis.scale = chooseShareScale(highestShare(analysis.histograms, analysis.grid.sliceCount));
    return analysis;
}

namespace {

template <wave::SampleKind kind>
std::optional<decode::DecodeFailure> scanDecoded(decode::OpenedAudio& opened, SliceScan& scan,
                                                 const SliceLevelReceiver& receiver,
                                                 const std::function<void()>& afterEachBlock) {
    const auto decoded = decode::decodeAudio<kind>(opened, [&](const wave::ChannelSamples<kind>& block) {
        scanSliceLevels<kind>(scan, block, receiver);
        if (afterEachBlock) afterEachBlock();
    });
    if (const auto* failure = std::get_if<decode::DecodeFailure>(&decoded)) return *failure;
    return std::nullopt;
}

}  // namespace

std::variant<LevelAnalysis, decode::DecodeFailure> analyseDecodedLevels(decode::OpenedAudio& opened,
                                                                        const std::function<void()>& afterEachBlock) {
    const decode::DecodedFormat& format = opened.format;
    LevelAnalysis analysis;
    analysis.histograms.resize(static_cast<std::size_t>(std::clamp(format.channels, 0, kMaxChannels)));
    // The slices are those of the frames the decoder delivers, which only the
    // decoding itself tells for lossy codecs: the scan runs on an open-ended
    // grid, and the incomplete last slice is never handed on.
    const SliceGrid open = computeSliceGrid(format.sampleRate, std::numeric_limits<std::int64_t>::max());
    SliceScan scan{.grid = open};
    const SliceLevelReceiver count = [&analysis](Channel channel, int level) {
        countSliceLevel(analysis.histograms, channel, level);
    };
    std::optional<decode::DecodeFailure> failure;
    switch (format.kind) {
    case wave::SampleKind::Int16: failure = scanDecoded<wave::SampleKind::Int16>(opened, scan, count, afterEachBlock); break;
    case wave::SampleKind::Int32: failure = scanDecoded<wave::SampleKind::Int32>(opened, scan, count, afterEachBlock); break;
    case wave::SampleKind::Float32: failure = scanDecoded<wave::SampleKind::Float32>(opened, scan, count, afterEachBlock); break;
    case wave::SampleKind::Float64: failure = scanDecoded<wave::SampleKind::Float64>(opened, scan, count, afterEachBlock); break;
    case wave::SampleKind::Int24: failure = decode::DecodeFailure{decode::DecodeFailureKind::Unsupported, {}}; break;
    }
    if (failure) return *failure;

    analysis.grid = computeSliceGrid(format.sampleRate, opened.format.frames);
    analysis.scale = chooseShareScale(highestShare(analysis.histograms, analysis.grid.sliceCount));
    return analysis;
}

}  // namespace vantorel::analysis
