// The command line's parsing, the one-line form of the error boxes, and the
// CSV rows. The batch itself runs end to end in tests/e2e/test_command_line.sh.

#include "app/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/batch_inputs.h"
#include "app/file_job.h"
#include "app/main_loop.h"
#include "text/control_characters.h"
#include "wave/wave_info.h"
#include "writers/csv_writer.h"
#include "writers/text_writer.h"

namespace vantorel::app {
namespace {

using text::escapeControlCharacters;
using writers::csvRows;
using writers::summaryText;

struct ParseCase {
    std::vector<std::string> arguments;
    CommandAction action;
    std::vector<std::string> files;
    bool csv = false;
    bool svg = false;
    int jobs = 0;
};

TEST(CommandLine, OptionsAndFilesInTheirOrder) {
    const std::vector<ParseCase> cases = {
        {{}, CommandAction::Dialogue, {}},
        {{"a.wav", "--svg", "b.wav"}, CommandAction::Batch, {"a.wav", "b.wav"}, false, true},
        {{"--csv", "--jobs", "3", "a.wav"}, CommandAction::Batch, {"a.wav"}, true, false, 3},
        {{"--jobs=12", "a.wav"}, CommandAction::Batch, {"a.wav"}, false, false, 12},
        {{"--", "--csv", "-", "-h"}, CommandAction::Batch, {"--csv", "-", "-h"}},
        {{"a.wav", "-h", "--bogus"}, CommandAction::Help, {}},
        {{"--version", "--help"}, CommandAction::Version, {}},
    };
    for (const ParseCase& c : cases) {
        const auto parsed = parseCommandLine(c.arguments);
        ASSERT_TRUE(std::holds_alternative<CommandLine>(parsed)) << ::testing::PrintToString(c.arguments);
        const CommandLine& line = std::get<CommandLine>(parsed);
        EXPECT_EQ(line.action, c.action) << ::testing::PrintToString(c.arguments);
        if (c.action != CommandAction::Batch) continue;
        EXPECT_EQ(line.files, c.files);
        EXPECT_EQ(line.options.csv, c.csv);
        EXPECT_EQ(line.options.svg, c.svg);
        EXPECT_EQ(line.options.jobs, c.jobs);
    }
}

TEST(CommandLine, WrongCommandLinesSayWhatWasWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus", "a.wav"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"a.wav", "--jobs"}, "--jobs needs a number"},
        {{"--jobs", "0", "a.wav"}, "--jobs needs a whole number from 1 to 256, not '0'"},
        {{"--jobs=2x", "a.wav"}, "--jobs needs a whole number from 1 to 256, not '2x'"},
        {{"--jobs", "-1", "a.wav"}, "--jobs needs a whole number from 1 to 256, not '-1'"},
        {{"--csv", "--svg"}, "no wave file named"},
        {{"a.wav", "--html"}, "--html needs a file name"},
        {{"--html=", "a.wav"}, "--html needs a file name"},
        {{"--csv", "--html", "r.html", "a"}, "--csv and --html cannot be combined"},
    };
    for (const auto& [arguments, message] : cases) {
        const auto parsed = parseCommandLine(arguments);
        ASSERT_TRUE(std::holds_alternative<CommandLineError>(parsed)) << ::testing::PrintToString(arguments);
        EXPECT_EQ(std::get<CommandLineError>(parsed).message, message);
    }
}

TEST(CommandLine, FolderOptions) {
    const auto parsed = parseCommandLine(std::vector<std::string>{"-r", "--html", "-q.html", "--quiet", "Music"});
    ASSERT_TRUE(std::holds_alternative<CommandLine>(parsed));
    const BatchOptions& options = std::get<CommandLine>(parsed).options;
    EXPECT_TRUE(options.recursive && options.quiet);
    EXPECT_EQ(options.html, "-q.html");
    EXPECT_EQ(std::get<CommandLine>(parsed).files, std::vector<std::string>{"Music"});
}

TEST(Batch, NamesSortWithTheirNumbersAsNumbers) {
    // Each name comes before the next.
    const std::vector<std::string> ordered = {"",        "1",      "1 a",     "01 b",    "02 x.flac", "2 x.flac",
                                              "10 x.flac", "099",  "100",     "a9",      "a10",      "a10b",
                                              "b",       "b2c1",   "b2c10",   "b18446744073709551616z"};
    for (std::size_t i = 0; i + 1 < ordered.size(); ++i) {
        EXPECT_TRUE(comesBeforeByName(ordered[i], ordered[i + 1])) << ordered[i] << " | " << ordered[i + 1];
        EXPECT_FALSE(comesBeforeByName(ordered[i + 1], ordered[i])) << ordered[i + 1] << " | " << ordered[i];
    }
    EXPECT_FALSE(comesBeforeByName("a", "a"));
}

// A failure's box in the dialogue, its line on standard error and in the JSON,
// and its names there, from the record alone.
struct FailureRendering {
    JobFailure failure;
    std::string box;
    std::string line;
    std::string_view stage;
    std::string_view kind;
};

JobFailure failureOf(FailureStage stage, FailureKind kind, std::string file, std::string detail = {},
                     std::string other = {}, std::vector<std::string> written = {}) {
    return {.stage = stage, .kind = kind, .file = std::move(file), .detail = std::move(detail),
            .otherFile = std::move(other), .written = std::move(written)};
}

TEST(Batch, FailuresRenderAsBoxLineAndNames) {
    using enum FailureStage;
    const std::vector<FailureRendering> table{
        {failureOf(Open, FailureKind::NotFound, "x.wav"), "           File not found.\\nPlease enter a valid filename  ",
         "File not found. Please enter a valid filename", "open", "not_found"},
        {failureOf(Open, FailureKind::Unreadable, "x.wav", "name too long"), "This file cannot be read:\\nname too long",
         "This file cannot be read: name too long", "open", "unreadable"},
        {failureOf(Header, FailureKind::EightBit, "x.wav"),
         "           This is an 8-bit Wave file.\\n The resolution must be 16-bit or higher   ",
         "This is an 8-bit Wave file. The resolution must be 16-bit or higher", "header", "eight_bit"},
        {failureOf(Header, FailureKind::Cut, "x.wav"),
         "This Wave file is shorter than its header says:\\nIt was cut short, or is still being written  ",
         "This Wave file is shorter than its header says: It was cut short, or is still being written", "header", "cut"},
        {failureOf(Decode, FailureKind::Damaged, "x.flac", "Invalid data found when processing input"),
         "This audio file is damaged:\\nInvalid data found when processing input\\nNo result file was changed.",
         "This audio file is damaged: Invalid data found when processing input. No result file was changed.", "decode",
         "damaged"},
        {failureOf(Header, FailureKind::TooManyChannels, "x.flac", "10 channels"),
         "This file has 10 channels.\\nThe tool analyses up to 8 channels.",
         "This file has 10 channels. The tool analyses up to 8 channels.", "header", "too_many_channels"},
        {failureOf(Measure, FailureKind::LoudnessFormat, "x.wav",
                   std::string(measure::loudnessFailureMessage(measure::LoudnessFailure::BadFormat))),
         "Loudness cannot be measured for this channel count or sample rate.\\nNo result file was changed.",
         "Loudness cannot be measured for this channel count or sample rate. No result file was changed.", "measure",
         "loudness_format"},
        {failureOf(Write, FailureKind::WriteFailed, "dir/x VT.emf", "permission denied"),
         "Could not write \"x VT.emf\":\\npermission denied\\nNo result file was changed.",
         "Could not write \"x VT.emf\": permission denied. No result file was changed.", "write", "write_failed"},
        {failureOf(Write, FailureKind::WriteFailed, "x VT.emf", "disk full", {}, {"x VT.txt"}),
         "Could not write \"x VT.emf\":\\ndisk full\\nOnly \"x VT.txt\" was written.",
         "Could not write \"x VT.emf\": disk full. Only \"x VT.txt\" was written.", "write", "write_failed"},
        {failureOf(Write, FailureKind::ResultIsOtherInput, "b VT.emf", {}, "sub/b VT.emf"),
         "The result \"b VT.emf\"\\nis \"b VT.emf\", another file being analysed.\\nNothing was written.",
         "The result \"b VT.emf\" is \"b VT.emf\", another file being analysed. Nothing was written.", "write",
         "result_is_other_input"},
        {failureOf(Write, FailureKind::SharedResults, "take VT.txt", {}, "take.wav"),
         "Its results would replace those of \"take.wav\" in this batch.\\nNothing was written.",
         "Its results would replace those of \"take.wav\" in this batch. Nothing was written.", "write",
         "shared_results"},
        {failureOf(Write, FailureKind::Stopped, "x.wav"), "Stopped before its results were written.",
         "stopped before its results were written", "write", "stopped"},
    };
    for (const FailureRendering& row : table) {
        SCOPED_TRACE(row.line);
        EXPECT_EQ(failureBoxText(row.failure), row.box);
        EXPECT_EQ(failureLine(row.failure), row.line);
        EXPECT_EQ(stageName(row.failure.stage), row.stage);
        EXPECT_EQ(kindName(row.failure.kind), row.kind);
    }
    // A backslash before the n of a break stays a backslash.
    EXPECT_EQ(errorLine(" a\\\\n b "), "a\\ b");
}

TEST(Batch, CsvNamesAreQuoted) {
    AnalysedFile mono;
    mono.result.levels.histograms.resize(1);
    mono.result.levels.histograms[0].bins[3] = 1;
    mono.result.levels.grid.sliceCount = 3;
    const std::string rows = csvRows("take \"1\", mono.wav", mono);
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), analysis::kLevelBins);
    EXPECT_EQ(rows.substr(0, rows.find('\n') + 1), "\"take \"\"1\"\", mono.wav\",mono,0,0,0\n");
    EXPECT_NE(rows.find("\",mono,3,1,33.333333333333336\n"), std::string::npos) << rows;
}

