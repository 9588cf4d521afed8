#include "measure/loudness.h"

#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "measure/dynamics.h"

#if VANTOREL_HAS_LOUDNESS
#include <ebur128.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>
#endif

namespace vantorel::measure {

std::string_view loudnessFailureMessage(LoudnessFailure failure) {
    switch (failure) {
        case LoudnessFailure::NotAvailable: return "loudness is not measured by this build (no libebur128)";
        case LoudnessFailure::BadFormat: return "loudness cannot be measured for this channel count or sample rate";
        case LoudnessFailure::OutOfMemory: return "not enough memory to measure the loudness";
    }
    return "loudness could not be measured";
}

#if VANTOREL_HAS_LOUDNESS

namespace {

using wave::SampleKind;

// Copied frames for the meters, in the libebur128 type of the blocks' kind:
// short (16-bit), int (24-bit moved to the top bits, and 32-bit), float, double.
struct Batch {
    std::vector<short> shorts;
    std::vector<int> ints;
    std::vector<float> floats;
    std::vector<double> doubles;
    std::size_t frames = 0;
    int readersLeft = 0;  // meters yet to take it; guarded by LoudnessWork::mutex
};

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

// The mask that stands for "unknown" with more than two channels: front left,
// front right, centre, LFE, back left, back right, side left, side right.
constexpr std::array<int, 8> kDefaultSurroundBits{0, 1, 2, 3, 4, 5, 9, 10};

// Positions every channel of a state from the mask (see the header).
bool positionChannels(ebur128_state* state, int channels, std::uint64_t channelMask) {
    if (channelMask == 0 && channels <= 2) return true;  // libebur128's own: mono, or left and right
    int channel = 0;
    if (channelMask == 0) {
        for (; channel < channels; ++channel) {
            const int position = positionOfMaskBit(kDefaultSurroundBits[static_cast<std::size_t>(channel)]);
            if (ebur128_set_channel(state, static_cast<unsigned>(channel), position) != EBUR128_SUCCESS) return false;
        }
        return true;
    }
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

int addFrames(ebur128_state* state, SampleKind kind, const Batch& batch) {
    switch (kind) {
        case SampleKind::Int16: return ebur128_add_frames_short(state, batch.shorts.data(), batch.frames);
        case SampleKind::Int24:
        case SampleKind::Int32: return ebur128_add_frames_int(state, batch.ints.data(), batch.frames);
        case SampleKind::Float32: return ebur128_add_frames_float(state, batch.floats.data(), batch.frames);
        case SampleKind::Float64: return ebur128_add_frames_double(state, batch.doubles.data(), batch.frames);
    }
    return EBUR128_SUCCESS;
}

// Copies `frames` frames of a block into the end of a batch.
template <SampleKind kind>
void appendFrames(Batch& batch, const std::byte* bytes, std::size_t frames, std::size_t channels) {
    const std::size_t samples = frames * channels;
    const std::size_t at = batch.frames * channels;
    if constexpr (kind == SampleKind::Int16) {
        batch.shorts.resize(at + samples);
        std::memcpy(batch.shorts.data() + at, bytes, samples * sizeof(short));
    } else if constexpr (kind == SampleKind::Int24) {
        batch.ints.resize(at + samples);
        for (std::size_t index = 0; index < samples; ++index) {
            const std::byte* sample = bytes + 3 * index;
            const std::int32_t value = wave::decodeInt24(std::to_integer<std::uint8_t>(sample[0]),
                                                         std::to_integer<std::uint8_t>(sample[1]),
                                                         std::to_integer<std::uint8_t>(sample[2]));
            // The 24-bit value in the top 24 bits: times 256, exact in 32 bits.
            batch.ints[at + index] = value * 256;
        }
    } else if constexpr (kind == SampleKind::Int32) {
        batch.ints.resize(at + samples);
        std::memcpy(batch.ints.data() + at, bytes, samples * sizeof(int));
    } else if constexpr (kind == SampleKind::Float32) {
        batch.floats.resize(at + samples);
        std::memcpy(batch.floats.data() + at, bytes, samples * sizeof(float));
    } else {
        batch.doubles.resize(at + samples);
        std::memcpy(batch.doubles.data() + at, bytes, samples * sizeof(double));
    }
    batch.frames += frames;
}

// The meters' roles: 0 integrated loudness and range, 1 true peak.
constexpr std::size_t kLevelsMeter = 0;
constexpr std::size_t kPeakMeter = 1;
constexpr std::array<int, 2> kMeterModes{EBUR128_MODE_I | EBUR128_MODE_LRA, EBUR128_MODE_TRUE_PEAK};

// The rate a finished meter is set to while it is kept for an album.
constexpr unsigned long kKeptMeterRate = 1000;

}  // namespace

// The integrated-loudness meter of a finished recording; destroys it.
struct LoudnessBlocks {
    ebur128_state* state = nullptr;
    explicit LoudnessBlocks(ebur128_state* meter) : state(meter) {}
    LoudnessBlocks(const LoudnessBlocks&) = delete;
    LoudnessBlocks& operator=(const LoudnessBlocks&) = delete;
    ~LoudnessBlocks() {
        if (state) ebur128_destroy(&state);
    }
};

struct LoudnessWork {
    int channels = 0;
    std::optional<SampleKind> kind;  // of the first block; others are ignored
    std::array<ebur128_state*, 2> meters{};

