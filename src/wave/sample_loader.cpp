#include "wave/sample_loader.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace vantorel::wave {

using stream::SampleBlockReceiver;
using stream::SampleKind;
using stream::fileSampleWidth;
using stream::kBlockPadding;

namespace {

std::uint64_t ceilDivide(std::uint64_t value, std::uint64_t divisor) { return value / divisor + (value % divisor != 0); }

// Where the pieces of one load lie in the file. Pieces lie at whole multiples
// of pieceFrames from the start of the recording, whatever frame a load starts
// at: the first piece of a load that starts inside one is shorter, and its
// frames lie where they would lie in that whole piece. So a part read on its
// own hands on the same blocks at the same places in the buffer as one pass
// over the whole file, and its sums (float ones too) come out the same.
struct PiecePlan {
    std::uint64_t dataOffset = 0;    // of the first frame to read
    std::uint64_t firstFrame = 0;    // its index in the recording
    std::uint64_t frameBytes = 0;
    std::uint64_t pieceFrames = 0;   // frames of a whole piece
    std::uint64_t lead = 0;          // frames of the first piece before the first frame read
    std::uint64_t framesToRead = 0;  // frames the file holds, up to those asked for
    std::uint64_t bytesToRead = 0;   // their bytes; the last frame may be cut short
    std::uint64_t pieces = 0;

    // The frames of a piece, counted from the first frame read.
    std::uint64_t startOf(std::uint64_t piece) const { return piece == 0 ? 0 : piece * pieceFrames - lead; }
    std::uint64_t framesOf(std::uint64_t piece) const {
        return std::min(framesToRead, (piece + 1) * pieceFrames - lead) - startOf(piece);
    }
    // Where a piece's first frame lies in the buffer.
    std::uint64_t bufferOffsetOf(std::uint64_t piece) const { return (piece == 0 ? lead : 0) * frameBytes; }
};

// Reads piece `piece` into the buffer. A frame cut short by the end of the file
// ends in zeros, not in bytes left over from an earlier piece. False when the
// file gave fewer bytes than it held at the start: it shrank, or the system failed.
bool readPiece(const platform::ReadOnlyFile& file, const PiecePlan& plan, std::uint64_t piece,
               std::vector<std::byte>& buffer) {
    const std::uint64_t offset = plan.startOf(piece) * plan.frameBytes;
    const std::uint64_t whole = plan.framesOf(piece) * plan.frameBytes;
    const std::uint64_t asked = std::min(whole, plan.bytesToRead - offset);
    const std::span<std::byte> into = std::span(buffer).subspan(static_cast<std::size_t>(plan.bufferOffsetOf(piece)),
                                                                static_cast<std::size_t>(whole));
    const std::optional<std::size_t> got =
        platform::readUpTo(file, plan.dataOffset + offset, into.first(static_cast<std::size_t>(asked)));
    if (!got || *got != asked) return false;
    std::fill(into.begin() + static_cast<std::ptrdiff_t>(asked), into.end(), std::byte{0});
    return true;
}

template <SampleKind kind>
void handOn(const PiecePlan& plan, int channels, std::uint64_t piece, const std::vector<std::byte>& buffer,
            const SampleBlockReceiver<kind>& receive) {
    receive({.channels = channels,
             .firstFrame = static_cast<std::int64_t>(plan.firstFrame + plan.startOf(piece)),
             .frames = static_cast<std::size_t>(plan.framesOf(piece)),
             .bytes = buffer.data() + plan.bufferOffsetOf(piece)});
}

// One piece after the other on this thread: read, then hand on.
template <SampleKind kind>
bool loadInTurn(const platform::ReadOnlyFile& file, const PiecePlan& plan, int channels,
                std::vector<std::byte>& buffer, const SampleBlockReceiver<kind>& receive) {
    for (std::uint64_t piece = 0; piece < plan.pieces; ++piece) {
        if (!readPiece(file, plan, piece, buffer)) return false;
        handOn<kind>(plan, channels, piece, buffer, receive);
    }
    return true;
}

template <SampleKind kind>
std::variant<std::uint64_t, LoadFailure> loadKind(const platform::ReadOnlyFile& file, const WaveInfo& info,
                                                   std::uint64_t firstFrame, std::uint64_t frames,
                                                   const SampleBlockReceiver<kind>& receive) {
    const int channels = info.channels;
    PiecePlan plan;
    plan.frameBytes = static_cast<std::uint64_t>(channels) * fileSampleWidth<kind>();
    plan.pieceFrames = kPieceBytes / plan.frameBytes;
    // Only the bytes the file held when its header was read: a header that
    // claims more data than there is costs no more than the data itself. A
    // frame cut short by the end of the file counts, completed with zeros.
    const std::uint64_t available = info.fileBytes > info.dataOffset ? info.fileBytes - info.dataOffset : 0;
    const std::uint64_t skipped = std::min(available, firstFrame * plan.frameBytes);
    plan.dataOffset = info.dataOffset + skipped;
    plan.firstFrame = firstFrame;
    plan.lead = firstFrame % plan.pieceFrames;
    plan.framesToRead = std::min(frames, ceilDivide(available - skipped, plan.frameBytes));
    plan.bytesToRead = std::min(plan.framesToRead * plan.frameBytes, available - skipped);
    plan.pieces = plan.framesToRead == 0 ? 0 : ceilDivide(plan.lead + plan.framesToRead, plan.pieceFrames);

    // One piece after the other on this thread: the piece just read is still
    // in this core's cache when it is measured. (A second thread reading ahead
    // costs more than it saves: its pieces must move between the cores'
    // caches. Long files are read in parts on several threads instead.)
    std::vector<std::byte> buffer;
    try {
        buffer.resize(plan.pieceFrames * plan.frameBytes + kBlockPadding);
    } catch (const std::bad_alloc&) {
        return LoadFailure::OutOfMemory;
    }
    platform::adviseSequentialReading(file);
    const bool ok = loadInTurn<kind>(file, plan, channels, buffer, receive);
    if (!ok) return LoadFailure::ReadFailed;
    return plan.framesToRead;
}

}  // namespace

