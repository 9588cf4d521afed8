#pragma once
// The wave header: read at the fixed offsets of the canonical 44-byte header,
// validated, and described on the screen in the FILE DATA panel.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "platform/console.h"

namespace vantorel::wave {

// Byte offset of the first sample: the end of the canonical header.
inline constexpr std::uint64_t kSampleDataOffset = 44;

struct WaveInfo {
    std::int16_t formatTag = 0;      // offset 20: 1 integer PCM, 3 IEEE float
    std::int16_t channels = 0;       // offset 22, low byte only: 0..255
    std::int32_t sampleRate = 0;     // offset 24: samples per second
    std::int16_t bitsPerSample = 0;  // offset 34
    std::uint32_t dataBytes = 0;     // offset 40: data size, unsigned 32-bit
    std::int64_t sampleCount = 0;    // samples per channel (frames); -2^31 when channels x bits is 0
    double durationSeconds = 0;      // sampleCount / sampleRate (infinite or NaN for a rate of 0)
    std::string resolutionText;      // " bits", " bits (integer)" or " bits (float)"
};

enum class HeaderRejection {
    NotWave,        // offset 8 is not "WAVE"
    EightBit,       // 8 bits per sample
    NotPcmOrFloat,  // format tag neither 1 nor 3
};

// Parses and validates the first bytes of a file (fewer than 44 when the file is
// shorter; missing bytes read as 0). Pure: no file, no screen.
std::variant<WaveInfo, HeaderRejection> parseWaveHeader(std::span<const std::byte> headerBytes);

// The exact text of the error box for a rejection.
std::string_view rejectionMessage(HeaderRejection rejection);

// Reads the named file's header, validates it and prints the FILE DATA panel;
// on a rejection shows the error box and gives no WaveInfo.
std::optional<WaveInfo> readWaveHeader(platform::Console& console, const std::string& name);

// Prints the FILE DATA panel (dim) at the cursor, ending with three empty lines.
void printFileDataPanel(platform::Console& console, const WaveInfo& info);

}  // namespace vantorel::wave
