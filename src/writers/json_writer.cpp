#include "writers/json_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "text/utf8.h"
#include "stream/channel_layout.h"
#include "writers/rounding.h"

namespace vantorel::writers {

namespace {

std::string optionalNumber(std::optional<double> value) { return value ? jsonNumber(*value) : "null"; }

std::string field(std::string_view name, const std::string& value) { return jsonString(name) + ": " + value; }

bool isUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = text::utf8SequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

// The name as a JSON field, and where it is not UTF-8 (its invalid bytes shown
// as U+FFFD) also its bytes in base64 under `<name>_bytes`, so that two such
// files stay apart and each can be found again.
std::string nameFields(std::string_view name, std::string_view text) {
    std::string fields = field(name, jsonString(text));
    if (!isUtf8(text)) fields += ", " + field(std::string(name) + "_bytes", jsonString(base64(text)));
    return fields;
}

}  // namespace

std::string base64(std::string_view bytes) {
    static constexpr std::string_view kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        const std::size_t count = std::min<std::size_t>(3, bytes.size() - at);
        std::uint32_t group = 0;
        for (std::size_t i = 0; i < 3; ++i)
            group = group << 8 | (i < count ? static_cast<unsigned char>(bytes[at + i]) : 0u);
        for (std::size_t i = 0; i < 4; ++i)
            encoded += i <= count ? kDigits[group >> (18 - 6 * i) & 0x3F] : '=';
    }
    return encoded;
}

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char character = text[at];
        const std::size_t length = text::utf8SequenceLength(text, at);
        if (length == 0) {
            quoted += "\\ufffd";
            ++at;
            continue;
        }
        if (length > 1) {
            quoted.append(text, at, length);
        } else if (character == '"' || character == '\\') {
            quoted += '\\';
            quoted += character;
        } else if (static_cast<unsigned char>(character) < 0x20 || character == 0x7F) {
            std::array<char, 8> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\u%04x", static_cast<unsigned char>(character));
            quoted += escaped.data();
        } else {
            quoted += character;
        }
        at += length;
    }
    return quoted + "\"";
}

std::string jsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    if (value == 0) return "0";  // no "-0"
    std::array<char, 32> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return error == std::errc{} ? std::string(buffer.data(), end) : "null";
}


std::string jsonFile(const std::string& path, const AnalysedFile& file, bool loudness) {
    const stream::StreamFormat& format = file.result.format;
    const analysis::LevelAnalysis& levels = file.result.levels;
    const measure::Dynamics& dynamics = levels.dynamics;
    std::string json = "{";
    json += nameFields("path", path) + ", ";
    json += field("format", jsonString(format.codecName.empty() ? "WAV" : format.codecName)) + ", ";
    json += field("channels", std::to_string(format.channels)) + ", ";
    json += field("sample_rate", std::to_string(format.sampleRate)) + ", ";
    json += field("bits", format.lossy ? "null" : std::to_string(format.bitsPerSample)) + ", ";
    json += field("frames", std::to_string(format.frames)) + ", ";
    json += field("duration_s", jsonNumber(stream::durationSeconds(format))) + ", ";
    json += field("slices", std::to_string(levels.grid.sliceCount)) + ", ";
    std::string written = "[";
    for (const std::string& name : file.written) written += std::string(written.size() > 1 ? ", " : "") + jsonString(name);
    json += field("written", written + "]") + ", ";
    json += field("peak_dbfs", optionalNumber(oneDecimal(measure::peakDbfs(dynamics.peak)))) + ", ";
    json += field("dr", dynamics.dr ? std::to_string(*dynamics.dr) : "null") + ", ";
    if (loudness) {
        const measure::Loudness measured = levels.loudness.value_or(measure::Loudness{});
        json += field("loudness_lufs", optionalNumber(oneDecimal(measured.integratedLufs))) + ", ";
        json += field("loudness_range_lu", optionalNumber(oneDecimal(measured.rangeLu))) + ", ";
        json += field("true_peak_dbtp", optionalNumber(oneDecimal(measured.truePeakDbtp))) + ", ";
        json += field("plr_db", optionalNumber(oneDecimal(measured.plrDb))) + ", ";
    }
    const std::vector<std::string> names =
        stream::channelNames(static_cast<int>(levels.histograms.size()), format.channelMask);
    std::string channels = "[";
    for (std::size_t channel = 0; channel < levels.histograms.size(); ++channel) {
        const measure::ChannelDynamics measured =
            channel < dynamics.channels.size() ? dynamics.channels[channel] : measure::ChannelDynamics{};
        std::string histogram = "[";
        std::string percent = "[";
        for (int level = 0; level < analysis::kLevelBins; ++level) {
            const std::int64_t count = levels.histograms[channel].bins[static_cast<std::size_t>(level)];
            const std::string separator = level == 0 ? "" : ", ";
            histogram += separator + std::to_string(count);
            percent += separator + jsonNumber(analysis::binShare(count, levels.grid.sliceCount));
        }
        channels += std::string(channel == 0 ? "" : ", ") + "{" + field("name", jsonString(names[channel])) + ", " +
                    field("peak_dbfs", optionalNumber(oneDecimal(measure::peakDbfs(measured.peak)))) + ", " +
                    field("full_scale_samples", std::to_string(measured.fullScaleSamples)) + ", " +
                    field("dr", optionalNumber(oneDecimal(measured.dr))) + ", " +
                    field("histogram", histogram + "]") + ", " + field("percent", percent + "]") + "}";
    }
    json += field("channels_detail", channels + "]");
    return json + "}";
}