std::optional<SampleKind> sampleKindFor(const WaveInfo& info) {
    if (info.channels < 1 || info.channels > stream::kMaxChannels) return std::nullopt;
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

stream::StreamFormat streamFormatOf(const WaveInfo& info) {
    return {.channels = info.channels,
            .sampleRate = info.sampleRate,
            .kind = sampleKindFor(info).value_or(SampleKind::Int16),
            .bitsPerSample = info.bitsPerSample,
            .floatEncoding = info.formatTag == 3,
            .lossy = false,
            .frames = info.sampleCount,
            .framesKnown = true,
            .channelMask = info.channelMask,
            .codecName = {}};
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
                                                     std::uint64_t frames, const SampleBlockReceiver<kind>& receive,
                                                     std::uint64_t firstFrame) {
    if (sampleKindFor(info) != kind || frames == 0) return std::uint64_t{0};
    return loadKind<kind>(file, info, firstFrame, frames, receive);
}

template std::variant<std::uint64_t, LoadFailure> loadSamples<SampleKind::Int16>(
    const platform::ReadOnlyFile&, const WaveInfo&, std::uint64_t, const SampleBlockReceiver<SampleKind::Int16>&, std::uint64_t);
template std::variant<std::uint64_t, LoadFailure> loadSamples<SampleKind::Int24>(
    const platform::ReadOnlyFile&, const WaveInfo&, std::uint64_t, const SampleBlockReceiver<SampleKind::Int24>&, std::uint64_t);
template std::variant<std::uint64_t, LoadFailure> loadSamples<SampleKind::Int32>(
    const platform::ReadOnlyFile&, const WaveInfo&, std::uint64_t, const SampleBlockReceiver<SampleKind::Int32>&, std::uint64_t);
template std::variant<std::uint64_t, LoadFailure> loadSamples<SampleKind::Float32>(
    const platform::ReadOnlyFile&, const WaveInfo&, std::uint64_t, const SampleBlockReceiver<SampleKind::Float32>&, std::uint64_t);

stream::SampleSource waveSource(const platform::ReadOnlyFile& file, const WaveInfo& info) {
    stream::SampleSource source{.format = streamFormatOf(info), .readAll = {}, .readPart = {}};
    // Frames first .. end - 1 of the data chunk, handed on in blocks.
    const auto read = [&file, info](std::uint64_t first, std::uint64_t end,
                                    const stream::BlockSink& sink) -> stream::ReadOutcome {
        const std::optional<SampleKind> kind = sampleKindFor(info);
        if (!kind || end <= first) return std::int64_t{0};
        return stream::withKind(*kind, [&]<SampleKind each>() -> stream::ReadOutcome {
            if constexpr (each == SampleKind::Float64) {
                return std::int64_t{0};  // no wave file holds doubles
            } else {
                const auto loaded = loadSamples<each>(
                    file, info, end - first,
                    [&](const stream::ChannelSamples<each>& block) { sink(stream::AnyBlock{block}); }, first);
                if (const auto* failure = std::get_if<LoadFailure>(&loaded))
                    return stream::SourceFailure{.kind = *failure == LoadFailure::OutOfMemory
                                                             ? stream::SourceFailure::Kind::OutOfMemory
                                                             : stream::SourceFailure::Kind::ReadFailed,
                                                 .detail = {}};
                return static_cast<std::int64_t>(std::get<std::uint64_t>(loaded));
            }
        });
    };
    const auto frames = static_cast<std::uint64_t>(std::max<std::int64_t>(info.sampleCount, 0));
    source.readAll = [read, frames](const stream::BlockSink& sink) { return read(0, frames, sink); };
    // Any part can be read on its own: the file is read with pread, at offsets.
    source.readPart = [read, frames](std::int64_t first, std::int64_t end, const stream::BlockSink& sink) {
        const auto from = static_cast<std::uint64_t>(std::max<std::int64_t>(first, 0));
        const auto to = std::min(frames, static_cast<std::uint64_t>(std::max<std::int64_t>(end, 0)));
        const stream::ReadOutcome outcome = read(from, to, sink);
        // A part ends where it should: the file held every frame of it.
        if (const auto* delivered = std::get_if<std::int64_t>(&outcome); delivered && *delivered != end - first)
            return stream::ReadOutcome{stream::SourceFailure{.kind = stream::SourceFailure::Kind::ReadFailed, .detail = {}}};
        return outcome;
    };
    return source;
}

}  // namespace vantorel::wave
