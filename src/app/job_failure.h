#pragma once
// Why a file's job ended without results: the stage it reached, what went
// wrong, the file concerned and the details, as a record. The dialogue shows
// it in an error box, the command line as one line on standard error and in
// the JSON document's failures.

#include <string>
#include <string_view>
#include <vector>

#include "decode/audio_decoder.h"
#include "measure/loudness.h"
#include "platform/files.h"
#include "wave/sample_loader.h"
#include "wave/wave_info.h"

namespace vantorel::app {

enum class FailureStage {
    Open,     // the input could not be opened
    Header,   // its header or container was refused
    Decode,   // its audio could not be decoded
    Measure,  // its samples could not be read or measured
    Write,    // its results could not be written, or would destroy another file
};

enum class FailureKind {
    NotFound,            // no regular file of that name
    Unreadable,          // a file that cannot be opened for reading (detail: why)
    NotWave,             // neither a wave file nor audio of another format
    DamagedChunks,       // a wave file whose chunks contradict each other or its size
    Cut,                 // a wave file shorter than its header says
    EightBit,            // 8-bit samples
    NotPcmOrFloat,       // a wave encoding other than integer PCM and float
    UnreadableBits,      // bit depths other than 16, 24 and 32
    UnreadableChannels,  // channel counts other than 1 to 8
    NoDecoders,          // audio of another format in a build without the decoders
    TooManyChannels,     // more channels than the tool measures (detail: how many)
    Unsupported,         // a codec or sample format the decoders cannot deliver (detail)
    Damaged,             // a decode error, lost frames, a file that ends early (detail)
    ReadFailed,          // a read error, or the file shrank while it was read
    OutOfMemory,
    LoudnessFormat,      // a channel count or sample rate the loudness meter does not take
    LoudnessMeter,       // the loudness meter failed on the samples
    LoudnessMemory,      // not enough memory for the loudness meters
    ResultIsInput,       // a result name leads to the input itself (file: the result)
    ResultIsOtherInput,  // a result is another input of the batch (file: the result; other: that input)
    SharedResults,       // the results would replace those of an earlier input (other: that input)
    ChartNotDrawn,       // the chart could not be drawn
    WriteFailed,         // a result could not be written (file: it; detail: why; written: those in place)
    Stopped,             // a stop signal came before the results were written
};

struct JobFailure {
    FailureStage stage = FailureStage::Open;
    FailureKind kind = FailureKind::NotFound;
    std::string file;                 // the file concerned: the input, or the result named above
    std::string detail;               // the system's or the decoder's words; empty when there are none
    std::string otherFile;            // the other input of a collision
    std::vector<std::string> written; // results of a failed write that are in place all the same
};

// The failure of a header the wave reader refused, of a decoder, of the
// sample loader and of the loudness meter.
JobFailure headerFailure(wave::HeaderRejection rejection, const std::string& input);
JobFailure decodeFailure(const decode::DecodeFailure& failure, const std::string& input, FailureStage stage);
JobFailure loadFailure(wave::LoadFailure failure, const std::string& input);
JobFailure sourceFailure(const stream::SourceFailure& failure, const std::string& input, FailureStage stage);
JobFailure loudnessFailure(measure::LoudnessFailure failure, const std::string& input);

// The text of the dialogue's error box, sentences parted by the two
// characters backslash and n; the tool's fixed messages byte for byte.
std::string failureBoxText(const JobFailure& failure);

// The same on one line, for standard error and the JSON document: each part
// of the box a sentence, parted by a blank, without the box's padding.
std::string failureLine(const JobFailure& failure);

// Names for scripts (the JSON document's "stage" and "kind"): "open", "header",
// ...; "not_found", "cut", "damaged", ...
std::string_view stageName(FailureStage stage);
std::string_view kindName(FailureKind kind);

// An error box's text as one line: each two-character sequence backslash-n
// becomes a blank (after a full stop where a line without one ends a sentence
// and the next begins with a capital), runs of blanks become one, and the
// padding at both ends goes.
std::string errorLine(std::string_view boxMessage);

}  // namespace vantorel::app
