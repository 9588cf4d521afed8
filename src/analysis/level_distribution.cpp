#include "analysis/level_distribution.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>

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

using stream::SampleKind;

// The receivers of the measuring pass. Each keeps its own state, takes every
// block of the stream in order (`add`), takes in the state of a receiver that
// measured the frames that follow, from a DR block boundary on (`join`, for a
// stream read in parts; false where it cannot), and writes its plain values
// into the analysis at the end (`finish`). A new measurement is a receiver of
// its own added to the list below; the pass itself does not change.
struct ReceiverSetup {
    SliceGrid grid;           // the slices to count: the stream's, or open-ended
    bool endsAtGrid = false;  // the grid is the stream's: a slice it ends inside counts as it stands
    int channels = 0;
    std::int32_t sampleRate = 0;
    int sourceBits = 0;  // of integer samples; 0: the samples' own
    std::uint64_t channelMask = 0;
    bool loudness = false;
    const std::function<void()>* afterEachBlock = nullptr;
};

// The slice levels counted into the histograms, and the dynamics (peaks,
// full-scale samples, DR blocks), in one pass over the samples: each block is
// cut where slices end, and the dynamics meter's peaks of each run are the
// slice's peaks. Frames past the grid's last whole slice go to the dynamics
// alone.
class SliceLevelsAndDynamics {
public:
    explicit SliceLevelsAndDynamics(const ReceiverSetup& setup)
        : scan_{.grid = setup.grid},
          endsAtGrid_(setup.endsAtGrid),
          histograms_(static_cast<std::size_t>(std::clamp(setup.channels, 0, kMaxChannels))),
          dynamics_(measure::startDynamics(setup.channels, setup.sampleRate, setup.sourceBits)) {}

    template <SampleKind kind>
    void add(const stream::ChannelSamples<kind>& block) {
        const SliceLevelReceiver count = [this](Channel channel, int level) { countSliceLevel(histograms_, channel, level); };
        if (!dynamics_) {  // no rate: no slices either, but the plain scan knows that
            scanSliceLevels<kind>(scan_, block, count);
            return;
        }
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
            const std::array<double, kMaxChannels> peaks = measure::addDynamicsBlock<kind>(*dynamics_, run);
            if (sliceLeft > 0) addSlicePeaks(scan_, block.channels, static_cast<std::int64_t>(take), peaks, count);
            frame += take;
        }
    }

    bool join(const SliceLevelsAndDynamics& later) {
        if (scan_.samplesInSlice != 0 || !dynamics_ || !later.dynamics_ ||
            !measure::appendDynamics(*dynamics_, *later.dynamics_))
            return false;
        for (std::size_t channel = 0; channel < histograms_.size(); ++channel)
            for (std::size_t bin = 0; bin < static_cast<std::size_t>(kLevelBins); ++bin)
                histograms_[channel].bins[bin] += later.histograms_[channel].bins[bin];
        return true;
    }

    void finish(LevelAnalysis& analysis) {
        // Where the stream ends before its grid does, the slice it ends in is
        // complete as it stands; the slices after it are silent.
        if (endsAtGrid_)
            finishSliceScan(scan_, [this](Channel channel, int level) { countSliceLevel(histograms_, channel, level); });
        analysis.histograms = std::move(histograms_);
        if (dynamics_) {
            analysis.dynamics = measure::finishDynamics(*dynamics_);
            analysis.drBlocks = measure::dynamicsBlocks(*dynamics_);
        }
    }

private:
    SliceScan scan_;
    bool endsAtGrid_;
    std::vector<LevelHistogram> histograms_;
    std::optional<measure::DynamicsMeter> dynamics_;
};

// The loudness meters, when asked for. They follow the stream in order: a
// stream measured with them is never read in parts.
class LoudnessMeasure {
public:
    explicit LoudnessMeasure(const ReceiverSetup& setup) {
        if (!setup.loudness) return;
        auto started = measure::startLoudness(setup.channels, setup.sampleRate, setup.channelMask);
        if (auto* meter = std::get_if<measure::LoudnessMeter>(&started)) meter_ = std::move(*meter);
        else failure_ = std::get<measure::LoudnessFailure>(started);
    }

    template <SampleKind kind>
    void add(const stream::ChannelSamples<kind>& block) {
        if (meter_) measure::addLoudnessBlock<kind>(*meter_, block);
    }

    bool join(const LoudnessMeasure& later) { return !meter_ && !later.meter_ && !failure_ && !later.failure_; }

