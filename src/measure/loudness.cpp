#include "measure/loudness.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "measure/dynamics.h"
#include "stream/channel_layout.h"

#if VANTOREL_HAS_LOUDNESS
#include <ebur128.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>
#include <type_traits>
#endif

namespace vantorel::measure {

std::string_view loudnessFailureMessage(LoudnessFailure failure) {
    switch (failure) {
        case LoudnessFailure::NotAvailable: return "loudness is not measured by this build (no libebur128)";
        case LoudnessFailure::BadFormat: return "loudness cannot be measured for this channel count or sample rate";
        case LoudnessFailure::OutOfMemory: return "not enough memory to measure the loudness";
        case LoudnessFailure::MeterFailed: return "the loudness meter could not take the samples";
    }
    return "loudness could not be measured";
}

#if VANTOREL_HAS_LOUDNESS

namespace {

using stream::SampleKind;

// Copied frames for the meters, in the libebur128 type of the blocks' kind:
// short (16-bit), int (24-bit moved to the top bits, and 32-bit), float,
// double. The first `leadInFrames` frames are the ones before the batch, for a
// true-peak meter that did not see them.
struct Batch {
    std::vector<short> shorts;
    std::vector<int> ints;
    std::vector<float> floats;
    std::vector<double> doubles;
    std::size_t leadInFrames = 0;
    std::size_t frames = 0;      // after the lead-in
    std::int64_t firstFrame = 0; // of the recording: the frame after the lead-in
    std::size_t peakMeter = 0;   // the true-peak meter that takes it
    int readersLeft = 0;         // meters yet to take it; guarded by LoudnessWork::mutex
};

template <SampleKind kind, class BatchType>
auto& samplesOf(BatchType& batch) {
    if constexpr (kind == SampleKind::Int16) return batch.shorts;
    else if constexpr (kind == SampleKind::Int24 || kind == SampleKind::Int32) return batch.ints;
    else if constexpr (kind == SampleKind::Float32) return batch.floats;
    else return batch.doubles;
}

// libebur128's position of a channel-mask bit: the BS.1770-4 position of the
// loudspeaker, which sets the channel's weight.
int positionOfMaskBit(int bit) {
    switch (bit) {
        case 0: return EBUR128_LEFT;             // front left, M+030
        case 1: return EBUR128_RIGHT;            // front right, M-030
        case 2: return EBUR128_CENTER;           // front centre, M+000
        case 3: return EBUR128_UNUSED;           // low-frequency effects: not counted
        case 4: return EBUR128_LEFT_SURROUND;    // back left, M+110
        case 5: return EBUR128_RIGHT_SURROUND;   // back right, M-110
        case 6: return EBUR128_Mp030;            // front left of centre
        case 7: return EBUR128_Mm030;            // front right of centre
        case 8: return EBUR128_Mp180;            // back centre
        case 9: return EBUR128_Mp090;            // side left
        case 10: return EBUR128_Mm090;           // side right
        case 11: return EBUR128_Tp000;           // top centre
        case 12: return EBUR128_Up030;           // top front left
        case 13: return EBUR128_Up000;           // top front centre
        case 14: return EBUR128_Um030;           // top front right
        case 15: return EBUR128_Up110;           // top back left
        case 16: return EBUR128_Up180;           // top back centre
        case 17: return EBUR128_Um110;           // top back right
        default: return EBUR128_Mp000;           // no stated position: weighed like a front channel
    }
}

// Positions every channel of a state from the mask (see the header).
bool positionChannels(ebur128_state* state, int channels, std::uint64_t channelMask) {
    if (channelMask == 0 && channels <= 2) return true;  // libebur128's own: mono, or left and right
    channelMask = stream::channelMaskOrAssumed(channels, channelMask);
    int channel = 0;
    for (int bit = 0; bit < 64 && channel < channels; ++bit) {
        if ((channelMask >> bit & 1) == 0) continue;
        if (ebur128_set_channel(state, static_cast<unsigned>(channel), positionOfMaskBit(bit)) != EBUR128_SUCCESS)
            return false;
        ++channel;
    }
    for (; channel < channels; ++channel) {
        if (ebur128_set_channel(state, static_cast<unsigned>(channel), EBUR128_Mp000) != EBUR128_SUCCESS) return false;
    }
    return true;
}

// Hands `frames` frames of a batch, from frame `first` (lead-in included), to a meter.
int addFrames(ebur128_state* state, SampleKind kind, const Batch& batch, std::size_t first, std::size_t frames) {
    const std::size_t at = first * state->channels;
    switch (kind) {
        case SampleKind::Int16: return ebur128_add_frames_short(state, batch.shorts.data() + at, frames);
        case SampleKind::Int24:
        case SampleKind::Int32: return ebur128_add_frames_int(state, batch.ints.data() + at, frames);
        case SampleKind::Float32: return ebur128_add_frames_float(state, batch.floats.data() + at, frames);
        case SampleKind::Float64: return ebur128_add_frames_double(state, batch.doubles.data() + at, frames);
    }
    return EBUR128_SUCCESS;
}

// The largest magnitude of `frames` frames of a batch from frame `first`
// (lead-in included), 1.0 = full scale as libebur128 scales each type. NaN
// samples are passed over (they raise no peak in the meter either).
double largestMagnitude(SampleKind kind, const Batch& batch, std::size_t channels, std::size_t first,
                        std::size_t frames) {
    const std::size_t begin = first * channels;
    const std::size_t end = begin + frames * channels;
    const auto largest = [&](const auto& samples, double fullScale) {
        double peak = 0;
        for (std::size_t at = begin; at < end; ++at) {
            const double magnitude = std::fabs(static_cast<double>(samples[at]));
            if (magnitude > peak) peak = magnitude;
        }
        return peak / fullScale;
    };
    switch (kind) {
        case SampleKind::Int16: return largest(batch.shorts, 32768.0);
        case SampleKind::Int24:
        case SampleKind::Int32: return largest(batch.ints, 2147483648.0);
        case SampleKind::Float32: return largest(batch.floats, 1.0);
        case SampleKind::Float64: return largest(batch.doubles, 1.0);
    }
    return 0;
}

// The interpolator's taps per phase as libebur128 1.2 builds them (49 taps
// of a Hann-windowed sinc; 4 phases below 96 kHz, 2 below 192 kHz, none
// above): tap j belongs to phase j % factor and delay j / factor.
std::vector<double> interpolatorTaps(int factor) {
    constexpr int kTaps = 49;
    std::vector<double> taps;
    for (int j = 0; j < kTaps; ++j) {
        const double m = j - (kTaps - 1) / 2.0;
        const double x = m * std::numbers::pi / factor;
        const double sinc = m == 0 ? 1.0 : std::sin(x) / x;
        taps.push_back(sinc * 0.5 * (1 - std::cos(2 * std::numbers::pi * j / (kTaps - 1))));
    }
    return taps;
}

// The most by which a true-peak meter's peak can exceed the largest magnitude
// of the frames it depends on, with a margin for the meter's float rounding.
// Read off the meter's own answer to an impulse, one frame at a time: each
// call's peak is the largest tap of that delay over the phases (the first
// call's is the impulse itself). Where those agree with the taps above, the
// gain is the largest sum of magnitudes of one phase's taps (1.86 at 4x);
// otherwise the sum of the largest taps per delay, which bounds it too
// (3.5 at 4x). 0 when the meter fails: then nothing is passed over.
double truePeakGain(std::int32_t sampleRate) {
    ebur128_state* meter = ebur128_init(1, static_cast<unsigned long>(sampleRate), EBUR128_MODE_TRUE_PEAK);
    if (!meter) return 0;
    std::vector<double> largestPerDelay;
    for (std::size_t frame = 0; frame < kTruePeakLeadInFrames; ++frame) {
        const float sample = frame == 0 ? 1.0F : 0.0F;
        double peak = 0;
        if (ebur128_add_frames_float(meter, &sample, 1) != EBUR128_SUCCESS ||
            ebur128_prev_true_peak(meter, 0, &peak) != EBUR128_SUCCESS || !std::isfinite(peak)) {
            largestPerDelay.clear();
            break;
        }
        largestPerDelay.push_back(peak);
    }
    ebur128_destroy(&meter);
    if (largestPerDelay.empty()) return 0;
    constexpr double kMargin = 1 + 1e-5;
    double bound = 0;
    for (const double peak : largestPerDelay) bound += peak;

    const int factor = sampleRate < 96000 ? 4 : sampleRate < 192000 ? 2 : 1;
    if (factor == 1) return bound * kMargin;  // no interpolation: the sample peak
    const std::vector<double> taps = interpolatorTaps(factor);
    std::vector<double> expected(largestPerDelay.size(), 0.0);
    std::vector<double> phaseSums(static_cast<std::size_t>(factor), 0.0);
    for (std::size_t j = 0; j < taps.size(); ++j) {
        const std::size_t delay = j / static_cast<std::size_t>(factor);
        if (delay < expected.size()) expected[delay] = std::max(expected[delay], std::fabs(taps[j]));
        phaseSums[j % static_cast<std::size_t>(factor)] += std::fabs(taps[j]);
    }
    for (std::size_t delay = 1; delay < expected.size(); ++delay)
        if (std::fabs(expected[delay] - largestPerDelay[delay]) > 1e-6) return bound * kMargin;
    return std::max(1.0, *std::max_element(phaseSums.begin(), phaseSums.end())) * kMargin;
}

// Copies `frames` frames of a block into the end of a batch.
template <SampleKind kind>
void appendFrames(Batch& batch, const std::byte* bytes, std::size_t frames, std::size_t channels) {
    auto& samples = samplesOf<kind>(batch);
    const std::size_t count = frames * channels;
    const std::size_t at = (batch.leadInFrames + batch.frames) * channels;
    samples.resize(at + count);
    if constexpr (kind == SampleKind::Int24) {
        for (std::size_t index = 0; index < count; ++index) {
            const std::byte* sample = bytes + 3 * index;
            const std::int32_t value = stream::decodeInt24(std::to_integer<std::uint8_t>(sample[0]),
                                                         std::to_integer<std::uint8_t>(sample[1]),
                                                         std::to_integer<std::uint8_t>(sample[2]));
            samples[at + index] = value * 256;  // the 24-bit value in the top 24 bits, exact
        }
    } else {
        std::memcpy(samples.data() + at, bytes, count * sizeof samples[0]);
    }
    batch.frames += frames;
}

// The frames before the next batch: the last kTruePeakLeadInFrames of `batch`
// (lead-in included) go to `leadIn`, which already holds `leadInFrames` frames.
template <SampleKind kind>
void keepLeadIn(Batch& leadIn, Batch& batch, std::size_t channels) {
    auto& from = samplesOf<kind>(batch);
    auto& to = samplesOf<kind>(leadIn);
    const std::size_t total = batch.leadInFrames + batch.frames;
    const std::size_t keep = std::min(total, kTruePeakLeadInFrames);
    to.assign(from.begin() + static_cast<std::ptrdiff_t>((total - keep) * channels),
              from.begin() + static_cast<std::ptrdiff_t>(total * channels));
    leadIn.leadInFrames = keep;
}

// Starts a batch to fill with the lead-in kept.
template <SampleKind kind>
void startBatch(Batch& batch, const Batch& leadIn) {
    auto& samples = samplesOf<kind>(batch);
    const auto& kept = samplesOf<kind>(leadIn);
    samples.assign(kept.begin(), kept.end());
    batch.leadInFrames = leadIn.leadInFrames;
    batch.frames = 0;
}

constexpr std::size_t kLevelsMeter = 0;  // meter 0: integrated loudness and range; the others true peak

// The gating constants of BS.1770 and EBU Tech 3342, as energies and
// factors, computed as libebur128 computes them, so that blocks gated here
// give what its meters give.
double absoluteGateEnergy() { return std::pow(10.0, (-70.0 + 0.691) / 10.0); }
double relativeGateFactor() { return std::pow(10.0, -10.0 / 10.0); }
double rangeGateFactor() { return std::pow(10.0, -20.0 / 10.0); }
double energyToLoudness(double energy) { return 10 * (std::log(energy) / std::log(10.0)) - 0.691; }
double loudnessToEnergy(double lufs) { return std::pow(10.0, (lufs + 0.691) / 10.0); }

}  // namespace

struct LoudnessWork {
    int channels = 0;
    std::optional<SampleKind> kind;  // of the first block; others are ignored
    std::size_t batchFrames = 0;     // frames of kLoudnessBatchBytes, once the kind is known
    std::vector<ebur128_state*> meters;  // kLevelsMeter, then the true-peak meters
    // Per true-peak meter, the largest peak per channel of the steps it took;
    // each written by its worker alone, read after the workers are joined. The
    // largest of them all is the true peak (a channel's own may lack steps
    // passed over because another channel's peak was higher).
    std::vector<std::array<double, kMaxChannels>> truePeaks;
    // Per true-peak meter, the frame of the recording after the last it took.
    std::vector<std::int64_t> truePeakNext;
    // Steps of a batch whose frames are too quiet to raise the true peak found
    // so far by any meter are passed over: each frame's true peak is at most
    // truePeakGain times the largest magnitude of the frames it depends on.
    double truePeakGain = 0;
    std::atomic<double> truePeakSoFar{0};
    std::int64_t framesBatched = 0;  // the caller's: frames put into batches so far

