#include "writers/progress_line.h"

#include <algorithm>

#include "platform/folders.h"
#include "text/control_characters.h"

namespace vantorel::writers {

ProgressLine startProgress(std::FILE* errors, bool quiet) {
    if (quiet || !platform::isTerminal(errors)) return {};
    const int columns = platform::terminalColumns(errors).value_or(80);
    return {.stream = errors, .width = static_cast<std::size_t>(std::max(columns, 20) - 1), .shownLength = 0,
            .shown = {}};
}

void eraseProgress(ProgressLine& progress) {
    if (!progress.stream || progress.shownLength == 0) return;
    std::fputs((std::string("\r") + std::string(progress.shownLength, ' ') + "\r").c_str(), progress.stream);
    std::fflush(progress.stream);
    progress.shownLength = 0;
    progress.shown.clear();
}

namespace {

// Characters of UTF-8 text up to `limit` of them, cut at a character's start.
std::string leadingCharacters(const std::string& text, std::size_t limit, std::size_t& characters) {
    std::size_t at = 0;
    characters = 0;
    while (at < text.size() && characters < limit) {
        ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
        ++characters;
    }
    return text.substr(0, at);
}

}  // namespace

namespace {

// "m:ss" of the elapsed time.
std::string elapsedText(std::chrono::steady_clock::duration elapsed) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    const std::string secondsText = std::to_string(seconds % 60);
    return std::to_string(seconds / 60) + ":" + (secondsText.size() < 2 ? "0" : "") + secondsText;
}

// Shows `text` (ASCII) followed by as much of `current` as the width leaves.
void drawLine(ProgressLine& progress, std::string text, const std::string& current) {
    std::size_t characters = 0;
    const std::size_t prefix = text.size();  // ASCII: one column per byte
    text += leadingCharacters(text::escapeControlCharacters(current), progress.width > prefix ? progress.width - prefix : 0,
                              characters);
    if (text == progress.shown) return;
    const std::size_t length = prefix + characters;
    std::string line = std::string("\r") + text;
    if (length < progress.shownLength) line += std::string(progress.shownLength - length, ' ');
    std::fputs(line.c_str(), progress.stream);
    std::fflush(progress.stream);
    progress.shownLength = std::max(length, progress.shownLength);
    progress.shown = std::move(text);
}

}  // namespace

void drawProgress(ProgressLine& progress, std::size_t done, std::size_t total, const std::string& current,
                  std::chrono::steady_clock::duration elapsed) {
    if (!progress.stream) return;
    drawLine(progress, std::to_string(done) + "/" + std::to_string(total) + " files  " + elapsedText(elapsed) + "  ",
             current);
}

void drawSearchProgress(ProgressLine& progress, std::size_t folders, std::size_t filesLookedAt, std::size_t files,
                        const std::string& current, std::chrono::steady_clock::duration elapsed) {
    if (!progress.stream) return;
    std::string text = "looking for audio: " + std::to_string(folders) + (folders == 1 ? " folder" : " folders");
    if (files > 0) text += ", " + std::to_string(filesLookedAt) + "/" + std::to_string(files) + " files";
    drawLine(progress, text + "  " + elapsedText(elapsed) + "  ", current);
}

}  // namespace vantorel::writers
