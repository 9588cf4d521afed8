#pragma once
// What the arguments of a batch stand for: a file stands for itself, a folder
// for the audio files directly inside it (an album), and with `recursive`
// also for those of every folder below it, each folder an album of its own.

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantorel::app {

struct BatchInput {
    std::string name;
    std::optional<std::size_t> album;  // index into BatchInputs::albums; none for a file named itself
    // The name below its argument: the path from a folder argument on ("Artist/Album/01 Song.flac"),
    // or a file argument's own name. Results written to another folder keep it.
    std::string relative;
};

struct Album {
    std::string folder;  // as reached from the argument
};

struct BatchInputs {
    std::vector<BatchInput> files;  // the files of one album follow each other
    std::vector<Album> albums;      // in the order of their first file
    // Folders that could not be read, symbolic-link loops, folder arguments
    // without audio: "NAME: reason", in the order met.
    std::vector<std::string> problems;
    // Every folder that was listed, each with whether it is an argument: what
    // the run has seen of the folders, so that a store can forget files gone
    // from them.
    std::vector<std::pair<std::string, bool>> listedFolders;
};

// How far the expansion has got: folders listed, files looked at of those
// found, and the folder or file at hand.
struct ExpansionProgress {
    std::size_t folders = 0;
    std::size_t filesLookedAt = 0;
    std::size_t files = 0;
    const std::string* current = nullptr;
};

// Name order for people: runs of digits compare as numbers ("2 x" before
// "10 x"), everything else byte by byte; names equal so far by that rule
// (as "02" and "2") fall back to their bytes.
bool comesBeforeByName(std::string_view left, std::string_view right);

// Expands the arguments in their order. A folder's audio files come in name
// order, then (with `recursive`) its folders in name order, depth first.
// `isAudio` decides for each file found in a folder whether it is analysed;
// it is asked on up to `jobs` threads at a time. Arguments that are not
// folders stay files, whatever they lead to. `progress`, when given, is told
// on the calling thread after each folder listed and each file looked at there.
BatchInputs expandBatchInputs(std::span<const std::string> arguments, bool recursive,
                              const std::function<bool(const std::string&)>& isAudio, int jobs,
                              const std::function<void(const ExpansionProgress&)>& progress = {});

}  // namespace vantorel::app
