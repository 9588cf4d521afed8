#include "output/html_report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

#include "output/chart_metafile.h"
#include "text/utf8.h"

namespace vantorel::output {

namespace {

// The overlay chart's drawing area in its own units: 0 dB at the right, 40 dB
// at the left, as on the track charts.
constexpr double kPlotLeft = 70;
constexpr double kPlotRight = 970;
constexpr double kPlotTop = 20;
constexpr double kPlotBottom = 420;

// Track colours of the overlay; past the twelfth the colours come again dashed.
constexpr std::array<std::string_view, 12> kTrackColours{
    "#1f4fd1", "#d62728", "#2ca02c", "#ff8c00", "#8e44ad", "#17a2a2",
    "#8c5a14", "#e377c2", "#4d4d4d", "#b5b800", "#00bcd4", "#a0522d"};

std::string fixed(double value, int decimals) {
    std::array<char, 48> buffer{};
    const auto [end, error] =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, decimals);
    std::string text = error == std::errc{} ? std::string(buffer.data(), end) : "0";
    if (text == "-0" || text == "-0.0") text.erase(0, 1);
    return text;
}

std::string decibels(std::optional<double> value, std::string_view unit) {
    if (!value) return "&ndash;";
    return (*value < 0 ? std::string("&minus;") + fixed(-*value, 1) : fixed(*value, 1)) + "&nbsp;" + std::string(unit);
}

std::string drText(std::optional<int> dr) { return dr ? std::string("DR") + std::to_string(*dr) : "&ndash;"; }

// m:ss, or h:mm:ss from an hour on; seconds rounded down.
std::string durationText(double seconds) {
    const auto whole = static_cast<long long>(std::isfinite(seconds) && seconds > 0 ? std::floor(seconds) : 0);
    const long long hours = whole / 3600;
    const long long minutes = whole / 60 % 60;
    const long long rest = whole % 60;
    const auto twoDigits = [](long long value) { return std::string(value < 10 ? "0" : "") + std::to_string(value); };
    if (hours > 0) return std::to_string(hours) + ":" + twoDigits(minutes) + ":" + twoDigits(rest);
    return std::to_string(minutes) + ":" + twoDigits(rest);
}

std::string summaryList(const ReportSummary& summary, bool loudness) {
    std::string html = "<dl class=\"summary\">";
    const auto item = [&](std::string_view label, const std::string& value) {
        html += std::string("<div><dt>") + std::string(label) + "</dt><dd>" + value + "</dd></div>";
    };
    item("Tracks", std::to_string(summary.tracks));
    item("Duration", durationText(summary.durationSeconds));
    item("Album DR", drText(summary.dr));
    item("Peak", decibels(summary.peakDbfs, "dBFS"));
    if (loudness) {
        item("Loudness", decibels(summary.loudnessLufs, "LUFS"));
        item("Range", decibels(summary.rangeLu, "LU"));
        item("True peak", decibels(summary.truePeakDbtp, "dBTP"));
    }
    return html + "</dl>\n";
}

std::string trackColour(std::size_t track) { return std::string(kTrackColours[track % kTrackColours.size()]); }

// Dashes for the tracks past the palette's first round.
std::string trackDashes(std::size_t track) {
    const std::size_t round = track / kTrackColours.size();
    if (round == 0) return "";
    return std::string(" stroke-dasharray=\"") + std::to_string(4 + 4 * (round % 3)) + " 4\"";
}

std::string overlayChart(std::span<const ReportTrack> tracks) {
    std::vector<std::vector<double>> curves;
    double highest = 0;
    for (const ReportTrack& track : tracks) {
        curves.push_back(meanShares(track));
        for (const double share : curves.back()) highest = std::max(highest, share);
    }
    const analysis::ShareScale scale = analysis::chooseShareScale(highest);
    const auto x = [](int level) { return kPlotRight - (kPlotRight - kPlotLeft) * level / (analysis::kLevelBins - 1); };
    const auto y = [&](double share) {
        return kPlotBottom - (kPlotBottom - kPlotTop) * std::min(share, double(scale.top)) / scale.top;
    };
    std::string svg = "<svg class=\"overlay\" viewBox=\"0 0 1000 470\" xmlns=\"http://www.w3.org/2000/svg\" "
                      "role=\"img\" aria-label=\"Level distribution of every track\">\n"
                      "<rect x=\"" + fixed(kPlotLeft, 0) + "\" y=\"" + fixed(kPlotTop, 0) + "\" width=\"" +
                      fixed(kPlotRight - kPlotLeft, 0) + "\" height=\"" + fixed(kPlotBottom - kPlotTop, 0) +
                      "\" fill=\"#fff\" stroke=\"#000\" stroke-width=\"2\"/>\n";
    for (int division = 0; division <= scale.divisions; ++division) {
        const double share = double(scale.top) * division / scale.divisions;
        const std::string at = fixed(y(share), 1);
        if (division > 0 && division < scale.divisions)
            svg += std::string("<line x1=\"") + fixed(kPlotLeft, 0) + "\" x2=\"" + fixed(kPlotRight, 0) + "\" y1=\"" + at +
                   "\" y2=\"" + at + "\" class=\"grid\"/>\n";
        svg += std::string("<text x=\"") + fixed(kPlotLeft - 8, 0) + "\" y=\"" + fixed(y(share) + 6, 1) +
               "\" text-anchor=\"end\">" + fixed(share, share == std::floor(share) ? 0 : 1) + "</text>\n";
    }
    for (int level = 0; level < analysis::kLevelBins; level += 5) {
        const std::string at = fixed(x(level), 1);
        if (level > 0 && level < analysis::kLevelBins - 1)
            svg += std::string("<line x1=\"") + at + "\" x2=\"" + at + "\" y1=\"" + fixed(kPlotTop, 0) + "\" y2=\"" +
                   fixed(kPlotBottom, 0) + "\" class=\"grid\"/>\n";
        svg += std::string("<text x=\"") + at + "\" y=\"" + fixed(kPlotBottom + 22, 0) + "\" text-anchor=\"middle\">" +
               (level == 0 ? "0" : std::string("&minus;") + std::to_string(level)) + "</text>\n";
    }
    svg += std::string("<text x=\"") + fixed((kPlotLeft + kPlotRight) / 2, 0) + "\" y=\"" + fixed(kPlotBottom + 46, 0) +
           "\" text-anchor=\"middle\">slice peak level (dBFS)</text>\n"
           "<text x=\"16\" y=\"" + fixed((kPlotTop + kPlotBottom) / 2, 0) + "\" text-anchor=\"middle\" transform=\"rotate(-90 16 " +
           fixed((kPlotTop + kPlotBottom) / 2, 0) + ")\">% of slices</text>\n";
    for (std::size_t track = 0; track < curves.size(); ++track) {
        std::string points;
        for (int level = 0; level < analysis::kLevelBins; ++level)
            points += std::string(level == 0 ? "" : " ") + fixed(x(level), 1) + "," +
                      fixed(y(curves[track][static_cast<std::size_t>(level)]), 1);
        svg += std::string("<polyline fill=\"none\" stroke=\"") + trackColour(track) + "\" stroke-width=\"2.5\"" +
               trackDashes(track) + " stroke-linejoin=\"round\" points=\"" + points + "\"><title>" +
               htmlText(tracks[track].name) + "</title></polyline>\n";
    }
    return svg + "</svg>\n";
}

std::string legend(std::span<const ReportTrack> tracks) {
    std::string html = "<ol class=\"legend\">";
    for (std::size_t track = 0; track < tracks.size(); ++track)
        html += std::string("<li><svg viewBox=\"0 0 30 10\" class=\"swatch\"><line x1=\"0\" y1=\"5\" x2=\"30\" y2=\"5\" stroke=\"") +
                trackColour(track) + "\" stroke-width=\"4\"" + trackDashes(track) + "/></svg>" +
                htmlText(tracks[track].name) + "</li>";
    return html + "</ol>\n";
}

std::string trackTable(std::span<const ReportTrack> tracks, bool loudness) {
    std::string html = "<table class=\"tracks\"><thead><tr><th>#</th><th>Name</th><th>Format</th><th>Duration</th>"
                       "<th>Peak</th><th>DR</th>";
    if (loudness) html += "<th>Loudness</th><th>Range</th><th>True peak</th>";
    html += "</tr></thead><tbody>\n";
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const ReportTrack& track = tracks[i];
        html += std::string("<tr><td class=\"number\">") + std::to_string(i + 1) + "</td><td class=\"name\">" + htmlText(track.name) +
                "</td><td>" + htmlText(track.format) + "</td><td class=\"number\">" +
                durationText(track.durationSeconds) + "</td><td class=\"number\">" + decibels(track.peakDbfs, "dBFS") +
                "</td><td class=\"number\">" + drText(track.dr) + "</td>";
        if (loudness)
            html += std::string("<td class=\"number\">") + decibels(track.loudnessLufs, "LUFS") + "</td><td class=\"number\">" +
                    decibels(track.rangeLu, "LU") + "</td><td class=\"number\">" +
                    decibels(track.truePeakDbtp, "dBTP") + "</td>";
        html += "</tr>\n";
    }
    return html + "</tbody></table>\n";
}

