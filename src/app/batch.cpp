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
#include "app/json_output.h"
#include "app/number_format.h"
#include "app/version.h"
#include "platform/files.h"
#include "wave/channel_layout.h"
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

// A level with one decimal behind the sign position of the panel's numbers
// (a blank for values of zero and above), or the given text when there is none.
std::string decibelText(std::optional<double> value, std::string_view none) {
    if (!value) return std::string(none);
    std::array<char, 32> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), *value,
                                            std::chars_format::fixed, 1);
    const std::string digits = error == std::errc{} ? std::string(buffer.data(), end) : "0.0";
    return *value < 0 ? digits : " " + digits;
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

FileOutcome analyseFile(const std::string& name, const BatchOptions& options, platform::StopSignalWatch& watch) {
    // The dialogue's steps in its order, each refusal or failure as its box's text.
    auto opened = openJobInput(name, options.svg);
    if (const auto* refusal = std::get_if<std::string>(&opened)) return FailedFile{errorLine(*refusal)};
    JobInput& input = std::get<JobInput>(opened);
    auto measured = measureJobInput(input, {}, {.loudness = options.loudness});
    if (const auto* failure = std::get_if<std::string>(&measured)) return FailedFile{errorLine(*failure)};
    AnalysedFile analysed{.info = input.info, .levels = std::move(std::get<analysis::LevelAnalysis>(measured)), .written = {}};

    std::variant<std::vector<std::string>, std::string> written;
    const bool wrote = watch.writeUnlessStopped(
        [&] { written = writeJobResults(name, analysed.info, analysed.levels, options.svg); });
    if (!wrote) return FailedFile{"stopped before its results were written"};
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

std::string escapeControlCharacters(std::string_view text) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    const auto hexEscape = [&](unsigned char byte) {
        return std::string{'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0xF]};
    };
    std::string shown;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = static_cast<unsigned char>(i + 1 < text.size() ? text[i + 1] : '\0');
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080..U+009F in UTF-8
            shown += hexEscape(byte) + hexEscape(next);
            ++i;
        } else if (byte == '\n') {
            shown += "\\n";
        } else if (byte == '\t') {
            shown += "\\t";
        } else if (byte == '\r') {
            shown += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            shown += hexEscape(byte);
        } else {
            shown += text[i];
        }
    }
    return shown;
}

std::string summaryText(const std::string& name, const AnalysedFile& file) {
    const wave::WaveInfo& info = file.info;
    std::string text = escapeControlCharacters(name) + "\n";
    text += summaryLine("Channels", numberText(info.channels, 7));
    text += summaryLine("Sample rate", numberText(info.sampleRate, 15) + " Hz");
    text += summaryLine("Resolution", numberText(info.bitsPerSample, 7) + info.resolutionText);
    text += summaryLine("Length", numberText(static_cast<long double>(info.sampleCount), 15) + " samples");
    text += summaryLine("Duration", numberText(roundDecimals(info.durationSeconds, 2), 15) + " seconds");
    if (!info.formatName.empty()) text += summaryLine("Format", " " + info.formatName);
    text += summaryLine("Time slices", numberText(static_cast<long double>(file.levels.grid.sliceCount), 7));
    const measure::Dynamics& dynamics = file.levels.dynamics;
    text += summaryLine("Peak", decibelText(oneDecimal(measure::peakDbfs(dynamics.peak)), "-inf") + " dBFS");
    text += summaryLine("DR", dynamics.dr ? " DR" + std::to_string(*dynamics.dr) : " none");
    if (const std::optional<measure::Loudness>& loudness = file.levels.loudness) {
        text += summaryLine("Loudness", decibelText(oneDecimal(loudness->integratedLufs), "-inf") + " LUFS");
        text += summaryLine("Range", decibelText(oneDecimal(loudness->rangeLu), " none") + " LU");
        text += summaryLine("True peak", decibelText(oneDecimal(loudness->truePeakDbtp), "-inf") + " dBTP");
        text += summaryLine("PLR", decibelText(oneDecimal(loudness->plrDb), " none") + " dB");
    }
    for (const std::string& written : file.written)
        text += summaryLine("Written", " " + escapeControlCharacters(written));
    return text;
}

std::string csvRows(const std::string& name, const AnalysedFile& file) {
    const std::vector<analysis::LevelHistogram>& histograms = file.levels.histograms;
    const std::vector<std::string> channels =
        wave::channelNames(static_cast<int>(histograms.size()), file.info.channelMask);
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
    // A closed output becomes a failed write, reported below, not the end of
    // the process; the stop signals are held from before the first worker.
    platform::ignoreClosedPipes();
    platform::StopSignalWatch watch;
    const std::vector<std::optional<std::string>> refusals = refuseBatchCollisions(files, options.svg);

    // Each job's outcome waits in its slot until the ones before it are printed.
    std::vector<std::optional<FileOutcome>> outcomes(files.size());
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> nextFile{0};
    std::atomic<bool> outputLost{false};  // nobody would see further outcomes
    const auto work = [&] {
        for (std::size_t index = nextFile++; index < files.size(); index = nextFile++) {
            if (outputLost || watch.stopRequested()) return;
            FileOutcome outcome = refusals[index] ? FileOutcome{FailedFile{errorLine(*refusals[index])}}
                                                  : analyseFile(files[index], options, watch);
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

    const std::string program(kProgramName);
    if (options.csv) std::fputs(kCsvHeader.data(), output);
    if (options.json) std::fputs(std::string(kJsonStart).c_str(), output);
    std::vector<std::pair<std::string, std::string>> jsonFailures;
    int status = 0;
    bool summaryPrinted = false;
    for (std::size_t index = 0; index < files.size() && !outputLost; ++index) {
        std::unique_lock lock(mutex);
        finished.wait(lock, [&] { return outcomes[index].has_value(); });
        const FileOutcome outcome = std::move(*outcomes[index]);
        outcomes[index].reset();
        lock.unlock();
        // After a stop signal the process ends as soon as the writes under way
        // are over; a job the signal stopped has nothing to report.
        if (watch.stopRequested()) break;

        if (const auto* failed = std::get_if<FailedFile>(&outcome)) {
            std::fprintf(errors, "%s: %s: %s\n", program.c_str(), escapeControlCharacters(files[index]).c_str(),
                         escapeControlCharacters(failed->message).c_str());
            if (options.json) jsonFailures.emplace_back(files[index], failed->message);
            status = 1;
            continue;
        }
        const AnalysedFile& analysed = std::get<AnalysedFile>(outcome);
        if (options.json) {
            if (summaryPrinted) std::fputs(std::string(kJsonSeparator).c_str(), output);
            std::fputs(jsonFile(files[index], analysed, options.loudness).c_str(), output);
            summaryPrinted = true;
        } else if (options.csv) {
            std::fputs(csvRows(files[index], analysed).c_str(), output);
        } else {
            if (summaryPrinted) std::fputs("\n", output);
            std::fputs(summaryText(files[index], analysed).c_str(), output);
            summaryPrinted = true;
        }
        if (std::fflush(output) != 0 || std::ferror(output)) outputLost = true;
    }
    for (std::thread& worker : workers) worker.join();
    if (options.json && !outputLost && !watch.stopRequested()) std::fputs(jsonEnd(jsonFailures).c_str(), output);

    if (std::fflush(output) != 0 || std::ferror(output)) {
        std::fprintf(errors, "%s: could not write to standard output\n", program.c_str());
        status = 1;
    }
    return status;
}

}  // namespace vantorel::app
