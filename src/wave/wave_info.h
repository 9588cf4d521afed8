#pragma once
// The wave header: the format and data chunks found and the fields validated.
// (The FILE DATA panel that shows them is the dialogue's: app/job_screen.h.)
//
// Which bytes are read, in this order:
//  1. The chunks are walked from offset 12: a 4-byte tag, a 4-byte size, the
//     payload and a pad byte after an odd size. Where a writer left the pad
//     byte out, the next chunk header is taken one byte earlier if only there
//     it is one, or if it is "data" or "fmt " there. The first "fmt " chunk of at least 16 bytes gives the format
//     fields, the first "data" chunk after it the data size and the offset of
//     the samples; the walk stops there. A walk that finds both wins, whatever
//     other chunks hold at offset 36 (a bext description or a ds64 count that
//     reads "data"). A file that ends inside a chunk or a chunk header after
//     the format and before the data was cut.
//  2. Otherwise a file laid out like the canonical 44-byte header (a 16-byte
//     chunk at offset 12, or "data" at offset 36), or whose walk merely ran out
//     of chunks, is read at the fixed offsets whatever its tags say, samples
//     from offset 44.
//  3. Otherwise its chunks are damaged (a size past the end of the file, a
//     format chunk shorter than 16 bytes, the data before the format), and the
//     file is refused.
// Then:
//  - the extensible format tag (0xFFFE) with a format chunk of at least 40 bytes
//    counts as tag 1 or 3 when its sub-format is integer PCM or IEEE float;
//  - RF64 and BW64 files take a data size of 0xFFFFFFFF from their ds64 chunk,
//    unless that holds 0 as well;
//  - a data size of 0xFFFFFFFF (a writer that streamed to a pipe), or of 0 with
//    bytes after the data chunk's header that are no chunk header (a recording
//    never closed), means the data run to the end of the file; a data size of 0
//    followed by another chunk is an empty recording;
//  - only layouts the loader reads pass: 16, 24 or 32 bits, one to eight channels;
//  - a file that holds fewer whole frames than its data size (or ds64) states,
//    or that ends before its data chunk header, was cut or is still being
//    written, and is refused; a last frame cut short is no frame lost.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "platform/files.h"

namespace vantorel::wave {

// Byte offset of the first sample in the canonical header.
inline constexpr std::uint64_t kSampleDataOffset = 44;

struct WaveInfo {
    std::int16_t formatTag = 0;      // format payload +0: 1 integer PCM, 3 IEEE float (offset 20 canonically)
    std::int16_t channels = 0;       // format payload +2, low byte only: 0..255
    std::int32_t sampleRate = 0;     // format payload +4: samples per second
    std::int16_t bitsPerSample = 0;  // format payload +14: the container's bits
    std::uint64_t dataBytes = 0;     // data chunk size (offset 40 canonically), ds64's, or up to the end of the file
    std::uint64_t dataOffset = kSampleDataOffset;  // file offset of the first sample
    std::uint64_t fileBytes = 0;     // size of the file when its header was read
    std::int64_t sampleCount = 0;    // samples per channel (frames)
    double durationSeconds = 0;      // sampleCount / sampleRate (infinite or NaN for a rate of 0)
    std::string resolutionText;      // " bits", " bits (integer)" or " bits (float)"
    std::uint64_t channelMask = 0;   // channel positions (extensible format's mask); 0 when not given
    std::string formatName;          // the codec of a file in another format ("FLAC"); empty for WAV
    bool lossy = false;              // decoded from a lossy codec: bitsPerSample is the decoder's, not the source's
};

// Checked in this order; the first that applies is the file's rejection. Cut
// comes right after the chunks when the file ends before the format fields.
enum class HeaderRejection {
    NotWave,             // offset 8 is not "WAVE"
    DamagedChunks,       // chunks that contradict each other or the file's size
    EightBit,            // 8 bits per sample
    NotPcmOrFloat,       // format tag neither 1 nor 3
    UnreadableBits,      // bits per sample other than 16, 24 and 32
    UnreadableChannels,  // channel counts other than 1 to 8 (3 to 8 also in the full count and block alignment)
    Cut,                 // fewer whole frames than the data size states, or no data chunk header at all
};

// Reads up to into.size() bytes of a file from an offset; gives how many it read.
using FileByteReader = std::function<std::size_t(std::uint64_t offset, std::span<std::byte> into)>;

// Finds the chunks, parses and validates the header of a file of `fileSize`
// bytes. Bytes that cannot be read count as 0. The walk only moves forward and
// reads its chunk headers a window at a time, so a file of a hundred thousand
// tiny chunks costs a few reads. No screen.
std::variant<WaveInfo, HeaderRejection> parseWaveHeader(const FileByteReader& read, std::uint64_t fileSize);

// The same for a whole file held in memory. Pure.
std::variant<WaveInfo, HeaderRejection> parseWaveHeader(std::span<const std::byte> fileBytes);

// The exact text of the error box for a rejection.
std::string_view rejectionMessage(HeaderRejection rejection);

// parseWaveHeader over an open file, as large as it is now.
std::variant<WaveInfo, HeaderRejection> parseWaveFile(const platform::ReadOnlyFile& file);

}  // namespace vantorel::wave
