#pragma once
// What a source says of its stream before and after reading it, whatever the
// file's format: the wave reader and the decoders both describe their input
// so, the FILE DATA panel shows it, and every output names it from it.

#include <cstdint>
#include <string>

#include "stream/samples.h"

namespace vantorel::stream {

struct StreamFormat {
    int channels = 0;               // 1 .. kMaxChannels (a wave header's count as read)
    std::int32_t sampleRate = 0;    // frames per second (a wave header may say 0)
    SampleKind kind = SampleKind::Int16;  // of the blocks handed on
    int bitsPerSample = 0;          // of the source's samples; a lossy source's: of its decoding
    bool floatEncoding = false;     // the source declares float samples (wave format 3, a float codec)
    bool lossy = false;             // a lossy codec: the samples are its float decoding
    std::int64_t frames = 0;        // frames per channel: as the header states them, or as decoded
    bool framesKnown = true;        // frames is exact before the stream is read (not so for lossy codecs)
    std::uint64_t channelMask = 0;  // speaker positions (extensible format bit order); 0 when not stated
    std::string codecName;          // empty for a wave file; "FLAC", "MP3", "AIFF PCM", ...
    friend bool operator==(const StreamFormat&, const StreamFormat&) = default;
};

// frames / sampleRate in seconds; for a rate of 0 an infinity of the frames'
// sign, or NaN for no frames, as IEEE division would give, without dividing
// by zero.
double durationSeconds(const StreamFormat& format);

// " bits (float)" for 32- and 64-bit float samples, " bits (integer)" for
// 32-bit integers, " bits" for the rest (a 16-bit wave file of format 3 too).
std::string resolutionText(const StreamFormat& format);

}  // namespace vantorel::stream
