#include "app/file_job.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>

#include "app/job_failure.h"
#include "output/chart_metafile.h"
#include "output/text_report.h"
#include "stream/channel_layout.h"
#include "wave/sample_loader.h"

namespace vantorel::app {

namespace {

// Whether the file takes the wave reader: bytes 8-11 are "WAVE", whatever its
// first four bytes say.
bool isWaveFile(const platform::ReadOnlyFile& file) {
    std::array<std::byte, 12> head{};
    return platform::readAt(file, 0, head) == head.size() && std::memcmp(head.data() + 8, "WAVE", 4) == 0;
}

using IdentityKey = std::pair<std::uint64_t, std::uint64_t>;

IdentityKey keyOf(const platform::FileIdentity& identity) { return {identity.volume, identity.index}; }

// Where a result goes, as text that two results share exactly when they are
// the same file: an existing file's identity; otherwise its folder (by
// identity where the folder exists) and its own name as the file system
// compares names.
std::string resultPlace(const std::string& result, const std::optional<platform::FileIdentity>& existing) {
    const auto identityText = [](const platform::FileIdentity& identity) {
        return std::to_string(identity.volume) + ":" + std::to_string(identity.index);
    };
    if (existing) return std::string("file ") + identityText(*existing);
    const std::size_t nameStart = platform::fileNameStart(result);
    const std::string folder = result.substr(0, nameStart);
    const std::optional<platform::FileIdentity> folderIdentity = platform::fileIdentity(folder.empty() ? "." : folder);
    return std::string("name ") + (folderIdentity ? identityText(*folderIdentity) : std::string("?") + folder) + "/" +
           platform::comparableFileName(std::string_view(result).substr(nameStart));
}

}  // namespace

std::vector<std::optional<JobFailure>> refuseBatchCollisions(std::span<const PlannedResults> planned, bool svg) {
    std::vector<std::optional<platform::FileIdentity>> inputs(planned.size());
    std::vector<bool> waveInputs(planned.size());  // which naming rule each input's results follow
    std::map<IdentityKey, std::size_t> inputWithIdentity;  // the first input that is each file
    for (std::size_t i = 0; i < planned.size(); ++i) {
        if (planned[i].decoded) {
            // Known from a stored result: a look at the file's identity is enough.
            if (const std::optional<platform::FileStamp> stamp = platform::fileStamp(planned[i].input)) {
                inputs[i] = stamp->identity;
                waveInputs[i] = !*planned[i].decoded;
            }
        } else if (const std::optional<platform::ReadOnlyFile> file =
                       platform::openRegularFileForReading(planned[i].input)) {
            inputs[i] = platform::fileIdentity(*file);
            waveInputs[i] = isWaveFile(*file);
        }
        if (inputs[i]) inputWithIdentity.emplace(keyOf(*inputs[i]), i);
    }

    std::vector<std::optional<JobFailure>> refusals(planned.size());
    std::map<std::string, std::size_t> claimed;  // a result's place, and the input it belongs to
    for (std::size_t i = 0; i < planned.size(); ++i) {
        if (!inputs[i] || planned[i].resultBase.empty()) continue;
        std::vector<std::string> places;
        for (const std::string& result : resultNames(planned[i].resultBase, !waveInputs[i], svg)) {
            const std::optional<platform::FileIdentity> existing = platform::fileIdentity(result);
            const auto input = existing ? inputWithIdentity.find(keyOf(*existing)) : inputWithIdentity.end();
            std::string place = resultPlace(result, existing);
            const auto earlier = claimed.find(place);
            const auto refusal = [&](FailureKind kind, const std::string& other) {
                return JobFailure{.stage = FailureStage::Write, .kind = kind, .file = result, .detail = {},
                                  .otherFile = other, .written = {}};
            };
            if (existing == inputs[i]) {
                refusals[i] = refusal(FailureKind::ResultIsInput, {});
            } else if (input != inputWithIdentity.end()) {
                refusals[i] = refusal(FailureKind::ResultIsOtherInput, planned[input->second].input);
            } else if (earlier != claimed.end()) {
                refusals[i] = refusal(FailureKind::SharedResults, planned[earlier->second].input);
            }
            if (refusals[i]) break;
            places.push_back(std::move(place));
        }
        if (!refusals[i])
            for (std::string& place : places) claimed.emplace(std::move(place), i);
    }
    return refusals;
}

std::vector<std::string> resultNames(const std::string& base, bool decoded, bool svg) {
    const auto named = [&](std::string_view suffix) {
        return decoded ? output::decodedResultFileName(base, suffix) : output::resultFileName(base, suffix);
    };
    std::vector<std::string> names{named(output::kReportSuffix), named(output::kChartSuffix)};
    if (svg) names.push_back(named(output::kSvgChartSuffix));
    return names;
}

std::variant<JobInput, JobFailure> openJobInput(const std::string& name, bool svg, const std::string& resultBase) {
    auto opened = platform::openInputFile(name);
    if (const auto* failure = std::get_if<platform::OpenFailure>(&opened)) {
        return JobFailure{.stage = FailureStage::Open,
                          .kind = failure->cannotBeRead ? FailureKind::Unreadable : FailureKind::NotFound,
                          .file = name, .detail = failure->cannotBeRead ? failure->reason : std::string(),
                          .otherFile = {}, .written = {}};
    }
    JobInput input{.file = std::make_unique<platform::ReadOnlyFile>(std::move(std::get<platform::ReadOnlyFile>(opened))),
                   .format = {}, .wave = {}, .bytes = {}, .decoded = {}};

    // The wave reader first: it refuses a file whose bytes 8-11 are not "WAVE"
    // as not a wave file, and only such a file is probed for other formats.
    const auto parsed = wave::parseWaveFile(*input.file);
    const auto* rejection = std::get_if<wave::HeaderRejection>(&parsed);
    if (!rejection) {
        input.wave = std::get<wave::WaveInfo>(parsed);
        input.format = wave::streamFormatOf(input.wave);
    } else if (*rejection != wave::HeaderRejection::NotWave) {
        return headerFailure(*rejection, name);
    } else {
        const platform::ReadOnlyFile& file = *input.file;
        input.bytes = std::make_unique<decode::InputBytes>(decode::InputBytes{
            .read = [&file](std::uint64_t offset, std::span<std::byte> into) { return platform::readUpTo(file, offset, into); },
            .size = platform::fileSize(file)});
        auto decoded = decode::openDecodedAudio(*input.bytes);
        if (const auto* failure = std::get_if<decode::DecodeFailure>(&decoded)) {
            // Neither a wave file nor audio: refused as the wave reader refuses it.
            // What the container says (no decoder, too many channels) is its header's refusal; what
            // its frames say is the decoding's.
            const bool ofHeader = failure->kind == decode::DecodeFailureKind::NoDecoders ||
                                  failure->kind == decode::DecodeFailureKind::TooManyChannels ||
                                  failure->kind == decode::DecodeFailureKind::Unsupported;
            return decodeFailure(*failure, name, ofHeader ? FailureStage::Header : FailureStage::Decode);
        }
        input.decoded = std::move(std::get<decode::OpenedAudio>(decoded));
        input.format = decode::streamFormatOf(input.decoded->format);
    }

    // A result name that leads to the input (through a link, or as another name
    // of the same file): writing it would destroy the recording.
    if (const std::optional<platform::FileIdentity> identity = platform::fileIdentity(*input.file)) {
        for (const std::string& result :
             resultBase.empty() ? std::vector<std::string>{} : resultNames(resultBase, input.decoded.has_value(), svg))
            if (platform::fileIdentity(result) == identity)
                return JobFailure{.stage = FailureStage::Write, .kind = FailureKind::ResultIsInput, .file = result,
                                  .detail = {}, .otherFile = {}, .written = {}};
    }
    return input;
}

bool holdsAnalysableAudio(const std::string& name) {
    const std::optional<platform::ReadOnlyFile> file = platform::openRegularFileForReading(name);
    if (!file) return false;
    const auto parsed = wave::parseWaveFile(*file);
    const auto* rejection = std::get_if<wave::HeaderRejection>(&parsed);
    // A cut wave file is a recording all the same: named with its refusal, as a
    // cut file of another format is, rather than left out of its album unsaid.
    if (!rejection || *rejection == wave::HeaderRejection::Cut) return true;
    if (*rejection != wave::HeaderRejection::NotWave) return false;
    // An empty file holds nothing; it need not load the decoder to say so.
    if (platform::fileSize(*file) == 0) return false;
    decode::InputBytes bytes{
        .read = [&file](std::uint64_t offset, std::span<std::byte> into) { return platform::readUpTo(*file, offset, into); },
        .size = platform::fileSize(*file)};
    return std::holds_alternative<decode::OpenedAudio>(decode::openDecodedAudio(bytes));
}

std::variant<analysis::TrackResult, JobFailure> measureJobInput(const std::string& name, JobInput& input,
                                                                const std::function<void()>& afterEachBlock,
                                                                const analysis::MeasureOptions& options) {
    const stream::SampleSource source =
        input.decoded ? decode::decodedSource(*input.decoded) : wave::waveSource(*input.file, input.wave);
    auto measured = analysis::analyseStream(source, afterEachBlock, options);
    if (const auto* failure = std::get_if<stream::SourceFailure>(&measured))
        return sourceFailure(*failure, name, input.decoded ? FailureStage::Decode : FailureStage::Measure);
    // A lossy stream's length is known once it is decoded.
    if (input.decoded) input.format = decode::streamFormatOf(input.decoded->format);
    auto& levels = std::get<analysis::LevelAnalysis>(measured);
    if (levels.loudnessFailure) return loudnessFailure(*levels.loudnessFailure, name);
    return analysis::TrackResult{.version = analysis::kTrackResultVersion, .format = input.format,
                                 .levels = std::move(levels)};
}

std::variant<std::vector<std::string>, JobFailure> writeJobResults(const std::string& resultBase,
                                                                   const analysis::TrackResult& result, bool svg,
                                                                   bool createFolder) {
    const stream::StreamFormat& format = result.format;
    const analysis::LevelAnalysis& levels = result.levels;
    const std::vector<std::string> names = resultNames(resultBase, !format.codecName.empty(), svg);
    const std::vector<std::string> channelNames = stream::channelNames(format.channels, format.channelMask);
    const std::string_view report = output::reportLine(format.channels);
    const auto draw = [&](output::ChartFormat chartFormat) {
        return output::drawChart(chartFormat, format.channels, levels.histograms, levels.grid.sliceCount, levels.scale,
                                 channelNames);
    };
    const std::vector<std::uint8_t> chart = draw(output::ChartFormat::Metafile);
    const std::vector<std::uint8_t> svgChart = svg ? draw(output::ChartFormat::Svg) : std::vector<std::uint8_t>{};
    if (chart.empty() || (svg && svgChart.empty()))
        return JobFailure{.stage = FailureStage::Write, .kind = FailureKind::ChartNotDrawn, .file = resultBase,
                          .detail = {}, .otherFile = {}, .written = {}};
    if (const std::size_t nameStart = platform::fileNameStart(resultBase); createFolder && nameStart > 0) {
        const std::string folder = resultBase.substr(0, nameStart);
        if (const std::optional<std::string> reason = platform::createFolders(folder))
            return JobFailure{.stage = FailureStage::Write, .kind = FailureKind::WriteFailed, .file = folder,
                              .detail = *reason, .otherFile = {}, .written = {}};
    }

    std::vector<platform::ResultFile> results;
    if (!report.empty()) results.push_back({names[0], std::as_bytes(std::span(report))});
    results.push_back({names[1], std::as_bytes(std::span(chart))});
    if (svg) results.push_back({names[2], std::as_bytes(std::span(svgChart))});
    if (const auto failure = platform::replaceFilesTogether(results))
        return JobFailure{.stage = FailureStage::Write, .kind = FailureKind::WriteFailed, .file = failure->name,
                          .detail = failure->reason, .otherFile = {}, .written = failure->replaced};

    std::vector<std::string> written;
    for (const platform::ResultFile& result : results) written.push_back(result.name);
    return written;
}

}  // namespace vantorel::app