// The track's own chart as the --svg option writes it, without its XML
// declaration so that it stands inside the page.
std::string trackChart(const ReportTrack& track) {
    const std::vector<std::uint8_t> bytes =
        drawChart(ChartFormat::Svg, static_cast<int>(track.histograms.size()), track.histograms, track.sliceCount,
                  track.scale, track.channelNames);
    const std::string svg(bytes.begin(), bytes.end());
    const std::size_t start = svg.find("<svg");
    return start == std::string::npos ? std::string() : svg.substr(start);
}

constexpr std::string_view kStyle = R"(
body { font: 15px/1.45 system-ui, "Segoe UI", Helvetica, Arial, sans-serif; color: #1a1a1a; margin: 0; background: #f4f5f7; }
main { max-width: 1100px; margin: 0 auto; padding: 24px; }
h1 { font-size: 26px; margin: 0 0 4px; }
p.lead { margin: 0 0 24px; color: #555; }
section.album { background: #fff; border: 1px solid #d9dce1; border-radius: 8px; padding: 20px 24px; margin-bottom: 28px; }
h2 { font-size: 20px; margin: 0 0 12px; overflow-wrap: anywhere; }
dl.summary { display: flex; flex-wrap: wrap; gap: 8px 28px; margin: 0 0 16px; }
dl.summary div { min-width: 90px; }
dl.summary dt { font-size: 12px; text-transform: uppercase; letter-spacing: .05em; color: #666; }
dl.summary dd { margin: 0; font-size: 20px; font-weight: 600; font-variant-numeric: tabular-nums; }
svg.overlay { width: 100%; height: auto; display: block; }
svg.overlay text { font: 15px system-ui, Helvetica, Arial, sans-serif; fill: #333; }
svg.overlay .grid { stroke: #c8c8c8; stroke-width: 1; }
ol.legend { display: flex; flex-wrap: wrap; gap: 4px 18px; list-style: none; padding: 0; margin: 6px 0 18px; font-size: 13px; }
ol.legend li { display: flex; align-items: center; gap: 6px; overflow-wrap: anywhere; }
svg.swatch { width: 30px; height: 10px; flex: none; }
table.tracks { border-collapse: collapse; width: 100%; font-size: 14px; margin-bottom: 20px; }
table.tracks th { text-align: left; border-bottom: 2px solid #333; padding: 4px 8px; white-space: nowrap; }
table.tracks td { border-bottom: 1px solid #e1e3e6; padding: 4px 8px; }
table.tracks td.number { text-align: right; white-space: nowrap; font-variant-numeric: tabular-nums; }
table.tracks td.name { overflow-wrap: anywhere; }
table.tracks tr { break-inside: avoid; }
div.charts { display: grid; grid-template-columns: repeat(auto-fill, minmax(320px, 1fr)); gap: 16px; }
figure { margin: 0; break-inside: avoid; }
figure svg { width: 100%; height: auto; display: block; border: 1px solid #e1e3e6; }
figcaption { font-size: 13px; margin-top: 4px; overflow-wrap: anywhere; }
@page { size: A4; margin: 14mm; }
@media print {
  body { background: #fff; font-size: 11pt; }
  main { max-width: none; padding: 0; }
  section.album { border: none; padding: 0; margin: 0; }
  section.album + section.album { break-before: page; }
  div.charts { grid-template-columns: 1fr 1fr; }
  h2, dl.summary, svg.overlay, ol.legend { break-inside: avoid; break-after: avoid; }
}
)";

}  // namespace

std::string htmlText(std::string_view text) {
    std::string html;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = text::utf8SequenceLength(text, at);
        const auto byte = static_cast<unsigned char>(text[at]);
        if (length == 0 || (length == 1 && (byte < 0x20 || byte == 0x7F))) {
            html += "&#xFFFD;";
            ++at;
            continue;
        }
        switch (text[at]) {
            case '&': html += "&amp;"; break;
            case '<': html += "&lt;"; break;
            case '>': html += "&gt;"; break;
            case '"': html += "&quot;"; break;
            case '\'': html += "&#39;"; break;
            default: html.append(text, at, length);
        }
        at += length;
    }
    return html;
}

std::vector<double> meanShares(const ReportTrack& track) {
    std::vector<double> shares(analysis::kLevelBins, 0.0);
    if (track.histograms.empty()) return shares;
    for (int level = 0; level < analysis::kLevelBins; ++level) {
        double sum = 0;
        for (const analysis::LevelHistogram& histogram : track.histograms)
            sum += analysis::binShare(histogram.bins[static_cast<std::size_t>(level)], track.sliceCount);
        shares[static_cast<std::size_t>(level)] = sum / static_cast<double>(track.histograms.size());
    }
    return shares;
}

std::string htmlReport(std::span<const ReportSection> sections, bool loudness) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<title>Level distribution report</title>\n<style>" +
                       std::string(kStyle) + "</style>\n</head>\n<body>\n<main>\n<h1>Level distribution report</h1>\n"
                       "<p class=\"lead\">How often the tenth-of-a-second slices peak at each level from 0 to 40 dB "
                       "below full scale. A curve bunched at the right means a loud, limited master; a wide curve, "
                       "a dynamic one. The overlay draws each track's channels averaged.</p>\n";
    for (const ReportSection& section : sections) {
        html += std::string("<section class=\"album\">\n<h2>") + htmlText(section.title) + "</h2>\n";
        if (section.summary && section.summary->tracks == 0) {
            html += "<p class=\"lead\">No track of this album was analysed.</p>\n</section>\n";
            continue;
        }
        if (section.summary) html += summaryList(*section.summary, loudness);
        if (!section.tracks.empty()) html += overlayChart(section.tracks) + legend(section.tracks);
        html += trackTable(section.tracks, loudness);
        html += "<div class=\"charts\">\n";
        for (std::size_t i = 0; i < section.tracks.size(); ++i)
            html += std::string("<figure>") + trackChart(section.tracks[i]) + "<figcaption>" + std::to_string(i + 1) + ". " +
                    htmlText(section.tracks[i].name) + "</figcaption></figure>\n";
        html += "</div>\n</section>\n";
    }
    return html + "</main>\n</body>\n</html>\n";
}

}  // namespace vantorel::output
