// Fuzzes the road from a file on disk to the level histograms: the input bytes
// become a wave file (one temporary file per process, rewritten for every input)
// exactly as given; its header is parsed, the file is opened, and its samples are
// read block by block by the loader and measured by analyseLevels.
//
// A header may claim up to 4 GiB of data, a ds64 chunk far more: the loader reads
// only what the file holds, so a run stays small and fast whatever the claim. The
// reference reading below is bounded the same way: it never walks frames that
// the file does not hold.
//
// Checked against an independent reading of the same bytes:
//  - the loader's blocks: in order, whole frames, the right channels, each sample
//    decoded here from its bytes at info.dataOffset (a frame cut short by the end
//    of the file completed with zero bytes), and the frames handed on;
//  - the slice grid, and every slice's level per channel (peaks found here, NaN
//    never a peak, turned into the largest whole number not above
//    20 log10(full scale / peak)); where the file ends inside a slice that slice
//    is measured as it stands and the later ones are silent;
//  - that where the blocks are cut never matters: the samples decoded here are
//    handed to scanSliceLevels in blocks of sizes chosen from the input, and the
//    levels and histograms must be those of analyseLevels;
//  - every histogram bin (peaks above full scale in bin 0), bins adding up to no
//    more than the slice count, and the scale: one of the eight rows, the lowest
//    whose top holds the highest share.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "analysis/level_distribution.h"
#include "analysis/slice_levels.h"
#include "fuzz_check.h"
#include "platform/files.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"

