#include "analysis/level_distribution.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstddef>
#include <optional>
#include <system_error>
#include <thread>

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

// Everything one read of the samples feeds: the slice scan counting into the
// histograms, the dynamics and, when asked for, the loudness meters.
class BlockMeasures {
public:
    BlockMeasures(LevelAnalysis& analysis, SliceGrid grid, int channels, std::int32_t sampleRate, int sourceBits,
                  std::uint64_t channelMask, const MeasureOptions& options, const std::function<void()>& afterEachBlock)
        : analysis_(analysis),
          scan_{.grid = grid},
          count_([&analysis](Channel channel, int level) { countSliceLevel(analysis.histograms, channel, level); }),
          dynamics_(measure::startDynamics(channels, sampleRate, sourceBits)),
          afterEachBlock_(afterEachBlock) {
        if (options.loudness) {
            auto started = measure::startLoudness(channels, sampleRate, channelMask);
            if (auto* meter = std::get_if<measure::LoudnessMeter>(&started)) loudness_ = std::move(*meter);
            else analysis.loudnessFailure = std::get<measure::LoudnessFailure>(started);
        }
    }

    template <stream::SampleKind kind>
    void add(const stream::ChannelSamples<kind>& block) {
        if (dynamics_) {
            addToDynamicsAndSlices(block);
        } else {
            scanSliceLevels<kind>(scan_, block, count_);
        }
        if (loudness_) measure::addLoudnessBlock<kind>(*loudness_, block);
        if (afterEachBlock_) afterEachBlock_();
    }

    // Where the file ends before the grid does, the slice it ends in is
    // complete as it stands; the slices after it are silent.
    void finishSlices() { finishSliceScan(scan_, count_); }

    // Takes in what `later` measured of the frames that follow, from a slice
    // and DR block boundary on. False where this one stands inside either.
    bool absorb(const BlockMeasures& later) {
        if (scan_.samplesInSlice != 0 || !dynamics_ || !later.dynamics_ ||
            !measure::appendDynamics(*dynamics_, *later.dynamics_))
            return false;
        for (std::size_t channel = 0; channel < analysis_.histograms.size(); ++channel)
            for (std::size_t bin = 0; bin < static_cast<std::size_t>(kLevelBins); ++bin)
                analysis_.histograms[channel].bins[bin] += later.analysis_.histograms[channel].bins[bin];
        return true;
    }

    void finish() {
        if (dynamics_) {
            analysis_.dynamics = measure::finishDynamics(*dynamics_);
            analysis_.drBlocks = measure::dynamicsBlocks(*dynamics_);
        }
        if (loudness_) {
            auto measured = measure::finishLoudness(*loudness_);
            if (auto* loudness = std::get_if<measure::Loudness>(&measured)) analysis_.loudness = *loudness;
            else analysis_.loudnessFailure = std::get<measure::LoudnessFailure>(measured);
        }
    }

private:
    // One pass over the samples for both: the block is cut where slices end,
    // and the dynamics meter's peaks of each run are the slice's peaks. Frames
    // past the grid's last whole slice go to the dynamics alone.
    template <stream::SampleKind kind>
    void addToDynamicsAndSlices(const stream::ChannelSamples<kind>& block) {
        const std::size_t frameBytes = static_cast<std::size_t>(block.channels) * stream::fileSampleWidth<kind>();
        std::size_t frame = 0;
        while (frame < block.frames) {
            const std::int64_t sliceLeft = framesLeftInSlice(scan_);
            std::size_t take = block.frames - frame;
            if (sliceLeft > 0) take = std::min<std::size_t>(take, static_cast<std::size_t>(sliceLeft));
            const stream::ChannelSamples<kind> run{.channels = block.channels,
                                                 .firstFrame = block.firstFrame + static_cast<std::int64_t>(frame),
                                                 .frames = take,
                                                 .bytes = block.bytes + frame * frameBytes};
            const std::array<double, measure::kMaxChannels> peaks = measure::addDynamicsBlock<kind>(*dynamics_, run);
            if (sliceLeft > 0) addSlicePeaks(scan_, block.channels, static_cast<std::int64_t>(take), peaks, count_);
            frame += take;
        }
    }

    LevelAnalysis& analysis_;
    SliceScan scan_;
    SliceLevelReceiver count_;
    std::optional<measure::DynamicsMeter> dynamics_;
    std::optional<measure::LoudnessMeter> loudness_;
    const std::function<void()>& afterEachBlock_;
};

