// Fuzzes the wave header reader: parseWaveHeader on arbitrary whole files, then
// the FILE DATA panel of every accepted header on the in-memory console.
//
// The header's fields are found here once more by a plain reference reading:
// a chunk walk over the bytes (a missing pad byte included), else the fixed
// offsets of the canonical header, else damaged chunks; the extensible
// sub-formats, ds64 and the unknown sizes; a file that ends before its data
// chunk header, inside a chunk after the format, or before the whole frames its
// data size states is cut. Every field, the rejection order, the derived sample count (the exact quotient rounded with
// integers, ties to even), the duration and the resolution text are compared
// with what the reader gives.

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <variant>

#include "app/job_screen.h"
#include "app/number_format.h"
#include "fuzz_check.h"
#include "platform/console.h"
#include "platform/memory_console.h"
#include "platform/screen_buffer.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"

namespace {

using namespace vantorel;

// The file's bytes, those past its end read as 0.
struct FileBytes {
    const std::uint8_t* data;
    std::size_t size;

    std::uint32_t u8(std::uint64_t offset) const { return offset < size ? data[offset] : 0; }
    std::uint32_t u16(std::uint64_t offset) const { return u8(offset) | u8(offset + 1) << 8; }
    std::uint32_t u32(std::uint64_t offset) const { return u16(offset) | u16(offset + 2) << 16; }
    std::uint64_t u64(std::uint64_t offset) const { return u32(offset) | std::uint64_t{u32(offset + 4)} << 32; }
    bool tag(std::uint64_t offset, const char* text) const {
        for (int i = 0; i < 4; ++i)
            if (u8(offset + static_cast<std::uint64_t>(i)) != static_cast<std::uint8_t>(text[i])) return false;
        return true;
    }
};

// Where the reference reading finds the format fields and the data.
struct Expected {
    std::uint64_t format = 20;   // offset of the format fields
    std::uint32_t formatSize = 16;
    std::uint64_t data = 44;     // offset of the first sample
    std::uint32_t dataSize = 0;
    bool hasDs64 = false;
    std::uint64_t ds64Size = 0;
    bool damaged = false;        // refused: damaged chunks, not laid out canonically
    bool walked = false;         // the format from the walk (and the data, unless it ended before them)
    bool endedBeforeData = false;  // after the format the file ended inside a chunk or a chunk header
};

// The `count` bytes (up to 4) at `at` could begin a tag: printable, the first not a blank.
bool tagStartAt(const FileBytes& file, std::uint64_t at, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count && i < 4; ++i) {
        const std::uint32_t character = file.u8(at + i);
        if (character > 0x7E || character < (i == 0 ? 0x21u : 0x20u)) return false;
    }
    return true;
}

// A chunk header at `at`: four printable characters, the first not a blank, and
// a size inside the file unless the tag is "data".
bool chunkHeaderAt(const FileBytes& file, std::uint64_t at) {
    if (at + 8 > file.size) return false;
    for (std::uint64_t i = 0; i < 4; ++i) {
        const std::uint32_t character = file.u8(at + i);
        if (character > 0x7E || character < (i == 0 ? 0x21u : 0x20u)) return false;
    }
    return file.tag(at, "data") || at + 8 + file.u32(at + 4) <= file.size;
}

// The chunk walk from offset 12 when it finds a usable format and a data chunk
// after it; otherwise the fixed offsets, or damaged when the walk met a size past
// the end, a short format or the data first and bytes 12..39 do not look like
// the canonical header (a 16-byte chunk at 12, or "data" at 36).
Expected referenceLayout(const FileBytes& file) {
    Expected fixed;
    fixed.dataSize = file.u32(40);
    const bool rf64 = file.tag(0, "RF64") || file.tag(0, "BW64");
    Expected walked;
    bool format = false;
    bool damaged = false;
    std::uint64_t at = 12;
    while (at + 8 <= file.size) {
        const std::uint64_t size = file.u32(at + 4);
        if (file.tag(at, "data")) {
            if (format) {
                walked.data = at + 8;
                walked.dataSize = static_cast<std::uint32_t>(size);
                walked.walked = true;
                return walked;
            }
            damaged = true;
            break;
        }
        if (at + 8 + size > file.size) {
            if (format && tagStartAt(file, at, 4)) {
                walked.walked = walked.endedBeforeData = true;
                return walked;
            }
            damaged = true;
            break;
        }
        if (file.tag(at, "fmt ") && !format) {
            if (size >= 16) {
                format = true;
                walked.format = at + 8;
                walked.formatSize = static_cast<std::uint32_t>(size);
            } else {
                damaged = true;
            }
        }
        if (file.tag(at, "ds64") && rf64 && !walked.hasDs64 && size >= 16) {
            walked.hasDs64 = true;
            walked.ds64Size = file.u64(at + 16);
        }
        at += 8 + size;
        // A missing pad byte: the next header one byte earlier, where only it is
        // one or where it is the data or the format.
        const bool wanted = chunkHeaderAt(file, at) && (file.tag(at, "data") || file.tag(at, "fmt "));
        if (size % 2 == 1 && !wanted && (chunkHeaderAt(file, at + 1) || !chunkHeaderAt(file, at))) ++at;
    }
    if (format && !damaged && at < file.size && tagStartAt(file, at, file.size - at)) {
        walked.walked = walked.endedBeforeData = true;
        return walked;
    }
    fixed.damaged = damaged && file.u32(16) != 16 && !file.tag(36, "data");
    return fixed;
}

// Two's complement of a 16- or 32-bit field, without relying on conversions.
std::int64_t signed16(std::uint32_t bits) { return bits >= 0x8000 ? std::int64_t{bits} - 0x10000 : bits; }
std::int64_t signed32(std::uint32_t bits) {
    return bits >= 0x80000000u ? std::int64_t{bits} - 0x100000000LL : std::int64_t{bits};
}

