#include "app/main_loop.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "analysis/level_distribution.h"
#include "app/console_window.h"
#include "app/file_job.h"
#include "app/job_screen.h"
#include "app/number_format.h"
#include "platform/files.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"

namespace vantorel::app {

namespace {

using platform::Console;
using platform::kAttributeDim;
using platform::kAttributeStrong;

constexpr std::string_view kAnswerYOrNMessage = "You must respond either Y or N  ";

constexpr std::string_view kBannerTitle = "   Vantorel";
constexpr std::string_view kBannerCredit = "   Peak level distribution of wave recordings";
constexpr std::string_view kBannerHint = "   Results are written beside the analysed file";

constexpr int kPromptRow = 8;
constexpr int kInputColumn = 29;  // typed text starts four columns right of the question mark

enum class JobEnd { NextJob, Finish, InputClosed };

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
        std::optional<TypedLine> typed = readTypedLine(console);
        if (!typed) return JobEnd::InputClosed;
        std::string& answer = typed->text;
        if (answer == "y") answer = "Y";
        if (answer == "n") answer = "N";
        if (answer == "Y") return JobEnd::NextJob;
        if (answer == "N") return JobEnd::Finish;

        showErrorBox(console, kAnswerYOrNMessage);
        // Blank out exactly the cells the echo took, including rows it wrapped onto.
        const std::string blanks(typed->echoedCells, ' ');
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

    // One open file for the whole job: the header and the samples come from the
    // same file, whatever happens to the name meanwhile.
    auto opened = openJobInput(*name, false, *name);
    if (const auto* refusal = std::get_if<JobFailure>(&opened)) {
        showErrorBox(console, failureBoxText(*refusal));
        return JobEnd::NextJob;
    }
    JobInput& input = std::get<JobInput>(opened);
    const stream::StreamFormat panelFormat = input.format;
    const int panelRow = showFileData(console, panelFormat);

    // The samples are measured while they are read, under "Reading input file...";
    // the analysis line then reports the grid they were measured on.
    const double startSeconds = static_cast<double>(clockSeconds());
    platform::writeText(console, "   Reading input file...");
    platform::newLine(console);
    // A long job draws nothing until it is done: meanwhile the screen follows resizes.
    // A long lossless file in another format is decoded in parts on every core.
    const analysis::MeasureOptions options{
        .decodeParts = static_cast<int>(std::max(std::thread::hardware_concurrency(), 1U))};
    const auto measured = measureJobInput(*name, input, [&console] { platform::keepShown(console); }, options);
    if (const auto* failure = std::get_if<JobFailure>(&measured)) {
        showErrorBox(console, failureBoxText(*failure));
        return JobEnd::NextJob;
    }
    const analysis::TrackResult& result = std::get<analysis::TrackResult>(measured);
    if (result.format.frames != panelFormat.frames) reprintLengthLines(console, panelRow, result.format);
    platform::setAttribute(console, kAttributeStrong);
    platform::writeText(console, "   Done");
    platform::newLine(console, 2);
    platform::setAttribute(console, kAttributeDim);

    printAnalysisLine(console, result.levels.grid);
    // Both results are made first and written as a unit: a failure leaves the
    // earlier results as they were and ends the job with a box, not "Done".
    const auto written = writeJobResults(*name, result, false);
    if (const auto* failure = std::get_if<JobFailure>(&written)) {
        showErrorBox(console, failureBoxText(*failure));
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