    void finish(LevelAnalysis& analysis) {
        analysis.loudnessFailure = failure_;
        if (!meter_) return;
        auto measured = measure::finishLoudness(*meter_);
        if (auto* loudness = std::get_if<measure::Loudness>(&measured)) analysis.loudness = std::move(*loudness);
        else analysis.loudnessFailure = std::get<measure::LoudnessFailure>(measured);
    }

private:
    std::optional<measure::LoudnessMeter> meter_;
    std::optional<measure::LoudnessFailure> failure_;
};

// The caller's hook after each block (the dialogue keeps its screen shown).
class AfterEachBlock {
public:
    explicit AfterEachBlock(const ReceiverSetup& setup) : hook_(setup.afterEachBlock) {}

    template <SampleKind kind>
    void add(const stream::ChannelSamples<kind>&) {
        if (hook_ && *hook_) (*hook_)();
    }

    bool join(const AfterEachBlock&) { return true; }
    void finish(LevelAnalysis&) {}

private:
    const std::function<void()>* hook_;
};

// The list: every block goes to each of them in this order.
using Receivers = std::tuple<SliceLevelsAndDynamics, LoudnessMeasure, AfterEachBlock>;

template <class... Each>
std::tuple<Each...> startEach(const ReceiverSetup& setup, std::tuple<Each...>* /*list*/) {
    return std::tuple<Each...>{Each(setup)...};
}

Receivers startReceivers(const ReceiverSetup& setup) { return startEach(setup, static_cast<Receivers*>(nullptr)); }

void addToAll(Receivers& receivers, const stream::AnyBlock& block) {
    std::visit([&](const auto& typed) { std::apply([&](auto&... each) { (each.add(typed), ...); }, receivers); },
               block);
}

bool joinAll(Receivers& earlier, const Receivers& later) {
    return [&]<std::size_t... index>(std::index_sequence<index...>) {
        return (std::get<index>(earlier).join(std::get<index>(later)) && ...);
    }(std::make_index_sequence<std::tuple_size_v<Receivers>>{});
}

void finishAll(Receivers& receivers, LevelAnalysis& analysis) {
    std::apply([&](auto&... each) { (each.finish(analysis), ...); }, receivers);
}

ReceiverSetup setupFor(const stream::StreamFormat& format, SliceGrid grid, bool endsAtGrid, bool loudness,
                       const std::function<void()>* afterEachBlock) {
    return {.grid = grid,
            .endsAtGrid = endsAtGrid,
            .channels = format.channels,
            .sampleRate = format.sampleRate,
            .sourceBits = format.floatEncoding ? 0 : format.bitsPerSample,
            .channelMask = format.channelMask,
            .loudness = loudness,
            .afterEachBlock = afterEachBlock};
}

// A part is at least this many DR blocks long: shorter files gain too little
// from a second reader to pay for opening it.
constexpr std::int64_t kLeastBlocksPerPart = 10;
// The most parts of one stream: each holds a decoder and its buffers.
constexpr std::int64_t kMostParts = 8;

// Where the parts of a stream start, and its end: on boundaries of the DR
// blocks, which are whole slices too. Empty when it is read in one piece.
std::vector<std::int64_t> partBoundaries(const stream::SampleSource& source, const MeasureOptions& options) {
    const stream::StreamFormat& format = source.format;
    if (!source.readPart || options.decodeParts < 2 || options.loudness || !format.framesKnown ||
        format.sampleRate <= 0 || format.sampleRate % 10 != 0)
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

// Measures the stream in parts, each read and measured on a thread of its own
// (the first on this one), then joined in order. Nothing where a part failed
// or no thread could be started.
std::optional<LevelAnalysis> analyseInParts(const stream::SampleSource& source,
                                            const std::vector<std::int64_t>& boundaries,
                                            const std::function<void()>& afterEachBlock) {
    const stream::StreamFormat& format = source.format;
    const std::size_t parts = boundaries.size() - 1;
    const SliceGrid open = computeSliceGrid(format.sampleRate, std::numeric_limits<std::int64_t>::max());
    std::vector<std::unique_ptr<Receivers>> receivers;
    for (std::size_t part = 0; part < parts; ++part)
        receivers.push_back(std::make_unique<Receivers>(
            startReceivers(setupFor(format, open, false, false, part == 0 ? &afterEachBlock : nullptr))));
    std::vector<char> read(parts, 0);
    // Nothing may leave a thread: a part that throws (out of memory) has failed.
    const auto readPart = [&](std::size_t part) noexcept {
        try {
            const stream::ReadOutcome outcome =
                source.readPart(boundaries[part], boundaries[part + 1],
                                [&into = *receivers[part]](const stream::AnyBlock& block) { addToAll(into, block); });
            read[part] = std::holds_alternative<std::int64_t>(outcome) ? 1 : 0;
        } catch (...) {
            read[part] = 0;
        }
    };
    {
        std::vector<std::jthread> threads;
        try {
            for (std::size_t part = 1; part < parts; ++part) threads.emplace_back(readPart, part);
        } catch (const std::system_error&) {
            return std::nullopt;  // the threads started are joined on the way out
        }
        readPart(0);
    }
    for (std::size_t part = 0; part < parts; ++part)
        if (read[part] == 0 || (part > 0 && !joinAll(*receivers[0], *receivers[part]))) return std::nullopt;
    LevelAnalysis analysis;
    finishAll(*receivers[0], analysis);
    analysis.grid = computeSliceGrid(format.sampleRate, format.frames);
    analysis.scale = chooseShareScale(highestShare(analysis.histograms, analysis.grid.sliceCount));
    return analysis;
}

}  // namespace

