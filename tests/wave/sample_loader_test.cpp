// Sample loading: hand-built data bytes in, decoded blocks out, gathered here
// into whole per-channel arrays.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <filesystem>
#include <optional>
#include <type_traits>
#include <utility>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "wave/sample_loader.h"
#include "wave_writer.h"

namespace vantorel::wave {

using stream::ChannelSamples;
using stream::SampleBlockReceiver;
using stream::SampleElement;
using stream::SampleKind;
using stream::decodeInt24;
using stream::fileSampleWidth;
namespace {

using test_support::bytesOf;
using test_support::makeWaveHeader;
using test_support::ScratchFolder;
using test_support::setLe16;
using test_support::WaveKind;

// The header of a file with `dataBytes` claimed, followed by `data` as given.
std::vector<std::byte> fileWith(WaveKind kind, int channels, std::uint32_t dataBytes,
                                const std::vector<std::byte>& data) {
    std::vector<std::byte> bytes = makeWaveHeader({kind, channels, 44100}, dataBytes);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

// One channel gathered from the blocks, in the element type of its kind.
struct Gathered {
    std::vector<std::int16_t> int16;
    std::vector<std::int32_t> int32;
    std::vector<float> float32;
    bool empty() const { return int16.empty() && int32.empty() && float32.empty(); }
};

// Everything the loader handed on for one file. Past zeroFrom (the frames handed
// on) the recording is silent: values() fills up to sampleCount with zeros.
struct GatheredSamples {
    std::optional<SampleKind> sampleKind;
    std::int64_t sampleCount = 0;
    std::int64_t zeroFrom = 0;
    Gathered mono;
    Gathered left;
    Gathered right;
    std::optional<LoadFailure> failure;
};

template <SampleKind kind>
auto& elementsOf(Gathered& gathered) {
    if constexpr (kind == SampleKind::Int16) return gathered.int16;
    else if constexpr (kind == SampleKind::Float32) return gathered.float32;
    else return gathered.int32;
}

template <SampleKind kind>
void gather(const platform::ReadOnlyFile& file, const WaveInfo& info, GatheredSamples& samples) {
    using Element = typename SampleElement<kind>::type;
    constexpr std::size_t width = fileSampleWidth<kind>();
    const auto loaded = loadSamples<kind>(file, info, static_cast<std::uint64_t>(info.sampleCount),
                                          [&](const ChannelSamples<kind>& block) {
        EXPECT_EQ(block.firstFrame, samples.zeroFrom);  // in order, no gaps
        EXPECT_EQ(block.channels, info.channels);
        const std::vector<Gathered*> channels =
            block.channels == 1 ? std::vector{&samples.mono} : std::vector{&samples.left, &samples.right};
        const std::byte* at = block.bytes;
        for (std::size_t frame = 0; frame < block.frames; ++frame) {
            for (Gathered* channel : channels) {
                Element value{};
                if constexpr (kind == SampleKind::Int24) {
                    value = decodeInt24(std::to_integer<std::uint8_t>(at[0]), std::to_integer<std::uint8_t>(at[1]),
                                        std::to_integer<std::uint8_t>(at[2]));
                } else {
                    std::memcpy(&value, at, sizeof value);
                }
                elementsOf<kind>(*channel).push_back(value);
                at += width;
            }
        }
        samples.zeroFrom += static_cast<std::int64_t>(block.frames);
    });
    if (const auto* failure = std::get_if<LoadFailure>(&loaded)) samples.failure = *failure;
}

GatheredSamples loadFile(const platform::ReadOnlyFile& file, const WaveInfo& info) {
    GatheredSamples samples;
    samples.sampleKind = sampleKindFor(info);
    samples.sampleCount = info.sampleCount;
    if (!samples.sampleKind || info.sampleCount <= 0) return samples;
    switch (*samples.sampleKind) {
    case SampleKind::Int16: gather<SampleKind::Int16>(file, info, samples); break;
    case SampleKind::Int24: gather<SampleKind::Int24>(file, info, samples); break;
    case SampleKind::Int32: gather<SampleKind::Int32>(file, info, samples); break;
    case SampleKind::Float32: gather<SampleKind::Float32>(file, info, samples); break;
    case SampleKind::Float64: break;  // no wave file holds doubles
    }
    return samples;
}

// Writes the bytes, parses their header the way the tool does and loads the
// samples. The header refuses a canonical file shorter than it claims; the
// loader is given such a file's header as that of the whole file, with the
// file's real size, to show how it reads no further than the file goes.
struct Loaded {
    WaveInfo info;
    GatheredSamples samples;
};

Loaded load(const ScratchFolder& folder, const std::vector<std::byte>& bytes) {
    const std::string name = folder.file("input.wav");
    EXPECT_TRUE(test_support::writeFileBytes(name, bytes));
    auto parsed = parseWaveHeader(bytes);
    if (const auto* rejected = std::get_if<HeaderRejection>(&parsed); rejected && *rejected == HeaderRejection::Cut) {
        // The bytes, then zeros up to the end of the claimed data.
        const FileByteReader read = [&bytes](std::uint64_t offset, std::span<std::byte> into) -> std::size_t {
            std::fill(into.begin(), into.end(), std::byte{0});
            if (offset < bytes.size())
                std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                            std::min<std::uint64_t>(into.size(), bytes.size() - offset), into.begin());
            return into.size();
        };
        std::vector<std::byte> header(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(
                                                                       std::min(bytes.size(), kSampleDataOffset)));
        header.resize(kSampleDataOffset);
        parsed = parseWaveHeader(read, kSampleDataOffset + test_support::getLe32(header, 40));
    }
    EXPECT_TRUE(std::holds_alternative<WaveInfo>(parsed));
    if (auto* info = std::get_if<WaveInfo>(&parsed)) info->fileBytes = bytes.size();
    Loaded loaded{std::holds_alternative<WaveInfo>(parsed) ? std::get<WaveInfo>(parsed) : WaveInfo{}, {}};
    const auto file = platform::openRegularFileForReading(name);
    EXPECT_TRUE(file.has_value());
    if (file) loaded.samples = loadFile(*file, loaded.info);
    EXPECT_FALSE(loaded.samples.failure.has_value());
    return loaded;
}

// The channel's samples, with the zeros of a short file up to the header's count.
template <class T>
std::vector<T> values(const Gathered& gathered, std::int64_t sampleCount) {
    std::vector<T> elements;
    if constexpr (std::is_same_v<T, std::int16_t>) elements = gathered.int16;
    else if constexpr (std::is_same_v<T, float>) elements = gathered.float32;
    else elements = gathered.int32;
    if (!gathered.empty() && sampleCount <= (1 << 24)) elements.resize(static_cast<std::size_t>(sampleCount), T{});
    return elements;
}

TEST(Int24Decoding, GivesTheTwosComplementValueUnscaled) {
    EXPECT_EQ(decodeInt24(0xFF, 0xFF, 0x7F), 8388607);
    EXPECT_EQ(decodeInt24(0x00, 0x00, 0x80), -8388608);
    EXPECT_EQ(decodeInt24(0xFF, 0xFF, 0xFF), -1);
    EXPECT_EQ(decodeInt24(0x01, 0x00, 0x00), 1);
    EXPECT_EQ(decodeInt24(0x56, 0x34, 0x12), 0x123456);
}

TEST(SampleKinds, FollowBitsTagAndChannelCount) {
    const auto kindOf = [](int channels, int bits, int tag) {
        WaveInfo info;
        info.channels = static_cast<std::int16_t>(channels);
        info.bitsPerSample = static_cast<std::int16_t>(bits);
        info.formatTag = static_cast<std::int16_t>(tag);
        return sampleKindFor(info);
    };
    EXPECT_EQ(kindOf(1, 16, 1), SampleKind::Int16);
    EXPECT_EQ(kindOf(2, 16, 3), SampleKind::Int16);
    EXPECT_EQ(kindOf(1, 24, 3), SampleKind::Int24);
    EXPECT_EQ(kindOf(2, 32, 1), SampleKind::Int32);
    EXPECT_EQ(kindOf(2, 32, 3), SampleKind::Float32);
    EXPECT_EQ(kindOf(1, 20, 1), std::nullopt);
    EXPECT_EQ(kindOf(6, 16, 1), SampleKind::Int16);
    EXPECT_EQ(kindOf(9, 16, 1), std::nullopt);
    EXPECT_EQ(kindOf(0, 16, 1), std::nullopt);
}

TEST(SampleLoading, SplitsStereoFramesIntoLeftAndRight) {
    ScratchFolder folder;
    // Frames (1, -1), (2, -2) as 16-bit little-endian bytes.
    const Loaded int16 = load(folder, fileWith(WaveKind::Int16, 2, 8, bytesOf({1, 0, 0xFF, 0xFF, 2, 0, 0xFE, 0xFF})));
    EXPECT_EQ(int16.samples.sampleKind, SampleKind::Int16);
    EXPECT_EQ(int16.samples.sampleCount, 2);
    EXPECT_EQ(values<std::int16_t>(int16.samples.left, int16.samples.sampleCount), (std::vector<std::int16_t>{1, 2}));
    EXPECT_EQ(values<std::int16_t>(int16.samples.right, int16.samples.sampleCount), (std::vector<std::int16_t>{-1, -2}));
    EXPECT_TRUE(int16.samples.mono.empty());

    // Frames (8388607, -8388608), (-1, 1) as 24-bit bytes.
    const Loaded int24 = load(folder, fileWith(WaveKind::Int24, 2, 12,
                                               bytesOf({0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80,
                                                        0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00})));
    EXPECT_EQ(int24.samples.sampleKind, SampleKind::Int24);
    EXPECT_EQ(values<std::int32_t>(int24.samples.left, int24.samples.sampleCount), (std::vector<std::int32_t>{8388607, -1}));
    EXPECT_EQ(values<std::int32_t>(int24.samples.right, int24.samples.sampleCount), (std::vector<std::int32_t>{-8388608, 1}));

    // One frame (INT32_MIN, 0x12345678).
    const Loaded int32 = load(folder, fileWith(WaveKind::Int32, 2, 8,
                                               bytesOf({0, 0, 0, 0x80, 0x78, 0x56, 0x34, 0x12})));
    EXPECT_EQ(int32.samples.sampleKind, SampleKind::Int32);
    EXPECT_EQ(values<std::int32_t>(int32.samples.left, int32.samples.sampleCount), (std::vector<std::int32_t>{INT32_MIN}));
    EXPECT_EQ(values<std::int32_t>(int32.samples.right, int32.samples.sampleCount), (std::vector<std::int32_t>{0x12345678}));

    // One frame (1.0f, -0.5f): 0x3F800000 and 0xBF000000.
    const Loaded float32 = load(folder, fileWith(WaveKind::Float32, 2, 8,
                                                 bytesOf({0, 0, 0x80, 0x3F, 0, 0, 0, 0xBF})));
    EXPECT_EQ(float32.samples.sampleKind, SampleKind::Float32);
    EXPECT_EQ(values<float>(float32.samples.left, float32.samples.sampleCount), (std::vector<float>{1.0f}));
    EXPECT_EQ(values<float>(float32.samples.right, float32.samples.sampleCount), (std::vector<float>{-0.5f}));
}

TEST(SampleLoading, LoadsMonoFilesIntoOneArray) {
    ScratchFolder folder;
    const Loaded int16 = load(folder, fileWith(WaveKind::Int16, 1, 6, bytesOf({0xFF, 0x7F, 0x00, 0x80, 0x05, 0x00})));
    EXPECT_EQ(values<std::int16_t>(int16.samples.mono, int16.samples.sampleCount), (std::vector<std::int16_t>{32767, -32768, 5}));
    EXPECT_TRUE(int16.samples.left.empty());
    EXPECT_TRUE(int16.samples.right.empty());

    const Loaded int24 = load(folder, fileWith(WaveKind::Int24, 1, 12,
                                               bytesOf({0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80,
                                                        0xFF, 0xFF, 0xFF, 0x01, 0x00, 0x00})));
    EXPECT_EQ(values<std::int32_t>(int24.samples.mono, int24.samples.sampleCount), (std::vector<std::int32_t>{8388607, -8388608, -1, 1}));

    const Loaded int32 = load(folder, fileWith(WaveKind::Int32, 1, 4, bytesOf({0xFF, 0xFF, 0xFF, 0x7F})));
    EXPECT_EQ(values<std::int32_t>(int32.samples.mono, int32.samples.sampleCount), (std::vector<std::int32_t>{INT32_MAX}));
}

TEST(SampleLoading, FloatTagWithSixteenOrTwentyFourBitsLoadsAsIntegers) {
    ScratchFolder folder;
    auto sixteen = fileWith(WaveKind::Int16, 1, 2, bytesOf({0x34, 0x12}));
    setLe16(sixteen, 20, 3);
    const Loaded int16 = load(folder, sixteen);
    EXPECT_EQ(int16.samples.sampleKind, SampleKind::Int16);
    EXPECT_EQ(values<std::int16_t>(int16.samples.mono, int16.samples.sampleCount), (std::vector<std::int16_t>{0x1234}));

    auto twentyFour = fileWith(WaveKind::Int24, 1, 3, bytesOf({0x00, 0x00, 0x80}));
    setLe16(twentyFour, 20, 3);
    const Loaded int24 = load(folder, twentyFour);
    EXPECT_EQ(int24.samples.sampleKind, SampleKind::Int24);
    EXPECT_EQ(values<std::int32_t>(int24.samples.mono, int24.samples.sampleCount), (std::vector<std::int32_t>{-8388608}));
}

TEST(SampleLoading, EveryFrameOfALongerStereoFileLandsInPlace) {
    // Values that differ in every byte and change sign, so a frame or byte read
    // from the wrong place shows.
    ScratchFolder folder;
    const auto value = [](int channel, std::int64_t frame, double fullScale) {
        const double step = fullScale / 1031.0;
        return (channel == 0 ? 1.0 : -1.0) * (static_cast<double>(frame % 2000) - 1000.0) * step;
    };
    // Long enough that every kind is read in several pieces.
    constexpr std::int64_t kFrames = 200'003;
    const auto check = [&](WaveKind kind, double fullScale, auto element) {
        using Element = decltype(element);
        const test_support::SampleGenerator generator = [&](int channel, std::int64_t frame) {
            return value(channel, frame, fullScale);
        };
        const Loaded loaded = load(folder, test_support::makeWaveBytes({kind, 2, 44100}, kFrames, generator));
        const std::vector<Element> left = values<Element>(loaded.samples.left, loaded.samples.sampleCount);
        const std::vector<Element> right = values<Element>(loaded.samples.right, loaded.samples.sampleCount);
        ASSERT_EQ(left.size(), static_cast<std::size_t>(kFrames));
        for (std::int64_t frame = 0; frame < kFrames; ++frame) {
            const auto index = static_cast<std::size_t>(frame);
            const double expectedLeft = value(0, frame, fullScale);
            const double expectedRight = value(1, frame, fullScale);
            if (kind == WaveKind::Float32) {
                ASSERT_EQ(left[index], static_cast<float>(expectedLeft)) << frame;
                ASSERT_EQ(right[index], static_cast<float>(expectedRight)) << frame;
            } else {
                ASSERT_EQ(left[index], static_cast<Element>(std::nearbyint(expectedLeft))) << frame;
                ASSERT_EQ(right[index], static_cast<Element>(std::nearbyint(expectedRight))) << frame;
            }
        }
    };
    check(WaveKind::Int16, 32767.0, std::int16_t{});
    check(WaveKind::Int24, 8388607.0, std::int32_t{});
    check(WaveKind::Int32, 2147483647.0, std::int32_t{});
    check(WaveKind::Float32, 1.0, float{});
}

TEST(SampleLoading, MonoTwentyFourBitFileOfSeveralPiecesLandsInPlace) {
    ScratchFolder folder;
    constexpr std::int64_t kFrames = 300'001;
    const test_support::SampleGenerator generator = [](int, std::int64_t frame) {
        return static_cast<double>((frame * 7919) % 16'777'216 - 8'388'608);
    };
    const Loaded loaded = load(folder, test_support::makeWaveBytes({WaveKind::Int24, 1, 44100}, kFrames, generator));
    const std::vector<std::int32_t> mono = values<std::int32_t>(loaded.samples.mono, loaded.samples.sampleCount);
    ASSERT_EQ(mono.size(), static_cast<std::size_t>(kFrames));
    for (std::int64_t frame = 0; frame < kFrames; ++frame) {
        ASSERT_EQ(mono[static_cast<std::size_t>(frame)], (frame * 7919) % 16'777'216 - 8'388'608) << frame;
    }
    EXPECT_EQ(loaded.samples.zeroFrom, kFrames);
}

TEST(SampleLoading, FrameCutShortDeepIntoTheDataEndsInZerosNotInEarlierBytes) {
    // Every byte of the data is non-zero, so a cut frame that picked up bytes
    // from anywhere else in the file would show. The cuts fall far past the start.
    ScratchFolder folder;
    const auto filled = [](std::size_t count) { return std::vector<std::byte>(count, std::byte{0x5A}); };

    // 24-bit stereo: 50,000 whole frames, then 4 bytes of the next (left whole,
    // the low byte of right).
    const Loaded int24 = load(folder, fileWith(WaveKind::Int24, 2, 6 * 50'010, filled(6 * 50'000 + 4)));
    const auto left24 = values<std::int32_t>(int24.samples.left, int24.samples.sampleCount);
    const auto right24 = values<std::int32_t>(int24.samples.right, int24.samples.sampleCount);
    ASSERT_EQ(left24.size(), 50'010u);
    EXPECT_EQ(left24[49'999], 0x5A5A5A);
    EXPECT_EQ(right24[49'999], 0x5A5A5A);
    EXPECT_EQ(left24[50'000], 0x5A5A5A);
    EXPECT_EQ(right24[50'000], 0x5A);
    EXPECT_EQ(left24[50'001], 0);
    EXPECT_EQ(right24[50'009], 0);
    EXPECT_EQ(int24.samples.zeroFrom, 50'001);

    // 16-bit stereo cut after one byte of a frame's left sample.
    const Loaded int16 = load(folder, fileWith(WaveKind::Int16, 2, 4 * 200'000, filled(4 * 150'000 + 1)));
    const auto left16 = values<std::int16_t>(int16.samples.left, int16.samples.sampleCount);
    const auto right16 = values<std::int16_t>(int16.samples.right, int16.samples.sampleCount);
    EXPECT_EQ(left16[149'999], 0x5A5A);
    EXPECT_EQ(right16[149'999], 0x5A5A);
    EXPECT_EQ(left16[150'000], 0x5A);
    EXPECT_EQ(right16[150'000], 0);
    EXPECT_EQ(left16[199'999], 0);
    EXPECT_EQ(int16.samples.zeroFrom, 150'001);
}

TEST(SampleLoading, MissingDataLeavesTrailingZeros) {
    ScratchFolder folder;
    // Claims 5 mono samples, holds 3.
    const Loaded mono = load(folder, fileWith(WaveKind::Int16, 1, 10, bytesOf({1, 0, 2, 0, 3, 0})));
    EXPECT_EQ(values<std::int16_t>(mono.samples.mono, mono.samples.sampleCount), (std::vector<std::int16_t>{1, 2, 3, 0, 0}));

    // Claims 3 stereo 24-bit frames, holds one frame and the first byte of the next:
    // that frame's left sample gets its low byte, the rest stays 0.
    const Loaded stereo = load(folder, fileWith(WaveKind::Int24, 2, 18, bytesOf({1, 0, 0, 2, 0, 0, 0x7F})));
    EXPECT_EQ(values<std::int32_t>(stereo.samples.left, stereo.samples.sampleCount), (std::vector<std::int32_t>{1, 0x7F, 0}));
    EXPECT_EQ(values<std::int32_t>(stereo.samples.right, stereo.samples.sampleCount), (std::vector<std::int32_t>{2, 0, 0}));

    // Bytes after the data chunk are read as samples when the claim reaches them.
    const Loaded trailing = load(folder, fileWith(WaveKind::Int16, 1, 4, bytesOf({1, 0, 2, 0, 9, 0})));
    EXPECT_EQ(values<std::int16_t>(trailing.samples.mono, trailing.samples.sampleCount), (std::vector<std::int16_t>{1, 2}));

    // Where the file's bytes end, known zeros begin: at the first frame that got
    // no byte at all.
    EXPECT_EQ(mono.samples.zeroFrom, 3);
    EXPECT_EQ(stereo.samples.zeroFrom, 2);
    EXPECT_EQ(trailing.samples.zeroFrom, 2);
}

TEST(SampleLoading, FilesShorterThanTheirHeaderGiveZerosButShrunkenFilesFail) {
    ScratchFolder folder;
    // Files that end inside the header: nothing to read, the recording is silent.
    const auto full = makeWaveHeader({WaveKind::Int16, 2, 44100}, 400);
    for (const std::size_t length : {44u, 43u}) {
        const Loaded loaded = load(folder, {full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length)});
        EXPECT_EQ(loaded.samples.zeroFrom, 0) << length;
        EXPECT_TRUE(loaded.samples.left.empty()) << length;
    }

#ifdef _WIN32
    GTEST_SKIP() << "a file the tool holds open cannot be changed by anyone on Windows";
#endif
    // A file that shrank after its header was read, partly or wholly: failures,
    // never silence.
    auto bytes = fileWith(WaveKind::Int16, 2, 400000, std::vector<std::byte>(400000, std::byte{3}));
    const WaveInfo info = std::get<WaveInfo>(parseWaveHeader(bytes));
    const std::string name = folder.file("shrinking.wav");
    ASSERT_TRUE(test_support::writeFileBytes(name, bytes));
    const auto file = platform::openRegularFileForReading(name);
    ASSERT_TRUE(file.has_value());
    std::filesystem::resize_file(name, 300000);
    EXPECT_EQ(loadFile(*file, info).failure, LoadFailure::ReadFailed);
    std::filesystem::resize_file(name, 0);
    EXPECT_EQ(loadFile(*file, info).failure, LoadFailure::ReadFailed);

    // The same for 24-bit data of many pieces, cut in its first, a middle and
    // its last piece.
    const std::uint32_t bytes24 = 3 * 2 * 400'000;
    const auto long24 = fileWith(WaveKind::Int24, 2, bytes24, std::vector<std::byte>(bytes24, std::byte{5}));
    const WaveInfo info24 = std::get<WaveInfo>(parseWaveHeader(long24));
    for (const std::uintmax_t cut : {std::uintmax_t{100'000}, std::uintmax_t{1'000'000}, std::uintmax_t{bytes24 + 43}}) {
        const std::string name24 = folder.file("shrinking 24.wav");
        ASSERT_TRUE(test_support::writeFileBytes(name24, long24));
        const auto file24 = platform::openRegularFileForReading(name24);
        ASSERT_TRUE(file24.has_value());
        EXPECT_EQ(loadFile(*file24, info24).zeroFrom, 400'000);
        std::filesystem::resize_file(name24, cut);
        EXPECT_EQ(loadFile(*file24, info24).failure, LoadFailure::ReadFailed) << cut;
    }
}

TEST(SampleLoading, AReceiverThatThrowsEndsTheLoad) {
    // 24-bit stereo of ten pieces. Whatever the receiver throws, and at
    // whichever block, the exception reaches the caller: no terminate, no
    // deadlock, and no block is handed on again.
    ScratchFolder folder;
    const std::uint32_t dataBytes = 3 * 2 * 400'000;
    const auto bytes = fileWith(WaveKind::Int24, 2, dataBytes, std::vector<std::byte>(dataBytes, std::byte{5}));
    const std::string name = folder.file("long 24.wav");
    ASSERT_TRUE(test_support::writeFileBytes(name, bytes));
    const WaveInfo info = std::get<WaveInfo>(parseWaveHeader(bytes));
    const auto file = platform::openRegularFileForReading(name);
    ASSERT_TRUE(file.has_value());

    const auto handedOn = [&](std::size_t throwAt, const auto& exception) {
        std::vector<std::int64_t> firstFrames;
        const SampleBlockReceiver<SampleKind::Int24> receive = [&](const ChannelSamples<SampleKind::Int24>& block) {
            firstFrames.push_back(block.firstFrame);
            if (firstFrames.size() == throwAt + 1) throw exception;
        };
        EXPECT_THROW((void)loadSamples<SampleKind::Int24>(*file, info, 400'000, receive),
                     std::decay_t<decltype(exception)>);
        return firstFrames;
    };
    const std::int64_t pieceFrames = kPieceBytes / 6;
    for (const std::size_t throwAt : {0u, 4u, 9u}) {
        SCOPED_TRACE(throwAt);
        std::vector<std::int64_t> expected;
        for (std::size_t block = 0; block <= throwAt; ++block)
            expected.push_back(static_cast<std::int64_t>(block) * pieceFrames);
        EXPECT_EQ(handedOn(throwAt, std::runtime_error("receiver")), expected);
        EXPECT_EQ(handedOn(throwAt, std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again))),
                  expected);
    }
    // The file and the loader are as good as before.
    EXPECT_EQ(loadFile(*file, info).zeroFrom, 400'000);
}

TEST(SampleLoading, EmptyDataGetNoSamples) {
    // Layouts outside SampleKinds are refused by the header and never loaded.
    ScratchFolder folder;
    const Loaded empty = load(folder, fileWith(WaveKind::Int16, 2, 0, {}));
    EXPECT_EQ(empty.samples.sampleKind, SampleKind::Int16);
    EXPECT_EQ(empty.samples.sampleCount, 0);
    EXPECT_TRUE(empty.samples.left.empty() && empty.samples.right.empty());
    // A size of 0 with bytes after it is a recording never closed: they are its data.
    const Loaded unclosed = load(folder, fileWith(WaveKind::Int16, 2, 0, bytesOf({1, 0, 2, 0})));
    EXPECT_EQ(unclosed.samples.sampleCount, 1);
}

TEST(SampleLoading, FloatInfinitiesAndNaNsPassUnchanged) {
    ScratchFolder folder;
    // +inf, -inf, a quiet NaN with payload 1, a signalling NaN, -0.0.
    const std::vector<std::uint32_t> bits{0x7F800000, 0xFF800000, 0x7FC00001, 0x7F800001, 0x80000000};
    std::vector<std::byte> data;
    for (const std::uint32_t value : bits)
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::byte>(value >> (8 * i)));
    const Loaded loaded = load(folder, fileWith(WaveKind::Float32, 1, 20, data));
    const std::vector<float> mono = values<float>(loaded.samples.mono, loaded.samples.sampleCount);
    ASSERT_EQ(mono.size(), bits.size());
    for (std::size_t i = 0; i < bits.size(); ++i) EXPECT_EQ(std::bit_cast<std::uint32_t>(mono[i]), bits[i]) << i;
}

TEST(SampleLoading, FourGibibyteClaimInASmallFileReadsOnlyTheRealData) {
    ScratchFolder folder;
    // 0xFFFFFFFE bytes claimed for stereo 16-bit: 1,073,741,824 frames, of which
    // the file holds two and a half.
    const Loaded loaded = load(folder, fileWith(WaveKind::Int16, 2, 0xFFFFFFFEu,
                                                bytesOf({1, 0, 0xFF, 0xFF, 2, 0, 0xFE, 0xFF, 3, 0})));
    ASSERT_EQ(loaded.samples.sampleCount, 1073741824);
    EXPECT_EQ(loaded.samples.left.int16, (std::vector<std::int16_t>{1, 2, 3}));
    EXPECT_EQ(loaded.samples.right.int16, (std::vector<std::int16_t>{-1, -2, 0}));
    EXPECT_EQ(loaded.samples.zeroFrom, 3);
}

TEST(SampleLoading, ReadsFromTheDataChunkOfChunkedLayouts) {
    // Interleaved and 24-bit data behind a LIST chunk and an odd-sized chunk, long
    // enough for several pieces: every frame as in the canonical twin.
    ScratchFolder folder;
    for (const WaveKind kind : {WaveKind::Int16, WaveKind::Int24, WaveKind::Float32}) {
        const test_support::WaveLayout layout{kind, 2, 48000};
        const test_support::SampleGenerator generator = [](int channel, std::int64_t frame) {
            return static_cast<double>((frame * 7919 + channel * 104729) % 60000 - 30000) / 32768.0 *
                   (channel == 0 ? 1.0 : 0.5);
        };
        const std::vector<std::byte> canonical = test_support::makeWaveBytes(layout, 100'001, generator);
        const std::vector<std::byte> samples(canonical.begin() + 44, canonical.end());
        const Loaded twin = load(folder, canonical);
        const Loaded chunked = load(folder, test_support::makeRiff(
            "RIFF", {test_support::makeChunk("fmt ", test_support::makeFormatPayload(layout, 40, kind == WaveKind::Float32 ? 3 : 1)),
                     test_support::makeChunk("LIST", bytesOf({'I', 'N', 'F', 'O', 'x'})),
                     test_support::makeChunk("data", samples)}));
        EXPECT_EQ(chunked.info.dataOffset, 12u + 48 + 14 + 8);
        EXPECT_EQ(chunked.samples.zeroFrom, 100'001);
        EXPECT_EQ(chunked.samples.left.int16, twin.samples.left.int16);
        EXPECT_EQ(chunked.samples.right.int32, twin.samples.right.int32);
        EXPECT_EQ(chunked.samples.left.float32, twin.samples.left.float32);
    }
}

}  // namespace
}  // namespace vantorel::wave
