// Fuzzes the road from a file on disk to the level histograms: the input bytes
// become a wave file (one temporary file per process, rewritten for every input),
// whose header is parsed, whose samples are loaded and whose slices are analysed
// on the in-memory console.
//
// A header may claim up to 4 GiB of data. The loader only reads what the file
// holds, but it still makes arrays of the claimed length and the analysis scans
// them; so that a run stays small and fast, a claim above 1 MiB is cut down in
// the copy that is written (dataBytes modulo 1 MiB + 1). Everything else is
// written as given.
//
// Checked against an independent reading of the same bytes: the loaded arrays
// (each sample decoded here from its bytes, bytes past the end of the file read
// as 0), the slice grid, and every histogram bin (slice peaks found here and
// turned into levels as the largest whole number not above 20 log10(full scale /
// peak)); then that bins add up to no more than the slice count, that the scale
// is one of the eight rows and that the sample arrays are gone.

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "analysis/level_distribution.h"
#include "analysis/slice_levels.h"
#include "fuzz_check.h"
#include "platform/console.h"
#include "platform/memory_console.h"
#include "platform/screen_buffer.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"

namespace {

using namespace vantorel;

constexpr std::uint32_t kLargestClaim = 1u << 16;  // data bytes a header may claim here
constexpr std::size_t kHeaderBytes = 44;

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