    std::mutex mutex;
    std::condition_variable_any changed;
    // Guarded by the mutex:
    std::vector<std::unique_ptr<Batch>> batches;
    std::vector<Batch*> freeBatches;
    std::vector<std::deque<Batch*>> queues;  // per meter, in order
    bool closed = false;                     // no more batches will come
    bool failed = false;                     // a meter or a worker gave up: results are lost
    bool meterRefused = false;               // ... because a meter refused samples (else: no memory)
    // The caller's alone:
    Batch* filling = nullptr;
    Batch leadIn;                            // the frames before the batch being filled
    std::size_t nextPeakMeter = 1;
    bool finished = false;

    std::vector<std::jthread> workers;  // one per meter
    // The levels meter's worker's alone until it is joined: the frames it has
    // taken, their 100 ms hops, and the blocks read off the meter at each hop.
    std::size_t hopFrames = 1;
    std::uint64_t levelsFrames = 0;
    LoudnessBlocks blocks;

    ~LoudnessWork() {
        for (std::jthread& worker : workers) {
            if (worker.joinable()) {
                worker.request_stop();
                worker.join();
            }
        }
        for (ebur128_state*& meter : meters) {
            if (meter) ebur128_destroy(&meter);
        }
    }

    void markFailed() {
        try {
            const std::lock_guard lock(mutex);
            failed = true;
        } catch (...) {
        }
        changed.notify_all();
    }

