// Fuzzes the decoder seam: the input bytes are an audio file in memory, read
// through the same custom I/O as a file on disk. Whatever the bytes, opening
// either refuses them or gives a format within bounds, and decoding either
// fails with a reason or delivers whole frames in order, with the channels and
// sample kind it announced; the measurement of the delivered frames then gives
// a histogram per channel that counts no more slices than the grid holds.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <variant>

#include "analysis/level_distribution.h"
#include "decode/audio_decoder.h"

namespace {

using namespace vantorel;

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const decode::InputBytes input{
        .read = [bytes](std::uint64_t offset, std::span<std::byte> into) -> std::optional<std::size_t> {
            if (offset >= bytes.size()) return 0;
            const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(into.size(), bytes.size() - offset));
            std::memcpy(into.data(), bytes.data() + offset, count);
            return count;
        },
        .size = size};

    auto opened = decode::openDecodedAudio(input);
    if (std::holds_alternative<decode::DecodeFailure>(opened)) return 0;
    decode::OpenedAudio& audio = std::get<decode::OpenedAudio>(opened);
    const decode::DecodedFormat announced = audio.format;
    check(announced.channels >= 1 && announced.channels <= stream::kMaxChannels);
    check(announced.sampleRate > 0 && announced.frames >= 0);
    check(announced.kind != stream::SampleKind::Int24);

    const auto measured = analysis::analyseDecodedLevels(audio);
    if (const auto* levels = std::get_if<analysis::LevelAnalysis>(&measured)) {
        check(levels->histograms.size() == static_cast<std::size_t>(announced.channels));
        if (announced.exactFrames) check(audio.format.frames == announced.frames);
        for (const analysis::LevelHistogram& histogram : levels->histograms) {
            std::int64_t counted = 0;
            for (const auto count : histogram.bins) counted += count;
            check(counted <= levels->grid.sliceCount);
        }
    }
    return 0;
}
