#include "app/batch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
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
#include "output/html_report.h"
#include "platform/files.h"
#include "platform/folders.h"
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
    return *value < 0 ? digits : std::string(" ") + digits;
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

// The one-line progress display on a terminal's standard error: files done of
// the total, the elapsed time and the file awaited. Drawn over itself with a
// carriage return and erased with blanks, which every terminal and console
// understands.
struct ProgressLine {
    std::FILE* stream = nullptr;  // none: nothing is ever written
    std::size_t width = 0;        // columns the line may take
    std::size_t shownLength = 0;  // of what is on the screen now, 0 when nothing
    std::string shown;
};

ProgressLine startProgress(std::FILE* errors, bool quiet) {
    if (quiet || !platform::isTerminal(errors)) return {};
    const int columns = platform::terminalColumns(errors).value_or(80);
    return {.stream = errors, .width = static_cast<std::size_t>(std::max(columns, 20) - 1), .shownLength = 0,
            .shown = {}};
}

void eraseProgress(ProgressLine& progress) {
    if (!progress.stream || progress.shownLength == 0) return;
    std::fputs((std::string("\r") + std::string(progress.shownLength, ' ') + "\r").c_str(), progress.stream);
    std::fflush(progress.stream);
    progress.shownLength = 0;
    progress.shown.clear();
}

// Characters of UTF-8 text up to `limit` of them, cut at a character's start.
std::string leadingCharacters(const std::string& text, std::size_t limit, std::size_t& characters) {
    std::size_t at = 0;
    characters = 0;
    while (at < text.size() && characters < limit) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
        ++characters;
    }
    return text.substr(0, at);
}

void drawProgress(ProgressLine& progress, std::size_t done, std::size_t total, const std::string& current,
                  std::chrono::steady_clock::duration elapsed) {
    if (!progress.stream) return;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    const std::string secondsText = std::to_string(seconds % 60);
    std::string text = std::to_string(done) + "/" + std::to_string(total) + " files  " +
                       std::to_string(seconds / 60) + ":" + (secondsText.size() < 2 ? "0" : "") + secondsText + "  ";
    std::size_t characters = 0;
    const std::size_t prefix = text.size();  // ASCII: one column per byte
    text += leadingCharacters(escapeControlCharacters(current), progress.width > prefix ? progress.width - prefix : 0,
                              characters);
    if (text == progress.shown) return;
    const std::size_t length = prefix + characters;
    std::string line = std::string("\r") + text;
    if (length < progress.shownLength) line += std::string(progress.shownLength - length, ' ');
    std::fputs(line.c_str(), progress.stream);
    std::fflush(progress.stream);
    progress.shownLength = std::max(length, progress.shownLength);
    progress.shown = std::move(text);
}

// A track of the HTML page from an analysed file.
output::ReportTrack reportTrack(const std::string& name, const AnalysedFile& file) {
    const wave::WaveInfo& info = file.info;
    const analysis::LevelAnalysis& levels = file.levels;
    std::string format = info.formatName.empty() ? "WAV" : info.formatName;
    if (!info.lossy) format += std::string(" ") + std::to_string(info.bitsPerSample) + "-bit" + (info.formatTag == 3 ? " float" : "");
    format += std::string(", ") + std::to_string(info.sampleRate) + " Hz";
    output::ReportTrack track{.name = name,
                              .format = format,
                              .durationSeconds = info.durationSeconds,
                              .peakDbfs = oneDecimal(measure::peakDbfs(levels.dynamics.peak)),
                              .dr = levels.dynamics.dr,
                              .loudnessLufs = {},
                              .rangeLu = {},
                              .truePeakDbtp = {},
                              .histograms = levels.histograms,
                              .sliceCount = levels.grid.sliceCount,
                              .scale = levels.scale,
                              .channelNames = wave::channelNames(static_cast<int>(levels.histograms.size()),
                                                                 info.channelMask)};
    if (levels.loudness) {
        track.loudnessLufs = oneDecimal(levels.loudness->integratedLufs);
        track.rangeLu = oneDecimal(levels.loudness->rangeLu);
        track.truePeakDbtp = oneDecimal(levels.loudness->truePeakDbtp);
    }
    return track;
}