    // The levels meter takes a batch 100 ms hop by hop: at the end of each hop
    // it has just measured its newest gating block (from the fourth hop on),
    // and every tenth hop from the thirtieth on its newest short-term block,
    // which are read off it here as its momentary and short-term loudness.
    bool takeLevels(ebur128_state* meter, const Batch& batch) {
        std::size_t first = batch.leadInFrames;
        std::size_t left = batch.frames;
        while (left > 0) {
            const std::size_t take = std::min<std::size_t>(left, hopFrames - levelsFrames % hopFrames);
            if (addFrames(meter, *kind, batch, first, take) != EBUR128_SUCCESS) return false;
            first += take;
            left -= take;
            levelsFrames += take;
            if (levelsFrames % hopFrames == 0 && !keepBlocks(meter, levelsFrames / hopFrames)) return false;
        }
        return true;
    }

    bool keepBlocks(ebur128_state* meter, std::uint64_t hops) {
        double lufs = 0;
        if (hops >= 4) {
            if (ebur128_loudness_momentary(meter, &lufs) != EBUR128_SUCCESS) return false;
            if (const double energy = loudnessToEnergy(lufs); energy >= absoluteGateEnergy())
                blocks.gating.push_back(energy);
        }
        if (hops >= 30 && hops % 10 == 0) {
            if (ebur128_loudness_shortterm(meter, &lufs) != EBUR128_SUCCESS) return false;
            if (const double energy = loudnessToEnergy(lufs); energy >= absoluteGateEnergy())
                blocks.shortTerm.push_back(energy);
        }
        return true;
    }