// dataBytes x 8 / (channels x bits), the exact quotient rounded to nearest with
// ties to even, in integers. Counts beyond the 64-bit range are held at its top.
std::int64_t expectedSampleCount(std::uint64_t dataBytes, std::int64_t channels, std::int64_t bits) {
    const std::int64_t divisor = channels * bits;
    FUZZ_CHECK(divisor > 0);
    const unsigned __int128 dividend = static_cast<unsigned __int128>(dataBytes) * 8;
    const auto magnitude = static_cast<unsigned __int128>(divisor);
    unsigned __int128 quotient = dividend / magnitude;
    const unsigned __int128 remainder = dividend % magnitude;
    if (2 * remainder > magnitude || (2 * remainder == magnitude && quotient % 2 == 1)) ++quotient;
    const auto top = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::int64_t>(quotient > top ? top : quotient);
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
    app::printFileDataPanel(console, wave::streamFormatOf(info));

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
    const FileBytes file{data, size};
    const Expected layout = referenceLayout(file);

    const bool isWave = size >= 12 && std::memcmp(data + 8, "WAVE", 4) == 0;
    std::int64_t formatTag = signed16(file.u16(layout.format));
    if (formatTag == -2 && layout.formatSize >= 40 && file.u16(layout.format + 26) == 0 &&
        file.u32(layout.format + 28) == 0x00100000 && file.u32(layout.format + 32) == 0xAA000080 &&
        file.u32(layout.format + 36) == 0x719B3800 && (file.u16(layout.format + 24) == 1 || file.u16(layout.format + 24) == 3))
        formatTag = file.u16(layout.format + 24);
    const std::int64_t channels = file.u8(layout.format + 2);
    const std::int64_t bits = signed16(file.u16(layout.format + 14));
    const std::uint64_t after = size > layout.data ? size - layout.data : 0;
    std::uint64_t dataBytes = layout.dataSize;
    if (layout.dataSize == 0xFFFFFFFF && layout.hasDs64 && layout.ds64Size != 0) {
        dataBytes = layout.ds64Size;
    } else if (layout.dataSize == 0xFFFFFFFF || (layout.dataSize == 0 && after > 0 && !chunkHeaderAt(file, layout.data))) {
        dataBytes = after;
    }
    const bool sizeKnown = !(layout.dataSize == 0xFFFFFFFF && !(layout.hasDs64 && layout.ds64Size != 0)) &&
                           !(layout.dataSize == 0 && after > 0 && !chunkHeaderAt(file, layout.data));
    const bool readableBits = bits == 16 || bits == 24 || bits == 32;
    // Mono and stereo by the low byte alone; 3 to 8 channels only when the full
    // count and the block alignment agree with it.
    const bool readableChannels =
        channels == 1 || channels == 2 ||
        (channels >= 3 && channels <= 8 && file.u16(layout.format + 2) == channels &&
         file.u16(layout.format + 12) == channels * bits / 8);

    if (const auto* rejection = std::get_if<wave::HeaderRejection>(&parsed)) {
        // The first failing test decides, in the order WAVE, chunks, 8 bits,
        // format tag, bits, channels.
        if (!isWave) {
            FUZZ_CHECK(*rejection == wave::HeaderRejection::NotWave);
        } else if (layout.damaged) {
            FUZZ_CHECK(*rejection == wave::HeaderRejection::DamagedChunks);
        } else if (!layout.walked && size < 36) {
            FUZZ_CHECK(*rejection == wave::HeaderRejection::Cut);  // the format fields are missing
        } else if (bits == 8) {
            FUZZ_CHECK(*rejection == wave::HeaderRejection::EightBit);
        } else if (formatTag != 1 && formatTag != 3) {
            FUZZ_CHECK(*rejection == wave::HeaderRejection::NotPcmOrFloat);
        } else if (!readableBits) {
            FUZZ_CHECK(*rejection == wave::HeaderRejection::UnreadableBits);
        } else if (!readableChannels) {
            FUZZ_CHECK(*rejection == wave::HeaderRejection::UnreadableChannels);
        } else {
            // Ended before the data, or fewer whole frames than the size states.
            const std::uint64_t frameBytes = static_cast<std::uint64_t>(channels * bits / 8);
            FUZZ_CHECK(layout.endedBeforeData || (!layout.walked && size < 44) ||
                       (sizeKnown && after / frameBytes < dataBytes / frameBytes));
            FUZZ_CHECK(*rejection == wave::HeaderRejection::Cut);
        }
        FUZZ_CHECK(!wave::rejectionMessage(*rejection).empty());
        return 0;
    }

    const wave::WaveInfo& info = std::get<wave::WaveInfo>(parsed);
    FUZZ_CHECK(isWave && !layout.damaged);
    FUZZ_CHECK(bits != 8);
    FUZZ_CHECK(formatTag == 1 || formatTag == 3);
    FUZZ_CHECK(readableBits && readableChannels);
    FUZZ_CHECK(!layout.endedBeforeData && (layout.walked || size >= 44));
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(channels * bits / 8);
    FUZZ_CHECK(!sizeKnown || after / frameBytes >= dataBytes / frameBytes);

    FUZZ_CHECK(info.formatTag == formatTag);
    FUZZ_CHECK(info.channels == channels);
    FUZZ_CHECK(info.sampleRate == signed32(file.u32(layout.format + 4)));
    FUZZ_CHECK(info.bitsPerSample == bits);
    FUZZ_CHECK(info.dataOffset == layout.data);
    FUZZ_CHECK(info.dataBytes == dataBytes);
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
