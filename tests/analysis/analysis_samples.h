#pragma once
// Whole recordings built in memory for the analysis tests, and the two ways
// they are measured: handed to the slice scan in blocks cut several ways (the
// answer must never depend on the cut), or written as a wave file and analysed
// through the real loader.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/level_distribution.h"
#include "analysis/slice_levels.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"
#include "wave_writer.h"

namespace vantorel::analysis::testing {

// One channel's samples, in the element type of whichever kind it holds.
struct SampleArray {
    std::vector<std::int16_t> int16;
    std::vector<std::int32_t> int32;
    std::vector<float> float32;
    bool empty() const { return int16.empty() && int32.empty() && float32.empty(); }
};

template <stream::SampleKind kind>
auto& elementsOf(SampleArray& array) {
    if constexpr (kind == stream::SampleKind::Int16) return array.int16;
    else if constexpr (kind == stream::SampleKind::Float32) return array.float32;
    else return array.int32;
}

template <stream::SampleKind kind>
std::span<typename stream::SampleElement<kind>::type> samplesOf(SampleArray& array) {
    return elementsOf<kind>(array);
}

// A recording: `mono`, or `left` and `right`. Written as a file
// (analyseRecording), it holds only the frames before `zeroFrom`; the rest of
// the header's count is missing.
struct Recording {
    std::optional<stream::SampleKind> sampleKind;
    SampleArray mono;
    SampleArray left;
    SampleArray right;
    std::int64_t zeroFrom = std::numeric_limits<std::int64_t>::max();
};

// Silent mono or stereo samples of one kind, `count` per channel.
template <stream::SampleKind kind>
Recording silentSamples(int channels, std::int64_t count) {
    Recording recording;
    recording.sampleKind = kind;
    const auto size = static_cast<std::size_t>(count);
    if (channels == 1) elementsOf<kind>(recording.mono).assign(size, 0);
    if (channels == 2) {
        elementsOf<kind>(recording.left).assign(size, 0);
        elementsOf<kind>(recording.right).assign(size, 0);
    }
    return recording;
}

inline wave::WaveInfo waveInfo(int channels, std::int32_t sampleRate, std::int64_t sampleCount) {
    wave::WaveInfo info;
    info.channels = static_cast<std::int16_t>(channels);
    info.sampleRate = sampleRate;
    info.sampleCount = sampleCount;
    return info;
}

// Every (channel, level) handed on, in order.
using Levels = std::vector<std::pair<Channel, int>>;

// The recording's first `frames` frames as the file holds them (interleaved,
// little-endian, 3 bytes per 24-bit sample), followed by block padding that is
// all ones, so that a kernel that used it would show.
template <stream::SampleKind kind>
std::vector<std::byte> fileBytesOf(Recording& recording, std::int64_t frames) {
    constexpr std::size_t width = stream::fileSampleWidth<kind>();
    std::vector<SampleArray*> channels;
    if (!recording.mono.empty()) channels.push_back(&recording.mono);
    if (!recording.left.empty()) channels = {&recording.left, &recording.right};
    std::vector<std::byte> bytes;
    bytes.reserve(static_cast<std::size_t>(frames) * channels.size() * width + stream::kBlockPadding);
    for (std::size_t frame = 0; frame < static_cast<std::size_t>(frames); ++frame) {
        for (SampleArray* channel : channels) {
            const auto value = elementsOf<kind>(*channel)[frame];
            std::array<std::byte, sizeof value> encoded;
            std::memcpy(encoded.data(), &value, sizeof value);  // little-endian host
            bytes.insert(bytes.end(), encoded.begin(), encoded.begin() + width);
        }
    }
    bytes.resize(bytes.size() + stream::kBlockPadding, std::byte{0xFF});
    return bytes;
}

// Feeds frames [0, frames) of the recording to the scan in blocks of
// `blockFrames`, then finishes it.
template <stream::SampleKind kind>
Levels scanInBlocks(Recording& recording, const SliceGrid& grid, std::int64_t frames, std::int64_t blockFrames) {
    Levels levels;
    const SliceLevelReceiver receiver = [&levels](Channel channel, int level) { levels.emplace_back(channel, level); };
    SliceScan scan{.grid = grid};
    const int channels = recording.left.empty() ? 1 : 2;
    const std::size_t frameBytes = static_cast<std::size_t>(channels) * stream::fileSampleWidth<kind>();
    const std::vector<std::byte> bytes = fileBytesOf<kind>(recording, frames);
    for (std::int64_t first = 0; first < frames; first += blockFrames) {
        // Each block in a buffer of its own with its padding, as the loader hands them on.
        const auto count = static_cast<std::size_t>(std::min(blockFrames, frames - first));
        const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(first) * frameBytes);
        std::vector<std::byte> block(from, from + static_cast<std::ptrdiff_t>(count * frameBytes));
        block.resize(block.size() + stream::kBlockPadding, std::byte{0xFF});
        scanSliceLevels<kind>(scan, {.channels = channels, .firstFrame = first, .frames = count, .bytes = block.data()},
                              receiver);
    }
    finishSliceScan(scan, receiver);
    return levels;
}