    // Feeds one batch to meter `index`: the levels meter takes the batch; a
    // true-peak meter takes it step by step, each step that could raise the
    // true peak found so far after the frames before it where it did not take
    // them, and keeps the peaks found in those steps.
    bool take(std::size_t index, const Batch& batch) {
        ebur128_state* meter = meters[index];
        if (index == kLevelsMeter) return takeLevels(meter, batch);
        const auto channelCount = static_cast<std::size_t>(channels);
        std::int64_t& next = truePeakNext[index - 1];
        for (std::size_t step = 0; step < batch.frames; step += kTruePeakStepFrames) {
            const std::size_t first = batch.leadInFrames + step;
            const std::size_t frames = std::min(kTruePeakStepFrames, batch.frames - step);
            const std::size_t leadIn = std::min(first, kTruePeakLeadInFrames);
            const std::int64_t recordingFrame = batch.firstFrame + static_cast<std::int64_t>(step);
            if (truePeakGain > 0 &&
                truePeakGain * largestMagnitude(*kind, batch, channelCount, first - leadIn, leadIn + frames) <=
                    truePeakSoFar.load(std::memory_order_relaxed))
                continue;
            if (next != recordingFrame && leadIn > 0 &&
                addFrames(meter, *kind, batch, first - leadIn, leadIn) != EBUR128_SUCCESS)
                return false;
            if (addFrames(meter, *kind, batch, first, frames) != EBUR128_SUCCESS) return false;
            next = recordingFrame + static_cast<std::int64_t>(frames);
            for (int channel = 0; channel < channels; ++channel) {
                double peak = 0;
                if (ebur128_prev_true_peak(meter, static_cast<unsigned>(channel), &peak) != EBUR128_SUCCESS) return false;
                double& largest = truePeaks[index - 1][static_cast<std::size_t>(channel)];
                if (peak > largest) largest = peak;
                double soFar = truePeakSoFar.load(std::memory_order_relaxed);
                while (peak > soFar && !truePeakSoFar.compare_exchange_weak(soFar, peak, std::memory_order_relaxed)) {
                }
            }
        }
        return true;
    }

