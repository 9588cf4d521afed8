#include "app/main_loop.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "analysis/level_distribution.h"
#include "app/console_window.h"
#include "app/number_format.h"
#include "output/chart_metafile.h"
#include "output/text_report.h"
#include "platform/files.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"

namespace vantorel::app {

namespace {

using platform::Console;
using platform::kAttributeDim;
using platform::kAttributeStrong;

// The two-character sequence backslash-n separates the sentences of a box text.
constexpr std::string_view kFileNotFoundMessage = "           File not found.\\nPlease enter a valid filename  ";
constexpr std::string_view kAnswerYOrNMessage = "You must respond either Y or N  ";
constexpr std::string_view kNothingChangedLine = "No result file was changed.";

constexpr std::string_view kBannerTitle = "   Vantorel";
constexpr std::string_view kBannerCredit = "   Peak level distribution of wave recordings";
constexpr std::string_view kBannerHint = "   Results are written beside the analysed file";

constexpr int kPromptRow = 8;
constexpr int kInputColumn = 29;  // typed text starts four columns right of the question mark

enum class JobEnd { NextJob, Finish, InputClosed };

// A file's own name in quotes; the box need not repeat the folder the user typed.
std::string quotedFileName(const std::string& name) {
    std::string quoted(1, '"');
    quoted.append(name, platform::fileNameStart(name));
    quoted += '"';
    return quoted;
}

std::string cannotReadMessage(const platform::OpenFailure& failure) {
    return "This file cannot be read:\\n" + failure.reason;
}

std::string resultIsInputMessage(const std::string& resultName) {
    return "The result " + quotedFileName(resultName) + "\\nis the file being analysed.\\nNothing was written.";
}

std::string writeFailureMessage(const platform::WriteFailure& failure) {
    std::string message = "Could not write " + quotedFileName(failure.name) + ":\\n" + failure.reason + "\\n";
    if (failure.replaced.empty()) return message + std::string(kNothingChangedLine);
    message += "Only";
    for (std::size_t i = 0; i < failure.replaced.size(); ++i)
        message += (i == 0 ? " " : " and ") + quotedFileName(failure.replaced[i]);
    return message + " was written.";
}

// The result file that is the input itself (through a link, or under another
// name of the same file), if any: writing it would destroy the recording.
std::optional<std::string> resultThatIsInput(const platform::FileIdentity& input,
                                             const std::vector<std::string>& resultNames) {
    for (const std::string& result : resultNames)
        if (platform::fileIdentity(result) == input) return result;
    return std::nullopt;
}

// Seconds on a monotonic clock with millisecond resolution, so a job that runs
// across midnight or a clock change still shows its true duration.
long double clockSeconds() {
    const auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<long double>(milliseconds.count()) / 1000.0L;
}

void printBanner(Console& console) {
    platform::newLine(console);
    for (const std::string_view line : {kBannerTitle, kBannerCredit, kBannerHint}) {
        platform::writeText(console, line);
        platform::newLine(console);
    }
}

// Asks "Analyse another [Y/N]?" on the answer row until the user gives Y or N.
JobEnd askForAnotherJob(Console& console, int answerRow) {
    for (;;) {
        platform::moveCursor(console, answerRow, console.screen.cursorColumn);
        platform::writeText(console, "   Analyse another [Y/N]?");
        platform::newLine(console);
        platform::setAttribute(console, kAttributeStrong);
        platform::moveCursor(console, answerRow, kInputColumn);
        std::optional<std::string> answer = readConsoleLine(console);
        if (!answer) return JobEnd::InputClosed;
        if (*answer == "y") *answer = "Y";
        if (*answer == "n") *answer = "N";
        if (*answer == "Y") return JobEnd::NextJob;
        if (*answer == "N") return JobEnd::Finish;

        showErrorBox(console, kAnswerYOrNMessage);
        // Blank out exactly what was typed, including rows it wrapped onto.
        const std::string blanks(platform::splitCharacters(*answer).size(), ' ');
        platform::moveCursor(console, answerRow, kInputColumn);
        platform::writeText(console, blanks);
        platform::newLine(console);
        platform::setAttribute(console, kAttributeDim);
    }
}

JobEnd runJob(Console& console) {
    platform::clearScreen(console);
    platform::setAttribute(console, kAttributeStrong);
    printBanner(console);

    platform::moveCursor(console, kPromptRow, console.screen.cursorColumn);
    platform::setAttribute(console, kAttributeDim);
    platform::writeText(console, "   Wave file to analyse?");
    platform::newLine(console);
    platform::setAttribute(console, kAttributeStrong);
    platform::moveCursor(console, kPromptRow, kInputColumn);
    const std::optional<std::string> name = readConsoleLine(console);
    if (!name) return JobEnd::InputClosed;
    platform::setAttribute(console, kAttributeDim);

    const std::string reportName = output::resultFileName(*name, output::kReportSuffix);
    const std::string chartName = output::resultFileName(*name, output::kChartSuffix);
    {
        const auto opened = platform::openInputFile(*name);
        if (const auto* failure = std::get_if<platform::OpenFailure>(&opened)) {
            if (failure->cannotBeRead)
                showErrorBox(console, cannotReadMessage(*failure));
            else
                showErrorBox(console, kFileNotFoundMessage);
            return JobEnd::NextJob;
        }
        const std::optional<platform::FileIdentity> input =
            platform::fileIdentity(std::get<platform::ReadOnlyFile>(opened));
        if (const auto clash = input ? resultThatIsInput(*input, {reportName, chartName}) : std::nullopt) {
            showErrorBox(console, resultIsInputMessage(*clash));
            return JobEnd::NextJob;
        }
    }

    const std::optional<wave::WaveInfo> info = wave::readWaveHeader(console, *name);
    if (!info) return JobEnd::NextJob;

    const double startSeconds = static_cast<double>(clockSeconds());
    platform::writeText(console, "   Reading input file...");
    platform::newLine(console);
    auto loaded = wave::loadSamples(*name, *info);
    if (std::holds_alternative<wave::LoadFailure>(loaded)) {
        showErrorBox(console, wave::kOutOfMemoryMessage);
        return JobEnd::NextJob;
    }
    wave::ChannelSamples& samples = std::get<wave::ChannelSamples>(loaded);
    platform::setAttribute(console, kAttributeStrong);
    platform::writeText(console, "   Done");
    platform::newLine(console, 2);
    platform::setAttribute(console, kAttributeDim);

    const analysis::LevelAnalysis levels = analysis::analyseLevels(console, *info, samples);
    // Both results are made first and written as a unit: a failure leaves the
    // earlier results as they were and ends the job with a box, not "Done".
    const std::string_view report = output::reportLine(info->channels);
    const std::vector<std::uint8_t> chart =
        output::drawChartMetafile(info->channels, levels.histograms, levels.grid.sliceCount, levels.scale);
    if (chart.empty()) {
        showErrorBox(console, "Could not draw the chart.\\n" + std::string(kNothingChangedLine));
        return JobEnd::NextJob;
    }
    std::vector<platform::ResultFile> results;
    if (!report.empty()) results.push_back({reportName, std::as_bytes(std::span(report))});
    results.push_back({chartName, std::as_bytes(std::span(chart))});
    if (const auto failure = platform::replaceFilesTogether(results)) {
        showErrorBox(console, writeFailureMessage(*failure));
        return JobEnd::NextJob;
    }
    platform::setAttribute(console, kAttributeStrong);

    platform::writeText(console, "   Done");
    platform::newLine(console, 4);
    platform::setAttribute(console, kAttributeDim);
    const long double elapsedSeconds = roundDecimals(clockSeconds() - startSeconds, 2);
    platform::writeText(console, "   Job finished in");
    printNumber(console, elapsedSeconds, 15);
    platform::writeText(console, "sec");
    platform::newLine(console, 2);

    return askForAnotherJob(console, console.screen.cursorRow);
}

}  // namespace

int WINMAIN(Console& console, platform::InstanceHandle instance) {
    setUpConsoleWindow(console, instance);
    for (;;) {
        switch (runJob(console)) {
        case JobEnd::NextJob: break;
        case JobEnd::Finish: return 0;
        case JobEnd::InputClosed: return 1;
        }
    }
}

}  // namespace vantorel::app
