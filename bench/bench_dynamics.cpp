// The per-file numbers on their own: the dynamics pass (peaks, full-scale
// counts, DR block sums) and the loudness meter on an hour of stereo 44.1 kHz
// samples in memory, handed on in pieces of the loader's size.
//
// For each sample kind (16-, 24-, 32-bit, float), best of R runs:
//   copy      - memcpy of every piece into one piece-sized buffer: what reading
//               the file from the page cache costs at least (cat's floor);
//   slices    - the slice scan alone (analysis::scanSliceLevels);
//   dynamics  - the dynamics pass alone;
// each from memory (the whole hour, as a first touch of the bytes would), and
// from the cache (one piece over and over: the case in a job, where the scan
// reads each piece right after it was read), a quiet piece and a loud one
// clipped all over (where the dynamics pass counts samples at full scale in a
// second look at every chunk). In GB/s of file bytes.
//
// Loudness: the whole meter (both workers) on the 16-bit hour, start to
// finish. With --wav FILE the same hour is written there as a wave file, and
// `ffmpeg -nostdin -v error -i FILE -af ebur128=peak=true -f null -` is timed on
// it, alternating with the meter, best of R each.
//
// Usage: bench_dynamics [--repeats R] [--wav FILE] [--no-loudness] [--no-dynamics] [--true-peak-workers N]
//   N: the loudness meter's true-peak workers (default: one per processor)

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "analysis/slice_levels.h"
#include "measure/dynamics.h"
#include "measure/loudness.h"
#include "wave/sample_loader.h"
#include "wave_writer.h"

namespace {

using namespace vantorel;
using stream::SampleKind;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr std::size_t kFrames = std::size_t{3600} * kRate;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A music-like signal: noise through a gentle low-pass, its level swelling by
// 24 dB over minutes, loud parts clipped, now and then a sample at full scale. Values 1.0 =
// full scale.
class Music {
public:
    double next(int channel) {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        const double white = static_cast<double>(state_ >> 11) / 9007199254740992.0 * 2 - 1;
        double& smooth = smooth_[static_cast<std::size_t>(channel)];
        smooth = 0.7 * smooth + 0.3 * white;
        if (channel == 0 && ++sample_ % 4096 == 0)
            level_ = std::pow(10.0, (-12 + 12 * std::sin(static_cast<double>(sample_) / kRate / 40)) / 20);
        return (state_ >> 60) == 0 && (sample_ % 100003) == 0 ? 1.0 : std::clamp(2 * level_ * smooth, -1.0, 1.0);
    }

private:
    std::uint64_t state_ = 1;
    std::int64_t sample_ = 0;
    double level_ = 0.125;
    double smooth_[kChannels]{};
};

template <SampleKind kind>
std::vector<std::byte> hourOf() {
    constexpr std::size_t width = stream::fileSampleWidth<kind>();
    std::vector<std::byte> bytes(kFrames * kChannels * width + stream::kBlockPadding);
    Music music;
    std::byte* at = bytes.data();
    for (std::size_t sample = 0; sample < kFrames * kChannels; ++sample, at += width) {
        const double x = music.next(static_cast<int>(sample % kChannels));
        if constexpr (kind == SampleKind::Float32) {
            const auto value = static_cast<float>(x);
            std::memcpy(at, &value, 4);
        } else {
            const double fullScale = std::ldexp(1.0, static_cast<int>(width) * 8 - 1);
            const auto code = static_cast<std::int64_t>(std::min(std::nearbyint(x * fullScale), fullScale - 1));
            for (std::size_t byte = 0; byte < width; ++byte)
                at[byte] = static_cast<std::byte>(static_cast<std::uint64_t>(code) >> (8 * byte));
        }
    }
    return bytes;
}

// Where the pieces come from.
enum class Source { Memory, QuietPiece, LoudPiece };
constexpr const char* kSourceNames[] = {"from memory      ", "from cache, quiet", "from cache, loud "};

// Hands the hour on in pieces of the loader's size; from the cache, every
// piece is the one at the start (quiet) or 63 s in (the loudest, clipped).
template <SampleKind kind, class Receive>
void eachPiece(const std::vector<std::byte>& bytes, Source source, Receive receive) {
    constexpr std::size_t frameBytes = kChannels * stream::fileSampleWidth<kind>();
    const std::size_t pieceFrames = wave::kPieceBytes / frameBytes;
    const std::byte* piece = bytes.data() + (source == Source::LoudPiece ? 63 * kRate * frameBytes : 0);
    for (std::size_t frame = 0; frame < kFrames; frame += pieceFrames) {
        stream::ChannelSamples<kind> block;
        block.channels = kChannels;
        block.firstFrame = static_cast<std::int64_t>(frame);
        block.frames = std::min(pieceFrames, kFrames - frame);
        block.bytes = source == Source::Memory ? bytes.data() + frame * frameBytes : piece;
        receive(block);
    }
}

template <class Run>
double bestOf(int repeats, Run run) {
    double best = 1e9;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const auto start = Clock::now();
        run();
        best = std::min(best, secondsSince(start));
    }
    return best;
}