    // Feeds meter `index` every batch queued for it, until the batches end or
    // a stop is requested.
    void work(std::size_t index, std::stop_token stop) noexcept {
        try {
            for (;;) {
                Batch* batch = nullptr;
                bool skip = false;  // after a failure batches are only passed on
                {
                    std::unique_lock lock(mutex);
                    changed.wait(lock, stop, [&] { return !queues[index].empty() || closed; });
                    if (stop.stop_requested() || queues[index].empty()) return;
                    batch = queues[index].front();
                    queues[index].pop_front();
                    skip = failed;
                }
                const bool taken = skip || take(index, *batch);
                {
                    const std::lock_guard lock(mutex);
                    if (!taken) failed = meterRefused = true;
                    if (--batch->readersLeft == 0) freeBatches.push_back(batch);
                }
                changed.notify_all();
            }
        } catch (...) {
            markFailed();
        }
    }

    // A batch to fill, once one is free; none when the work has failed.
    Batch* freeBatch() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !freeBatches.empty() || failed; });
        if (failed) return nullptr;
        Batch* batch = freeBatches.back();
        freeBatches.pop_back();
        return batch;
    }

    // Queues the batch for the levels meter and the next true-peak meter.
    void dispatch(Batch* batch) {
        batch->peakMeter = nextPeakMeter;
        nextPeakMeter = nextPeakMeter + 1 < meters.size() ? nextPeakMeter + 1 : 1;
        {
            const std::lock_guard lock(mutex);
            batch->readersLeft = 2;
            queues[kLevelsMeter].push_back(batch);
            queues[batch->peakMeter].push_back(batch);
        }
        changed.notify_all();
    }
};

bool loudnessAvailable() { return true; }

std::variant<LoudnessMeter, LoudnessFailure> startLoudness(int channels, std::int32_t sampleRate,
                                                           std::uint64_t channelMask, int truePeakWorkers) {
    if (channels < 1 || channels > kMaxChannels || sampleRate < 16 || sampleRate > 2822400 || truePeakWorkers < 0 ||
        truePeakWorkers > kMaxTruePeakWorkers)
        return LoudnessFailure::BadFormat;
    if (truePeakWorkers == 0)
        truePeakWorkers = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, kMaxTruePeakWorkers);
    try {
        LoudnessMeter meter{{new LoudnessWork, [](LoudnessWork* work) { delete work; }}};
        LoudnessWork& work = *meter.work;
        work.channels = channels;
        work.hopFrames = static_cast<std::size_t>((sampleRate + 5) / 10);  // libebur128's 100 ms
        const auto meters = static_cast<std::size_t>(1 + truePeakWorkers);
        work.meters.assign(meters, nullptr);
        work.truePeaks.assign(meters - 1, {});
        work.truePeakNext.assign(meters - 1, -1);
        work.truePeakGain = truePeakGain(sampleRate);
        work.queues.resize(meters);
        for (std::size_t index = 0; index < meters; ++index) {
            const int mode = index == kLevelsMeter ? EBUR128_MODE_I | EBUR128_MODE_LRA : EBUR128_MODE_TRUE_PEAK;
            work.meters[index] =
                ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(sampleRate), mode);
            if (!work.meters[index]) return LoudnessFailure::OutOfMemory;
            if (!positionChannels(work.meters[index], channels, channelMask)) return LoudnessFailure::BadFormat;
        }
        // Enough batches for every true-peak meter to have one waiting.
        for (std::size_t count = 0; count < 2 * meters + 1; ++count) {
            work.batches.push_back(std::make_unique<Batch>());
            work.freeBatches.push_back(work.batches.back().get());
        }
        for (std::size_t index = 0; index < meters; ++index)
            work.workers.emplace_back([&work, index](std::stop_token stop) { work.work(index, stop); });
        return meter;
    } catch (...) {
        // Threads already started are stopped and joined by the work's destructor.
        return LoudnessFailure::OutOfMemory;
    }
}

