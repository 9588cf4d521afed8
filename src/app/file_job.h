#pragma once
// The steps of one file's job that the dialogue and the command line share.
// Each gives its outcome as a value and shows nothing; a refusal or failure
// comes as a JobFailure record.

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "analysis/level_distribution.h"
#include "analysis/track_result.h"
#include "app/job_failure.h"
#include "decode/audio_decoder.h"
#include "platform/files.h"
#include "wave/wave_info.h"

namespace vantorel::app {

// An input opened for its whole job: the header and the samples come from
// this one open file. A file whose bytes 8-11 are "WAVE" is read by the wave
// reader; any other is probed by its content and, when it holds audio in a
// known container, decoded. `format` is what the panel shows.
struct JobInput {
    std::unique_ptr<platform::ReadOnlyFile> file;  // held in place: the decoder reads through it
    stream::StreamFormat format;
    wave::WaveInfo wave;                         // a wave file's header; unused for a decoded file
    std::unique_ptr<decode::InputBytes> bytes;   // the decoder's view of `file`
    std::optional<decode::OpenedAudio> decoded;  // none for a wave file
};

// Opens the input and reads its header, or gives the failure that refuses it:
// not found, cannot be read, a header the tool does not accept (a file that is
// neither a wave file nor audio of another format gets the wave reader's
// rejection), a file it cannot decode, or one of its result names (the SVG
// chart's too with `svg`) leads to the input itself, which is never written.
// The result names are made from `resultBase` (see resultNames): the input's
// own name, or its place in another folder; empty when none is written.
std::variant<JobInput, JobFailure> openJobInput(const std::string& name, bool svg, const std::string& resultBase);

// Whether a file found in a folder is audio the tool analyses, found by
// content as openJobInput finds it: a wave file whose header the reader
// accepts or finds cut, or a file the decoder opens. Other files are passed over.
bool holdsAnalysableAudio(const std::string& name);

// Reads and measures the samples of the input named `name`; the failure when
// reading, decoding or the loudness (where asked for) fails.
// For a lossy file the decoder tells its exact length only here: input.format's
// frames are then updated. `afterEachBlock` as for
// analysis::analyseLevels.
std::variant<analysis::TrackResult, JobFailure> measureJobInput(const std::string& name, JobInput& input,
                                                                  const std::function<void()>& afterEachBlock = {},
                                                                  const analysis::MeasureOptions& options = {});

// The result names of an input, made from `base` (its name, or its place in
// another folder): report, chart and with `svg` the SVG chart. A wave file's
// drop the last four characters of the name, a decoded file's its extension.
std::vector<std::string> resultNames(const std::string& base, bool decoded, bool svg);

// What a batch will write for one input: results named from `resultBase`
// (none when it is empty), and whether the input is a decoded file when that
// is known without opening it (from a stored result).
struct PlannedResults {
    std::string input;
    std::string resultBase;
    std::optional<bool> decoded;
};

// What a batch decides before any of its jobs runs, so that it never writes
// over one of its inputs nor writes one result twice: for each input, in
// order, the failure that refuses it, or nothing. An input is refused when one
// of its results is an input of the batch (the same file), or would be the
// same file as a result of an earlier input: the same existing file, or else
// the same name in the same folder. Only inputs that are regular files take
// part; the others write nothing.
std::vector<std::optional<JobFailure>> refuseBatchCollisions(std::span<const PlannedResults> planned, bool svg);

// Writes the results of an analysed file, named from `resultBase`, as a unit:
// the report (mono and stereo only), the chart, and with `svg` the chart as
// SVG; with `createFolder` the folder they go in is made first where it is
// missing. Either all are
// written, or none replaces its earlier version and the failure says which
// file failed and why. Gives the names written, in that order.
std::variant<std::vector<std::string>, JobFailure> writeJobResults(const std::string& resultBase,
                                                                   const analysis::TrackResult& result, bool svg,
                                                                   bool createFolder = false);

}  // namespace vantorel::app
