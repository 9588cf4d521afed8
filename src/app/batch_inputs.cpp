#include "app/batch_inputs.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <variant>

#include "platform/files.h"
#include "platform/folders.h"

namespace vantorel::app {

namespace {

bool isDigit(char character) { return character >= '0' && character <= '9'; }

// -1, 0 or 1 as `left` comes before, with or after `right` by the digit rule.
int compareByName(std::string_view left, std::string_view right) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < left.size() && j < right.size()) {
        if (isDigit(left[i]) && isDigit(right[j])) {
            std::size_t leftEnd = i;
            std::size_t rightEnd = j;
            while (leftEnd < left.size() && isDigit(left[leftEnd])) ++leftEnd;
            while (rightEnd < right.size() && isDigit(right[rightEnd])) ++rightEnd;
            // Without leading zeros the longer run is the larger number.
            std::string_view a = left.substr(i, leftEnd - i);
            std::string_view b = right.substr(j, rightEnd - j);
            a.remove_prefix(std::min(a.find_first_not_of('0'), a.size()));
            b.remove_prefix(std::min(b.find_first_not_of('0'), b.size()));
            if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
            if (const int order = a.compare(b); order != 0) return order < 0 ? -1 : 1;
            i = leftEnd;
            j = rightEnd;
            continue;
        }
        const auto a = static_cast<unsigned char>(left[i]);
        const auto b = static_cast<unsigned char>(right[j]);
        if (a != b) return a < b ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < left.size() || j < right.size()) return i < left.size() ? 1 : -1;
    return 0;
}

// One folder met while expanding: its files still to be classified.
struct FoundFolder {
    std::string path;
    std::string relative;            // below the argument: "" for the argument itself
    std::vector<std::string> files;  // in name order
    std::size_t argument = 0;        // the argument it was reached from
};

struct Expansion {
    bool recursive = false;
    const std::function<void(const ExpansionProgress&)>* progress = nullptr;
    std::vector<FoundFolder> folders;
    std::vector<std::string> problems;
};

// Lists the folder and, with `recursive`, those below it; `ancestors` are the
// identities of the folders above it, by which a link back up is a loop.
void collectFolder(Expansion& expansion, const std::string& path, const std::string& relative, std::size_t argument,
                   std::vector<platform::FileIdentity>& ancestors) {
    const std::optional<platform::FileIdentity> identity = platform::fileIdentity(path);
    if (identity && std::find(ancestors.begin(), ancestors.end(), *identity) != ancestors.end()) {
        expansion.problems.push_back(path + ": symbolic-link loop, not followed");
        return;
    }
    auto listed = platform::listFolder(path);
    if (const auto* failure = std::get_if<platform::FolderFailure>(&listed)) {
        expansion.problems.push_back(path + ": cannot be read: " + failure->reason);
        return;
    }
    std::vector<platform::FolderEntry>& entries = std::get<std::vector<platform::FolderEntry>>(listed);
    std::sort(entries.begin(), entries.end(),
              [](const auto& left, const auto& right) { return comesBeforeByName(left.name, right.name); });
    FoundFolder found{.path = path, .relative = relative, .files = {}, .argument = argument};
    for (const platform::FolderEntry& entry : entries)
        if (entry.kind == platform::EntryKind::File) found.files.push_back(platform::entryPath(path, entry.name));
    expansion.folders.push_back(std::move(found));
    if (*expansion.progress)
        (*expansion.progress)({.folders = expansion.folders.size(), .filesLookedAt = 0, .files = 0, .current = &path});
    if (!expansion.recursive) return;
    if (identity) ancestors.push_back(*identity);
    for (const platform::FolderEntry& entry : entries)
        if (entry.kind == platform::EntryKind::Folder)
            collectFolder(expansion, platform::entryPath(path, entry.name),
                          relative.empty() ? entry.name : relative + "/" + entry.name, argument, ancestors);
    if (identity) ancestors.pop_back();
}