TEST(Batch, ControlCharactersInNamesAreShownEscaped) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"new\nline.wav", "new\\nline.wav"},
        {"a\tb\rc.wav", "a\\tb\\rc.wav"},
        {"\x1b[31mred.wav", "\\x1b[31mred.wav"},
        {std::string("nul\0.wav", 8), "nul\\x00.wav"},
        {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
        {"csi\xc2\x9b" "2J", "csi\\xc2\\x9b2J"},  // U+009B, a C1 control in UTF-8
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\xc2\\x80\\xc2\\x9f\xc2\xa0"},  // the C1 range's ends; no-break space kept
        {"caf\xc3\xa9 \xe2\x80\x94 C:\\take \"1\".wav", "caf\xc3\xa9 \xe2\x80\x94 C:\\take \"1\".wav"},
        {"cut\xc2", "cut\xc2"},
    };
    for (const auto& [name, shown] : cases) EXPECT_EQ(escapeControlCharacters(name), shown) << name;

    AnalysedFile file;
    file.written = {"new\nline VT.txt"};
    const std::string summary = summaryText("new\nline.wav", file);
    EXPECT_EQ(summary.substr(0, summary.find('\n')), "new\\nline.wav");
    EXPECT_NE(summary.find("  Written      new\\nline VT.txt\n"), std::string::npos) << summary;
}

}  // namespace
}  // namespace vantorel::app
