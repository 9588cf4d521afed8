#include "app/job_failure.h"

#include <cctype>
#include <cstddef>

namespace vantorel::app {

namespace {

// The two-character sequence backslash-n separates the sentences of a box text.
constexpr std::string_view kFileNotFoundMessage = "           File not found.\\nPlease enter a valid filename  ";
constexpr std::string_view kNothingChangedLine = "No result file was changed.";

// A file's own name in quotes; the box need not repeat the folder the user typed.
std::string quotedFileName(const std::string& name) {
    std::string quoted(1, '"');
    quoted.append(name, platform::fileNameStart(name));
    quoted += '"';
    return quoted;
}

// A colon and the detail on a line of its own, where there is one.
std::string withDetail(const JobFailure& failure) {
    return failure.detail.empty() ? std::string() : std::string(":\\n") + failure.detail;
}

// The words as the start of a sentence.
std::string capitalised(std::string words) {
    if (!words.empty()) words[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(words[0])));
    return words;
}

}  // namespace

JobFailure headerFailure(wave::HeaderRejection rejection, const std::string& input) {
    const auto kindOf = [](wave::HeaderRejection rejected) {
        switch (rejected) {
            case wave::HeaderRejection::NotWave: return FailureKind::NotWave;
            case wave::HeaderRejection::DamagedChunks: return FailureKind::DamagedChunks;
            case wave::HeaderRejection::Cut: return FailureKind::Cut;
            case wave::HeaderRejection::EightBit: return FailureKind::EightBit;
            case wave::HeaderRejection::NotPcmOrFloat: return FailureKind::NotPcmOrFloat;
            case wave::HeaderRejection::UnreadableBits: return FailureKind::UnreadableBits;
            case wave::HeaderRejection::UnreadableChannels: return FailureKind::UnreadableChannels;
        }
        return FailureKind::NotWave;
    };
    return {.stage = FailureStage::Header, .kind = kindOf(rejection), .file = input, .detail = {}, .otherFile = {},
            .written = {}};
}

JobFailure decodeFailure(const decode::DecodeFailure& failure, const std::string& input, FailureStage stage) {
    JobFailure failed{.stage = stage, .kind = FailureKind::Damaged, .file = input, .detail = failure.detail,
                      .otherFile = {}, .written = {}};
    switch (failure.kind) {
        case decode::DecodeFailureKind::NotAudio:  // neither a wave file nor audio: as the wave reader says
            return headerFailure(wave::HeaderRejection::NotWave, input);
        case decode::DecodeFailureKind::NoDecoders: failed.kind = FailureKind::NoDecoders; break;
        case decode::DecodeFailureKind::TooManyChannels: failed.kind = FailureKind::TooManyChannels; break;
        case decode::DecodeFailureKind::Unsupported: failed.kind = FailureKind::Unsupported; break;
        case decode::DecodeFailureKind::ReadFailed: failed.kind = FailureKind::ReadFailed; break;
        case decode::DecodeFailureKind::Damaged: failed.kind = FailureKind::Damaged; break;
        case decode::DecodeFailureKind::OutOfMemory: failed.kind = FailureKind::OutOfMemory; break;
    }
    return failed;
}

JobFailure loadFailure(wave::LoadFailure failure, const std::string& input) {
    return {.stage = FailureStage::Measure,
            .kind = failure == wave::LoadFailure::OutOfMemory ? FailureKind::OutOfMemory : FailureKind::ReadFailed,
            .file = input, .detail = {}, .otherFile = {}, .written = {}};
}

JobFailure sourceFailure(const stream::SourceFailure& failure, const std::string& input, FailureStage stage) {
    using Kind = stream::SourceFailure::Kind;
    const FailureKind kind = failure.kind == Kind::ReadFailed    ? FailureKind::ReadFailed
                             : failure.kind == Kind::OutOfMemory ? FailureKind::OutOfMemory
                             : failure.kind == Kind::Damaged     ? FailureKind::Damaged
                                                                 : FailureKind::Unsupported;
    return {.stage = stage, .kind = kind, .file = input, .detail = failure.detail, .otherFile = {}, .written = {}};
}

JobFailure loudnessFailure(measure::LoudnessFailure failure, const std::string& input) {
    JobFailure failed{.stage = FailureStage::Measure, .kind = FailureKind::LoudnessMeter, .file = input,
                      .detail = std::string(measure::loudnessFailureMessage(failure)), .otherFile = {}, .written = {}};
    switch (failure) {
        case measure::LoudnessFailure::NotAvailable:
        case measure::LoudnessFailure::BadFormat: failed.kind = FailureKind::LoudnessFormat; break;
        case measure::LoudnessFailure::MeterFailed: failed.kind = FailureKind::LoudnessMeter; break;
        case measure::LoudnessFailure::OutOfMemory: failed.kind = FailureKind::LoudnessMemory; break;
    }
    return failed;
}