output::ReportSummary reportSummary(const AlbumSummary& album) {
    output::ReportSummary summary{.tracks = album.tracks,
                                  .durationSeconds = album.durationSeconds,
                                  .dr = album.dr,
                                  .peakDbfs = oneDecimal(measure::peakDbfs(album.peak)),
                                  .loudnessLufs = {},
                                  .rangeLu = {},
                                  .truePeakDbtp = oneDecimal(album.truePeakDbtp)};
    if (album.loudness) {
        summary.loudnessLufs = oneDecimal(album.loudness->integratedLufs);
        summary.rangeLu = oneDecimal(album.loudness->rangeLu);
    }
    return summary;
}

}  // namespace

AlbumSummary summariseAlbum(const std::string& folder, std::span<const AnalysedFile* const> tracks, bool loudness) {
    AlbumSummary album{.folder = folder, .tracks = tracks.size(), .durationSeconds = 0, .dr = {}, .peak = 0,
                       .loudness = {}, .truePeakDbtp = {}, .histograms = {}};
    long long drSum = 0;
    int drCount = 0;
    std::vector<std::shared_ptr<measure::LoudnessBlocks>> blocks;
    for (const AnalysedFile* track : tracks) {
        const analysis::LevelAnalysis& levels = track->levels;
        album.durationSeconds += track->info.durationSeconds;
        if (levels.dynamics.dr) drSum += *levels.dynamics.dr, ++drCount;
        album.peak = std::max(album.peak, levels.dynamics.peak);
        if (levels.loudness) {
            blocks.push_back(levels.loudness->blocks);
            if (const std::optional<double> peak = levels.loudness->truePeakDbtp)
                album.truePeakDbtp = std::max(album.truePeakDbtp.value_or(*peak), *peak);
        }
        const std::vector<std::string> names =
            wave::channelNames(static_cast<int>(levels.histograms.size()), track->info.channelMask);
        for (std::size_t channel = 0; channel < levels.histograms.size() && channel < names.size(); ++channel) {
            auto summed = std::find_if(album.histograms.begin(), album.histograms.end(),
                                       [&](const auto& entry) { return entry.first == names[channel]; });
            if (summed == album.histograms.end())
                summed = album.histograms.insert(album.histograms.end(), {names[channel], analysis::LevelHistogram{}});
            for (std::size_t level = 0; level < summed->second.bins.size(); ++level)
                summed->second.bins[level] += levels.histograms[channel].bins[level];
        }
    }
    if (drCount > 0) album.dr = static_cast<int>(std::nearbyint(static_cast<double>(drSum) / drCount));
    if (loudness) album.loudness = measure::albumLoudness(blocks);
    return album;
}

std::string albumText(const AlbumSummary& album) {
    std::string text = std::string("Album ") + escapeControlCharacters(album.folder) + "\n";
    text += summaryLine("Tracks", numberText(static_cast<long double>(album.tracks), 7));
    text += summaryLine("Duration", numberText(roundDecimals(album.durationSeconds, 2), 15) + " seconds");
    text += summaryLine("DR", album.dr ? std::string(" DR") + std::to_string(*album.dr) : " none");
    text += summaryLine("Peak", decibelText(oneDecimal(measure::peakDbfs(album.peak)), "-inf") + " dBFS");
    if (album.loudness) {
        text += summaryLine("Loudness", decibelText(oneDecimal(album.loudness->integratedLufs), "-inf") + " LUFS");
        text += summaryLine("Range", decibelText(oneDecimal(album.loudness->rangeLu), " none") + " LU");
        text += summaryLine("True peak", decibelText(oneDecimal(album.truePeakDbtp), "-inf") + " dBTP");
    }
    return text;
}

