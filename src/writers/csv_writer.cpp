#include "writers/csv_writer.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <system_error>
#include <vector>

#include "stream/channel_layout.h"

namespace vantorel::writers {

namespace {

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char character : text) {
        if (character == '"') quoted += '"';
        quoted += character;
    }
    quoted += '"';
    return quoted;
}

// The shortest text that reads back as the same double; to_chars ignores the locale.
std::string shareText(double share) {
    std::array<char, 32> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), share);
    return error == std::errc{} ? std::string(buffer.data(), end) : "0";
}

}  // namespace

std::string csvRows(const std::string& name, const AnalysedFile& file) {
    const std::vector<analysis::LevelHistogram>& histograms = file.result.levels.histograms;
    const std::vector<std::string> channels =
        stream::channelNames(static_cast<int>(histograms.size()), file.result.format.channelMask);
    const std::string field = csvField(name);
    std::string rows;
    for (std::size_t channel = 0; channel < histograms.size() && channel < channels.size(); ++channel) {
        for (int level = 0; level < analysis::kLevelBins; ++level) {
            const std::int64_t count = histograms[channel].bins[static_cast<std::size_t>(level)];
            rows += field + "," + std::string(channels[channel]) + "," + std::to_string(level) + "," +
                    std::to_string(count) + "," +
                    shareText(analysis::binShare(count, file.result.levels.grid.sliceCount)) + "\n";
        }
    }
    return rows;
}

}  // namespace vantorel::writers
