#include "app/job_screen.h"

#include <string>
#include <string_view>
#include <variant>

#include "app/main_loop.h"
#include "app/number_format.h"
#include "wave/sample_loader.h"

namespace vantorel::app {

namespace {

// Panel labels: 28 blanks, the words, blanks up to 40 characters.
constexpr std::string_view kHeadingLabel = "                            FILE DATA";
constexpr std::string_view kChannelsLabel = "                            Channels    ";
constexpr std::string_view kSampleRateLabel = "                            Sample rate ";
constexpr std::string_view kResolutionLabel = "                            Resolution  ";
constexpr std::string_view kLengthLabel = "                            Length      ";
constexpr std::string_view kDurationLabel = "                            Duration    ";
constexpr std::string_view kFormatLabel = "                            Format      ";

// Rows of the Length and Duration lines below the panel's heading.
constexpr int kLengthRowOffset = 5;

}  // namespace

std::optional<wave::WaveInfo> readWaveHeader(platform::Console& console, const platform::ReadOnlyFile& file) {
    const auto parsed = wave::parseWaveFile(file);
    if (const auto* rejection = std::get_if<wave::HeaderRejection>(&parsed)) {
        showErrorBox(console, wave::rejectionMessage(*rejection));
        return std::nullopt;
    }
    const wave::WaveInfo& info = std::get<wave::WaveInfo>(parsed);
    showFileData(console, wave::streamFormatOf(info));
    return info;
}

int showFileData(platform::Console& console, const stream::StreamFormat& format) {
    newLine(console, 2);
    platform::setCursorVisible(console, false);
    const int headingRow = console.screen.cursorRow;
    printFileDataPanel(console, format);
    return headingRow;
}

void printFileDataPanel(platform::Console& console, const stream::StreamFormat& format) {
    using platform::newLine;
    using platform::writeText;
    platform::setAttribute(console, platform::kAttributeDim);

    writeText(console, kHeadingLabel);
    newLine(console, 2);

    writeText(console, kChannelsLabel);
    printNumber(console, format.channels, 7);
    newLine(console);

    writeText(console, kSampleRateLabel);
    printNumber(console, format.sampleRate, 15);
    writeText(console, "Hz");
    newLine(console);

    writeText(console, kResolutionLabel);
    writeText(console, numberText(format.bitsPerSample, 7));
    writeText(console, stream::resolutionText(format));
    newLine(console);

    printLengthLines(console, format);
    // A file in another format names its codec on the first of the three empty lines.
    if (!format.codecName.empty()) {
        writeText(console, kFormatLabel);
        writeText(console, " " + format.codecName);
        newLine(console);
        newLine(console, 2);
    } else {
        newLine(console, 3);
    }
}

void printLengthLines(platform::Console& console, const stream::StreamFormat& format) {
    using platform::newLine;
    using platform::writeText;
    writeText(console, kLengthLabel);
    printNumber(console, static_cast<long double>(format.frames), 15);
    writeText(console, "samples");
    newLine(console);

    writeText(console, kDurationLabel);
    printNumber(console, roundDecimals(stream::durationSeconds(format), 2), 15);
    writeText(console, "seconds");
    newLine(console);
}

void reprintLengthLines(platform::Console& console, int headingRow, const stream::StreamFormat& format) {
    const int row = console.screen.cursorRow;
    const int column = console.screen.cursorColumn;
    for (const int offset : {kLengthRowOffset, kLengthRowOffset + 1}) {
        platform::moveCursor(console, headingRow + offset, 1);
        platform::writeText(console, std::string(kLengthLabel.size() + 30, ' '));
    }
    platform::moveCursor(console, headingRow + kLengthRowOffset, 1);
    printLengthLines(console, format);
    platform::moveCursor(console, row, column);
}

void printAnalysisLine(platform::Console& console, const analysis::SliceGrid& grid) {
    platform::writeText(console, "   Analysing over");
    printNumber(console, static_cast<long double>(grid.sliceCount), 7);
    platform::writeText(console, "time slices...");
    platform::newLine(console);
}

}  // namespace vantorel::app
