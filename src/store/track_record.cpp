#include "store/track_record.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vantorel::store {

namespace {

// Appends fixed-size little-endian values.
struct Writer {
    std::vector<std::byte> bytes;

    void u64(std::uint64_t value) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::byte>(value >> (8 * i)));
    }
    void i64(std::int64_t value) { u64(static_cast<std::uint64_t>(value)); }
    void f64(double value) { u64(std::bit_cast<std::uint64_t>(value)); }
    void flag(bool value) { bytes.push_back(static_cast<std::byte>(value ? 1 : 0)); }
    void text(const std::string& value) {
        u64(value.size());
        for (const char c : value) bytes.push_back(static_cast<std::byte>(c));
    }
    template <typename T>
    void optional(const std::optional<T>& value) {
        flag(value.has_value());
        if (value) {
            if constexpr (std::is_same_v<T, double>) f64(*value);
            else i64(*value);
        }
    }
    void doubles(const std::vector<double>& values) {
        u64(values.size());
        for (const double value : values) f64(value);
    }
};

// Reads what Writer wrote; once anything is missing or out of place, `failed`
// stays set and every later read gives zero.
struct Reader {
    std::span<const std::byte> bytes;
    std::size_t at = 0;
    bool failed = false;

    std::uint64_t u64() {
        if (failed || bytes.size() - at < 8) {
            failed = true;
            return 0;
        }
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) value |= std::uint64_t{std::to_integer<std::uint8_t>(bytes[at + i])} << (8 * i);
        at += 8;
        return value;
    }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    double f64() { return std::bit_cast<double>(u64()); }
    bool flag() {
        if (failed || at >= bytes.size() || std::to_integer<std::uint8_t>(bytes[at]) > 1) {
            failed = true;
            return false;
        }
        return std::to_integer<std::uint8_t>(bytes[at++]) == 1;
    }
    // A count of items of `size` bytes each that the bytes left can hold.
    std::size_t count(std::size_t size) {
        const std::uint64_t value = u64();
        if (failed || value > (bytes.size() - at) / size) {
            failed = true;
            return 0;
        }
        return static_cast<std::size_t>(value);
    }
    std::string text() {
        const std::size_t length = count(1);
        std::string value(length, '\0');
        if (length > 0) std::memcpy(value.data(), bytes.data() + at, length);
        at += length;
        return value;
    }
    std::optional<double> optionalDouble() {
        if (!flag()) return std::nullopt;
        return f64();
    }
    std::optional<int> optionalInt() {
        if (!flag()) return std::nullopt;
        const std::int64_t value = i64();
        if (value < INT32_MIN || value > INT32_MAX) failed = true;
        return static_cast<int>(value);
    }
    std::vector<double> doubles() {
        std::vector<double> values(count(8));
        for (double& value : values) value = f64();
        return values;
    }
    std::int64_t within(std::int64_t low, std::int64_t high) {
        const std::int64_t value = i64();
        if (value < low || value > high) failed = true;
        return value;
    }
};

void writeFormat(Writer& out, const stream::StreamFormat& format) {
    out.i64(format.channels);
    out.i64(format.sampleRate);
    out.i64(static_cast<std::int64_t>(format.kind));
    out.i64(format.bitsPerSample);
    out.flag(format.floatEncoding);
    out.flag(format.lossy);
    out.i64(format.frames);
    out.flag(format.framesKnown);
    out.u64(format.channelMask);
    out.text(format.codecName);
}

stream::StreamFormat readFormat(Reader& in) {
    stream::StreamFormat format;
    format.channels = static_cast<int>(in.within(1, stream::kMaxChannels));
    format.sampleRate = static_cast<std::int32_t>(in.within(INT32_MIN, INT32_MAX));
    format.kind = static_cast<stream::SampleKind>(in.within(0, static_cast<std::int64_t>(stream::SampleKind::Float64)));
    format.bitsPerSample = static_cast<int>(in.within(0, 64));
    format.floatEncoding = in.flag();
    format.lossy = in.flag();
    format.frames = in.i64();
    format.framesKnown = in.flag();
    format.channelMask = in.u64();
    format.codecName = in.text();
    return format;
}

