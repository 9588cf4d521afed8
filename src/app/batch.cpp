#include "app/batch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "app/file_job.h"
#include "app/number_format.h"
#include "app/version.h"
#include "platform/files.h"
#include "wave/sample_loader.h"

namespace vantorel::app {

namespace {

// "  Label       " then the value: every label takes the same width, so the
// values' sign positions line up as on the panel.
std::string summaryLine(std::string_view label, std::string_view value) {
    constexpr std::size_t kLabelWidth = 12;
    std::string line = "  ";
    line += label;
    line.append(kLabelWidth - std::min(label.size(), kLabelWidth), ' ');
    line += value;
    line += '\n';
    return line;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char character : text) {
        if (character == '"') quoted += '"';
        quoted += character;
    }
    quoted += '"';
    return quoted;
}

// The shortest text that reads back as the same double; to_chars ignores the locale.
std::string shareText(double share) {
    std::array<char, 32> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), share);
    return error == std::errc{} ? std::string(buffer.data(), end) : "0";
}

}  // namespace

FileOutcome analyseFile(const std::string& name, const BatchOptions& options) {
    // The dialogue's steps in its order, each refusal or failure as its box's text.
    auto opened = openJobInput(name, options.svg);
    if (const auto* refusal = std::get_if<std::string>(&opened)) return FailedFile{errorLine(*refusal)};
    const platform::ReadOnlyFile& file = std::get<platform::ReadOnlyFile>(opened);
    const auto parsed = wave::parseWaveFile(file);
    if (const auto* rejection = std::get_if<wave::HeaderRejection>(&parsed)) {
        return FailedFile{errorLine(wave::rejectionMessage(*rejection))};
    }
    AnalysedFile analysed{.info = std::get<wave::WaveInfo>(parsed), .levels = {}, .written = {}};

    auto measured = analysis::analyseLevels(analysed.info, file);
    if (const auto* failure = std::get_if<wave::LoadFailure>(&measured)) {
        return FailedFile{errorLine(wave::loadFailureMessage(*failure))};
    }
    analysed.levels = std::move(std::get<analysis::LevelAnalysis>(measured));

    auto written = writeJobResults(name, analysed.info, analysed.levels, options.svg);
    if (const auto* failure = std::get_if<std::string>(&written)) return FailedFile{errorLine(*failure)};
    analysed.written = std::move(std::get<std::vector<std::string>>(written));
    return analysed;
}

std::string errorLine(std::string_view boxMessage) {
    std::string line;
    for (std::size_t i = 0; i < boxMessage.size(); ++i) {
        char character = boxMessage[i];
        if (character == '\\' && i + 1 < boxMessage.size() && boxMessage[i + 1] == 'n') {
            character = ' ';
            ++i;
        }
        if (character == ' ' && (line.empty() || line.back() == ' ')) continue;
        line += character;
    }
    if (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string summaryText(const std::string& name, const AnalysedFile& file) {
    const wave::WaveInfo& info = file.info;
    std::string text = name + "\n";
    text += summaryLine("Channels", numberText(info.channels, 7));
    text += summaryLine("Sample rate", numberText(info.sampleRate, 15) + " Hz");
    text += summaryLine("Resolution", numberText(info.bitsPerSample, 7) + info.resolutionText);
    text += summaryLine("Length", numberText(static_cast<long double>(info.sampleCount), 15) + " samples");
    text += summaryLine("Duration", numberText(roundDecimals(info.durationSeconds, 2), 15) + " seconds");
    text += summaryLine("Time slices", numberText(static_cast<long double>(file.levels.grid.sliceCount), 7));
    for (const std::string& written : file.written) text += summaryLine("Written", " " + written);
    return text;
}

std::string csvRows(const std::string& name, const AnalysedFile& file) {
    const std::vector<analysis::LevelHistogram>& histograms = file.levels.histograms;
    const std::vector<std::string_view> channels =
        histograms.size() == 1 ? std::vector<std::string_view>{"mono"} : std::vector<std::string_view>{"left", "right"};
    const std::string field = csvField(name);
    std::string rows;
    for (std::size_t channel = 0; channel < histograms.size() && channel < channels.size(); ++channel) {
        for (int level = 0; level < analysis::kLevelBins; ++level) {
            const std::int64_t count = histograms[channel].bins[static_cast<std::size_t>(level)];
            rows += field + "," + std::string(channels[channel]) + "," + std::to_string(level) + "," +
                    std::to_string(count) + "," +
                    shareText(analysis::binShare(count, file.levels.grid.sliceCount)) + "\n";
        }
    }
    return rows;
}

int runBatch(const std::vector<std::string>& files, const BatchOptions& options, std::FILE* output,
             std::FILE* errors) {
    // Each job's outcome waits in its slot until the ones before it are printed.
    std::vector<std::optional<FileOutcome>> outcomes(files.size());
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> nextFile{0};
    const auto work = [&] {
        for (std::size_t index = nextFile++; index < files.size(); index = nextFile++) {
            FileOutcome outcome = analyseFile(files[index], options);
            const std::lock_guard lock(mutex);
            outcomes[index] = std::move(outcome);
            finished.notify_all();
        }
    };

    const std::size_t wanted = std::min(files.size(), static_cast<std::size_t>(std::max(options.jobs, 1)));
    std::vector<std::thread> workers;
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // as many workers as the system gives
        }
    }
    if (workers.empty()) work();  // no thread at all: every job on this one

    if (options.csv) std::fputs(kCsvHeader.data(), output);
    int status = 0;
    bool summaryPrinted = false;
    for (std::size_t index = 0; index < files.size(); ++index) {
        std::unique_lock lock(mutex);
        finished.wait(lock, [&] { return outcomes[index].has_value(); });
        const FileOutcome outcome = std::move(*outcomes[index]);
        outcomes[index].reset();
        lock.unlock();

        if (const auto* failed = std::get_if<FailedFile>(&outcome)) {
            std::fprintf(errors, "%s: %s: %s\n", std::string(kProgramName).c_str(), files[index].c_str(),
                         failed->message.c_str());
            status = 1;
            continue;
        }
        const AnalysedFile& analysed = std::get<AnalysedFile>(outcome);
        if (options.csv) {
            std::fputs(csvRows(files[index], analysed).c_str(), output);
        } else {
            if (summaryPrinted) std::fputs("\n", output);
            std::fputs(summaryText(files[index], analysed).c_str(), output);
            summaryPrinted = true;
        }
        std::fflush(output);
    }
    for (std::thread& worker : workers) worker.join();

    if (std::fflush(output) != 0 || std::ferror(output)) {
        std::fprintf(errors, "%s: could not write to standard output\n", std::string(kProgramName).c_str());
        status = 1;
    }
    return status;
}

}  // namespace vantorel::app
