#include "wave_writer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <random>
#include <system_error>

namespace vantorel::test_support {

namespace {

void putLe(std::vector<std::byte>& bytes, std::size_t offset, std::uint32_t value, int width) {
    if (bytes.size() < offset + static_cast<std::size_t>(width)) bytes.resize(offset + static_cast<std::size_t>(width));
    for (int i = 0; i < width; ++i) bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
}

void appendLe(std::vector<std::byte>& bytes, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i) bytes.push_back(static_cast<std::byte>((value >> (8 * i)) & 0xFF));
}

// Rounds to the nearest integer (ties to even) and clamps into [low, high]; NaN gives 0.
std::int64_t toCode(double value, std::int64_t low, std::int64_t high) {
    if (std::isnan(value)) return 0;
    const double rounded = std::nearbyint(value);
    if (rounded <= static_cast<double>(low)) return low;
    if (rounded >= static_cast<double>(high)) return high;
    return static_cast<std::int64_t>(rounded);
}

}  // namespace

int bytesPerSample(WaveKind kind) {
    switch (kind) {
        case WaveKind::Int16: return 2;
        case WaveKind::Int24: return 3;
        case WaveKind::Int32: return 4;
        case WaveKind::Float32: return 4;
    }
    return 2;
}

int bitsPerSample(WaveKind kind) { return 8 * bytesPerSample(kind); }

std::int16_t formatTagOf(WaveKind kind) { return kind == WaveKind::Float32 ? 3 : 1; }

std::vector<std::byte> makeWaveHeader(const WaveLayout& layout, std::uint32_t dataBytes) {
    const auto blockAlign = static_cast<std::uint32_t>(layout.channels * bytesPerSample(layout.kind));
    std::vector<std::byte> header;
    header.reserve(44);
    setBytes(header, 0, "RIFF");                                               // 0  4  RIFF tag
    putLe(header, 4, 36u + dataBytes, 4);                                      // 4  4  RIFF size
    setBytes(header, 8, "WAVE");                                               // 8  4  form type
    setBytes(header, 12, "fmt ");                                              // 12 4  format chunk tag
    putLe(header, 16, 16, 4);                                                  // 16 4  format chunk size
    putLe(header, 20, static_cast<std::uint16_t>(formatTagOf(layout.kind)), 2);  // 20 2  format tag
    putLe(header, 22, static_cast<std::uint16_t>(layout.channels), 2);         // 22 2  channels
    putLe(header, 24, static_cast<std::uint32_t>(layout.sampleRate), 4);       // 24 4  samples per second
    putLe(header, 28, static_cast<std::uint32_t>(layout.sampleRate) * blockAlign, 4);  // 28 4  bytes per second
    putLe(header, 32, static_cast<std::uint16_t>(blockAlign), 2);              // 32 2  block alignment
    putLe(header, 34, static_cast<std::uint16_t>(bitsPerSample(layout.kind)), 2);  // 34 2  bits per sample
    setBytes(header, 36, "data");                                              // 36 4  data chunk tag
    putLe(header, 40, dataBytes, 4);                                           // 40 4  data size
    return header;
}

std::vector<std::byte> makeChunk(std::string_view tag, std::span<const std::byte> payload,
                                 std::optional<std::uint32_t> claimedSize) {
    std::vector<std::byte> chunk;
    setBytes(chunk, 0, tag);
    appendLe(chunk, claimedSize.value_or(static_cast<std::uint32_t>(payload.size())), 4);
    chunk.insert(chunk.end(), payload.begin(), payload.end());
    if (payload.size() % 2 != 0) chunk.push_back(std::byte{0});
    return chunk;
}

std::vector<std::byte> makeFormatPayload(const WaveLayout& layout, std::size_t size, int subFormatTag) {
    std::vector<std::byte> payload = makeWaveHeader(layout, 0);
    payload = {payload.begin() + 20, payload.begin() + 36};  // the 16 basic fields
    payload.resize(size);
    if (size >= 18) putLe(payload, 16, static_cast<std::uint32_t>(size - 18), 2);  // extension size
    if (size >= 40) {
        putLe(payload, 0, 0xFFFE, 2);
        putLe(payload, 18, static_cast<std::uint32_t>(bitsPerSample(layout.kind)), 2);  // valid bits
        const std::vector<std::byte> guid =
            bytesOf({subFormatTag, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71});
        std::copy(guid.begin(), guid.end(), payload.begin() + 24);
    }
    return payload;
}

std::vector<std::byte> makeRiff(std::string_view riffTag, std::initializer_list<std::vector<std::byte>> chunks) {
    std::vector<std::byte> bytes;
    setBytes(bytes, 0, riffTag);
    appendLe(bytes, 0, 4);
    setBytes(bytes, 8, "WAVE");
    for (const std::vector<std::byte>& chunk : chunks) bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    putLe(bytes, 4, static_cast<std::uint32_t>(bytes.size() - 8), 4);
    return bytes;
}