template <SampleKind kind>
void addLoudnessBlock(LoudnessMeter& meter, const stream::ChannelSamples<kind>& block) {
    LoudnessWork* work = meter.work.get();
    if (!work || work->finished || block.channels != work->channels) return;
    const auto channels = static_cast<std::size_t>(work->channels);
    if (!work->kind) {
        work->kind = kind;
        const std::size_t sampleBytes = sizeof(typename std::remove_reference_t<decltype(samplesOf<kind>(work->leadIn))>::value_type);
        work->batchFrames = std::max<std::size_t>(1, kLoudnessBatchBytes / (channels * sampleBytes));
    }
    if (*work->kind != kind) return;
    const std::size_t frameBytes = channels * stream::fileSampleWidth<kind>();
    std::size_t frame = 0;
    try {
        while (frame < block.frames) {
            if (!work->filling) {
                work->filling = work->freeBatch();
                if (!work->filling) return;  // the work has failed
                startBatch<kind>(*work->filling, work->leadIn);
                work->filling->firstFrame = work->framesBatched;
            }
            Batch& batch = *work->filling;
            const std::size_t take = std::min(work->batchFrames - batch.frames, block.frames - frame);
            appendFrames<kind>(batch, block.bytes + frame * frameBytes, take, channels);
            frame += take;
            work->framesBatched += static_cast<std::int64_t>(take);
            if (batch.frames == work->batchFrames) {
                keepLeadIn<kind>(work->leadIn, batch, channels);
                work->dispatch(&batch);
                work->filling = nullptr;
            }
        }
    } catch (...) {
        work->markFailed();
    }
}

template void addLoudnessBlock<SampleKind::Int16>(LoudnessMeter&, const stream::ChannelSamples<SampleKind::Int16>&);
template void addLoudnessBlock<SampleKind::Int24>(LoudnessMeter&, const stream::ChannelSamples<SampleKind::Int24>&);
template void addLoudnessBlock<SampleKind::Int32>(LoudnessMeter&, const stream::ChannelSamples<SampleKind::Int32>&);
template void addLoudnessBlock<SampleKind::Float32>(LoudnessMeter&,
                                                    const stream::ChannelSamples<SampleKind::Float32>&);
template void addLoudnessBlock<SampleKind::Float64>(LoudnessMeter&,
                                                    const stream::ChannelSamples<SampleKind::Float64>&);

std::variant<Loudness, LoudnessFailure> finishLoudness(LoudnessMeter& meter) {
    LoudnessWork* work = meter.work.get();
    if (!work) return LoudnessFailure::NotAvailable;
    if (!work->finished) {
        work->finished = true;
        if (work->filling && work->filling->frames > 0) work->dispatch(work->filling);
        work->filling = nullptr;
        {
            const std::lock_guard lock(work->mutex);
            work->closed = true;
        }
        work->changed.notify_all();
        for (std::jthread& worker : work->workers) {
            if (worker.joinable()) worker.join();
        }
    }
    if (work->failed) return work->meterRefused ? LoudnessFailure::MeterFailed : LoudnessFailure::OutOfMemory;
    Loudness loudness;
    double integrated = 0;
    ebur128_state* levels = work->meters[kLevelsMeter];
    if (ebur128_loudness_global(levels, &integrated) == EBUR128_SUCCESS && std::isfinite(integrated)) {
        loudness.integratedLufs = integrated;
        double range = 0;
        if (ebur128_loudness_range(levels, &range) == EBUR128_SUCCESS && std::isfinite(range))
            loudness.rangeLu = range;
    }
    try {
        loudness.blocks = std::move(work->blocks);
    } catch (...) {
        return LoudnessFailure::OutOfMemory;
    }
    double truePeak = 0;
    for (const auto& peaks : work->truePeaks)
        for (const double peak : peaks) truePeak = std::max(truePeak, peak);
    if (truePeak > 0 && std::isfinite(truePeak)) loudness.truePeakDbtp = 20 * std::log10(truePeak);
    if (loudness.truePeakDbtp && loudness.integratedLufs) loudness.plrDb = *loudness.truePeakDbtp - *loudness.integratedLufs;
    return loudness;
}