// Reads every frame the file holds, of one kind, and measures them block by
// block. The slice scan takes the whole slices only; the dynamics all frames.
template <stream::SampleKind kind>
std::optional<wave::LoadFailure> measureFile(const platform::ReadOnlyFile& file, const wave::WaveInfo& info,
                                             BlockMeasures& measures) {
    const auto frames = static_cast<std::uint64_t>(std::max<std::int64_t>(info.sampleCount, 0));
    const auto loaded = wave::loadSamples<kind>(file, info, frames,
                                                [&](const stream::ChannelSamples<kind>& block) { measures.add(block); });
    if (const auto* failure = std::get_if<wave::LoadFailure>(&loaded)) return *failure;
    measures.finishSlices();
    return std::nullopt;
}

}  // namespace

std::variant<LevelAnalysis, wave::LoadFailure> analyseLevels(const wave::WaveInfo& info,
                                                            const platform::ReadOnlyFile& file,
                                                            const std::function<void()>& afterEachBlock,
                                                            const MeasureOptions& options) {
    LevelAnalysis analysis;
    analysis.grid = computeSliceGrid(info.sampleRate, info.sampleCount);

    // One histogram per channel of a layout that is loaded; none otherwise.
    const std::optional<stream::SampleKind> kind = wave::sampleKindFor(info);
    if (!kind) {
        analysis.scale = chooseShareScale(0);
        return analysis;
    }
    analysis.histograms.resize(static_cast<std::size_t>(info.channels));
    BlockMeasures measures(analysis, analysis.grid, info.channels, info.sampleRate,
                           info.formatTag == 3 ? 0 : info.bitsPerSample, info.channelMask, options, afterEachBlock);
    std::optional<wave::LoadFailure> failure;
    switch (*kind) {
    case stream::SampleKind::Int16: failure = measureFile<stream::SampleKind::Int16>(file, info, measures); break;
    case stream::SampleKind::Int24: failure = measureFile<stream::SampleKind::Int24>(file, info, measures); break;
    case stream::SampleKind::Int32: failure = measureFile<stream::SampleKind::Int32>(file, info, measures); break;
    case stream::SampleKind::Float32: failure = measureFile<stream::SampleKind::Float32>(file, info, measures); break;
    case stream::SampleKind::Float64: break;  // no wave file holds doubles
    }
    measures.finish();
    if (failure) return *failure;

    analysis.scale = chooseShareScale(highestShare(analysis.histograms, analysis.grid.sliceCount));
    return analysis;
}

namespace {

// A part is at least this many DR blocks long: shorter files gain too little
// from a second decoder to pay for opening it.
constexpr std::int64_t kLeastBlocksPerPart = 10;
// The most parts of one file: each holds a decoder and its buffers.
constexpr std::int64_t kMostParts = 8;

// Where the parts of a decoded file start, and its end: on boundaries of the
// DR blocks, which are whole slices too. Empty when the file is not split.
std::vector<std::int64_t> partBoundaries(const decode::DecodedFormat& format, const MeasureOptions& options) {
    const bool integer = format.kind == stream::SampleKind::Int16 || format.kind == stream::SampleKind::Int32;
    if (options.decodeParts < 2 || options.loudness || !format.splittable || !integer || format.sampleRate % 10 != 0)
        return {};
    const std::int64_t blockFrames = std::int64_t{measure::kDrBlockSeconds} * format.sampleRate;
    const std::int64_t blocks = format.frames / blockFrames;
    const std::int64_t parts = std::min({std::int64_t{options.decodeParts}, kMostParts, blocks / kLeastBlocksPerPart});
    if (parts < 2) return {};
    std::vector<std::int64_t> boundaries;
    for (std::int64_t part = 0; part < parts; ++part) boundaries.push_back(blocks * part / parts * blockFrames);
    boundaries.push_back(format.frames);
    return boundaries;
}

// Measures the file in parts, each decoded and measured on a thread of its
// own (the first on this one), then joined in order. Nothing where a part
// failed or no thread could be started.
template <stream::SampleKind kind>
std::optional<LevelAnalysis> analyseInParts(const decode::OpenedAudio& opened, const std::vector<std::int64_t>& boundaries,
                                            const std::function<void()>& afterEachBlock) {
    const decode::DecodedFormat& format = opened.format;
    const std::size_t parts = boundaries.size() - 1;
    const SliceGrid open = computeSliceGrid(format.sampleRate, std::numeric_limits<std::int64_t>::max());
    const std::function<void()> nothing;
    std::vector<LevelAnalysis> analyses(parts);
    std::vector<std::optional<BlockMeasures>> measures(parts);
    std::vector<char> decoded(parts, 0);
    for (std::size_t part = 0; part < parts; ++part) {
        analyses[part].histograms.resize(static_cast<std::size_t>(format.channels));
        measures[part].emplace(analyses[part], open, format.channels, format.sampleRate, format.bitsPerSample,
                               format.channelMask, MeasureOptions{}, part == 0 ? afterEachBlock : nothing);
    }
    // Nothing may leave a thread: a part that throws (out of memory) has failed.
    const auto decodePart = [&](std::size_t part) noexcept {
        try {
            const auto result = decode::decodeAudioPart<kind>(
                opened, boundaries[part], boundaries[part + 1],
                [&measure = *measures[part]](const stream::ChannelSamples<kind>& block) { measure.add(block); });
            decoded[part] = std::holds_alternative<std::uint64_t>(result) ? 1 : 0;
        } catch (...) {
            decoded[part] = 0;
        }
    };
    {
        std::vector<std::jthread> threads;
        try {
            for (std::size_t part = 1; part < parts; ++part) threads.emplace_back(decodePart, part);
        } catch (const std::system_error&) {
            return std::nullopt;  // the threads started are joined on the way out
        }
        decodePart(0);
    }
    for (std::size_t part = 0; part < parts; ++part)
        if (decoded[part] == 0 || (part > 0 && !measures[0]->absorb(*measures[part]))) return std::nullopt;
    measures[0]->finish();
    return std::move(analyses[0]);
}

}  // namespace

