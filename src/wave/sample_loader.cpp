#include "wave/sample_loader.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>

#include "platform/files.h"
#include "platform/memory_advice.h"
#include "wave/frame_split.h"

namespace vantorel::wave {

namespace {

// Mono samples of 16 and 32 bits are read straight into their array, which
// keeps their little-endian order only on a little-endian host.
static_assert(std::endian::native == std::endian::little, "sample copies assume a little-endian host");

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::uint64_t ceilDivide(std::uint64_t value, std::uint64_t divisor) { return (value + divisor - 1) / divisor; }

// Bytes of file data read and split at a time: small enough to stay in the
// cache between the read and the split, large enough that calls cost nothing.
constexpr std::uint64_t kPieceBytes = 256 * 1024;

template <SampleKind kind>
std::variant<ChannelSamples, LoadFailure> loadKind(const std::string& name, const WaveInfo& info,
                                                    LoadPhaseTimes* times) {
    using Element = typename SampleElement<kind>::type;
    constexpr std::uint64_t width = fileSampleWidth<kind>();
    const bool stereo = info.channels == 2;
    // A count of channels 1 or 2 times 16, 24 or 32 bits gives 0 <= N <= 2^31.
    const auto frames = static_cast<std::uint64_t>(info.sampleCount);

    ChannelSamples samples;
    samples.sampleKind = kind;
    samples.sampleCount = info.sampleCount;
    if (frames == 0) return samples;

    // The channel arrays come from fresh zero pages: whatever the file does not
    // supply stays 0 without a pass over memory, and parts never written cost nothing.
    auto start = Clock::now();
    auto first = platform::allocateZeroedArray<Element>(frames);
    std::optional<platform::ZeroedBlock> second;
    if (stereo) second = platform::allocateZeroedArray<Element>(frames);
    if (!first || (stereo && !second)) return LoadFailure::OutOfMemory;
    // Filling fresh memory is mostly page faults; large pages make far fewer of them.
    platform::preferLargePages(*first);
    if (stereo) platform::preferLargePages(*second);
    if (times != nullptr) times->allocating = secondsSince(start);

    // Hands the arrays over in their fields, whatever the file gave.
    const auto finished = [&]() {
        if (stereo) {
            samples.left = std::move(*first);
            samples.right = std::move(*second);
        } else {
            samples.mono = std::move(*first);
        }
        return std::move(samples);
    };

    // A file that vanished since its header was read leaves the arrays at 0.
    const auto file = platform::openRegularFileForReading(name);
    if (!file) {
        samples.zeroFrom = 0;
        return finished();
    }

    // Only the bytes the file really holds are read and decoded: a header that
    // claims more data than there is costs no more than the data itself.
    const std::uint64_t frameBytes = (stereo ? 2 : 1) * width;
    const std::uint64_t size = platform::fileSize(*file);
    const std::uint64_t available = size > info.dataOffset ? size - info.dataOffset : 0;
    const std::uint64_t wanted = std::min(frames * frameBytes, available);

    if (!stereo && width == sizeof(Element)) {
        // Mono samples in their memory form: one read straight into the array.
        start = Clock::now();
        const std::size_t got =
            platform::readAt(*file, info.dataOffset, {first->data(), static_cast<std::size_t>(wanted)});
        if (times != nullptr) times->reading = secondsSince(start);
        samples.zeroFrom = static_cast<std::int64_t>(ceilDivide(got, frameBytes));
        return finished();
    }

    // Interleaved or 3-byte samples are read in pieces of whole frames into one
    // small buffer and split from there while it is still in the cache. A
    // temporary as large as the data would double the fresh memory the load has
    // to fault in, and faulting in fresh memory is most of a load's cost.
    const std::uint64_t pieceFrames = kPieceBytes / frameBytes;
    const std::uint64_t pieceBytes = pieceFrames * frameBytes;
    start = Clock::now();
    // The decoders may look a few bytes past a piece's last sample; reads never
    // reach that padding.
    auto buffer = platform::allocateZeroedArray<std::byte>(pieceBytes + kSplitPadding);
    if (!buffer) return LoadFailure::OutOfMemory;
    if (times != nullptr) times->allocating += secondsSince(start);

    std::uint64_t framesRead = 0;
    for (std::uint64_t offset = 0; offset < wanted; offset += pieceBytes) {
        const std::uint64_t asked = std::min(pieceBytes, wanted - offset);
        start = Clock::now();
        const std::size_t got =
            platform::readAt(*file, info.dataOffset + offset, {buffer->data(), static_cast<std::size_t>(asked)});
        if (times != nullptr) times->reading += secondsSince(start);

        start = Clock::now();
        // A frame cut short by the end of the file ends in zeros, not in bytes
        // left over from the previous piece.
        const std::uint64_t framesInPiece = ceilDivide(got, frameBytes);
        std::memset(buffer->data() + got, 0, static_cast<std::size_t>(framesInPiece * frameBytes - got));
        const auto count = static_cast<std::size_t>(framesInPiece);
        if (stereo) {
            splitStereoFrames<kind>(buffer->data(), count, platform::elementsOf<Element>(*first).data() + framesRead,
                                    platform::elementsOf<Element>(*second).data() + framesRead);
        } else {
            decodeMonoSamples<kind>(buffer->data(), count, platform::elementsOf<Element>(*first).data() + framesRead);
        }
        framesRead += framesInPiece;
        if (times != nullptr) times->splitting += secondsSince(start);
        if (got < asked) break;  // the end of the file, or a read error: the rest stays 0
    }
    samples.zeroFrom = static_cast<std::int64_t>(framesRead);
    return finished();
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

std::variant<ChannelSamples, LoadFailure> loadSamples(const std::string& name, const WaveInfo& info) {
    return loadSamples(name, info, nullptr);
}

std::variant<ChannelSamples, LoadFailure> loadSamples(const std::string& name, const WaveInfo& info,
                                                      LoadPhaseTimes* times) {
    const auto kind = sampleKindFor(info);
    if (!kind || info.sampleCount < 0) return ChannelSamples{};
    switch (*kind) {
        case SampleKind::Int16: return loadKind<SampleKind::Int16>(name, info, times);
        case SampleKind::Int24: return loadKind<SampleKind::Int24>(name, info, times);
        case SampleKind::Int32: return loadKind<SampleKind::Int32>(name, info, times);
        case SampleKind::Float32: return loadKind<SampleKind::Float32>(name, info, times);
    }
    return ChannelSamples{};
}

}  // namespace vantorel::wave
