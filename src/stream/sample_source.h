#pragma once
// One interface for every source of samples, the wave reader's and the
// decoders' alike: a description of the stream, a read of the whole stream in
// order, and, where the stream allows it, reads of parts of it that may run on
// several threads at once. A source hands on blocks of whole frames of the
// one kind its format names.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <variant>

#include "stream/samples.h"
#include "stream/stream_format.h"

namespace vantorel::stream {

// A block of whichever kind the stream delivers.
using AnyBlock = std::variant<ChannelSamples<SampleKind::Int16>, ChannelSamples<SampleKind::Int24>,
                              ChannelSamples<SampleKind::Int32>, ChannelSamples<SampleKind::Float32>,
                              ChannelSamples<SampleKind::Float64>>;

using BlockSink = std::function<void(const AnyBlock& block)>;

// Calls `run.template operator()<kind>()` for the kind, and gives what it
// gives: the one place where code chooses by the sample kind.
template <class Run>
decltype(auto) withKind(SampleKind kind, Run&& run) {
    switch (kind) {
        case SampleKind::Int16: return run.template operator()<SampleKind::Int16>();
        case SampleKind::Int24: return run.template operator()<SampleKind::Int24>();
        case SampleKind::Int32: return run.template operator()<SampleKind::Int32>();
        case SampleKind::Float32: return run.template operator()<SampleKind::Float32>();
        case SampleKind::Float64: break;
    }
    return run.template operator()<SampleKind::Float64>();
}

// Why a read ended before the end of the stream.
struct SourceFailure {
    enum class Kind {
        ReadFailed,   // a read error, or the file shrank while it was read
        OutOfMemory,  // the read buffers could not be had
        Damaged,      // a decode error, lost frames, a stream that ends before its stated length
        Unsupported,  // a codec or sample format that cannot be delivered
    };
    Kind kind = Kind::ReadFailed;
    std::string detail;  // the decoder's own words where it gave some
};

// The frames handed on, or why the read failed.
using ReadOutcome = std::variant<std::int64_t, SourceFailure>;

struct SampleSource {
    StreamFormat format;
    // Reads the whole stream once, in order. Where format.framesKnown is
    // false, the frames handed on are the stream's length.
    std::function<ReadOutcome(const BlockSink& sink)> readAll;
    // Reads frames first .. end - 1 through an opening of its own (first counted
    // from the start of the stream); the part that ends at the stream's end
    // checks that it ends there. Empty where the stream cannot be read so.
    std::function<ReadOutcome(std::int64_t first, std::int64_t end, const BlockSink& sink)> readPart;
};

}  // namespace vantorel::stream