void appendSample(std::vector<std::byte>& bytes, WaveKind kind, double value) {
    switch (kind) {
        case WaveKind::Int16:
            appendLe(bytes, static_cast<std::uint32_t>(toCode(value, -32768, 32767)), 2);
            return;
        case WaveKind::Int24:
            appendLe(bytes, static_cast<std::uint32_t>(toCode(value, -8388608, 8388607)), 3);
            return;
        case WaveKind::Int32:
            appendLe(bytes, static_cast<std::uint32_t>(toCode(value, INT32_MIN, INT32_MAX)), 4);
            return;
        case WaveKind::Float32:
            appendLe(bytes, std::bit_cast<std::uint32_t>(static_cast<float>(value)), 4);
            return;
    }
}

std::vector<std::byte> makeWaveBytes(const WaveLayout& layout,
                                     const std::vector<std::vector<double>>& channelSamples) {
    const std::size_t frames = channelSamples.empty() ? 0 : channelSamples.front().size();
    return makeWaveBytes(layout, static_cast<std::int64_t>(frames), [&](int channel, std::int64_t frame) {
        const auto& samples = channelSamples.at(static_cast<std::size_t>(channel));
        return samples.at(static_cast<std::size_t>(frame));
    });
}

std::vector<std::byte> makeWaveBytes(const WaveLayout& layout, std::int64_t frames,
                                     const SampleGenerator& generator) {
    const std::uint64_t dataBytes = static_cast<std::uint64_t>(frames) *
                                    static_cast<std::uint64_t>(layout.channels * bytesPerSample(layout.kind));
    std::vector<std::byte> bytes = makeWaveHeader(layout, static_cast<std::uint32_t>(dataBytes));
    bytes.reserve(44 + dataBytes);
    for (std::int64_t frame = 0; frame < frames; ++frame)
        for (int channel = 0; channel < layout.channels; ++channel)
            appendSample(bytes, layout.kind, generator(channel, frame));
    return bytes;
}

void setLe16(std::vector<std::byte>& bytes, std::size_t offset, std::uint16_t value) { putLe(bytes, offset, value, 2); }

void setLe32(std::vector<std::byte>& bytes, std::size_t offset, std::uint32_t value) { putLe(bytes, offset, value, 4); }

void setBytes(std::vector<std::byte>& bytes, std::size_t offset, std::string_view text) {
    if (bytes.size() < offset + text.size()) bytes.resize(offset + text.size());
    for (std::size_t i = 0; i < text.size(); ++i) bytes[offset + i] = static_cast<std::byte>(text[i]);
}

std::uint16_t getLe16(std::span<const std::byte> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[offset]) |
                                      std::to_integer<unsigned>(bytes[offset + 1]) << 8);
}

std::uint32_t getLe32(std::span<const std::byte> bytes, std::size_t offset) {
    return std::to_integer<std::uint32_t>(bytes[offset]) | std::to_integer<std::uint32_t>(bytes[offset + 1]) << 8 |
           std::to_integer<std::uint32_t>(bytes[offset + 2]) << 16 |
           std::to_integer<std::uint32_t>(bytes[offset + 3]) << 24;
}

std::vector<std::byte> bytesOf(std::initializer_list<int> values) {
    std::vector<std::byte> bytes;
    for (const int value : values) bytes.push_back(static_cast<std::byte>(value & 0xFF));
    return bytes;
}

bool writeFileBytes(const std::filesystem::path& path, std::span<const std::byte> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

bool writeWaveFile(const std::filesystem::path& path, const WaveLayout& layout, std::int64_t frames,
                   const SampleGenerator& generator) {
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(layout.channels * bytesPerSample(layout.kind));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::vector<std::byte> header =
        makeWaveHeader(layout, static_cast<std::uint32_t>(static_cast<std::uint64_t>(frames) * frameBytes));
    out.write(reinterpret_cast<const char*>(header.data()), static_cast<std::streamsize>(header.size()));
    const std::int64_t framesPerPiece = std::max<std::int64_t>(1, (1 << 20) / static_cast<std::int64_t>(std::max<std::uint64_t>(frameBytes, 1)));
    std::vector<std::byte> piece;
    for (std::int64_t first = 0; first < frames && out; first += framesPerPiece) {
        piece.clear();
        const std::int64_t last = std::min(frames, first + framesPerPiece);
        for (std::int64_t frame = first; frame < last; ++frame)
            for (int channel = 0; channel < layout.channels; ++channel)
                appendSample(piece, layout.kind, generator(channel, frame));
        out.write(reinterpret_cast<const char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
    }
    out.close();
    return static_cast<bool>(out);
}

ScratchFolder::ScratchFolder() {
    std::random_device entropy;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::filesystem::path candidate =
            base / ("vantorel-test-" + std::to_string(entropy()) + "-" + std::to_string(entropy()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate;
            return;
        }
    }
    path_ = base;  // last resort: files then land directly in the temporary folder
}

ScratchFolder::~ScratchFolder() {
    std::error_code error;
    if (path_ != std::filesystem::temp_directory_path(error)) std::filesystem::remove_all(path_, error);
}

std::string ScratchFolder::file(std::string_view name) const { return (path_ / std::string(name)).string(); }

}  // namespace vantorel::test_support
