#include "writers/text_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string_view>
#include <system_error>

#include "text/control_characters.h"
#include "text/number_format.h"
#include "writers/rounding.h"

namespace vantorel::writers {

using text::escapeControlCharacters;
using text::numberText;
using text::roundDecimals;

namespace {

// "  Label       " then the value: every label takes the same width, so the
// values' sign positions line up as on the panel.
std::string summaryLine(std::string_view label, std::string_view value) {
    constexpr std::size_t kLabelWidth = 12;
    std::string line = "  ";
    line += label;
    line.append(kLabelWidth - std::min(label.size(), kLabelWidth), ' ');
    line += value;
    line += '\n';
    return line;
}

// A level with one decimal behind the sign position of the panel's numbers
// (a blank for values of zero and above), or the given text when there is none.
std::string decibelText(std::optional<double> value, std::string_view none) {
    if (!value) return std::string(none);
    std::array<char, 32> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), *value,
                                            std::chars_format::fixed, 1);
    const std::string digits = error == std::errc{} ? std::string(buffer.data(), end) : "0.0";
    return *value < 0 ? digits : std::string(" ") + digits;
}

// The prefix and then the text, appended rather than added: GCC 12 at -O3
// warns of an overlap that cannot happen where two temporaries are added.
std::string prefixed(std::string_view prefix, std::string_view text) {
    std::string joined(prefix);
    joined += text;
    return joined;
}

}  // namespace

std::string summaryText(const std::string& name, const AnalysedFile& file) {
    const stream::StreamFormat& format = file.result.format;
    std::string text = escapeControlCharacters(name) + "\n";
    text += summaryLine("Channels", numberText(format.channels, 7));
    text += summaryLine("Sample rate", numberText(format.sampleRate, 15) + " Hz");
    text += summaryLine("Resolution", numberText(format.bitsPerSample, 7) + stream::resolutionText(format));
    text += summaryLine("Length", numberText(static_cast<long double>(format.frames), 15) + " samples");
    text += summaryLine("Duration", numberText(roundDecimals(stream::durationSeconds(format), 2), 15) + " seconds");
    if (!format.codecName.empty()) text += summaryLine("Format", std::string(" ") + format.codecName);
    text += summaryLine("Time slices", numberText(static_cast<long double>(file.result.levels.grid.sliceCount), 7));
    const measure::Dynamics& dynamics = file.result.levels.dynamics;
    text += summaryLine("Peak", decibelText(oneDecimal(measure::peakDbfs(dynamics.peak)), "-inf") + " dBFS");
    text += summaryLine("DR", dynamics.dr ? prefixed(" DR", std::to_string(*dynamics.dr)) : " none");
    if (const std::optional<measure::Loudness>& loudness = file.result.levels.loudness) {
        text += summaryLine("Loudness", decibelText(oneDecimal(loudness->integratedLufs), "-inf") + " LUFS");
        text += summaryLine("Range", decibelText(oneDecimal(loudness->rangeLu), " none") + " LU");
        text += summaryLine("True peak", decibelText(oneDecimal(loudness->truePeakDbtp), "-inf") + " dBTP");
        text += summaryLine("PLR", decibelText(oneDecimal(loudness->plrDb), " none") + " dB");
    }
    for (const std::string& written : file.written)
        text += summaryLine("Written", prefixed(" ", escapeControlCharacters(written)));
    return text;
}

std::string albumText(const AlbumSummary& album) {
    std::string text = std::string("Album ") + escapeControlCharacters(album.folder) + "\n";
    text += summaryLine("Tracks", numberText(static_cast<long double>(album.tracks), 7));
    // Without a track there is nothing to sum: no values rather than -inf ones.
    if (album.tracks == 0) return text + "  No track of this album was analysed.\n";
    text += summaryLine("Duration", numberText(roundDecimals(album.durationSeconds, 2), 15) + " seconds");
    text += summaryLine("DR", album.dr ? prefixed(" DR", std::to_string(*album.dr)) : " none");
    text += summaryLine("Peak", decibelText(oneDecimal(measure::peakDbfs(album.peak)), "-inf") + " dBFS");
    if (album.loudness) {
        text += summaryLine("Loudness", decibelText(oneDecimal(album.loudness->integratedLufs), "-inf") + " LUFS");
        text += summaryLine("Range", decibelText(oneDecimal(album.loudness->rangeLu), " none") + " LU");
        text += summaryLine("True peak", decibelText(oneDecimal(album.truePeakDbtp), "-inf") + " dBTP");
    }
    return text;
}

}  // namespace vantorel::writers