    std::mutex mutex;
    std::condition_variable_any changed;
    // Guarded by the mutex:
    std::array<std::unique_ptr<Batch>, kLoudnessBatches> batches;
    std::vector<Batch*> freeBatches;
    std::array<std::deque<Batch*>, 2> queues;  // per meter, in order
    bool closed = false;                       // no more batches will come
    bool failed = false;                       // a meter or a worker gave up: results are lost
    // The caller's alone:
    Batch* filling = nullptr;
    bool finished = false;

    std::array<std::jthread, 2> workers;
    std::shared_ptr<LoudnessBlocks> blocks;  // the levels meter, once finished

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
                const bool added = skip || addFrames(meters[index], *kind, *batch) == EBUR128_SUCCESS;
                {
                    const std::lock_guard lock(mutex);
                    if (!added) failed = true;
                    if (--batch->readersLeft == 0) {
                        batch->frames = 0;
                        freeBatches.push_back(batch);
                    }
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

    void dispatch(Batch* batch) {
        {
            const std::lock_guard lock(mutex);
            batch->readersLeft = 2;
            queues[kLevelsMeter].push_back(batch);
            queues[kPeakMeter].push_back(batch);
        }
        changed.notify_all();
    }
};

bool loudnessAvailable() { return true; }

std::variant<LoudnessMeter, LoudnessFailure> startLoudness(int channels, std::int32_t sampleRate,
                                                           std::uint64_t channelMask) {
    if (channels < 1 || channels > kMaxChannels || sampleRate < 16 || sampleRate > 2822400)
        return LoudnessFailure::BadFormat;
    try {
        LoudnessMeter meter{{new LoudnessWork, [](LoudnessWork* work) { delete work; }}};
        LoudnessWork& work = *meter.work;
        work.channels = channels;
        for (std::size_t index = 0; index < work.meters.size(); ++index) {
            work.meters[index] = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(sampleRate),
                                              kMeterModes[index]);
            if (!work.meters[index]) return LoudnessFailure::OutOfMemory;
            if (!positionChannels(work.meters[index], channels, channelMask)) return LoudnessFailure::BadFormat;
        }
        for (auto& batch : work.batches) {
            batch = std::make_unique<Batch>();
            work.freeBatches.push_back(batch.get());
        }
        for (std::size_t index = 0; index < work.workers.size(); ++index) {
            work.workers[index] = std::jthread([&work, index](std::stop_token stop) { work.work(index, stop); });
        }
        return meter;
    } catch (...) {
        // Threads already started are stopped and joined by the work's destructor.
        return LoudnessFailure::OutOfMemory;
    }
}

template <SampleKind kind>
void addLoudnessBlock(LoudnessMeter& meter, const wave::ChannelSamples<kind>& block) {
    LoudnessWork* work = meter.work.get();
    if (!work || work->finished || block.channels != work->channels) return;
    if (!work->kind) work->kind = kind;
    if (*work->kind != kind) return;
    const auto channels = static_cast<std::size_t>(work->channels);
    const std::size_t frameBytes = channels * wave::fileSampleWidth<kind>();
    std::size_t frame = 0;
    try {
        while (frame < block.frames) {
            if (!work->filling) work->filling = work->freeBatch();
            if (!work->filling) return;  // the work has failed
            const std::size_t take = std::min(kLoudnessBatchFrames - work->filling->frames, block.frames - frame);
            appendFrames<kind>(*work->filling, block.bytes + frame * frameBytes, take, channels);
            frame += take;
            if (work->filling->frames == kLoudnessBatchFrames) {
                work->dispatch(work->filling);
                work->filling = nullptr;
            }
        }
    } catch (...) {
        work->markFailed();
    }
}

template void addLoudnessBlock<SampleKind::Int16>(LoudnessMeter&, const wave::ChannelSamples<SampleKind::Int16>&);
template void addLoudnessBlock<SampleKind::Int24>(LoudnessMeter&, const wave::ChannelSamples<SampleKind::Int24>&);
template void addLoudnessBlock<SampleKind::Int32>(LoudnessMeter&, const wave::ChannelSamples<SampleKind::Int32>&);
template void addLoudnessBlock<SampleKind::Float32>(LoudnessMeter&,
                                                    const wave::ChannelSamples<SampleKind::Float32>&);
template void addLoudnessBlock<SampleKind::Float64>(LoudnessMeter&,
                                                    const wave::ChannelSamples<SampleKind::Float64>&);

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
    if (work->failed) return LoudnessFailure::OutOfMemory;
    if (!work->blocks) {
        try {
            work->blocks = std::make_shared<LoudnessBlocks>(work->meters[kLevelsMeter]);
        } catch (...) {
            return LoudnessFailure::OutOfMemory;
        }
        work->meters[kLevelsMeter] = nullptr;  // the blocks own it now
    }