std::variant<LevelAnalysis, stream::SourceFailure> analyseStream(const stream::SampleSource& source,
                                                                 const std::function<void()>& afterEachBlock,
                                                                 const MeasureOptions& options) {
    const stream::StreamFormat& format = source.format;
    if (const std::vector<std::int64_t> boundaries = partBoundaries(source, options); !boundaries.empty())
        if (std::optional<LevelAnalysis> inParts = analyseInParts(source, boundaries, afterEachBlock))
            return std::move(*inParts);

    // A stream whose length is known is measured on its grid; otherwise the
    // slices are those of the frames delivered, which only the reading tells
    // (lossy codecs): the scan runs on an open-ended grid, and the incomplete
    // last slice is never handed on.
    const SliceGrid grid = computeSliceGrid(
        format.sampleRate, format.framesKnown ? format.frames : std::numeric_limits<std::int64_t>::max());
    Receivers receivers = startReceivers(setupFor(format, grid, format.framesKnown, options.loudness, &afterEachBlock));
    const stream::ReadOutcome outcome =
        source.readAll([&](const stream::AnyBlock& block) { addToAll(receivers, block); });
    LevelAnalysis analysis;
    finishAll(receivers, analysis);
    if (const auto* failure = std::get_if<stream::SourceFailure>(&outcome)) return *failure;
    analysis.grid = format.framesKnown ? grid : computeSliceGrid(format.sampleRate, std::get<std::int64_t>(outcome));
    analysis.scale = chooseShareScale(highestShare(analysis.histograms, analysis.grid.sliceCount));
    return analysis;
}

std::variant<LevelAnalysis, wave::LoadFailure> analyseLevels(const wave::WaveInfo& info,
                                                            const platform::ReadOnlyFile& file,
                                                            const std::function<void()>& afterEachBlock,
                                                            const MeasureOptions& options) {
    // A layout that is not loaded reads nothing and gets no histograms.
    if (!wave::sampleKindFor(info)) {
        LevelAnalysis analysis;
        analysis.grid = computeSliceGrid(info.sampleRate, info.sampleCount);
        analysis.scale = chooseShareScale(0);
        return analysis;
    }
    auto measured = analyseStream(wave::waveSource(file, info), afterEachBlock, options);
    if (auto* failure = std::get_if<stream::SourceFailure>(&measured))
        return failure->kind == stream::SourceFailure::Kind::OutOfMemory ? wave::LoadFailure::OutOfMemory
                                                                          : wave::LoadFailure::ReadFailed;
    return std::move(std::get<LevelAnalysis>(measured));
}

std::variant<LevelAnalysis, decode::DecodeFailure> analyseDecodedLevels(decode::OpenedAudio& opened,
                                                                        const std::function<void()>& afterEachBlock,
                                                                        const MeasureOptions& options) {
    auto measured = analyseStream(decode::decodedSource(opened), afterEachBlock, options);
    if (auto* failure = std::get_if<stream::SourceFailure>(&measured)) return decode::decodeFailureOf(*failure);
    return std::move(std::get<LevelAnalysis>(measured));
}

}  // namespace vantorel::analysis
