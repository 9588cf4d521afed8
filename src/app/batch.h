#pragma once
// Analysing files without the dialogue: each file goes through the same steps
// as a dialogue job (existence test, header, loading, analysis, result files)
// and its outcome becomes text instead of a screen. Files are analysed in
// parallel; what they print keeps the order of the arguments.

#include <cstdio>
#include <optional>
#include <span>
#include <utility>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/batch_inputs.h"
#include "app/job_failure.h"
#include "platform/stop_signals.h"
#include "store/results_store.h"
#include "writers/analysed_file.h"

namespace vantorel::app {

struct BatchOptions {
    bool csv = false;  // the level counts as CSV instead of a summary per file
    bool svg = false;  // also write the chart as SVG
    bool json = false;      // one JSON document instead of the summaries
    bool loudness = false;  // also measure loudness, loudness range and true peak
    int jobs = 0;      // files analysed at a time; 0 leaves the choice to the caller
    bool recursive = false;  // folders take the folders below them too
    bool quiet = false;      // no progress line
    std::string html;        // the HTML report's file name; none when empty
    // The folder the result files go in, keeping the folders below each
    // argument; empty: beside the inputs.
    std::string outputFolder;
    bool noResults = false;  // no chart or report files at all
};

using writers::AnalysedFile;

// A file that was refused or could not be analysed, and why; or one that was
// measured but whose results could not be written, with its numbers.
struct FailedFile {
    JobFailure failure;
    std::optional<AnalysedFile> analysed;
};

using FileOutcome = std::variant<AnalysedFile, FailedFile>;

// One file's whole job, the dialogue's steps in the dialogue's order, without
// a screen. Independent of every other job: jobs may run at the same time.
// The results, named from `resultBase` (none when it is empty), are written
// under `watch`: not at all once a stop signal has come, and a stop signal
// that comes meanwhile waits until they are complete or undone. A long
// lossless file may be decoded on `decodeParts` threads.
FileOutcome analyseFile(const std::string& name, const std::string& resultBase, const BatchOptions& options,
                        int decodeParts, platform::StopSignalWatch& watch);

// The results of a file already measured (a stored result), written as
// analyseFile writes them.
FileOutcome writeResultsOf(analysis::TrackResult result, const std::string& resultBase, const BatchOptions& options,
                           platform::StopSignalWatch& watch);

// Analyses the files, up to options.jobs (at least 1) at a time, and prints
// each outcome in the order of `files`: its summary or CSV rows on `output`,
// "vantorel: NAME: message" on `errors` (the failure's line, control
// characters escaped), and
// after an album's last file its album block. With a results store, a file
// whose stored result still holds is taken from it without reading its audio,
// every other result measured is kept in it, files gone from the folders
// listed are removed from it, and a last line on `errors` counts them.
// Problems met while expanding the
// folders come first on `errors`. Inputs
// whose results would overwrite another input or an earlier input's results
// are refused before any job runs (see refuseBatchCollisions). Returns 0 when
// every file was analysed and its results written (and the HTML report,
// when asked for), 1 otherwise. While it runs, a progress line is shown on
// `errors` when that is a terminal and options.quiet is not set.
// A stop signal ends the process (see platform::StopSignalWatch); once
// `output` cannot be written, no further job starts and the status is 1.
int runBatch(const BatchInputs& inputs, const BatchOptions& options, std::FILE* output, std::FILE* errors,
             store::ResultsStore* store = nullptr);

}  // namespace vantorel::app