    Loudness loudness;
    double integrated = 0;
    if (ebur128_loudness_global(work->blocks->state, &integrated) == EBUR128_SUCCESS && std::isfinite(integrated)) {
        loudness.integratedLufs = integrated;
        double range = 0;
        if (ebur128_loudness_range(work->blocks->state, &range) == EBUR128_SUCCESS && std::isfinite(range))
            loudness.rangeLu = range;
    }
    // Only the gating blocks are needed from here on: one channel at a low
    // rate lets the meter drop its 3-second sample window (libebur128 keeps
    // the finished blocks when its parameters change), so that an album's
    // many kept meters cost a few numbers per 100 ms each.
    if (work->blocks->state) {
        const int changed = ebur128_change_parameters(work->blocks->state, 1, kKeptMeterRate);
        if (changed != EBUR128_SUCCESS && changed != EBUR128_ERROR_NO_CHANGE) {
            ebur128_destroy(&work->blocks->state);  // invalid after a failure
            work->blocks->state = nullptr;
        }
    }
    if (work->blocks->state) loudness.blocks = work->blocks;
    double truePeak = 0;
    for (int channel = 0; channel < work->channels; ++channel) {
        double peak = 0;
        if (ebur128_true_peak(work->meters[kPeakMeter], static_cast<unsigned>(channel), &peak) == EBUR128_SUCCESS &&
            peak > truePeak)
            truePeak = peak;
    }
    if (truePeak > 0 && std::isfinite(truePeak)) loudness.truePeakDbtp = 20 * std::log10(truePeak);
    if (loudness.truePeakDbtp && loudness.integratedLufs) loudness.plrDb = *loudness.truePeakDbtp - *loudness.integratedLufs;
    return loudness;
}

AlbumLoudness albumLoudness(std::span<const std::shared_ptr<LoudnessBlocks>> recordings) {
    std::vector<ebur128_state*> states;
    AlbumLoudness album;
    for (const std::shared_ptr<LoudnessBlocks>& recording : recordings) {
        if (!recording || !recording->state) return album;
        states.push_back(recording->state);
    }
    if (states.empty()) return album;
    double integrated = 0;
    if (ebur128_loudness_global_multiple(states.data(), states.size(), &integrated) == EBUR128_SUCCESS &&
        std::isfinite(integrated)) {
        album.integratedLufs = integrated;
        double range = 0;
        if (ebur128_loudness_range_multiple(states.data(), states.size(), &range) == EBUR128_SUCCESS &&
            std::isfinite(range))
            album.rangeLu = range;
    }
    return album;
}

#else  // no libebur128

struct LoudnessWork {};
struct LoudnessBlocks {};

AlbumLoudness albumLoudness(std::span<const std::shared_ptr<LoudnessBlocks>>) { return {}; }

bool loudnessAvailable() { return false; }

std::variant<LoudnessMeter, LoudnessFailure> startLoudness(int, std::int32_t, std::uint64_t) {
    return LoudnessFailure::NotAvailable;
}

template <wave::SampleKind kind>
void addLoudnessBlock(LoudnessMeter&, const wave::ChannelSamples<kind>&) {}

template void addLoudnessBlock<wave::SampleKind::Int16>(LoudnessMeter&,
                                                        const wave::ChannelSamples<wave::SampleKind::Int16>&);
template void addLoudnessBlock<wave::SampleKind::Int24>(LoudnessMeter&,
                                                        const wave::ChannelSamples<wave::SampleKind::Int24>&);
template void addLoudnessBlock<wave::SampleKind::Int32>(LoudnessMeter&,
                                                        const wave::ChannelSamples<wave::SampleKind::Int32>&);
template void addLoudnessBlock<wave::SampleKind::Float32>(LoudnessMeter&,
                                                          const wave::ChannelSamples<wave::SampleKind::Float32>&);
template void addLoudnessBlock<wave::SampleKind::Float64>(LoudnessMeter&,
                                                          const wave::ChannelSamples<wave::SampleKind::Float64>&);

std::variant<Loudness, LoudnessFailure> finishLoudness(LoudnessMeter&) { return LoudnessFailure::NotAvailable; }

#endif

}  // namespace vantorel::measure