namespace {

using namespace vantorel;
using analysis::Channel;
using stream::SampleKind;

// The temporary wave file of this process, removed when the process ends.
class ScratchFile {
public:
    ScratchFile() {
        const char* folder = std::getenv("TMPDIR");
        std::string pattern = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") +
                              "/vantorel-load-fuzz-XXXXXX";
        const int descriptor = ::mkstemp(pattern.data());
        FUZZ_CHECK(descriptor >= 0);
        ::close(descriptor);
        path_ = pattern;
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& path() const { return path_; }

    void write(std::span<const std::uint8_t> bytes) const {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        FUZZ_CHECK(file != nullptr);
        FUZZ_CHECK(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
        FUZZ_CHECK(std::fclose(file) == 0);
    }

private:
    std::string path_;
};

const ScratchFile& scratchFile() {
    static const ScratchFile file;
    return file;
}

// A small generator for the fuzzer's own choices (block sizes, frame counts),
// seeded from the input so that every input replays the same way.
class Choices {
public:
    explicit Choices(std::span<const std::uint8_t> input) {
        state_ = 0xcbf29ce484222325u;  // FNV-1a of the input
        for (const std::uint8_t byte : input) state_ = (state_ ^ byte) * 0x100000001b3u;
    }
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    // 0 .. bound - 1 (bound > 0).
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

private:
    std::uint64_t state_;
};

// The kind the samples are loaded as: 1 to 8 channels of 16, 24 or 32 bits, 32
// bits integer for tag 1 and float for tag 3; no other layout passes the header.
std::optional<SampleKind> expectedKind(const wave::WaveInfo& info) {
    if (info.channels < 1 || info.channels > analysis::kMaxChannels) return std::nullopt;
    if (info.bitsPerSample == 16) return SampleKind::Int16;
    if (info.bitsPerSample == 24) return SampleKind::Int24;
    if (info.bitsPerSample == 32 && info.formatTag == 1) return SampleKind::Int32;
    if (info.bitsPerSample == 32 && info.formatTag == 3) return SampleKind::Float32;
    return std::nullopt;
}

// The file's byte at an offset; 0 past its end.
std::uint8_t byteAt(std::span<const std::uint8_t> file, std::uint64_t offset) {
    return offset < file.size() ? file[static_cast<std::size_t>(offset)] : 0;
}

template <SampleKind kind> struct KindFacts;
template <> struct KindFacts<SampleKind::Int16> {
    static constexpr std::uint64_t fileWidth = 2;
    static constexpr double fullScale = 32768.0;
};
template <> struct KindFacts<SampleKind::Int24> {
    static constexpr std::uint64_t fileWidth = 3;
    static constexpr double fullScale = 8388608.0;
};
template <> struct KindFacts<SampleKind::Int32> {
    static constexpr std::uint64_t fileWidth = 4;
    static constexpr double fullScale = 2147483648.0;
};
template <> struct KindFacts<SampleKind::Float32> {
    static constexpr std::uint64_t fileWidth = 4;
    static constexpr double fullScale = 1.0;
};

template <SampleKind kind>
using Element = typename stream::SampleElement<kind>::type;

// One sample as it must stand in memory, from its little-endian bytes at the
// offset: two's complement for the integers (24 bits sign-extended), IEEE for float.
template <SampleKind kind>
Element<kind> decodeSample(std::span<const std::uint8_t> file, std::uint64_t offset) {
    std::uint32_t bits = 0;
    for (std::uint64_t i = 0; i < KindFacts<kind>::fileWidth; ++i) {
        bits |= std::uint32_t{byteAt(file, offset + i)} << (8 * i);
    }
    if constexpr (kind == SampleKind::Int16) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(bits));
    } else if constexpr (kind == SampleKind::Int24) {
        if ((bits & 0x800000u) != 0) bits |= 0xFF000000u;
        return static_cast<std::int32_t>(bits);
    } else if constexpr (kind == SampleKind::Int32) {
        return static_cast<std::int32_t>(bits);
    } else {
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
}

// A sample's magnitude as a double (exact for every kind); NaN for a float NaN.
template <SampleKind kind>
double magnitudeOf(Element<kind> sample) {
    return std::fabs(static_cast<double>(sample));
}

// The samples of the file decoded here, one vector per channel, frames
// 0 .. count - 1 of the data chunk, where count is at most the frames the file
// holds (a frame cut short by the end of the file counts, its missing bytes 0).
template <SampleKind kind>
struct ReferenceSamples {
    std::vector<std::vector<Element<kind>>> channels;
    std::uint64_t frames = 0;
};

std::uint64_t framesHeld(std::span<const std::uint8_t> file, const wave::WaveInfo& info, std::uint64_t frameBytes) {
    const std::uint64_t available = file.size() > info.dataOffset ? file.size() - info.dataOffset : 0;
    return available / frameBytes + (available % frameBytes != 0);
}

template <SampleKind kind>
ReferenceSamples<kind> decodeReference(std::span<const std::uint8_t> file, const wave::WaveInfo& info,
                                       std::uint64_t frames) {
    const auto channels = static_cast<std::uint64_t>(info.channels);
    const std::uint64_t width = KindFacts<kind>::fileWidth;
    ReferenceSamples<kind> reference;
    reference.frames = std::min(frames, framesHeld(file, info, channels * width));
    reference.channels.resize(static_cast<std::size_t>(channels));
    for (std::uint64_t channel = 0; channel < channels; ++channel) {
        auto& samples = reference.channels[static_cast<std::size_t>(channel)];
        samples.reserve(static_cast<std::size_t>(reference.frames));
        for (std::uint64_t frame = 0; frame < reference.frames; ++frame) {
            samples.push_back(decodeSample<kind>(file, info.dataOffset + (frame * channels + channel) * width));
        }
    }
    return reference;
}

template <class T>
bool sameBits(T a, T b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// The file's data bytes of the first `frames` frames, a frame cut short by the
// end of the file completed with zero bytes.
std::vector<std::byte> dataBytesOf(std::span<const std::uint8_t> file, const wave::WaveInfo& info,
                                   std::uint64_t frames, std::uint64_t frameBytes) {
    std::vector<std::byte> data(static_cast<std::size_t>(frames * frameBytes));
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint64_t position = info.dataOffset + i;
        if (position < file.size()) data[i] = static_cast<std::byte>(file[static_cast<std::size_t>(position)]);
    }
    return data;
}

// The loader asked for `frames` frames: its blocks must be whole frames in
// order, the file's bytes (zeros past its end) byte for byte, and it must hand
// on exactly the frames the file holds up to that count.
template <SampleKind kind>
void checkLoader(const platform::ReadOnlyFile& file, std::span<const std::uint8_t> bytes, const wave::WaveInfo& info,
                 const ReferenceSamples<kind>& reference, std::uint64_t frames) {
    FUZZ_CHECK(frames >= reference.frames);
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(info.channels) * KindFacts<kind>::fileWidth;
    const std::vector<std::byte> expected = dataBytesOf(bytes, info, reference.frames, frameBytes);
    std::uint64_t handed = 0;
    const stream::SampleBlockReceiver<kind> receive = [&](const stream::ChannelSamples<kind>& block) {
        FUZZ_CHECK(block.firstFrame >= 0 && static_cast<std::uint64_t>(block.firstFrame) == handed);
        FUZZ_CHECK(block.channels == info.channels);
        const std::uint64_t size = block.frames;
        FUZZ_CHECK(size > 0 && handed + size <= reference.frames);
        FUZZ_CHECK(std::memcmp(block.bytes, expected.data() + handed * frameBytes, size * frameBytes) == 0);
        handed += size;
    };
    const auto loaded = wave::loadSamples<kind>(file, info, frames, receive);
    // The file is as it was when its header was read: nothing can fail.
    FUZZ_CHECK(std::holds_alternative<std::uint64_t>(loaded));
    FUZZ_CHECK(std::get<std::uint64_t>(loaded) == reference.frames);
    FUZZ_CHECK(handed == reference.frames);
}

// Nearest whole number of sampleRate / 10, ties to even, in integers.
std::int64_t expectedSliceLength(std::int32_t sampleRate) {
    const std::int64_t rate = sampleRate;
    const std::int64_t magnitude = rate < 0 ? -rate : rate;
    std::int64_t tenth = magnitude / 10;
    const std::int64_t rest = magnitude % 10;
    if (rest > 5 || (rest == 5 && tenth % 2 == 1)) ++tenth;
    return rate < 0 ? -tenth : tenth;
}

// One (channel, level) the scan must hand on; `unsettled` when the level lies so
// close to a whole number that the double arithmetic cannot settle the bin, and
// either neighbour is a fair answer.
struct ExpectedLevel {
    Channel channel;
    int level;
    bool unsettled;
};

// The levels of the slices 0 .. sliceCount - 1, slice by slice, left before
// right. Slices the reference's frames end inside are measured as they stand;
// the slices after them are silent.
template <SampleKind kind>
std::vector<ExpectedLevel> expectedLevels(const ReferenceSamples<kind>& reference, const analysis::SliceGrid& grid) {
    std::vector<ExpectedLevel> levels;
    const auto frames = static_cast<std::int64_t>(reference.frames);
    for (std::int64_t slice = 0; slice < grid.sliceCount && slice * grid.sliceLength < frames; ++slice) {
        const std::int64_t end = std::min((slice + 1) * grid.sliceLength, frames);
        for (std::size_t channel = 0; channel < reference.channels.size(); ++channel) {
            double peak = 0;
            for (std::int64_t index = slice * grid.sliceLength; index < end; ++index) {
                const auto frame = static_cast<std::size_t>(index);
                const double magnitude = magnitudeOf<kind>(reference.channels[channel][frame]);
                if (magnitude > peak) peak = magnitude;  // a NaN never wins
            }
            if (peak == 0) continue;
            const double decibels = 20.0 * std::log10(KindFacts<kind>::fullScale / peak);
            const Channel name = analysis::channelAt(static_cast<int>(channel));
            if (std::isinf(decibels)) {  // an infinite peak
                levels.push_back({name, analysis::kAboveFullScaleLevel, false});
                continue;
            }
            // Only full scale itself (0 dB) may lie on a whole number.
            const bool unsettled = decibels != 0 && std::fabs(decibels - std::round(decibels)) < 1e-12;
            levels.push_back({name, static_cast<int>(std::floor(decibels)), unsettled});
        }
    }
    return levels;
}

// The file's data bytes behind the reference samples, and the channel count.
struct ReferenceBytes {
    std::vector<std::byte> bytes;
    std::uint64_t channels = 1;
};

// The reference's first `frames` frames handed to the scan in blocks whose sizes
// the input chooses: a few frames, about a slice, anything up to two slices, or
// all the rest. Gives every (channel, level) handed on.
template <SampleKind kind>
std::vector<std::pair<Channel, int>> scanInChosenBlocks(const ReferenceSamples<kind>& reference,
                                                        const ReferenceBytes& data, const analysis::SliceGrid& grid,
                                                        Choices& choices, std::int64_t& slicesDone) {
    std::vector<std::pair<Channel, int>> levels;
    const analysis::SliceLevelReceiver receiver = [&levels](Channel channel, int level) {
        levels.emplace_back(channel, level);
    };
    analysis::SliceScan scan{.grid = grid};
    const int channels = static_cast<int>(data.channels);
    const std::uint64_t frameBytes = data.channels * KindFacts<kind>::fileWidth;
    const std::uint64_t sliceLength = grid.sliceLength > 0 ? static_cast<std::uint64_t>(grid.sliceLength) : 1;
    std::uint64_t first = 0;
    while (first < reference.frames) {
        const std::uint64_t rest = reference.frames - first;
        std::uint64_t size = rest;
        switch (choices.below(4)) {
            case 0: size = 1 + choices.below(3); break;
            case 1: size = sliceLength - 1 + choices.below(3); break;
            case 2: size = 1 + choices.below(2 * sliceLength); break;
            default: break;
        }
        size = std::clamp<std::uint64_t>(size, 1, rest);
        // Each block in a buffer of its own, followed by padding of all ones
        // that the kernels may read but must never use.
        const auto from = data.bytes.begin() + static_cast<std::ptrdiff_t>(first * frameBytes);
        std::vector<std::byte> block(from, from + static_cast<std::ptrdiff_t>(size * frameBytes));
        block.resize(block.size() + stream::kBlockPadding, std::byte{0xFF});
        analysis::scanSliceLevels<kind>(scan,
                                        {.channels = channels,
                                         .firstFrame = static_cast<std::int64_t>(first),
                                         .frames = static_cast<std::size_t>(size),
                                         .bytes = block.data()},
                                        receiver);
        first += size;
    }
    analysis::finishSliceScan(scan, receiver);
    slicesDone = scan.slicesDone;
    return levels;
}

bool isScaleRow(analysis::ShareScale scale) {
    constexpr std::array<analysis::ShareScale, 8> kRows{{
        {10, 5}, {20, 4}, {30, 6}, {40, 4}, {50, 5}, {60, 6}, {80, 4}, {100, 5},
    }};
    return std::any_of(kRows.begin(), kRows.end(), [scale](analysis::ShareScale row) {
        return row.top == scale.top && row.divisions == scale.divisions;
    });
}

// Bins of a file's channels, levels counted: negative ones in bin 0, none above 40.
std::vector<analysis::LevelHistogram> histogramsOf(const std::vector<std::pair<Channel, int>>& levels, int channels) {
    std::vector<analysis::LevelHistogram> histograms(static_cast<std::size_t>(channels));
    for (const auto& [channel, level] : levels) {
        if (level > 40) continue;
        ++histograms[analysis::channelIndex(channel)].bins[static_cast<std::size_t>(std::max(level, 0))];
    }
    return histograms;
}

// Everything that depends on the sample kind: the loader, the levels, the cut
// blocks and the histograms.
template <SampleKind kind>
void checkKind(std::span<const std::uint8_t> bytes, const wave::WaveInfo& info, const platform::ReadOnlyFile& file,
               const analysis::LevelAnalysis& result, Choices& choices) {
    const analysis::SliceGrid& grid = result.grid;
    const std::uint64_t gridFrames = grid.sliceLength > 0 && grid.sliceCount > 0
                                         ? static_cast<std::uint64_t>(grid.sliceCount * grid.sliceLength)
                                         : 0;
    const std::uint64_t claimed = info.sampleCount > 0 ? static_cast<std::uint64_t>(info.sampleCount) : 0;

    // The loader on its own, for the whole claim, the grid's frames or a count
    // chosen around the frames the file holds.
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(info.channels) * KindFacts<kind>::fileWidth;
    const std::uint64_t held = framesHeld(bytes, info, frameBytes);
    std::uint64_t frames = claimed;
    switch (choices.below(3)) {
        case 0: frames = gridFrames; break;
        case 1: frames = choices.below(held + 3); break;
        default: break;
    }
    checkLoader<kind>(file, bytes, info, decodeReference<kind>(bytes, info, frames), frames);

    // The measurement, against the levels found here and the same samples cut
    // into other blocks.
    const ReferenceSamples<kind> reference = decodeReference<kind>(bytes, info, gridFrames);
    const std::vector<ExpectedLevel> expected = expectedLevels<kind>(reference, grid);
    std::int64_t slicesDone = 0;
    const ReferenceBytes data{dataBytesOf(bytes, info, reference.frames, frameBytes),
                              static_cast<std::uint64_t>(info.channels)};
    const auto levels = scanInChosenBlocks<kind>(reference, data, grid, choices, slicesDone);
    const auto sliceLength = static_cast<std::uint64_t>(std::max<std::int64_t>(grid.sliceLength, 1));
    FUZZ_CHECK(static_cast<std::uint64_t>(slicesDone) == (reference.frames + sliceLength - 1) / sliceLength);
    FUZZ_CHECK(levels.size() == expected.size());
    bool unsettled = false;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        FUZZ_CHECK(levels[i].first == expected[i].channel);
        if (expected[i].unsettled) {
            unsettled = true;
            FUZZ_CHECK(std::abs(levels[i].second - expected[i].level) <= 1);
        } else {
            FUZZ_CHECK(levels[i].second == expected[i].level);
        }
    }