std::string jsonAlbum(const AlbumSummary& album) {
    std::string json = std::string("{") + nameFields("folder", album.folder) + ", ";
    json += field("tracks", std::to_string(album.tracks)) + ", ";
    json += field("duration_s", jsonNumber(album.durationSeconds)) + ", ";
    json += field("dr", album.dr ? std::to_string(*album.dr) : "null") + ", ";
    json += field("peak_dbfs", optionalNumber(oneDecimal(measure::peakDbfs(album.peak)))) + ", ";
    if (album.loudness) {
        json += field("loudness_lufs", optionalNumber(oneDecimal(album.loudness->integratedLufs))) + ", ";
        json += field("loudness_range_lu", optionalNumber(oneDecimal(album.loudness->rangeLu))) + ", ";
        json += field("true_peak_dbtp", optionalNumber(oneDecimal(album.truePeakDbtp))) + ", ";
    }
    std::string channels = "[";
    for (std::size_t channel = 0; channel < album.histograms.size(); ++channel) {
        std::string histogram = "[";
        for (std::size_t level = 0; level < album.histograms[channel].second.bins.size(); ++level)
            histogram += std::string(level == 0 ? "" : ", ") + std::to_string(album.histograms[channel].second.bins[level]);
        channels += std::string(channel == 0 ? "" : ", ") + "{" +
                    field("name", jsonString(album.histograms[channel].first)) + ", " +
                    field("histogram", histogram + "]") + "}";
    }
    return json + field("channels", channels + "]") + "}";
}

std::string jsonEnd(const std::vector<JsonFailure>& failures, const std::vector<std::string>& albums) {
    std::string json = "],\n\"failed\": [";
    for (std::size_t i = 0; i < failures.size(); ++i)
        json += std::string(i == 0 ? "" : ",\n") + "{" + nameFields("path", failures[i].path) + ", " +
                field("error", jsonString(failures[i].error)) + ", " + field("stage", jsonString(failures[i].stage)) +
                ", " + field("kind", jsonString(failures[i].kind)) + "}";
    json += "],\n\"albums\": [";
    for (std::size_t i = 0; i < albums.size(); ++i) json += std::string(i == 0 ? "" : ",\n") + albums[i];
    return json + "]}\n";
}

}  // namespace vantorel::writers
