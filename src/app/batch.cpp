#include "app/batch.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <optional>
#include <set>
#include <thread>

#include "app/file_job.h"
#include "app/ordered_runner.h"
#include "app/version.h"
#include "output/html_report.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "text/control_characters.h"
#include "writers/album_summary.h"
#include "writers/csv_writer.h"
#include "writers/html_writer.h"
#include "writers/json_writer.h"
#include "writers/progress_line.h"
#include "writers/text_writer.h"

namespace vantorel::app {

using text::escapeControlCharacters;

FileOutcome writeResultsOf(analysis::TrackResult result, const std::string& resultBase, const BatchOptions& options,
                           platform::StopSignalWatch& watch) {
    AnalysedFile analysed{.result = std::move(result), .written = {}};
    if (resultBase.empty()) return analysed;
    std::variant<std::vector<std::string>, JobFailure> written;
    const bool wrote = watch.writeUnlessStopped([&] {
        written = writeJobResults(resultBase, analysed.result, options.svg, !options.outputFolder.empty());
    });
    if (!wrote)
        return FailedFile{JobFailure{.stage = FailureStage::Write, .kind = FailureKind::Stopped, .file = resultBase,
                                     .detail = {}, .otherFile = {}, .written = {}},
                          std::nullopt};
    // The measurement stands whether or not its files could be written.
    if (const auto* failure = std::get_if<JobFailure>(&written)) return FailedFile{*failure, std::move(analysed)};
    analysed.written = std::move(std::get<std::vector<std::string>>(written));
    return analysed;
}

FileOutcome analyseFile(const std::string& name, const std::string& resultBase, const BatchOptions& options,
                        int decodeParts, platform::StopSignalWatch& watch) {
    // The dialogue's steps in its order, each refusal or failure as its box's text.
    auto opened = openJobInput(name, options.svg, resultBase);
    if (const auto* refusal = std::get_if<JobFailure>(&opened)) return FailedFile{*refusal, std::nullopt};
    JobInput& input = std::get<JobInput>(opened);
    auto measured = measureJobInput(name, input, {}, {.loudness = options.loudness, .decodeParts = decodeParts});
    if (const auto* failure = std::get_if<JobFailure>(&measured)) return FailedFile{*failure, std::nullopt};
    return writeResultsOf(std::move(std::get<analysis::TrackResult>(measured)), resultBase, options, watch);
}

namespace {

// The measured file an outcome holds, written or not.
AnalysedFile* measuredFile(FileOutcome& outcome) {
    if (auto* analysed = std::get_if<AnalysedFile>(&outcome)) return analysed;
    auto& failed = std::get<FailedFile>(outcome);
    return failed.analysed ? &*failed.analysed : nullptr;
}

// A job's outcome and how it was come by.
struct JobOutcome {
    FileOutcome outcome;
    bool fromStore = false;
    bool measured = false;                    // read and measured in this run
    std::optional<std::string> storeFailure;  // keeping its result failed
};

// What a run with a store does at its end: forgets the files gone from the
// folders it listed, and those of album folders that are gone altogether
// below a folder it looked through to the bottom.
std::variant<std::size_t, store::StoreFailure> forgetGoneFiles(store::ResultsStore& store, const BatchInputs& inputs,
                                                               bool recursive) {
    std::set<std::string> present;
    for (const BatchInput& input : inputs.files) present.insert(platform::absolutePath(input.name));
    std::set<std::string> listed;
    for (const auto& [folder, isArgument] : inputs.listedFolders) listed.insert(platform::absolutePath(folder));
    std::set<std::string> gone;
    for (const auto& [folder, isArgument] : inputs.listedFolders) {
        const bool below = recursive && isArgument;
        auto stored = store::storedPaths(store, platform::absolutePath(folder), below);
        if (const auto* failure = std::get_if<store::StoreFailure>(&stored)) return *failure;
        for (std::string& path : std::get<std::vector<std::string>>(stored)) {
            if (present.contains(path)) continue;
            const std::string parent = path.substr(0, std::max<std::size_t>(platform::fileNameStart(path), 1) - 1);
            // A folder that is there but was not listed (unreadable, say) keeps its files.
            if (listed.contains(parent.empty() ? "/" : parent) || !platform::isFolder(parent.empty() ? "/" : parent))
                gone.insert(std::move(path));
        }
    }
    const std::vector<std::string> paths(gone.begin(), gone.end());
    return store::removeTracks(store, paths);
}

}  // namespace

int runBatch(const BatchInputs& inputs, const BatchOptions& options, std::FILE* output, std::FILE* errors,
             store::ResultsStore* store) {
    // A closed output becomes a failed write, reported below, not the end of
    // the process; the stop signals are held from before the first worker.
    platform::ignoreClosedPipes();
    platform::StopSignalWatch watch;
    std::vector<std::string> files;
    std::vector<PlannedResults> planned;
    std::vector<std::optional<store::TrackKey>> keys(inputs.files.size());
    for (std::size_t i = 0; i < inputs.files.size(); ++i) {
        const BatchInput& input = inputs.files[i];
        files.push_back(input.name);
        std::string base = options.noResults              ? std::string()
                           : options.outputFolder.empty() ? input.name
                                                          : platform::entryPath(options.outputFolder, input.relative);
        std::optional<bool> decoded;
        // A stored result is looked up by what a look at the file tells, before any job opens it.
        if (store)
            if (const std::optional<platform::FileStamp> stamp = platform::fileStamp(input.name)) {
                keys[i] = store::TrackKey{.path = platform::absolutePath(input.name), .stamp = *stamp,
                                          .loudness = options.loudness};
                decoded = store::storedTrackDecoded(*store, *keys[i]);
            }
        planned.push_back({.input = input.name, .resultBase = std::move(base), .decoded = decoded});
    }
    const std::vector<std::optional<JobFailure>> refusals = refuseBatchCollisions(planned, options.svg);

    // Threads no worker takes decode parts of long lossless files, up to one
    // per core: a batch of one file on two threads decodes its halves side by side.
    const int jobs = std::max(options.jobs, 1);
    const int cores = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
    const int decodeParts =
        files.empty() ? 1
                      : std::min(cores, jobs / static_cast<int>(std::min(files.size(), static_cast<std::size_t>(jobs))));
    std::atomic<std::size_t> filesDone{0};
    std::atomic<bool> outputLost{false};  // nobody would see further outcomes
    const std::function<JobOutcome(std::size_t)> job = [&](std::size_t index) {
        JobOutcome done{.outcome = AnalysedFile{}, .fromStore = false, .measured = false, .storeFailure = {}};
        std::optional<analysis::TrackResult> stored;
        if (refusals[index]) {
            done.outcome = FailedFile{*refusals[index], std::nullopt};
        } else if (keys[index] && (stored = store::findTrack(*store, *keys[index]))) {
            done.fromStore = true;
            done.outcome = writeResultsOf(std::move(*stored), planned[index].resultBase, options, watch);
        } else {
            done.outcome = analyseFile(files[index], planned[index].resultBase, options, decodeParts, watch);
            done.measured = measuredFile(done.outcome) != nullptr;
        }
        AnalysedFile* analysed = measuredFile(done.outcome);
        if (analysed && done.measured && keys[index]) {
            const std::string& path = keys[index]->path;
            const std::string folder = path.substr(0, std::max<std::size_t>(platform::fileNameStart(path), 1) - 1);
            if (const auto failure = store::saveTrack(*store, *keys[index], folder.empty() ? "/" : folder, analysed->result))
                done.storeFailure = failure->message;
        }
        // Only an album's tracks are measured together later.
        if (analysed && !inputs.files[index].album && analysed->result.levels.loudness)
            analysed->result.levels.loudness->blocks.reset();
        ++filesDone;
        return done;
    };
    std::size_t measuredCount = 0;
    std::size_t storedCount = 0;
    std::optional<std::string> storeFailure;  // the first: one line says the store is in trouble

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

    writers::ProgressLine progress = writers::startProgress(errors, options.quiet);
    const auto started = std::chrono::steady_clock::now();
    if (options.csv) std::fputs(writers::kCsvHeader.data(), output);
    if (options.json) std::fputs(std::string(writers::kJsonStart).c_str(), output);
    std::vector<writers::JsonFailure> jsonFailures;
    std::vector<std::string> jsonAlbums;
    std::vector<output::ReportSection> report;
    std::vector<AnalysedFile> albumTracks;  // of the album being printed
    bool summaryPrinted = false;
    const std::function<void(std::size_t)> waiting = [&](std::size_t index) {
        writers::drawProgress(progress, filesDone, files.size(), files[index], std::chrono::steady_clock::now() - started);
    };
    const std::function<bool(std::size_t, JobOutcome&)> deliver = [&](std::size_t index, JobOutcome& done) {
        FileOutcome& outcome = done.outcome;
        measuredCount += done.measured ? 1 : 0;
        storedCount += done.fromStore ? 1 : 0;
        if (done.storeFailure && !storeFailure) storeFailure = done.storeFailure;
        // After a stop signal the process ends as soon as the writes under way
        // are over; a job the signal stopped has nothing to report.
        if (watch.stopRequested()) return false;
        writers::eraseProgress(progress);

        const std::optional<std::size_t> album = inputs.files[index].album;
        const bool albumEnds = album && (index + 1 == files.size() || inputs.files[index + 1].album != album);
        const bool sectionStarts = index == 0 || inputs.files[index - 1].album != album;
        if (!options.html.empty() && sectionStarts)
            report.push_back({.title = album ? inputs.albums[*album].folder : "Files", .summary = {}, .tracks = {}});

        if (const auto* failed = std::get_if<FailedFile>(&outcome)) {
            const std::string line = failureLine(failed->failure);
            std::fprintf(errors, "%s: %s: %s\n", program.c_str(), escapeControlCharacters(files[index]).c_str(),
                         escapeControlCharacters(line).c_str());
            if (options.json)
                jsonFailures.push_back({.path = files[index], .error = line,
                                        .stage = std::string(stageName(failed->failure.stage)),
                                        .kind = std::string(kindName(failed->failure.kind))});
            status = 1;
        }
        if (AnalysedFile* measured = measuredFile(outcome)) {
            AnalysedFile& analysed = *measured;
            if (options.json) {
                if (summaryPrinted) std::fputs(std::string(writers::kJsonSeparator).c_str(), output);
                std::fputs(writers::jsonFile(files[index], analysed, options.loudness).c_str(), output);
                summaryPrinted = true;
            } else if (options.csv) {
                std::fputs(writers::csvRows(files[index], analysed).c_str(), output);
            } else {
                if (summaryPrinted) std::fputs("\n", output);
                std::fputs(writers::summaryText(files[index], analysed).c_str(), output);
                summaryPrinted = true;
            }
            if (!options.html.empty()) {
                const std::string& name = files[index];
                report.back().tracks.push_back(
                    writers::reportTrack(album ? name.substr(platform::fileNameStart(name)) : name, analysed));
            }
            if (album) albumTracks.push_back(std::move(analysed));
        }
        if (albumEnds) {
            std::vector<const AnalysedFile*> tracks;
            for (const AnalysedFile& track : albumTracks) tracks.push_back(&track);
            const writers::AlbumSummary summary =
                writers::summariseAlbum(inputs.albums[*album].folder, tracks, options.loudness);
            albumTracks.clear();
            if (store && summary.tracks > 0)
                if (const auto failure = store::saveAlbum(*store, platform::absolutePath(inputs.albums[*album].folder), summary);
                    failure && !storeFailure)
                    storeFailure = failure->message;
            if (options.json) {
                jsonAlbums.push_back(writers::jsonAlbum(summary));
            } else if (!options.csv) {
                if (summaryPrinted) std::fputs("\n", output);
                std::fputs(writers::albumText(summary).c_str(), output);
                summaryPrinted = true;
            }
            if (!options.html.empty()) report.back().summary = writers::reportSummary(summary);
        }
        if (std::fflush(output) != 0 || std::ferror(output)) outputLost = true;
        writers::drawProgress(progress, filesDone, files.size(), index + 1 < files.size() ? files[index + 1] : "",
                              std::chrono::steady_clock::now() - started);
        return !outputLost;
    };
    runInOrder<JobOutcome>(
        files.size(), static_cast<std::size_t>(jobs), job, [&] { return outputLost || watch.stopRequested(); },
        waiting, deliver);
    writers::eraseProgress(progress);
    if (options.json && !outputLost && !watch.stopRequested())
        std::fputs(writers::jsonEnd(jsonFailures, jsonAlbums).c_str(), output);

    if (std::fflush(output) != 0 || std::ferror(output)) {
        std::fprintf(errors, "%s: could not write to standard output\n", program.c_str());
        status = 1;
    }
    if (store && !watch.stopRequested()) {
        std::size_t removed = 0;
        if (!storeFailure) {
            auto forgotten = forgetGoneFiles(*store, inputs, options.recursive);
            if (const auto* failure = std::get_if<store::StoreFailure>(&forgotten)) storeFailure = failure->message;
            else removed = std::get<std::size_t>(forgotten);
        }
        if (storeFailure) {
            std::fprintf(errors, "%s: %s\n", program.c_str(), escapeControlCharacters(*storeFailure).c_str());
            status = 1;
        }
        std::fprintf(errors, "%s: results store: analysed %zu, taken from the store %zu, removed %zu\n",
                     program.c_str(), measuredCount, storedCount, removed);
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