FileOutcome analyseFile(const std::string& name, const BatchOptions& options, int decodeParts,
                        platform::StopSignalWatch& watch) {
    // The dialogue's steps in its order, each refusal or failure as its box's text.
    auto opened = openJobInput(name, options.svg);
    if (const auto* refusal = std::get_if<std::string>(&opened)) return FailedFile{errorLine(*refusal)};
    JobInput& input = std::get<JobInput>(opened);
    auto measured = measureJobInput(input, {}, {.loudness = options.loudness, .decodeParts = decodeParts});
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
    const auto isBreakAt = [&](std::size_t i) {
        return boxMessage[i] == '\\' && i + 1 < boxMessage.size() && boxMessage[i + 1] == 'n';
    };
    std::string line;
    for (std::size_t i = 0; i < boxMessage.size(); ++i) {
        char character = boxMessage[i];
        if (isBreakAt(i)) {
            ++i;
            // A box's lines may be sentences without a full stop ("permission
            // denied", then "No result file was changed."): on one line the
            // next sentence would run on, so it gets its stop here.
            std::size_t next = i + 1;
            while (next < boxMessage.size() && boxMessage[next] == ' ') ++next;
            const bool sentenceFollows = next < boxMessage.size() && !isBreakAt(next) &&
                                         std::isupper(static_cast<unsigned char>(boxMessage[next])) != 0;
            while (!line.empty() && line.back() == ' ') line.pop_back();
            const bool endsInWord = !line.empty() && std::isalnum(static_cast<unsigned char>(line.back())) != 0;
            if (sentenceFollows && endsInWord) line += '.';
            character = ' ';
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
    if (!info.formatName.empty()) text += summaryLine("Format", std::string(" ") + info.formatName);
    text += summaryLine("Time slices", numberText(static_cast<long double>(file.levels.grid.sliceCount), 7));
    const measure::Dynamics& dynamics = file.levels.dynamics;
    text += summaryLine("Peak", decibelText(oneDecimal(measure::peakDbfs(dynamics.peak)), "-inf") + " dBFS");
    text += summaryLine("DR", dynamics.dr ? std::string(" DR") + std::to_string(*dynamics.dr) : " none");
    if (const std::optional<measure::Loudness>& loudness = file.levels.loudness) {
        text += summaryLine("Loudness", decibelText(oneDecimal(loudness->integratedLufs), "-inf") + " LUFS");
        text += summaryLine("Range", decibelText(oneDecimal(loudness->rangeLu), " none") + " LU");
        text += summaryLine("True peak", decibelText(oneDecimal(loudness->truePeakDbtp), "-inf") + " dBTP");
        text += summaryLine("PLR", decibelText(oneDecimal(loudness->plrDb), " none") + " dB");
    }
    for (const std::string& written : file.written)
        text += summaryLine("Written", std::string(" ") + escapeControlCharacters(written));
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

int runBatch(const BatchInputs& inputs, const BatchOptions& options, std::FILE* output, std::FILE* errors) {
    // A closed output becomes a failed write, reported below, not the end of
    // the process; the stop signals are held from before the first worker.
    platform::ignoreClosedPipes();
    platform::StopSignalWatch watch;
    std::vector<std::string> files;
    for (const BatchInput& input : inputs.files) files.push_back(input.name);
    const std::vector<std::optional<std::string>> refusals = refuseBatchCollisions(files, options.svg);

    // Each job's outcome waits in its slot until the ones before it are printed.
    std::vector<std::optional<FileOutcome>> outcomes(files.size());
    std::mutex mutex;
    std::condition_variable finished;
    std::atomic<std::size_t> nextFile{0};
    std::atomic<std::size_t> filesDone{0};
    std::atomic<bool> outputLost{false};  // nobody would see further outcomes
    // Threads no worker takes decode parts of long lossless files, up to one
    // per core: a batch of one file on two threads decodes its halves side by side.
    const int jobs = std::max(options.jobs, 1);
    const int cores = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
    const int decodeParts =
        files.empty() ? 1
                      : std::min(cores, jobs / static_cast<int>(std::min(files.size(), static_cast<std::size_t>(jobs))));
    const auto work = [&] {
        for (std::size_t index = nextFile++; index < files.size(); index = nextFile++) {
            if (outputLost || watch.stopRequested()) return;
            FileOutcome outcome = refusals[index] ? FileOutcome{FailedFile{errorLine(*refusals[index])}}
                                                  : analyseFile(files[index], options, decodeParts, watch);
            // Only an album's tracks are measured together later.
            if (auto* analysed = std::get_if<AnalysedFile>(&outcome); analysed && !inputs.files[index].album &&
                                                                      analysed->levels.loudness)
                analysed->levels.loudness->blocks.reset();
            const std::lock_guard lock(mutex);
            outcomes[index] = std::move(outcome);
            ++filesDone;
            finished.notify_all();
        }
    };

    const std::string program(kProgramName);
    int status = 0;
    for (const std::string& problem : inputs.problems) {
        std::fprintf(errors, "%s: %s\n", program.c_str(), escapeControlCharacters(problem).c_str());
        status = 1;
    }
    // The report never replaces one of the recordings.
    bool writeReport = !options.html.empty();
    if (const auto report = writeReport ? platform::fileIdentity(options.html) : std::nullopt) {
        for (const std::string& file : files) {
            if (platform::fileIdentity(file) != report) continue;
            std::fprintf(errors, "%s: %s: the HTML report would replace this input; it is not written\n",
                         program.c_str(), escapeControlCharacters(options.html).c_str());
            writeReport = false;
            status = 1;
            break;
        }
    }

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

    ProgressLine progress = startProgress(errors, options.quiet);
    const auto started = std::chrono::steady_clock::now();
    if (options.csv) std::fputs(kCsvHeader.data(), output);
    if (options.json) std::fputs(std::string(kJsonStart).c_str(), output);
    std::vector<std::pair<std::string, std::string>> jsonFailures;
    std::vector<std::string> jsonAlbums;
    std::vector<output::ReportSection> report;
    std::vector<AnalysedFile> albumTracks;  // of the album being printed
    bool summaryPrinted = false;
    for (std::size_t index = 0; index < files.size() && !outputLost; ++index) {
        std::unique_lock lock(mutex);
        while (!finished.wait_for(lock, std::chrono::milliseconds(250), [&] { return outcomes[index].has_value(); }))
            drawProgress(progress, filesDone, files.size(), files[index], std::chrono::steady_clock::now() - started);
        FileOutcome outcome = std::move(*outcomes[index]);
        outcomes[index].reset();
        lock.unlock();
        // After a stop signal the process ends as soon as the writes under way
        // are over; a job the signal stopped has nothing to report.
        if (watch.stopRequested()) break;
        eraseProgress(progress);

        const std::optional<std::size_t> album = inputs.files[index].album;
        const bool albumEnds = album && (index + 1 == files.size() || inputs.files[index + 1].album != album);
        const bool sectionStarts = index == 0 || inputs.files[index - 1].album != album;
        if (!options.html.empty() && sectionStarts)
            report.push_back({.title = album ? inputs.albums[*album].folder : "Files", .summary = {}, .tracks = {}});

        if (const auto* failed = std::get_if<FailedFile>(&outcome)) {
            std::fprintf(errors, "%s: %s: %s\n", program.c_str(), escapeControlCharacters(files[index]).c_str(),
                         escapeControlCharacters(failed->message).c_str());
            if (options.json) jsonFailures.emplace_back(files[index], failed->message);
            status = 1;
        } else {
            AnalysedFile& analysed = std::get<AnalysedFile>(outcome);
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
            if (!options.html.empty()) {
                const std::string& name = files[index];
                report.back().tracks.push_back(
                    reportTrack(album ? name.substr(platform::fileNameStart(name)) : name, analysed));
            }
            if (album) albumTracks.push_back(std::move(analysed));
        }
        if (albumEnds) {
            std::vector<const AnalysedFile*> tracks;
            for (const AnalysedFile& track : albumTracks) tracks.push_back(&track);
            const AlbumSummary summary = summariseAlbum(inputs.albums[*album].folder, tracks, options.loudness);
            albumTracks.clear();
            if (options.json) {
                jsonAlbums.push_back(jsonAlbum(summary));
            } else if (!options.csv) {
                if (summaryPrinted) std::fputs("\n", output);
                std::fputs(albumText(summary).c_str(), output);
                summaryPrinted = true;
            }
            if (!options.html.empty()) report.back().summary = reportSummary(summary);
        }
        if (std::fflush(output) != 0 || std::ferror(output)) outputLost = true;
        drawProgress(progress, filesDone, files.size(), index + 1 < files.size() ? files[index + 1] : "",
                     std::chrono::steady_clock::now() - started);
    }
    eraseProgress(progress);
    for (std::thread& worker : workers) worker.join();
    if (options.json && !outputLost && !watch.stopRequested())
        std::fputs(jsonEnd(jsonFailures, jsonAlbums).c_str(), output);

    if (std::fflush(output) != 0 || std::ferror(output)) {
        std::fprintf(errors, "%s: could not write to standard output\n", program.c_str());
        status = 1;
    }
    if (writeReport && !watch.stopRequested()) {
        const std::string page = output::htmlReport(report, options.loudness);
        bool written = false;
        watch.writeUnlessStopped(
            [&] { written = platform::replaceFileContents(options.html, std::as_bytes(std::span(page))); });
        if (!written) {
            std::fprintf(errors, "%s: %s: the HTML report could not be written\n", program.c_str(),
                         escapeControlCharacters(options.html).c_str());
            status = 1;
        }
    }
    return status;
}

}  // namespace vantorel::app