void writeLevels(Writer& out, const analysis::LevelAnalysis& levels) {
    out.u64(levels.histograms.size());
    for (const analysis::LevelHistogram& histogram : levels.histograms)
        for (const std::int64_t count : histogram.bins) out.i64(count);
    out.i64(levels.grid.sliceLength);
    out.i64(levels.grid.sliceCount);
    out.i64(levels.scale.top);
    out.i64(levels.scale.divisions);
    const measure::Dynamics& dynamics = levels.dynamics;
    out.u64(dynamics.channels.size());
    for (const measure::ChannelDynamics& channel : dynamics.channels) {
        out.f64(channel.peak);
        out.u64(channel.fullScaleSamples);
        out.optional(channel.dr);
    }
    out.f64(dynamics.peak);
    out.optional(dynamics.dr);
    out.i64(dynamics.frames);
    out.u64(levels.drBlocks.size());
    for (const measure::DrBlock& block : levels.drBlocks) {
        out.f64(block.rmsSquared);
        out.f64(block.peak);
    }
    out.flag(levels.loudness.has_value());
    if (const std::optional<measure::Loudness>& loudness = levels.loudness) {
        out.optional(loudness->integratedLufs);
        out.optional(loudness->rangeLu);
        out.optional(loudness->truePeakDbtp);
        out.optional(loudness->plrDb);
        out.flag(loudness->blocks.has_value());
        if (loudness->blocks) {
            out.doubles(loudness->blocks->gating);
            out.doubles(loudness->blocks->shortTerm);
        }
    }
}

analysis::LevelAnalysis readLevels(Reader& in) {
    analysis::LevelAnalysis levels;
    levels.histograms.resize(in.count(8 * analysis::kLevelBins));
    for (analysis::LevelHistogram& histogram : levels.histograms)
        for (std::int64_t& count : histogram.bins) count = in.i64();
    levels.grid.sliceLength = in.i64();
    levels.grid.sliceCount = in.i64();
    levels.scale.top = static_cast<std::int16_t>(in.within(0, 100));
    levels.scale.divisions = static_cast<std::int16_t>(in.within(1, 100));
    measure::Dynamics& dynamics = levels.dynamics;
    dynamics.channels.resize(in.count(8 + 8 + 1));
    for (measure::ChannelDynamics& channel : dynamics.channels) {
        channel.peak = in.f64();
        channel.fullScaleSamples = in.u64();
        channel.dr = in.optionalDouble();
    }
    dynamics.peak = in.f64();
    dynamics.dr = in.optionalInt();
    dynamics.frames = in.i64();
    levels.drBlocks.resize(in.count(16));
    for (measure::DrBlock& block : levels.drBlocks) {
        block.rmsSquared = in.f64();
        block.peak = in.f64();
    }
    if (in.flag()) {
        measure::Loudness loudness;
        loudness.integratedLufs = in.optionalDouble();
        loudness.rangeLu = in.optionalDouble();
        loudness.truePeakDbtp = in.optionalDouble();
        loudness.plrDb = in.optionalDouble();
        if (in.flag()) {
            measure::LoudnessBlocks blocks;
            blocks.gating = in.doubles();
            blocks.shortTerm = in.doubles();
            loudness.blocks = std::move(blocks);
        }
        levels.loudness = std::move(loudness);
    }
    return levels;
}

}  // namespace

std::vector<std::byte> encodeTrackResult(const analysis::TrackResult& result) {
    Writer out;
    out.i64(result.version);
    writeFormat(out, result.format);
    writeLevels(out, result.levels);
    return std::move(out.bytes);
}

std::optional<analysis::TrackResult> decodeTrackResult(std::span<const std::byte> bytes) {
    Reader in{.bytes = bytes, .at = 0, .failed = false};
    analysis::TrackResult result;
    result.version = static_cast<int>(in.within(analysis::kTrackResultVersion, analysis::kTrackResultVersion));
    if (in.failed) return std::nullopt;
    result.format = readFormat(in);
    if (in.failed) return std::nullopt;
    result.levels = readLevels(in);
    const auto channels = static_cast<std::size_t>(result.format.channels);
    if (in.failed || in.at != bytes.size() || result.levels.histograms.size() != channels ||
        result.levels.dynamics.channels.size() != channels || result.levels.drBlocks.size() % channels != 0)
        return std::nullopt;
    return result;
}

}  // namespace vantorel::store