// Runs `task(index)` for every index below `count` on up to `jobs` threads;
// `afterEach(done)` on the calling thread after each task it ran there.
void forEachIndex(std::size_t count, int jobs, const std::function<void(std::size_t)>& task,
                  const std::function<void(std::size_t, std::size_t)>& afterEach) {
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    const auto work = [&] {
        for (std::size_t index = next++; index < count; index = next++) {
            task(index);
            ++done;
        }
    };
    std::vector<std::thread> threads;
    const std::size_t wanted = std::min(count, static_cast<std::size_t>(std::max(jobs, 1)));
    for (std::size_t i = 1; i < wanted; ++i) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
    for (std::size_t index = next++; index < count; index = next++) {
        task(index);
        afterEach(++done, index);
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace

bool comesBeforeByName(std::string_view left, std::string_view right) {
    const int order = compareByName(left, right);
    return order != 0 ? order < 0 : left < right;
}

BatchInputs expandBatchInputs(std::span<const std::string> arguments, bool recursive,
                              const std::function<bool(const std::string&)>& isAudio, int jobs,
                              const std::function<void(const ExpansionProgress&)>& progress) {
    // Every folder is listed first, so that the costly look at the files'
    // contents runs on several threads at once.
    Expansion expansion{.recursive = recursive, .progress = &progress, .folders = {}, .problems = {}};
    std::vector<std::optional<std::size_t>> firstFolderOf(arguments.size());
    for (std::size_t argument = 0; argument < arguments.size(); ++argument) {
        if (!platform::isFolder(arguments[argument])) continue;
        firstFolderOf[argument] = expansion.folders.size();
        std::vector<platform::FileIdentity> ancestors;
        collectFolder(expansion, arguments[argument], "", argument, ancestors);
    }
    std::vector<const std::string*> candidates;
    for (const FoundFolder& folder : expansion.folders)
        for (const std::string& file : folder.files) candidates.push_back(&file);
    std::vector<char> audio(candidates.size(), 0);
    forEachIndex(
        candidates.size(), jobs, [&](std::size_t index) { audio[index] = isAudio(*candidates[index]) ? 1 : 0; },
        [&](std::size_t done, std::size_t index) {
            if (progress)
                progress({.folders = expansion.folders.size(), .filesLookedAt = done, .files = candidates.size(),
                          .current = candidates[index]});
        });

    BatchInputs inputs;
    for (const FoundFolder& found : expansion.folders)
        inputs.listedFolders.emplace_back(found.path, found.relative.empty());
    inputs.problems = std::move(expansion.problems);
    std::size_t candidate = 0;
    std::size_t folder = 0;
    for (std::size_t argument = 0; argument < arguments.size(); ++argument) {
        if (!firstFolderOf[argument]) {
            const std::string& name = arguments[argument];
            inputs.files.push_back({.name = name, .album = std::nullopt,
                                    .relative = name.substr(platform::fileNameStart(name))});
            continue;
        }
        bool anyAudio = false;
        const bool listed = folder < expansion.folders.size() && expansion.folders[folder].argument == argument;
        for (; folder < expansion.folders.size() && expansion.folders[folder].argument == argument; ++folder) {
            const FoundFolder& found = expansion.folders[folder];
            std::optional<std::size_t> album;
            for (const std::string& file : found.files) {
                if (!audio[candidate++]) continue;
                if (!album) {
                    album = inputs.albums.size();
                    inputs.albums.push_back({.folder = found.path});
                }
                const std::string own = file.substr(platform::fileNameStart(file));
                inputs.files.push_back(
                    {.name = file, .album = album, .relative = found.relative.empty() ? own : found.relative + "/" + own});
            }
            anyAudio = anyAudio || album.has_value();
        }
        if (listed && !anyAudio) inputs.problems.push_back(arguments[argument] + ": no audio file in this folder");
    }
    return inputs;
}

}  // namespace vantorel::app
