#include "wave/wave_info.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "app/main_loop.h"
#include "app/number_format.h"
#include "platform/files.h"

namespace vantorel::wave {

namespace {

// Length of the canonical header: RIFF header, 16-byte format chunk, data chunk header.
constexpr std::size_t kHeaderBytes = 44;

// Shown when the channel count or the bit depth is 0 and no count can be derived.
constexpr std::int64_t kUndefinedSampleCount = std::numeric_limits<std::int32_t>::min();

std::uint16_t readLe16(std::span<const std::byte, kHeaderBytes> bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[offset]) |
                                      std::to_integer<unsigned>(bytes[offset + 1]) << 8);
}

std::uint32_t readLe32(std::span<const std::byte, kHeaderBytes> bytes, std::size_t offset) {
    return std::to_integer<std::uint32_t>(bytes[offset]) |
           std::to_integer<std::uint32_t>(bytes[offset + 1]) << 8 |
           std::to_integer<std::uint32_t>(bytes[offset + 2]) << 16 |
           std::to_integer<std::uint32_t>(bytes[offset + 3]) << 24;
}

// Samples per channel: dataBytes x 8 / (channels x bits), the exact quotient
// rounded to nearest with ties to even. A 35-bit dividend over a divisor below
// 2^24 is told apart from every half-way point in the 64-bit significand of long
// double, so the rounding sees the true quotient.
std::int64_t deriveSampleCount(std::uint32_t dataBytes, int channels, int bitsPerSample) {
    const int bitsPerFrame = channels * bitsPerSample;
    if (bitsPerFrame == 0) return kUndefinedSampleCount;
    const long double quotient = static_cast<long double>(dataBytes) * 8.0L / static_cast<long double>(bitsPerFrame);
    return static_cast<std::int64_t>(std::nearbyintl(quotient));
}

// sampleCount / sampleRate. A rate of 0 gives an infinity of the count's sign, or
// NaN for a count of 0, as IEEE division would, without dividing by zero.
double deriveDuration(std::int64_t sampleCount, std::int32_t sampleRate) {
    if (sampleRate == 0) {
        if (sampleCount == 0) return std::numeric_limits<double>::quiet_NaN();
        return sampleCount > 0 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    }
    return static_cast<double>(sampleCount) / static_cast<double>(sampleRate);
}

std::string resolutionTextFor(std::int16_t formatTag, std::int16_t bitsPerSample) {
    if (bitsPerSample == 32 && formatTag == 1) return " bits (integer)";
    if (bitsPerSample == 32 && formatTag == 3) return " bits (float)";
    return " bits";
}

// Panel labels: 28 blanks, the words, blanks up to 40 characters.
constexpr std::string_view kHeadingLabel = "                            FILE DATA";
constexpr std::string_view kChannelsLabel = "                            Channels    ";
constexpr std::string_view kSampleRateLabel = "                            Sample rate ";
constexpr std::string_view kResolutionLabel = "                            Resolution  ";
constexpr std::string_view kLengthLabel = "                            Length      ";
constexpr std::string_view kDurationLabel = "                            Duration    ";

}  // namespace