std::variant<LevelAnalysis, decode::DecodeFailure> analyseDecodedLevels(decode::OpenedAudio& opened,
                                                                        const std::function<void()>& afterEachBlock,
                                                                        const MeasureOptions& options) {
    const decode::DecodedFormat& format = opened.format;
    if (const std::vector<std::int64_t> boundaries = partBoundaries(format, options); !boundaries.empty()) {
        std::optional<LevelAnalysis> inParts =
            format.kind == stream::SampleKind::Int16
                ? analyseInParts<stream::SampleKind::Int16>(opened, boundaries, afterEachBlock)
                : analyseInParts<stream::SampleKind::Int32>(opened, boundaries, afterEachBlock);
        if (inParts) {
            inParts->grid = computeSliceGrid(format.sampleRate, format.frames);
            inParts->scale = chooseShareScale(highestShare(inParts->histograms, inParts->grid.sliceCount));
            return std::move(*inParts);
        }
    }
    LevelAnalysis analysis;
    analysis.histograms.resize(static_cast<std::size_t>(std::clamp(format.channels, 0, kMaxChannels)));
    // The slices are those of the frames the decoder delivers, which only the
    // decoding itself tells for lossy codecs: the scan runs on an open-ended
    // grid, and the incomplete last slice is never handed on.
    const SliceGrid open = computeSliceGrid(format.sampleRate, std::numeric_limits<std::int64_t>::max());
    BlockMeasures measures(analysis, open, format.channels, format.sampleRate,
                           format.floatSamples ? 0 : format.bitsPerSample, format.channelMask, options,
                           afterEachBlock);
    const auto decode = [&]<stream::SampleKind kind>() -> std::optional<decode::DecodeFailure> {
        const auto decoded = decode::decodeAudio<kind>(
            opened, [&](const stream::ChannelSamples<kind>& block) { measures.add(block); });
        if (const auto* failure = std::get_if<decode::DecodeFailure>(&decoded)) return *failure;
        return std::nullopt;
    };
    std::optional<decode::DecodeFailure> failure;
    switch (format.kind) {
    case stream::SampleKind::Int16: failure = decode.template operator()<stream::SampleKind::Int16>(); break;
    case stream::SampleKind::Int32: failure = decode.template operator()<stream::SampleKind::Int32>(); break;
    case stream::SampleKind::Float32: failure = decode.template operator()<stream::SampleKind::Float32>(); break;
    case stream::SampleKind::Float64: failure = decode.template operator()<stream::SampleKind::Float64>(); break;
    case stream::SampleKind::Int24: failure = decode::DecodeFailure{decode::DecodeFailureKind::Unsupported, {}}; break;
    }
    measures.finish();
    if (failure) return *failure;

    analysis.grid = computeSliceGrid(format.sampleRate, opened.format.frames);
    analysis.scale = chooseShareScale(highestShare(analysis.histograms, analysis.grid.sliceCount));
    return analysis;
}

}  // namespace vantorel::analysis
