#pragma once
// Sample loading: the data chunk read in pieces of whole frames into one small
// buffer, each piece handed on as a block as soon as it is read.
//
// How the data flow through a job:
//   file --(pieces of whole frames, one small buffer)--> loadSamples
//        --(a ChannelSamples block per piece, through waveSource)-->
//          analysis::analyseStream, which hands each block to its receivers:
//          the dynamics meter's kernels fold it into the peaks of the current
//          slice per channel and the DR block in one pass,
//        --(a level per finished slice)--> the level histograms.
// Nothing holds the whole recording:
// memory is the same for a minute and for ten hours, and each byte is touched
// once after the read, while it is still in the cache.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "platform/files.h"
#include "stream/sample_source.h"
#include "stream/samples.h"
#include "stream/stream_format.h"
#include "wave/wave_info.h"

namespace vantorel::wave {


// The kind a header gets, or none for layouts that are not loaded (channels
// other than 1 to 8, bit depths other than 16, 24 and 32).
std::optional<stream::SampleKind> sampleKindFor(const WaveInfo& info);

// The header as every source describes its stream (a layout that is not
// loaded gets the kind Int16 and is never read).
stream::StreamFormat streamFormatOf(const WaveInfo& info);

// The wave file as a source of samples: its data read in pieces from the open
// file (which must stay open while the source is used), whole or in parts.
stream::SampleSource waveSource(const platform::ReadOnlyFile& file, const WaveInfo& info);

enum class LoadFailure {
    OutOfMemory,  // the read buffer cannot be allocated
    ReadFailed,   // a read error, or the file shrank since its header was read
};

// Error box texts of the failures.
inline constexpr std::string_view kOutOfMemoryMessage = "Not enough memory to load this file  ";
inline constexpr std::string_view kReadFailedMessage = "Could not read the whole file  ";
std::string_view loadFailureMessage(LoadFailure failure);

// Bytes of file data read and scanned at a time: the buffer stays in the cache
// between the read and the scan.
inline constexpr std::uint64_t kPieceBytes = 256 * 1024;

// Reads frames firstFrame .. firstFrame + frames - 1 of the data chunk from the
// open file and hands them on in order, in blocks of whole frames (their
// firstFrame counted from the start of the recording). Only what the file held when its
// header was read (info.fileBytes) is read: a file shorter than its header
// claims ends early, its last frame completed with zero bytes; a file that has
// shrunk since, or a read error, is a failure. Gives the frames handed on.
// An exception from the receiver ends the load and reaches the caller. `kind` must be
// sampleKindFor(info), the channels 1 to 8. Prints nothing.
template <stream::SampleKind kind>
std::variant<std::uint64_t, LoadFailure> loadSamples(const platform::ReadOnlyFile& file, const WaveInfo& info,
                                                     std::uint64_t frames, const stream::SampleBlockReceiver<kind>& receive,
                                                     std::uint64_t firstFrame = 0);

}  // namespace vantorel::wave