std::string failureBoxText(const JobFailure& failure) {
    switch (failure.kind) {
        case FailureKind::NotFound: return std::string(kFileNotFoundMessage);
        case FailureKind::Unreadable: return std::string("This file cannot be read:\\n") + failure.detail;
        case FailureKind::NotWave: return std::string(wave::rejectionMessage(wave::HeaderRejection::NotWave));
        case FailureKind::DamagedChunks:
            return std::string(wave::rejectionMessage(wave::HeaderRejection::DamagedChunks));
        case FailureKind::Cut: return std::string(wave::rejectionMessage(wave::HeaderRejection::Cut));
        case FailureKind::EightBit: return std::string(wave::rejectionMessage(wave::HeaderRejection::EightBit));
        case FailureKind::NotPcmOrFloat:
            return std::string(wave::rejectionMessage(wave::HeaderRejection::NotPcmOrFloat));
        case FailureKind::UnreadableBits:
            return std::string(wave::rejectionMessage(wave::HeaderRejection::UnreadableBits));
        case FailureKind::UnreadableChannels:
            return std::string(wave::rejectionMessage(wave::HeaderRejection::UnreadableChannels));
        case FailureKind::NoDecoders:
            return "This audio file needs the decoders of the Linux build.\\nThis build reads Wave files only.";
        case FailureKind::TooManyChannels:
            return std::string("This file has ") + failure.detail + ".\\nThe tool analyses up to 8 channels.";
        case FailureKind::Unsupported: return std::string("This audio file cannot be decoded") + withDetail(failure);
        case FailureKind::Damaged:
            return std::string("This audio file is damaged") + withDetail(failure) + "\\n" +
                   std::string(kNothingChangedLine);
        case FailureKind::ReadFailed: return std::string(wave::kReadFailedMessage);
        case FailureKind::OutOfMemory: return std::string(wave::kOutOfMemoryMessage);
        case FailureKind::LoudnessFormat:
        case FailureKind::LoudnessMeter:
        case FailureKind::LoudnessMemory:
            return capitalised(failure.detail) + ".\\n" + std::string(kNothingChangedLine);
        case FailureKind::ResultIsInput:
            return std::string("The result ") + quotedFileName(failure.file) +
                   "\\nis the file being analysed.\\nNothing was written.";
        case FailureKind::ResultIsOtherInput:
            return std::string("The result ") + quotedFileName(failure.file) + "\\nis " +
                   quotedFileName(failure.otherFile) + ", another file being analysed.\\nNothing was written.";
        case FailureKind::SharedResults:
            return std::string("Its results would replace those of ") + quotedFileName(failure.otherFile) +
                   " in this batch.\\nNothing was written.";
        case FailureKind::ChartNotDrawn:
            return std::string("Could not draw the chart.\\n") + std::string(kNothingChangedLine);
        case FailureKind::WriteFailed: {
            std::string message =
                std::string("Could not write ") + quotedFileName(failure.file) + ":\\n" + failure.detail + "\\n";
            if (failure.written.empty()) return message + std::string(kNothingChangedLine);
            message += "Only";
            for (std::size_t i = 0; i < failure.written.size(); ++i)
                message += std::string(i == 0 ? " " : " and ") + quotedFileName(failure.written[i]);
            return message + " was written.";
        }
        case FailureKind::Stopped: return "Stopped before its results were written.";
    }
    return "This file could not be analysed.";
}

std::string failureLine(const JobFailure& failure) {
    // Only the command line stops between measuring and writing; it has always
    // said so in its own words.
    if (failure.kind == FailureKind::Stopped) return "stopped before its results were written";
    return errorLine(failureBoxText(failure));
}

std::string_view stageName(FailureStage stage) {
    switch (stage) {
        case FailureStage::Open: return "open";
        case FailureStage::Header: return "header";
        case FailureStage::Decode: return "decode";
        case FailureStage::Measure: return "measure";
        case FailureStage::Write: return "write";
    }
    return "open";
}

std::string_view kindName(FailureKind kind) {
    switch (kind) {
        case FailureKind::NotFound: return "not_found";
        case FailureKind::Unreadable: return "unreadable";
        case FailureKind::NotWave: return "not_wave";
        case FailureKind::DamagedChunks: return "damaged_chunks";
        case FailureKind::Cut: return "cut";
        case FailureKind::EightBit: return "eight_bit";
        case FailureKind::NotPcmOrFloat: return "not_pcm_or_float";
        case FailureKind::UnreadableBits: return "unreadable_bits";
        case FailureKind::UnreadableChannels: return "unreadable_channels";
        case FailureKind::NoDecoders: return "no_decoders";
        case FailureKind::TooManyChannels: return "too_many_channels";
        case FailureKind::Unsupported: return "unsupported";
        case FailureKind::Damaged: return "damaged";
        case FailureKind::ReadFailed: return "read_failed";
        case FailureKind::OutOfMemory: return "out_of_memory";
        case FailureKind::LoudnessFormat: return "loudness_format";
        case FailureKind::LoudnessMeter: return "loudness_meter";
        case FailureKind::LoudnessMemory: return "loudness_memory";
        case FailureKind::ResultIsInput: return "result_is_input";
        case FailureKind::ResultIsOtherInput: return "result_is_other_input";
        case FailureKind::SharedResults: return "shared_results";
        case FailureKind::ChartNotDrawn: return "chart_not_drawn";
        case FailureKind::WriteFailed: return "write_failed";
        case FailureKind::Stopped: return "stopped";
    }
    return "unknown";
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

}  // namespace vantorel::app
