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

// Pieces read ahead of the scan: the reading thread fills one while the scan
// takes another, and a third absorbs the jitter between them.
constexpr std::size_t kPiecesInFlight = 3;

// Where the pieces of one load lie in the file.
struct PiecePlan {
    std::uint64_t dataOffset = 0;
    std::uint64_t frameBytes = 0;
    std::uint64_t pieceFrames = 0;   // frames of a whole piece
    std::uint64_t framesToRead = 0;  // frames the file holds, up to those asked for
    std::uint64_t bytesToRead = 0;   // their bytes; the last frame may be cut short
    std::uint64_t pieces = 0;

    std::uint64_t framesOf(std::uint64_t piece) const {
        return std::min(pieceFrames, framesToRead - piece * pieceFrames);
    }
};

// Reads piece `piece` into the buffer. A frame cut short by the end of the file
// ends in zeros, not in bytes left over from an earlier piece. False when the
// file gave fewer bytes than it held at the start: it shrank, or the system failed.
bool readPiece(const platform::ReadOnlyFile& file, const PiecePlan& plan, std::uint64_t piece,
               std::vector<std::byte>& buffer) {
    const std::uint64_t offset = piece * plan.pieceFrames * plan.frameBytes;
    const std::uint64_t whole = plan.framesOf(piece) * plan.frameBytes;
    const std::uint64_t asked = std::min(whole, plan.bytesToRead - offset);
    const std::optional<std::size_t> got =
        platform::readUpTo(file, plan.dataOffset + offset, std::span(buffer).first(static_cast<std::size_t>(asked)));
    if (!got || *got != asked) return false;
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(asked), buffer.begin() + static_cast<std::ptrdiff_t>(whole),
              std::byte{0});
    return true;
}

template <SampleKind kind>
void handOn(const PiecePlan& plan, int channels, std::uint64_t piece, const std::vector<std::byte>& buffer,
            const SampleBlockReceiver<kind>& receive) {
    receive({.channels = channels,
             .firstFrame = static_cast<std::int64_t>(piece * plan.pieceFrames),
             .frames = static_cast<std::size_t>(plan.framesOf(piece)),
             .bytes = buffer.data()});
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

// How far the reading thread and the scan have got, in pieces. A mutex and a
// condition variable rather than atomic waits: without a futex (the Windows
// build's libstdc++), an atomic wait reads the value before it takes its lock
// and can sleep through the notification that came in between.
class PieceProgress {
public:
    void advance(std::uint64_t& counter, std::uint64_t value) {
        {
            const std::lock_guard lock(mutex_);
            counter = value;
        }
        changed_.notify_all();
    }
    // Ends every wait, now and later: the scan has stopped taking pieces.
    void stop() {
        {
            const std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }
    // Waits until `ready` holds, read under the lock; false when stopped instead.
    template <typename Condition>
    bool waitFor(Condition ready) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || ready(); });
        return !stopped_;
    }

    std::uint64_t filled = 0;  // pieces the reading thread has finished with
    std::uint64_t used = 0;    // pieces handed on

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
};