template <SampleKind kind>
void benchKind(const char* name, int repeats) {
    const std::vector<std::byte> bytes = hourOf<kind>();
    const double gigabytes = static_cast<double>(bytes.size() - stream::kBlockPadding) / 1e9;
    std::vector<std::byte> piece(wave::kPieceBytes);
    for (const Source source : {Source::Memory, Source::QuietPiece, Source::LoudPiece}) {
        const double copy = bestOf(repeats, [&] {
            eachPiece<kind>(bytes, source, [&](const auto& block) {
                std::memcpy(piece.data(), block.bytes, block.frames * kChannels * stream::fileSampleWidth<kind>());
            });
        });
        const double slices = bestOf(repeats, [&] {
            analysis::SliceScan scan;
            scan.grid = analysis::computeSliceGrid(kRate, static_cast<std::int64_t>(kFrames));
            int levels = 0;
            const analysis::SliceLevelReceiver receiver = [&](analysis::Channel, int) { ++levels; };
            eachPiece<kind>(bytes, source, [&](const auto& block) { scanSliceLevels(scan, block, receiver); });
        });
        measure::Dynamics dynamics;
        const double measuring = bestOf(repeats, [&] {
            std::optional<measure::DynamicsMeter> meter = measure::startDynamics(kChannels, kRate, 0);
            eachPiece<kind>(bytes, source, [&](const auto& block) { addDynamicsBlock(*meter, block); });
            dynamics = measure::finishDynamics(*meter);
        });
        std::printf("%-7s %s: %.2f GB  copy %5.1f GB/s  slices %5.1f GB/s  dynamics %5.1f GB/s (%.3f s)  DR%d\n",
                    name, kSourceNames[static_cast<int>(source)], gigabytes, gigabytes / copy, gigabytes / slices,
                    gigabytes / measuring, measuring, dynamics.dr.value_or(-1));
    }
}