std::variant<WaveInfo, HeaderRejection> parseWaveHeader(std::span<const std::byte> headerBytes) {
    // Bytes beyond the end of a short file read as 0.
    std::array<std::byte, kHeaderBytes> bytes{};
    std::copy_n(headerBytes.begin(), std::min(headerBytes.size(), kHeaderBytes), bytes.begin());
    const std::span<const std::byte, kHeaderBytes> header(bytes);

    // Fixed offsets of the canonical header, little-endian, two's complement:
    //  0  4  RIFF tag                 read, never compared
    //  4  4  RIFF size                not used
    //  8  4  form type                must be "WAVE"
    // 12  4  format chunk tag         never compared
    // 16  4  format chunk size        not used
    // 20  2  format tag, signed       1 PCM, 3 IEEE float (0xFFFE reads as -2)
    // 22  1  channel count, low byte  0..255
    // 23  1  channel count, high byte skipped
    // 24  4  samples per second, signed
    // 28  4  bytes per second         not used
    // 32  2  block alignment          not used
    // 34  2  bits per sample, signed
    // 36  4  data chunk tag           never compared
    // 40  4  data size in bytes, unsigned
    constexpr std::array<std::byte, 4> kWaveTag{std::byte{'W'}, std::byte{'A'}, std::byte{'V'}, std::byte{'E'}};
    const bool isWave = std::equal(kWaveTag.begin(), kWaveTag.end(), header.begin() + 8);

    WaveInfo info;
    info.formatTag = static_cast<std::int16_t>(readLe16(header, 20));
    info.channels = std::to_integer<std::int16_t>(header[22]);
    info.sampleRate = static_cast<std::int32_t>(readLe32(header, 24));
    info.bitsPerSample = static_cast<std::int16_t>(readLe16(header, 34));
    info.dataBytes = readLe32(header, 40);
    info.sampleCount = deriveSampleCount(info.dataBytes, info.channels, info.bitsPerSample);
    info.durationSeconds = deriveDuration(info.sampleCount, info.sampleRate);
    info.resolutionText = resolutionTextFor(info.formatTag, info.bitsPerSample);

    // Checked in this order; the first failure decides the message.
    if (!isWave) return HeaderRejection::NotWave;
    if (info.bitsPerSample == 8) return HeaderRejection::EightBit;
    if (info.formatTag != 1 && info.formatTag != 3) return HeaderRejection::NotPcmOrFloat;
    return info;
}

std::string_view rejectionMessage(HeaderRejection rejection) {
    switch (rejection) {
        case HeaderRejection::NotWave:
            return "This is not a Wave file  ";
        case HeaderRejection::EightBit:
            // The backslash and the n are two characters of the message, not a line end.
            return "           This is an 8-bit Wave file.\\n The resolution must be 16-bit or higher   ";
        case HeaderRejection::NotPcmOrFloat:
            return "This is not a PCM or float format Wave file  ";
    }
    return "This is not a Wave file  ";
}

std::optional<WaveInfo> readWaveHeader(platform::Console& console, const std::string& name) {
    // A file that vanished since the main loop's check reads as all zeros and so
    // fails the "WAVE" test.
    std::array<std::byte, kHeaderBytes> bytes{};
    if (const auto file = platform::openRegularFileForReading(name)) platform::readAt(*file, 0, bytes);

    const auto parsed = parseWaveHeader(bytes);
    if (const auto* rejection = std::get_if<HeaderRejection>(&parsed)) {
        app::showErrorBox(console, rejectionMessage(*rejection));
        return std::nullopt;
    }
    const WaveInfo& info = std::get<WaveInfo>(parsed);
    newLine(console, 2);
    platform::setCursorVisible(console, false);
    printFileDataPanel(console, info);
    return info;
}

void printFileDataPanel(platform::Console& console, const WaveInfo& info) {
    using platform::newLine;
    using platform::writeText;
    platform::setAttribute(console, platform::kAttributeDim);

    writeText(console, kHeadingLabel);
    newLine(console, 2);

    writeText(console, kChannelsLabel);
    app::printNumber(console, info.channels, 7);
    newLine(console);

    writeText(console, kSampleRateLabel);
    app::printNumber(console, info.sampleRate, 15);
    writeText(console, "Hz");
    newLine(console);

    writeText(console, kResolutionLabel);
    writeText(console, app::numberText(info.bitsPerSample, 7));
    writeText(console, info.resolutionText);
    newLine(console);

    writeText(console, kLengthLabel);
    app::printNumber(console, static_cast<long double>(info.sampleCount), 15);
    writeText(console, "samples");
    newLine(console);

    writeText(console, kDurationLabel);
    app::printNumber(console, app::roundDecimals(info.durationSeconds, 2), 15);
    writeText(console, "seconds");
    newLine(console, 4);  // ends the Duration line, then three empty lines
}

}  // namespace vantorel::wave