AlbumLoudness albumLoudness(std::span<const LoudnessBlocks* const> recordings) {
    AlbumLoudness album;
    // Integrated: the mean of the blocks above the relative gate, which lies
    // 10 LU below the mean of them all (all are above the absolute gate).
    double sum = 0;
    std::size_t count = 0;
    for (const LoudnessBlocks* recording : recordings)
        for (const double energy : recording->gating) sum += energy, ++count;
    if (count == 0) return album;
    const double relativeGate = sum / static_cast<double>(count) * relativeGateFactor();
    double gated = 0;
    std::size_t gatedCount = 0;
    for (const LoudnessBlocks* recording : recordings)
        for (const double energy : recording->gating)
            if (energy >= relativeGate) gated += energy, ++gatedCount;
    if (gatedCount == 0) return album;
    const double integrated = energyToLoudness(gated / static_cast<double>(gatedCount));
    if (!std::isfinite(integrated)) return album;
    album.integratedLufs = integrated;

    // Range: between the 10th and the 95th percentile of the short-term
    // blocks above a gate 20 LU below their mean.
    std::vector<double> shortTerm;
    for (const LoudnessBlocks* recording : recordings)
        shortTerm.insert(shortTerm.end(), recording->shortTerm.begin(), recording->shortTerm.end());
    album.rangeLu = 0.0;
    if (shortTerm.empty()) return album;
    std::sort(shortTerm.begin(), shortTerm.end());
    double power = 0;
    for (const double energy : shortTerm) power += energy;
    const double rangeGate = rangeGateFactor() * (power / static_cast<double>(shortTerm.size()));
    const auto firstAbove = std::find_if(shortTerm.begin(), shortTerm.end(), [&](double e) { return e >= rangeGate; });
    const auto above = static_cast<std::size_t>(shortTerm.end() - firstAbove);
    if (above == 0) return album;
    const double high = firstAbove[static_cast<std::size_t>(static_cast<double>(above - 1) * 0.95 + 0.5)];
    const double low = firstAbove[static_cast<std::size_t>(static_cast<double>(above - 1) * 0.1 + 0.5)];
    const double range = energyToLoudness(high) - energyToLoudness(low);
    if (std::isfinite(range)) album.rangeLu = range;
    return album;
}

#else  // no libebur128

struct LoudnessWork {};
AlbumLoudness albumLoudness(std::span<const LoudnessBlocks* const>) { return {}; }

bool loudnessAvailable() { return false; }

std::variant<LoudnessMeter, LoudnessFailure> startLoudness(int, std::int32_t, std::uint64_t, int) {
    return LoudnessFailure::NotAvailable;
}

template <stream::SampleKind kind>
void addLoudnessBlock(LoudnessMeter&, const stream::ChannelSamples<kind>&) {}

template void addLoudnessBlock<stream::SampleKind::Int16>(LoudnessMeter&,
                                                        const stream::ChannelSamples<stream::SampleKind::Int16>&);
template void addLoudnessBlock<stream::SampleKind::Int24>(LoudnessMeter&,
                                                        const stream::ChannelSamples<stream::SampleKind::Int24>&);
template void addLoudnessBlock<stream::SampleKind::Int32>(LoudnessMeter&,
                                                        const stream::ChannelSamples<stream::SampleKind::Int32>&);
template void addLoudnessBlock<stream::SampleKind::Float32>(LoudnessMeter&,
                                                          const stream::ChannelSamples<stream::SampleKind::Float32>&);
template void addLoudnessBlock<stream::SampleKind::Float64>(LoudnessMeter&,
                                                          const stream::ChannelSamples<stream::SampleKind::Float64>&);

std::variant<Loudness, LoudnessFailure> finishLoudness(LoudnessMeter&) { return LoudnessFailure::NotAvailable; }

#endif

}  // namespace vantorel::measure