// The reading thread of one load, stopped and joined however the load is left:
// after the last piece, at a piece that could not be read, or when the receiver
// throws. Declared after everything the thread uses, so it goes first.
class ReadingThread {
public:
    explicit ReadingThread(PieceProgress& progress) : progress_(progress) {}
    ReadingThread(const ReadingThread&) = delete;
    ReadingThread& operator=(const ReadingThread&) = delete;
    ~ReadingThread() {
        progress_.stop();
        if (thread_.joinable()) thread_.join();
    }
    // False when no thread could be started (nothing has run then).
    template <typename Work>
    bool start(Work work) {
        try {
            thread_ = std::thread(std::move(work));
            return true;
        } catch (const std::system_error&) {
            return false;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }

private:
    PieceProgress& progress_;
    std::thread thread_;
};

// A second thread reads the pieces into the buffers in turn while this one
// hands each on as soon as it is there, so that reading and scanning overlap.
// The reading thread stops at the first piece it cannot read; everything it
// shares with this thread is the buffers and the progress counters. An
// exception from the receiver reaches the caller once the thread is joined.
// No value when the thread could not be started: nothing was read or handed on.
template <SampleKind kind>
std::optional<bool> loadAhead(const platform::ReadOnlyFile& file, const PiecePlan& plan, int channels,
                              std::array<std::vector<std::byte>, kPiecesInFlight>& buffers,
                              const SampleBlockReceiver<kind>& receive) {
    std::array<bool, kPiecesInFlight> read{};
    PieceProgress progress;
    ReadingThread reader(progress);
    const bool started = reader.start([&] {
        for (std::uint64_t piece = 0; piece < plan.pieces; ++piece) {
            if (!progress.waitFor([&] { return piece - progress.used < kPiecesInFlight; })) return;
            const bool ok = readPiece(file, plan, piece, buffers[piece % kPiecesInFlight]);
            read[piece % kPiecesInFlight] = ok;
            progress.advance(progress.filled, piece + 1);
            if (!ok) return;
        }
    });
    if (!started) return std::nullopt;
    bool ok = true;
    for (std::uint64_t piece = 0; piece < plan.pieces && ok; ++piece) {
        progress.waitFor([&] { return progress.filled > piece; });
        ok = read[piece % kPiecesInFlight];
        if (ok) handOn<kind>(plan, channels, piece, buffers[piece % kPiecesInFlight], receive);
        progress.advance(progress.used, piece + 1);
    }
    return ok;
}

template <SampleKind kind>
std::variant<std::uint64_t, LoadFailure> loadKind(const platform::ReadOnlyFile& file, const WaveInfo& info,
                                                   std::uint64_t frames, const SampleBlockReceiver<kind>& receive) {
    const int channels = info.channels;
    PiecePlan plan;
    plan.dataOffset = info.dataOffset;
    plan.frameBytes = static_cast<std::uint64_t>(channels) * fileSampleWidth<kind>();
    plan.pieceFrames = kPieceBytes / plan.frameBytes;
    // Only the bytes the file held when its header was read: a header that
    // claims more data than there is costs no more than the data itself. A
    // frame cut short by the end of the file counts, completed with zeros.
    const std::uint64_t available = info.fileBytes > info.dataOffset ? info.fileBytes - info.dataOffset : 0;
    plan.framesToRead = std::min(frames, ceilDivide(available, plan.frameBytes));
    plan.bytesToRead = std::min(plan.framesToRead * plan.frameBytes, available);
    plan.pieces = ceilDivide(plan.framesToRead, plan.pieceFrames);

    // Decoding 24-bit samples takes about as long as reading them, so longer
    // 24-bit files are read ahead of the scan by a second thread. The other
    // kinds scan far faster than they read: for them the hand-over between two
    // threads costs more than it saves, and they are read in turn.
    const bool readAhead = plan.pieces > kPiecesInFlight;
    const std::size_t bufferCount = readAhead ? kPiecesInFlight : 1;
    std::array<std::vector<std::byte>, kPiecesInFlight> buffers;
    try {
        for (std::size_t i = 0; i < bufferCount; ++i) buffers[i].resize(plan.pieceFrames * plan.frameBytes + kBlockPadding);
    } catch (const std::bad_alloc&) {
        return LoadFailure::OutOfMemory;
    }
    platform::adviseSequentialReading(file);

    // Without a thread to be had the pieces are read in turn; once a block has
    // been handed on nothing is read twice.
    const std::optional<bool> readAheadOk =
        readAhead ? loadAhead<kind>(file, plan, channels, buffers, receive) : std::nullopt;
    const bool ok = readAheadOk ? *readAheadOk : loadInTurn<kind>(file, plan, channels, buffers[0], receive);
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

stream::SampleSource waveSource(const platform::ReadOnlyFile& file, const WaveInfo& info) {
    stream::SampleSource source{.format = streamFormatOf(info), .readAll = {}, .readPart = {}};
    source.readAll = [&file, info](const stream::BlockSink& sink) -> stream::ReadOutcome {
        const std::optional<SampleKind> kind = sampleKindFor(info);
        if (!kind) return std::int64_t{0};
        const auto frames = static_cast<std::uint64_t>(std::max<std::int64_t>(info.sampleCount, 0));
        return stream::withKind(*kind, [&]<SampleKind each>() -> stream::ReadOutcome {
            if constexpr (each == SampleKind::Float64) {
                return std::int64_t{0};  // no wave file holds doubles
            } else {
                const auto loaded = loadSamples<each>(
                    file, info, frames, [&](const stream::ChannelSamples<each>& block) { sink(stream::AnyBlock{block}); });
                if (const auto* failure = std::get_if<LoadFailure>(&loaded))
                    return stream::SourceFailure{.kind = *failure == LoadFailure::OutOfMemory
                                                             ? stream::SourceFailure::Kind::OutOfMemory
                                                             : stream::SourceFailure::Kind::ReadFailed,
                                                 .detail = {}};
                return static_cast<std::int64_t>(std::get<std::uint64_t>(loaded));
            }
        });
    };
    return source;
}

}  // namespace vantorel::wave