// The loudness of the 16-bit hour, start to finish; alternating with ffmpeg on
// the same samples when a wave file is given.
void benchLoudness(int repeats, const char* wavePath, int truePeakWorkers) {
    const std::vector<std::byte> bytes = hourOf<SampleKind::Int16>();
    if (wavePath) {
        const auto* samples = reinterpret_cast<const std::int16_t*>(bytes.data());
        const bool written = test_support::writeWaveFile(
            wavePath, {test_support::WaveKind::Int16, kChannels, kRate}, static_cast<std::int64_t>(kFrames),
            [&](int channel, std::int64_t frame) {
                return static_cast<double>(samples[static_cast<std::size_t>(frame) * kChannels + static_cast<std::size_t>(channel)]);
            });
        if (!written) {
            std::fprintf(stderr, "bench_dynamics: cannot write %s\n", wavePath);
            return;
        }
        std::string command = "cat '" + std::string(wavePath) + "' > /dev/null";
        if (std::system(command.c_str()) != 0) return;  // into the page cache
    }
    double best = 1e9;
    double bestProcessor = 0;
    double bestFfmpeg = 1e9;
    measure::Loudness loudness;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const auto start = Clock::now();
        const std::clock_t processorStart = std::clock();
        auto started = measure::startLoudness(kChannels, kRate, 0, truePeakWorkers);
        if (auto* meter = std::get_if<measure::LoudnessMeter>(&started)) {
            eachPiece<SampleKind::Int16>(bytes, Source::Memory, [&](const auto& block) { addLoudnessBlock(*meter, block); });
            const auto finished = measure::finishLoudness(*meter);
            if (const auto* found = std::get_if<measure::Loudness>(&finished)) loudness = *found;
        } else {
            std::printf("loudness: %s\n", std::string(measure::loudnessFailureMessage(std::get<measure::LoudnessFailure>(started))).c_str());
            return;
        }
        const double seconds = secondsSince(start);
        if (seconds < best) {
            best = seconds;
            bestProcessor = static_cast<double>(std::clock() - processorStart) / CLOCKS_PER_SEC;
        }
        if (wavePath) {
            const std::string command = "ffmpeg -nostdin -v error -i '" + std::string(wavePath) +
                                        "' -af ebur128=peak=true -f null - > /dev/null 2>&1";
            const auto ffmpegStart = Clock::now();
            if (std::system(command.c_str()) != 0) {
                std::fprintf(stderr, "bench_dynamics: ffmpeg failed\n");
                wavePath = nullptr;
                continue;
            }
            bestFfmpeg = std::min(bestFfmpeg, secondsSince(ffmpegStart));
        }
    }
    if (truePeakWorkers == 0)  // as startLoudness chooses
        truePeakWorkers = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, measure::kMaxTruePeakWorkers);
    std::printf("loudness, 16-bit stereo hour, %d true-peak worker(s): %.2f s, processor time %.2f s "
                "(I %.1f LUFS, LRA %.1f LU, true peak %.1f dBTP)\n", truePeakWorkers, best, bestProcessor,
                loudness.integratedLufs.value_or(NAN), loudness.rangeLu.value_or(NAN),
                loudness.truePeakDbtp.value_or(NAN));
    if (wavePath)
        std::printf("ffmpeg ebur128=peak=true on the same hour: %.2f s  ratio %.2f\n", bestFfmpeg, best / bestFfmpeg);
}

}  // namespace

int main(int argc, char** argv) {
    int repeats = 3;
    const char* wavePath = nullptr;
    bool loudness = true;
    bool dynamics = true;
    int truePeakWorkers = 0;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--repeats" && index + 1 < argc) repeats = std::max(1, std::atoi(argv[++index]));
        else if (argument == "--wav" && index + 1 < argc) wavePath = argv[++index];
        else if (argument == "--no-loudness") loudness = false;
        else if (argument == "--no-dynamics") dynamics = false;
        else if (argument == "--true-peak-workers" && index + 1 < argc) truePeakWorkers = std::atoi(argv[++index]);
        else {
            std::fprintf(stderr, "usage: bench_dynamics [--repeats R] [--wav FILE] [--no-loudness] [--no-dynamics] "
                                 "[--true-peak-workers N]\n");
            return 2;
        }
    }
    if (dynamics) {
        benchKind<SampleKind::Int16>("16-bit", repeats);
        benchKind<SampleKind::Int24>("24-bit", repeats);
        benchKind<SampleKind::Int32>("32-bit", repeats);
        benchKind<SampleKind::Float32>("float", repeats);
    }
    if (loudness) benchLoudness(repeats, wavePath, truePeakWorkers);
    return 0;
}