// The levels of a mono or stereo recording as the scan finds them: the grid's
// whole slices, scanned in blocks of 1, 3, 7, 4096 frames and in one block;
// every cut must give the same levels. The arrays must hold every frame of
// those slices (files that end early go through analyseRecording).
inline Levels scanAll(const wave::WaveInfo& info, Recording& recording) {
    const bool readable = recording.sampleKind && (info.channels == 1 || info.channels == 2) &&
                          (info.channels == 1) == !recording.mono.empty();
    EXPECT_TRUE(readable) << "a layout the scan does not read";
    if (!readable) return {};
    const SliceGrid grid = computeSliceGrid(info.sampleRate, info.sampleCount);
    const std::int64_t frames = framesToScan(grid);
    for (SampleArray* array : {&recording.mono, &recording.left, &recording.right}) {
        if (array->empty()) continue;
        const auto stored = std::max({array->int16.size(), array->int32.size(), array->float32.size()});
        EXPECT_GE(static_cast<std::int64_t>(stored), frames) << "arrays shorter than the slices";
        if (static_cast<std::int64_t>(stored) < frames) return {};
    }
    const auto scanWith = [&](std::int64_t blockFrames) {
        switch (*recording.sampleKind) {
        case stream::SampleKind::Int16: return scanInBlocks<stream::SampleKind::Int16>(recording, grid, frames, blockFrames);
        case stream::SampleKind::Int24: return scanInBlocks<stream::SampleKind::Int24>(recording, grid, frames, blockFrames);
        case stream::SampleKind::Int32: return scanInBlocks<stream::SampleKind::Int32>(recording, grid, frames, blockFrames);
        case stream::SampleKind::Float32:
            return scanInBlocks<stream::SampleKind::Float32>(recording, grid, frames, blockFrames);
        case stream::SampleKind::Float64: break;  // no wave file holds doubles
        }
        return Levels{};
    };
    const Levels whole = scanWith(std::max<std::int64_t>(frames, 1));
    for (const std::int64_t blockFrames : {1, 3, 7, 4096}) {
        EXPECT_EQ(scanWith(blockFrames), whole) << "blocks of " << blockFrames << " frames";
    }
    return whole;
}

// The recording written as a canonical wave file of the kind (frames before
// zeroFrom only) and analysed through the real loader.
inline std::variant<LevelAnalysis, wave::LoadFailure> analyseRecording(wave::WaveInfo info, Recording& recording,
                                                                     const MeasureOptions& options = {}) {
    using test_support::WaveKind;
    std::vector<std::vector<double>> channels;
    WaveKind kind = WaveKind::Int16;
    if (recording.sampleKind) {
        for (SampleArray* array : {&recording.mono, &recording.left, &recording.right}) {
            if (array->empty()) continue;
            std::vector<double> values;
            for (const auto value : array->int16) values.push_back(value);
            for (const auto value : array->int32) values.push_back(value);
            for (const auto value : array->float32) values.push_back(value);
            values.resize(static_cast<std::size_t>(std::min<std::int64_t>(
                static_cast<std::int64_t>(values.size()), recording.zeroFrom)));
            channels.push_back(std::move(values));
        }
        switch (*recording.sampleKind) {
        case stream::SampleKind::Int16: kind = WaveKind::Int16; break;
        case stream::SampleKind::Int24: kind = WaveKind::Int24; break;
        case stream::SampleKind::Int32: kind = WaveKind::Int32; break;
        case stream::SampleKind::Float32: kind = WaveKind::Float32; break;
        case stream::SampleKind::Float64: break;
        }
    }
    std::vector<std::byte> bytes;
    if (!channels.empty()) {
        bytes = test_support::makeWaveBytes({kind, static_cast<int>(channels.size()), info.sampleRate}, channels);
    } else {
        bytes = test_support::makeWaveHeader({kind, 1, info.sampleRate}, 0);
    }
    // The caller's header fields stand, apart from where the data are.
    if (info.bitsPerSample == 0) info.bitsPerSample = static_cast<std::int16_t>(test_support::bitsPerSample(kind));
    if (info.formatTag == 0) info.formatTag = test_support::formatTagOf(kind);
    info.dataOffset = wave::kSampleDataOffset;
    info.fileBytes = bytes.size();

    test_support::ScratchFolder folder;
    const std::string name = folder.file("recording.wav");
    EXPECT_TRUE(test_support::writeFileBytes(name, bytes));
    const auto file = platform::openRegularFileForReading(name);
    EXPECT_TRUE(file.has_value());
    if (!file) return wave::LoadFailure::ReadFailed;
    return analyseLevels(info, *file, {}, options);
}

}  // namespace vantorel::analysis::testing
