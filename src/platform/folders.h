#pragma once
// Folders as inputs: what a folder holds, and whether the standard error
// stream is a terminal that can show a progress line.

#include <cstdio>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/files.h"

namespace vantorel::platform {

enum class EntryKind {
    File,    // a regular file (links followed)
    Folder,  // a folder (links followed)
    Other,   // a device, pipe, socket, or a link that leads nowhere
};

struct FolderEntry {
    std::string name;  // the entry's own name, without the folder
    EntryKind kind = EntryKind::Other;
};

// Why a folder could not be listed ("permission denied", ...).
struct FolderFailure {
    std::string reason;
};

// Whether the name leads to a folder (links followed).
bool isFolder(const std::string& name);

// The entries of a folder, "." and ".." left out, in the order the system
// gives them.
std::variant<std::vector<FolderEntry>, FolderFailure> listFolder(const std::string& folder);

// A path to an entry of a folder: the folder, a separator unless it ends in
// one, and the entry's name.
std::string entryPath(const std::string& folder, const std::string& entry);

// Whether the stream is connected to a terminal (a console on Windows).
bool isTerminal(std::FILE* stream);

// Columns of the terminal the stream shows on; none when it cannot be told.
std::optional<int> terminalColumns(std::FILE* stream);

}  // namespace vantorel::platform
