#include "app/command_line.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string_view>
#include <thread>

#include "app/batch_inputs.h"
#include "app/file_job.h"
#include "app/version.h"
#include "measure/loudness.h"
#include "platform/files.h"
#include "store/results_store.h"
#include "text/control_characters.h"
#include "writers/progress_line.h"

namespace vantorel::app {

namespace {

// More simultaneous jobs than this gain nothing and could exhaust threads.
constexpr int kMostJobs = 256;

constexpr std::string_view kJobsOption = "--jobs";

std::optional<int> jobCount(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 1 || value > kMostJobs) return std::nullopt;
    return value;
}

CommandLineError badJobCount(std::string_view text) {
    return {std::string("--jobs needs a whole number from 1 to ") + std::to_string(kMostJobs) + ", not '" + std::string(text) +
            "'"};
}

// The option among `names` that takes a value the argument names: as itself
// ("--db"), the value in the next argument, or with it ("--db=FILE").
std::optional<std::string_view> valueOption(std::string_view argument, std::initializer_list<std::string_view> names) {
    for (const std::string_view name : names)
        if (argument == name || (argument.starts_with(name) && argument.size() > name.size() &&
                                 argument[name.size()] == '=' && name.starts_with("--")))
            return name;
    return std::nullopt;
}

}  // namespace

std::variant<CommandLine, CommandLineError> parseCommandLine(std::span<const std::string> arguments) {
    CommandLine line;
    if (arguments.empty()) return line;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (optionsEnded || argument.size() < 2 || argument.front() != '-') {
            line.files.push_back(argument);
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help" || argument == "-h") {
            line.action = CommandAction::Help;
            return line;
        } else if (argument == "--version") {
            line.action = CommandAction::Version;
            return line;
        } else if (argument == "--csv") {
            line.options.csv = true;
        } else if (argument == "--svg") {
            line.options.svg = true;
        } else if (argument == "--json") {
            line.options.json = true;
        } else if (argument == "--loudness") {
            if (!measure::loudnessAvailable())
                return CommandLineError{"--loudness needs the loudness meter of the Linux build"};
            line.options.loudness = true;
        } else if (argument == "-r" || argument == "--recursive") {
            line.options.recursive = true;
        } else if (argument == "--quiet" || argument == "-q") {
            line.options.quiet = true;
        } else if (argument == "--html") {
            if (i + 1 == arguments.size() || arguments[i + 1].empty()) return CommandLineError{"--html needs a file name"};
            line.options.html = arguments[++i];
        } else if (argument.starts_with("--html=")) {
            line.options.html = argument.substr(7);
            if (line.options.html.empty()) return CommandLineError{"--html needs a file name"};
        } else if (const std::optional<std::string_view> option = valueOption(argument, {"-o", "--output", "--db"})) {
            std::string value;
            if (argument.size() > option->size()) {
                value = argument.substr(option->size() + 1);
            } else if (i + 1 < arguments.size()) {
                value = arguments[++i];
            }
            if (value.empty())
                return CommandLineError{std::string(*option) + (*option == "--db" ? " needs a file name" : " needs a folder")};
            (*option == "--db" ? line.store : line.options.outputFolder) = value;
        } else if (argument == "--no-results") {
            line.options.noResults = true;
        } else if (argument == kJobsOption) {
            if (i + 1 == arguments.size()) return CommandLineError{"--jobs needs a number"};
            const std::optional<int> jobs = jobCount(arguments[++i]);
            if (!jobs) return badJobCount(arguments[i]);
            line.options.jobs = *jobs;
        } else if (argument.starts_with(std::string(kJobsOption) + "=")) {
            const std::string_view value = std::string_view(argument).substr(kJobsOption.size() + 1);
            const std::optional<int> jobs = jobCount(value);
            if (!jobs) return badJobCount(value);
            line.options.jobs = *jobs;
        } else {
            return CommandLineError{std::string("unknown option '") + argument + "'"};
        }
    }
    if (line.options.csv && line.options.json) return CommandLineError{"--csv and --json cannot be combined"};
    if (line.files.empty()) return CommandLineError{"no wave file named"};
    if (line.options.csv && !line.options.html.empty()) return CommandLineError{"--csv and --html cannot be combined"};
    if (line.options.noResults && !line.options.outputFolder.empty())
        return CommandLineError{"--output and --no-results cannot be combined"};
    if (line.options.noResults && line.options.svg) return CommandLineError{"--svg and --no-results cannot be combined"};
    line.action = CommandAction::Batch;
    return line;
}

