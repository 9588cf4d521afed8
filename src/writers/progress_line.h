#pragma once
// The one-line progress display of a batch on a terminal's standard error.

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

namespace vantorel::writers {

// The one-line progress display on a terminal's standard error: files done of
// the total, the elapsed time and the file awaited. Drawn over itself with a
// carriage return and erased with blanks, which every terminal and console
// understands.
struct ProgressLine {
    std::FILE* stream = nullptr;  // none: nothing is ever written
    std::size_t width = 0;        // columns the line may take
    std::size_t shownLength = 0;  // of what is on the screen now, 0 when nothing
    std::string shown;
};

// A progress line on `errors` when it is a terminal and not `quiet`; else one
// that writes nothing.
ProgressLine startProgress(std::FILE* errors, bool quiet);

// Takes the line off the screen.
void eraseProgress(ProgressLine& progress);

// Shows "done/total files  m:ss  current" over the line, cut to its width.
void drawProgress(ProgressLine& progress, std::size_t done, std::size_t total, const std::string& current,
                  std::chrono::steady_clock::duration elapsed);

// Shows "looking for audio: N folders, looked/found files  m:ss  current"
// while the folders are listed and their files looked at.
void drawSearchProgress(ProgressLine& progress, std::size_t folders, std::size_t filesLookedAt, std::size_t files,
                        const std::string& current, std::chrono::steady_clock::duration elapsed);

}  // namespace vantorel::writers
