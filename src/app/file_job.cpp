#include "app/file_job.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>

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

std::string resultIsOtherInputMessage(const std::string& resultName, const std::string& inputName) {
    return "The result " + quotedFileName(resultName) + "\\nis " + quotedFileName(inputName) +
           ", another file being analysed.\\nNothing was written.";
}

std::string sharedResultsMessage(const std::string& earlierName) {
    return "Its results would replace those of " + quotedFileName(earlierName) +
           " in this batch.\\nNothing was written.";
}

std::string writeFailureMessage(const platform::WriteFailure& failure) {
    std::string message = "Could not write " + quotedFileName(failure.name) + ":\\n" + failure.reason + "\\n";
    if (failure.replaced.empty()) return message + std::string(kNothingChangedLine);
    message += "Only";
    for (std::size_t i = 0; i < failure.replaced.size(); ++i)
        message += (i == 0 ? " " : " and ") + quotedFileName(failure.replaced[i]);
    return message + " was written.";
}

using IdentityKey = std::pair<std::uint64_t, std::uint64_t>;

IdentityKey keyOf(const platform::FileIdentity& identity) { return {identity.volume, identity.index}; }

// Where a result goes, as text that two results share exactly when they are
// the same file: an existing file's identity; otherwise its folder (by
// identity where the folder exists) and its own name as the file system
// compares names.
std::string resultPlace(const std::string& result, const std::optional<platform::FileIdentity>& existing) {
    const auto identityText = [](const platform::FileIdentity& identity) {
        return std::to_string(identity.volume) + ":" + std::to_string(identity.index);
    };
    if (existing) return "file " + identityText(*existing);
    const std::size_t nameStart = platform::fileNameStart(result);
    const std::string folder = result.substr(0, nameStart);
    const std::optional<platform::FileIdentity> folderIdentity = platform::fileIdentity(folder.empty() ? "." : folder);
    return "name " + (folderIdentity ? identityText(*folderIdentity) : "?" + folder) + "/" +
           platform::comparableFileName(std::string_view(result).substr(nameStart));
}

}  // namespace

std::vector<std::string> resultNames(const std::string& name, bool svg) {
    std::vector<std::string> names{output::resultFileName(name, output::kReportSuffix),
                                   output::resultFileName(name, output::kChartSuffix)};
    if (svg) names.push_back(output::resultFileName(name, output::kSvgChartSuffix));
    return names;
}

std::vector<std::optional<std::string>> refuseBatchCollisions(std::span<const std::string> names, bool svg) {
    std::vector<std::optional<platform::FileIdentity>> inputs(names.size());
    std::map<IdentityKey, std::size_t> inputWithIdentity;  // the first input that is each file
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (const std::optional<platform::ReadOnlyFile> file = platform::openRegularFileForReading(names[i]))
            inputs[i] = platform::fileIdentity(*file);
        if (inputs[i]) inputWithIdentity.emplace(keyOf(*inputs[i]), i);
    }

    std::vector<std::optional<std::string>> refusals(names.size());
    std::map<std::string, std::size_t> claimed;  // a result's place, and the input it belongs to
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!inputs[i]) continue;
        std::vector<std::string> places;
        for (const std::string& result : resultNames(names[i], svg)) {
            const std::optional<platform::FileIdentity> existing = platform::fileIdentity(result);
            const auto input = existing ? inputWithIdentity.find(keyOf(*existing)) : inputWithIdentity.end();
            std::string place = resultPlace(result, existing);
            const auto earlier = claimed.find(place);
            if (existing == inputs[i]) {
                refusals[i] = resultIsInputMessage(result);
            } else if (input != inputWithIdentity.end()) {
                refusals[i] = resultIsOtherInputMessage(result, names[input->second]);
            } else if (earlier != claimed.end()) {
                refusals[i] = sharedResultsMessage(names[earlier->second]);
            }
            if (refusals[i]) break;
            places.push_back(std::move(place));
        }
        if (!refusals[i])
            for (std::string& place : places) claimed.emplace(std::move(place), i);
    }
    return refusals;
}

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