std::string usageText() {
    return "Usage: vantorel\n"
           "       vantorel [OPTION]... FILE|FOLDER...\n"
           "\n"
           "Without arguments, asks in the terminal for one audio file after another.\n"
           "With files, analyses each of them without a screen: cuts the recording into\n"
           "slices of a tenth of a second, counts per channel how many slices peak at\n"
           "each level from 0 to 40 dB below full scale, and writes beside the file a\n"
           "chart, \"NAME VT.emf\", and a report, \"NAME VT.txt\" (NAME is a wave file's\n"
           "name less its last four characters, the \".wav\", and another format's name\n"
           "less its extension). Wave files are read by the tool itself; FLAC, ALAC, MP3,\n"
           "AAC, Ogg, Opus, AIFF and other audio files are decoded, found by content.\n"
           "A summary of each file goes to standard output, a line for each file that\n"
           "was not analysed to standard error.\n"
           "A folder stands for the audio files directly inside it, in name order\n"
           "(numbers as numbers: \"2 x.flac\" before \"10 x.flac\"); other files in it\n"
           "are passed over. Its files are an album: after them comes the album's\n"
           "summary (tracks, duration, album DR, peak, and with --loudness the album's\n"
           "loudness, range and true peak).\n"
           "\n"
           "Options:\n"
           "  --csv       print the level counts as CSV instead of the summaries:\n"
           "              file,channel,level_db,slices,percent\n"
           "  --svg       also write the chart as \"NAME VT.svg\"\n"
           "  --loudness  also measure the EBU R128 loudness, loudness range, true peak\n"
           "              and PLR (takes longer)\n"
           "  --json      print one JSON document instead of the summaries: every file's\n"
           "              data, peaks, DR, loudness and counts per channel, and failures\n"
           "  --jobs N    analyse up to N files at a time (default: one per processor core);\n"
           "              threads left over read a long WAV, FLAC, WavPack... in parts\n"
           "  -r, --recursive\n"
           "              also take every folder below a folder, each an album of its own\n"
           "  --html FILE write one self-contained HTML page with every album's summary,\n"
           "              an overlay of its tracks' curves, a table and each track's chart\n"
           "  -o, --output DIR\n"
           "              write the charts and reports into DIR instead of beside the files,\n"
           "              keeping the folders below each folder named (folders are made)\n"
           "  --no-results\n"
           "              write no charts or reports at all: the summaries, CSV, JSON, HTML\n"
           "              and the results store are the outputs\n"
           "  --db FILE   keep every result in FILE, an SQLite results store (made when\n"
           "              missing): a later run takes the result of a file that has not\n"
           "              changed from it instead of reading the audio again, and forgets\n"
           "              files gone from the folders it looks through\n"
           "  -q, --quiet show no progress line on the terminal\n"
           "  -h, --help  show this help and exit\n"
           "  --version   show the version and exit\n"
           "  --          end of options: every later argument is a file\n"
           "\n"
           "Exit status: 0 when every file was analysed and its results written,\n"
           "1 when any was not, 2 when the command line is wrong.\n";
}

std::string versionText() { return std::string(kProgramName) + " " + std::string(kProgramVersion) + "\n"; }

int runCommandLine(std::span<const std::string> arguments, std::FILE* output, std::FILE* errors) {
    const auto parsed = parseCommandLine(arguments);
    if (const auto* error = std::get_if<CommandLineError>(&parsed)) {
        const std::string program(kProgramName);
        std::fprintf(errors, "%s: %s; try '%s --help'\n", program.c_str(),
                     text::escapeControlCharacters(error->message).c_str(), program.c_str());
        return 2;
    }
    const CommandLine& line = std::get<CommandLine>(parsed);
    switch (line.action) {
        case CommandAction::Help: std::fputs(usageText().c_str(), output); return 0;
        case CommandAction::Version: std::fputs(versionText().c_str(), output); return 0;
        case CommandAction::Dialogue:
        case CommandAction::Batch: break;
    }
    BatchOptions options = line.options;
    if (options.jobs == 0) options.jobs = static_cast<int>(std::max(1U, std::thread::hardware_concurrency()));
    const std::string program(kProgramName);
    std::optional<store::ResultsStore> store;
    if (!line.store.empty()) {
        auto opened = store::openResultsStore(line.store);
        if (const auto* failure = std::get_if<store::StoreFailure>(&opened)) {
            std::fprintf(errors, "%s: %s\n", program.c_str(), text::escapeControlCharacters(failure->message).c_str());
            return 1;
        }
        store = std::move(std::get<store::ResultsStore>(opened));
    }
    // A file the store holds an unchanged result of is audio: a look at it is enough.
    const std::function<bool(const std::string&)> isAudio = [&](const std::string& name) {
        if (store)
            if (const std::optional<platform::FileStamp> stamp = platform::fileStamp(name);
                stamp && store::holdsTrack(*store, {.path = platform::absolutePath(name), .stamp = *stamp,
                                                    .loudness = options.loudness}))
                return true;
        return holdsAnalysableAudio(name);
    };
    writers::ProgressLine progress = writers::startProgress(errors, options.quiet);
    const auto started = std::chrono::steady_clock::now();
    auto lastDrawn = started - std::chrono::seconds(1);
    const std::function<void(const ExpansionProgress&)> showProgress = [&](const ExpansionProgress& reached) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastDrawn < std::chrono::milliseconds(50)) return;
        lastDrawn = now;
        writers::drawSearchProgress(progress, reached.folders, reached.filesLookedAt, reached.files,
                                    reached.current ? *reached.current : std::string(), now - started);
    };
    const BatchInputs inputs = expandBatchInputs(line.files, options.recursive, isAudio, options.jobs, showProgress);
    writers::eraseProgress(progress);
    return runBatch(inputs, options, output, errors, store ? &*store : nullptr);
}

}  // namespace vantorel::app