    // The cut never matters: analyseLevels' blocks gave the same bins.
    const auto cutHistograms = histogramsOf(levels, info.channels);
    FUZZ_CHECK(result.histograms.size() == cutHistograms.size());
    for (std::size_t channel = 0; channel < cutHistograms.size(); ++channel) {
        FUZZ_CHECK(result.histograms[channel].bins == cutHistograms[channel].bins);
    }
    if (!unsettled) {
        std::vector<std::pair<Channel, int>> expectedPairs;
        for (const ExpectedLevel& level : expected) expectedPairs.emplace_back(level.channel, level.level);
        const auto expectedHistograms = histogramsOf(expectedPairs, info.channels);
        for (std::size_t channel = 0; channel < expectedHistograms.size(); ++channel) {
            FUZZ_CHECK(result.histograms[channel].bins == expectedHistograms[channel].bins);
        }
    }
}

void checkHistogramsAndScale(const wave::WaveInfo& info, const analysis::LevelAnalysis& result) {
    const std::size_t channels =
        info.channels >= 1 && info.channels <= analysis::kMaxChannels ? static_cast<std::size_t>(info.channels) : 0;
    FUZZ_CHECK(result.histograms.size() == channels);
    std::int64_t largest = 0;
    for (const analysis::LevelHistogram& histogram : result.histograms) {
        std::int64_t total = 0;
        for (const std::int64_t count : histogram.bins) {
            FUZZ_CHECK(count >= 0);
            total += count;
            largest = std::max(largest, count);
        }
        FUZZ_CHECK(total <= std::max<std::int64_t>(result.grid.sliceCount, 0));
    }

    // The lowest row whose top holds the highest share (a share on a top takes that row).
    FUZZ_CHECK(isScaleRow(result.scale));
    const double highest =
        result.grid.sliceCount > 0 ? static_cast<double>(largest) * 100.0 / static_cast<double>(result.grid.sliceCount)
                                   : 0.0;
    FUZZ_CHECK(highest >= 0 && highest <= 100);
    constexpr std::array<std::int16_t, 8> kTops{10, 20, 30, 40, 50, 60, 80, 100};
    const auto row = std::find_if(kTops.begin(), kTops.end(), [highest](std::int16_t top) { return highest <= top; });
    FUZZ_CHECK(row != kTops.end() && result.scale.top == *row);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto parsed = wave::parseWaveHeader(std::as_bytes(bytes));
    const auto* info = std::get_if<wave::WaveInfo>(&parsed);
    if (info == nullptr) return 0;
    FUZZ_CHECK(info->fileBytes == size);

    const ScratchFile& scratch = scratchFile();
    scratch.write(bytes);
    const std::optional<platform::ReadOnlyFile> file = platform::openRegularFileForReading(scratch.path());
    FUZZ_CHECK(file.has_value());

    const auto analysed = analysis::analyseLevels(*info, *file);
    // The file is unchanged since its header was read, and the buffers are small.
    FUZZ_CHECK(std::holds_alternative<analysis::LevelAnalysis>(analysed));
    const analysis::LevelAnalysis& result = std::get<analysis::LevelAnalysis>(analysed);

    const std::int64_t sliceLength = expectedSliceLength(info->sampleRate);
    FUZZ_CHECK(result.grid.sliceLength == sliceLength);
    const std::int64_t sliceCount = sliceLength > 0 && info->sampleCount > 0 ? info->sampleCount / sliceLength : 0;
    FUZZ_CHECK(result.grid.sliceCount == sliceCount);
    checkHistogramsAndScale(*info, result);

    // The header passes only layouts that are loaded.
    const std::optional<SampleKind> kind = expectedKind(*info);
    FUZZ_CHECK(kind.has_value() && wave::sampleKindFor(*info) == kind);
    Choices choices(bytes);
    switch (*kind) {
        case SampleKind::Int16: checkKind<SampleKind::Int16>(bytes, *info, *file, result, choices); break;
        case SampleKind::Int24: checkKind<SampleKind::Int24>(bytes, *info, *file, result, choices); break;
        case SampleKind::Int32: checkKind<SampleKind::Int32>(bytes, *info, *file, result, choices); break;
        case SampleKind::Float32: checkKind<SampleKind::Float32>(bytes, *info, *file, result, choices); break;
        case SampleKind::Float64: FUZZ_CHECK(false); break;  // no wave file holds doubles
    }
    return 0;
}