    void write(const std::vector<std::uint8_t>& bytes) const {
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

std::uint32_t readLe32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return bytes[offset] | std::uint32_t{bytes[offset + 1]} << 8 | std::uint32_t{bytes[offset + 2]} << 16 |
           std::uint32_t{bytes[offset + 3]} << 24;
}

void writeLe32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The file's byte at an offset; 0 past its end.
std::uint8_t byteAt(const std::vector<std::uint8_t>& file, std::uint64_t offset) {
    return offset < file.size() ? file[static_cast<std::size_t>(offset)] : 0;
}

struct KindFacts {
    std::size_t fileWidth;    // bytes of one sample in the file
    std::size_t memoryWidth;  // bytes of one array element
    double fullScale;
};

KindFacts factsOf(wave::SampleKind kind) {
    switch (kind) {
        case wave::SampleKind::Int16: return {2, 2, 32768.0};
        case wave::SampleKind::Int24: return {3, 4, 8388608.0};
        case wave::SampleKind::Int32: return {4, 4, 2147483648.0};
        case wave::SampleKind::Float32: return {4, 4, 1.0};
    }
    std::abort();
}

// The element as it must stand in memory (little-endian host): the file's bytes
// for 16 and 32 bits, the sign-extended 24-bit value for Int24.
std::array<std::uint8_t, 4> expectedElement(const std::vector<std::uint8_t>& file, std::uint64_t offset,
                                            wave::SampleKind kind) {
    std::array<std::uint8_t, 4> element{};
    if (kind == wave::SampleKind::Int24) {
        element = {byteAt(file, offset), byteAt(file, offset + 1), byteAt(file, offset + 2),
                   static_cast<std::uint8_t>((byteAt(file, offset + 2) & 0x80) != 0 ? 0xFF : 0x00)};
        return element;
    }
    for (std::size_t i = 0; i < factsOf(kind).fileWidth; ++i) element[i] = byteAt(file, offset + i);
    return element;
}

// A sample's magnitude as a double; NaN for a float NaN.
double magnitudeOf(const std::array<std::uint8_t, 4>& element, wave::SampleKind kind) {
    switch (kind) {
        case wave::SampleKind::Int16: {
            const int value = element[0] | element[1] << 8;
            return value >= 0x8000 ? 0x10000 - value : value;
        }
        case wave::SampleKind::Int24:
        case wave::SampleKind::Int32: {
            const std::uint32_t bits = element[0] | std::uint32_t{element[1]} << 8 |
                                       std::uint32_t{element[2]} << 16 | std::uint32_t{element[3]} << 24;
            return bits >= 0x80000000u ? 4294967296.0 - bits : static_cast<double>(bits);
        }
        case wave::SampleKind::Float32: {
            float value;
            std::memcpy(&value, element.data(), sizeof value);
            return std::fabs(static_cast<double>(value));
        }
    }
    std::abort();
}

// What the histograms must hold; `ambiguous` when some slice's level lies so
// close to a whole number that either neighbouring bin is a fair answer.
struct ExpectedHistograms {
    std::vector<analysis::LevelHistogram> histograms;
    bool ambiguous = false;
};

// Nearest whole number of sampleRate / 10, ties to even, in integers.
std::int64_t expectedSliceLength(std::int32_t sampleRate) {
    const std::int64_t rate = sampleRate;
    const std::int64_t magnitude = rate < 0 ? -rate : rate;
    std::int64_t tenth = magnitude / 10;
    const std::int64_t rest = magnitude % 10;
    if (rest > 5 || (rest == 5 && tenth % 2 == 1)) ++tenth;
    return rate < 0 ? -tenth : tenth;
}

void checkLoadedArrays(const std::vector<std::uint8_t>& file, const wave::WaveInfo& info,
                       const wave::ChannelSamples& samples) {
    const auto kind = wave::sampleKindFor(info);
    if (!kind || info.sampleCount < 0) {
        FUZZ_CHECK(!samples.sampleKind);
        FUZZ_CHECK(samples.mono.empty() && samples.left.empty() && samples.right.empty());
        return;
    }
    FUZZ_CHECK(samples.sampleKind == kind);
    FUZZ_CHECK(samples.sampleCount == info.sampleCount);
    const KindFacts facts = factsOf(*kind);
    const auto frames = static_cast<std::uint64_t>(info.sampleCount);
    const std::size_t arrayBytes = static_cast<std::size_t>(frames) * facts.memoryWidth;

    std::vector<const platform::ZeroedBlock*> arrays;
    if (info.channels == 1) {
        arrays = {&samples.mono};
        FUZZ_CHECK(samples.left.empty() && samples.right.empty());
    } else {
        arrays = {&samples.left, &samples.right};
        FUZZ_CHECK(samples.mono.empty());
    }
    const std::uint64_t frameBytes = arrays.size() * facts.fileWidth;
    // Every frame the file supplies, even in part, lies before the zeros the
    // analysis may leave unread.
    const std::uint64_t available = file.size() > kHeaderBytes ? file.size() - kHeaderBytes : 0;
    const std::uint64_t supplied = std::min<std::uint64_t>(frames, (available + frameBytes - 1) / frameBytes);
    FUZZ_CHECK(samples.zeroFrom >= 0 && static_cast<std::uint64_t>(samples.zeroFrom) >= supplied);
    for (std::size_t channel = 0; channel < arrays.size(); ++channel) {
        const platform::ZeroedBlock& array = *arrays[channel];
        FUZZ_CHECK(array.size() == arrayBytes);
        for (std::uint64_t frame = 0; frame < frames; ++frame) {
            const auto expected =
                expectedElement(file, kHeaderBytes + frame * frameBytes + channel * facts.fileWidth, *kind);
            FUZZ_CHECK(std::memcmp(array.data() + frame * facts.memoryWidth, expected.data(), facts.memoryWidth) ==
                       0);
        }
    }
}

ExpectedHistograms expectedHistograms(const std::vector<std::uint8_t>& file, const wave::WaveInfo& info,
                                      const analysis::SliceGrid& grid) {
    ExpectedHistograms expected;
    if (info.channels == 1 || info.channels == 2) expected.histograms.resize(static_cast<std::size_t>(info.channels));
    const auto kind = wave::sampleKindFor(info);
    if (!kind || info.sampleCount < 0 || expected.histograms.empty()) return expected;

    const KindFacts facts = factsOf(*kind);
    const std::uint64_t frameBytes = expected.histograms.size() * facts.fileWidth;
    for (std::int64_t slice = 0; slice < grid.sliceCount; ++slice) {
        for (std::size_t channel = 0; channel < expected.histograms.size(); ++channel) {
            double peak = 0;
            for (std::int64_t index = slice * grid.sliceLength; index < (slice + 1) * grid.sliceLength; ++index) {
                const std::uint64_t offset = kHeaderBytes + static_cast<std::uint64_t>(index) * frameBytes +
                                             channel * facts.fileWidth;
                const double magnitude = magnitudeOf(expectedElement(file, offset, *kind), *kind);
                if (magnitude > peak) peak = magnitude;  // a NaN never wins
            }
            if (peak == 0) continue;
            const double decibels = 20.0 * std::log10(facts.fullScale / peak);
            const double level = std::floor(decibels);  // -inf for an infinite peak
            if (level > 40) continue;
            // Only full scale itself (0 dB) may lie on a whole number; a level
            // this close to one is beyond what the double arithmetic can settle.
            if (decibels != 0 && std::fabs(decibels - std::round(decibels)) < 1e-12) expected.ambiguous = true;
            const auto bin = static_cast<std::size_t>(level < 0 ? 0 : level);
            ++expected.histograms[channel].bins[bin];
        }
    }
    return expected;
}

bool isScaleRow(analysis::ShareScale scale) {
    constexpr std::array<analysis::ShareScale, 8> kRows{{
        {10, 5}, {20, 4}, {30, 6}, {40, 4}, {50, 5}, {60, 6}, {80, 4}, {100, 5},
    }};
    return std::any_of(kRows.begin(), kRows.end(), [scale](analysis::ShareScale row) {
        return row.top == scale.top && row.divisions == scale.divisions;
    });
}

void checkAnalysis(const std::vector<std::uint8_t>& file, const wave::WaveInfo& info,
                   const wave::ChannelSamples& samples, const analysis::LevelAnalysis& result,
                   const platform::Console& console) {
    // The arrays are given back once the slices have been scanned.
    FUZZ_CHECK(samples.mono.empty() && samples.left.empty() && samples.right.empty());

    const std::int64_t sliceLength = expectedSliceLength(info.sampleRate);
    FUZZ_CHECK(result.grid.sliceLength == sliceLength);
    const std::int64_t sliceCount = sliceLength > 0 && info.sampleCount > 0 ? info.sampleCount / sliceLength : 0;
    FUZZ_CHECK(result.grid.sliceCount == sliceCount);
    FUZZ_CHECK(platform::rowText(console.screen, 1).starts_with("   Analysing over"));

    const ExpectedHistograms expected = expectedHistograms(file, info, result.grid);
    FUZZ_CHECK(result.histograms.size() == expected.histograms.size());
    for (std::size_t channel = 0; channel < result.histograms.size(); ++channel) {
        const auto& bins = result.histograms[channel].bins;
        std::int64_t total = 0;
        for (const std::int32_t count : bins) {
            FUZZ_CHECK(count >= 0);
            total += count;
        }
        FUZZ_CHECK(total <= std::max<std::int64_t>(result.grid.sliceCount, 0));
        if (!expected.ambiguous) {
            FUZZ_CHECK(bins == expected.histograms[channel].bins);
        }
    }

    FUZZ_CHECK(isScaleRow(result.scale));
    FUZZ_CHECK(result.scale.top == analysis::chooseShareScale(
                                       analysis::highestShare(result.histograms, result.grid.sliceCount))
                                       .top);
    // The scale's top holds the highest share: no bin lies above the axis.
    const double highest = analysis::highestShare(result.histograms, result.grid.sliceCount);
    FUZZ_CHECK(highest >= 0 && highest <= 100);
    FUZZ_CHECK(highest <= result.scale.top);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A file shorter than the header reads its missing header bytes as 0, just
    // as these zeros do; padding changes nothing the reader sees.
    std::vector<std::uint8_t> file(data, data + size);
    if (file.size() < kHeaderBytes) file.resize(kHeaderBytes, 0);
    const std::uint32_t claimed = readLe32(file, 40);
    if (claimed > kLargestClaim) writeLe32(file, 40, claimed % (kLargestClaim + 1));

    const auto parsed = wave::parseWaveHeader(std::as_bytes(std::span(file)));
    const auto* info = std::get_if<wave::WaveInfo>(&parsed);
    if (info == nullptr) return 0;

    const ScratchFile& scratch = scratchFile();
    scratch.write(file);

    auto loaded = wave::loadSamples(scratch.path(), *info);
    // Arrays of at most a few MiB are always to be had.
    FUZZ_CHECK(std::holds_alternative<wave::ChannelSamples>(loaded));
    wave::ChannelSamples& samples = std::get<wave::ChannelSamples>(loaded);
    checkLoadedArrays(file, *info, samples);

    platform::MemoryConsoleDevice device;
    platform::Console console = platform::makeConsole(device);
    const analysis::LevelAnalysis result = analysis::analyseLevels(console, *info, samples);
    checkAnalysis(file, *info, samples, result, console);
    return 0;
}
