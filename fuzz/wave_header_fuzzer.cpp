// Fuzzes the wave header reader: parseWaveHeader on arbitrary leading bytes of a
// file, then the FILE DATA panel of every accepted header on the in-memory console.
//
// The header's fields are decoded here once more, byte by byte at their fixed
// offsets, and every field, the rejection order, the derived sample count (the
// exact quotient rounded with integers, ties to even), the duration and the
// resolution text are compared with what the reader gives.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <variant>

#include "app/number_format.h"
#include "fuzz_check.h"
#include "platform/console.h"
#include "platform/memory_console.h"
#include "platform/screen_buffer.h"
#include "wave/wave_info.h"

namespace {

using namespace vantorel;

// The first 44 bytes, missing ones as 0.
struct PaddedHeader {
    std::array<std::uint8_t, 44> bytes{};

    PaddedHeader(const std::uint8_t* data, std::size_t size) {
        std::memcpy(bytes.data(), data, size < bytes.size() ? size : bytes.size());
    }
    std::uint32_t u16(std::size_t offset) const { return bytes[offset] | std::uint32_t{bytes[offset + 1]} << 8; }
    std::uint32_t u32(std::size_t offset) const {
        return u16(offset) | std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
    }
};

// Two's complement of a 16- or 32-bit field, without relying on conversions.
std::int64_t signed16(std::uint32_t bits) { return bits >= 0x8000 ? std::int64_t{bits} - 0x10000 : bits; }
std::int64_t signed32(std::uint32_t bits) {
    return bits >= 0x80000000u ? std::int64_t{bits} - 0x100000000LL : std::int64_t{bits};
}

// dataBytes x 8 / (channels x bits), the exact quotient rounded to nearest with
// ties to even, in integers; INT32_MIN when the divisor is 0.
std::int64_t expectedSampleCount(std::uint32_t dataBytes, std::int64_t channels, std::int64_t bits) {
    const std::int64_t divisor = channels * bits;
    if (divisor == 0) return std::numeric_limits<std::int32_t>::min();
    const std::int64_t dividend = std::int64_t{dataBytes} * 8;
    const std::int64_t magnitude = divisor < 0 ? -divisor : divisor;
    std::int64_t quotient = dividend / magnitude;
    const std::int64_t remainder = dividend % magnitude;
    if (2 * remainder > magnitude || (2 * remainder == magnitude && quotient % 2 == 1)) ++quotient;
    return divisor < 0 ? -quotient : quotient;
}

void checkDuration(const wave::WaveInfo& info) {
    if (info.sampleRate != 0) {
        FUZZ_CHECK(info.durationSeconds ==
                   static_cast<double>(info.sampleCount) / static_cast<double>(info.sampleRate));
    } else if (info.sampleCount == 0) {
        FUZZ_CHECK(std::isnan(info.durationSeconds));
    } else {
        FUZZ_CHECK(std::isinf(info.durationSeconds));
        FUZZ_CHECK(std::signbit(info.durationSeconds) == (info.sampleCount < 0));
    }
}

// The panel's rows start at the top of a fresh screen: heading, empty row, then
// the five labelled rows, each label 40 characters followed by its value.
void checkPanel(const wave::WaveInfo& info) {
    platform::MemoryConsoleDevice device;
    platform::Console console = platform::makeConsole(device);
    wave::printFileDataPanel(console, info);

    const std::string label(28, ' ');
    FUZZ_CHECK(platform::rowText(console.screen, 1).starts_with(label + "FILE DATA"));
    FUZZ_CHECK(platform::rowText(console.screen, 3)
                   .starts_with(label + "Channels    " + app::formatNumber(info.channels, 7) + " "));
    FUZZ_CHECK(platform::rowText(console.screen, 4)
                   .starts_with(label + "Sample rate " + app::formatNumber(info.sampleRate, 15) + " Hz"));
    FUZZ_CHECK(platform::rowText(console.screen, 5)
                   .starts_with(label + "Resolution  " + app::numberText(info.bitsPerSample, 7) +
                                info.resolutionText));
    FUZZ_CHECK(platform::rowText(console.screen, 6)
                   .starts_with(label + "Length      " +
                                app::formatNumber(static_cast<long double>(info.sampleCount), 15) +
                                " samples"));
    FUZZ_CHECK(platform::rowText(console.screen, 7).starts_with(label + "Duration    "));
    FUZZ_CHECK(platform::rowText(console.screen, 7).find(" seconds") != std::string::npos);
    FUZZ_CHECK(console.screen.cursorRow == 11 && console.screen.cursorColumn == 1);
    FUZZ_CHECK(device.boxes.empty() && device.beeps == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parsed = wave::parseWaveHeader(std::as_bytes(std::span(data, size)));
    const PaddedHeader header(data, size);

    const bool isWave = size >= 12 && std::memcmp(data + 8, "WAVE", 4) == 0;
    const std::int64_t formatTag = signed16(header.u16(20));
    const std::int64_t channels = header.bytes[22];
    const std::int64_t bits = signed16(header.u16(34));

    if (const auto* rejection = std::get_if<wave::HeaderRejection>(&parsed)) {
        // The first failing test decides, in the order WAVE, 8 bits, format tag.
        if (!isWave) {
            FUZZ_CHECK(*rejection == wave::HeaderRejection::NotWave);
        } else if (bits == 8) {
            FUZZ_CHECK(*rejection == wave::HeaderRejection::EightBit);
        } else {
            FUZZ_CHECK(formatTag != 1 && formatTag != 3);
            FUZZ_CHECK(*rejection == wave::HeaderRejection::NotPcmOrFloat);
        }
        FUZZ_CHECK(!wave::rejectionMessage(*rejection).empty());
        return 0;
    }

    const wave::WaveInfo& info = std::get<wave::WaveInfo>(parsed);
    FUZZ_CHECK(isWave);
    FUZZ_CHECK(bits != 8);
    FUZZ_CHECK(formatTag == 1 || formatTag == 3);

    FUZZ_CHECK(info.formatTag == formatTag);
    FUZZ_CHECK(info.channels == channels);
    FUZZ_CHECK(info.channels >= 0 && info.channels <= 255);
    FUZZ_CHECK(info.sampleRate == signed32(header.u32(24)));
    FUZZ_CHECK(info.bitsPerSample == bits);
    FUZZ_CHECK(info.dataBytes == header.u32(40));
    FUZZ_CHECK(info.sampleCount == expectedSampleCount(info.dataBytes, channels, bits));
    checkDuration(info);

    if (bits == 32 && formatTag == 1) {
        FUZZ_CHECK(info.resolutionText == " bits (integer)");
    } else if (bits == 32 && formatTag == 3) {
        FUZZ_CHECK(info.resolutionText == " bits (float)");
    } else {
        FUZZ_CHECK(info.resolutionText == " bits");
    }

    checkPanel(info);
    return 0;
}
