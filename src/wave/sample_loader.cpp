#include "wave/sample_loader.h"

#include <algorithm>
#include <new>
#include <vector>

namespace vantorel::wave {

namespace {

std::uint64_t ceilDivide(std::uint64_t value, std::uint64_t divisor) { return value / divisor + (value % divisor != 0); }

template <SampleKind kind>
std::variant<std::uint64_t, LoadFailure> loadKind(const platform::ReadOnlyFile& file, const WaveInfo& info,
                                                   std::uint64_t frames, const SampleBlockReceiver<kind>& receive) {
    const int channels = info.channels;
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(channels) * fileSampleWidth<kind>();

    // Only the bytes the file held when its header was read: a header that
    // claims more data than there is costs no more than the data itself. A
    // frame cut short by the end of the file counts, completed with zeros.
    const std::uint64_t available = info.fileBytes > info.dataOffset ? info.fileBytes - info.dataOffset : 0;
    const std::uint64_t framesToRead = std::min(frames, ceilDivide(available, frameBytes));
    const std::uint64_t bytesToRead = std::min(framesToRead * frameBytes, available);

    const std::uint64_t pieceFrames = kPieceBytes / frameBytes;
    std::vector<std::byte> buffer;
    try {
        buffer.resize(pieceFrames * frameBytes + kBlockPadding);
    } catch (const std::bad_alloc&) {
        return LoadFailure::OutOfMemory;
    }
    platform::adviseSequentialReading(file);

    std::uint64_t framesDone = 0;
    while (framesDone < framesToRead) {
        const std::uint64_t count = std::min(pieceFrames, framesToRead - framesDone);
        const std::uint64_t offset = framesDone * frameBytes;
        const std::uint64_t asked = std::min(count * frameBytes, bytesToRead - offset);
        const std::optional<std::size_t> got = platform::readUpTo(
            file, info.dataOffset + offset, std::span(buffer).first(static_cast<std::size_t>(asked)));
        // Fewer bytes than the file held at the start: it shrank, or the system failed.
        if (!got || *got != asked) return LoadFailure::ReadFailed;
        // A frame cut short by the end of the file ends in zeros, not in bytes
        // left over from the previous piece.
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(asked),
                  buffer.begin() + static_cast<std::ptrdiff_t>(count * frameBytes), std::byte{0});

        receive({.channels = channels,
                 .firstFrame = static_cast<std::int64_t>(framesDone),
                 .frames = static_cast<std::size_t>(count),
                 .bytes = buffer.data()});
        framesDone += count;
    }
    return framesDone;
}

}  // namespace

std::optional<SampleKind> sampleKindFor(const WaveInfo& info) {
    if (info.channels != 1 && info.channels != 2) return std::nullopt;
    switch (info.bitsPerSample) {
        case 16: return SampleKind::Int16;
        case 24: return SampleKind::Int24;
        case 32:
            if (info.formatTag == 1) return SampleKind::Int32;
            if (info.formatTag == 3) return SampleKind::Float32;
            return std::nullopt;
        default: return std::nullopt;
    }
}

std::string_view loadFailureMessage(LoadFailure failure) {
    switch (failure) {
        case LoadFailure::OutOfMemory: return kOutOfMemoryMessage;
        case LoadFailure::ReadFailed: return kReadFailedMessage;
    }
    return kReadFailedMessage;
}

template <SampleKind kind>
std::variant<std::uint64_t, LoadFailure> loadSamples(const platform::ReadOnlyFile& file, const WaveInfo& info,
                                                     std::uint64_t frames, const SampleBlockReceiver<kind>& receive) {
    if (sampleKindFor(info) != kind || frames == 0) return std::uint64_t{0};
    return loadKind<kind>(file, info, frames, receive);
}

template std::variant<std::uint64_t, LoadFailure> loadSamples<SampleKind::Int16>(
    const platform::ReadOnlyFile&, const WaveInfo&, std::uint64_t, const SampleBlockReceiver<SampleKind::Int16>&);
template std::variant<std::uint64_t, LoadFailure> loadSamples<SampleKind::Int24>(
    const platform::ReadOnlyFile&, const WaveInfo&, std::uint64_t, const SampleBlockReceiver<SampleKind::Int24>&);
template std::variant<std::uint64_t, LoadFailure> loadSamples<SampleKind::Int32>(
    const platform::ReadOnlyFile&, const WaveInfo&, std::uint64_t, const SampleBlockReceiver<SampleKind::Int32>&);
template std::variant<std::uint64_t, LoadFailure> loadSamples<SampleKind::Float32>(
    const platform::ReadOnlyFile&, const WaveInfo&, std::uint64_t, const SampleBlockReceiver<SampleKind::Float32>&);

}  // namespace vantorel::wave
