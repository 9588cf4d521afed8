#include "app/file_job.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "output/chart_metafile.h"
#include "output/text_report.h"

namespace vantorel::app {

namespace {

constexpr std::string_view kNothingChangedLine = "No result file was changed.";

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

std::vector<std::string> resultNames(const std::string& name, bool svg) {
    std::vector<std::string> names{output::resultFileName(name, output::kReportSuffix),
                                   output::resultFileName(name, output::kChartSuffix)};
    if (svg) names.push_back(output::resultFileName(name, output::kSvgChartSuffix));
    return names;
}

}  // namespace

std::variant<platform::ReadOnlyFile, std::string> openJobInput(const std::string& name, bool svg) {
    auto opened = platform::openInputFile(name);
    if (const auto* failure = std::get_if<platform::OpenFailure>(&opened)) {
        return failure->cannotBeRead ? cannotReadMessage(*failure) : std::string(kFileNotFoundMessage);
    }
    // A result name that leads to the input (through a link, or as another name
    // of the same file): writing it would destroy the recording.
    if (const std::optional<platform::FileIdentity> input = platform::fileIdentity(std::get<platform::ReadOnlyFile>(opened))) {
        for (const std::string& result : resultNames(name, svg))
            if (platform::fileIdentity(result) == input) return resultIsInputMessage(result);
    }
    return std::move(std::get<platform::ReadOnlyFile>(opened));
}

std::variant<std::vector<std::string>, std::string> writeJobResults(const std::string& name,
                                                                    const wave::WaveInfo& info,
                                                                    const analysis::LevelAnalysis& levels, bool svg) {
    const std::vector<std::string> names = resultNames(name, svg);
    const std::string_view report = output::reportLine(info.channels);
    const auto draw = [&](output::ChartFormat format) {
        return output::drawChart(format, info.channels, levels.histograms, levels.grid.sliceCount, levels.scale);
    };
    const std::vector<std::uint8_t> chart = draw(output::ChartFormat::Metafile);
    const std::vector<std::uint8_t> svgChart = svg ? draw(output::ChartFormat::Svg) : std::vector<std::uint8_t>{};
    if (chart.empty() || (svg && svgChart.empty())) return "Could not draw the chart.\\n" + std::string(kNothingChangedLine);

    std::vector<platform::ResultFile> results;
    if (!report.empty()) results.push_back({names[0], std::as_bytes(std::span(report))});
    results.push_back({names[1], std::as_bytes(std::span(chart))});
    if (svg) results.push_back({names[2], std::as_bytes(std::span(svgChart))});
    if (const auto failure = platform::replaceFilesTogether(results)) return writeFailureMessage(*failure);

    std::vector<std::string> written;
    for (const platform::ResultFile& result : results) written.push_back(result.name);
    return written;
}

}  // namespace vantorel::app
