#pragma once
// The steps of one file's job that the dialogue and the command line share.
// Each gives its outcome as a value and shows nothing; a refusal or failure
// comes as the text of the error box that reports it.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "analysis/level_distribution.h"
#include "platform/files.h"
#include "wave/wave_info.h"

namespace vantorel::app {

// The two-character sequence backslash-n separates the sentences of a box text.
inline constexpr std::string_view kFileNotFoundMessage =
    "           File not found.\\nPlease enter a valid filename  ";

// The names of an input's results: the report, the chart, and with `svg` the
// chart as SVG.
std::vector<std::string> resultNames(const std::string& name, bool svg);

// The input opened for the whole job (the header and the samples come from
// this one open file), or the box text that refuses it: not found, cannot be
// read, or one of its result names (the SVG chart's too with `svg`) leads to
// the input itself, which is never written.
std::variant<platform::ReadOnlyFile, std::string> openJobInput(const std::string& name, bool svg);

// What a batch decides before any of its jobs runs, so that it never writes
// over one of its inputs nor writes one result twice: for each input, in
// order, the box text that refuses it, or nothing. An input is refused when one
// of its results is an input of the batch (the same file), or would be the
// same file as a result of an earlier input: the same existing file, or else
// the same name in the same folder. Only inputs that open as regular files take
// part; the others write nothing.
std::vector<std::optional<std::string>> refuseBatchCollisions(std::span<const std::string> names, bool svg);

// Writes the results of an analysed file as a unit: the report (mono and
// stereo only), the chart, and with `svg` the chart as SVG. Either all are
// written, or none replaces its earlier version and the box text says which
// file failed and why. Gives the names written, in that order.
std::variant<std::vector<std::string>, std::string> writeJobResults(const std::string& name,
                                                                    const wave::WaveInfo& info,
                                                                    const analysis::LevelAnalysis& levels, bool svg);

}  // namespace vantorel::app
