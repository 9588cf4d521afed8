#include "platform/folders.h"

#include <io.h>
#include <windows.h>

namespace vantorel::platform {

namespace {

HANDLE consoleOf(std::FILE* stream) { return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream))); }

}  // namespace

bool isFolder(const std::string& name) {
    const DWORD attributes = ::GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string entryPath(const std::string& folder, const std::string& entry) {
    if (folder.empty() || folder.back() == '/' || folder.back() == '\\' || folder.back() == ':') return folder + entry;
    return folder + "\\" + entry;
}

std::variant<std::vector<FolderEntry>, FolderFailure> listFolder(const std::string& folder) {
    WIN32_FIND_DATAA found{};
    const HANDLE search = ::FindFirstFileA(entryPath(folder, "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return std::vector<FolderEntry>{};
        return FolderFailure{error == ERROR_ACCESS_DENIED ? "permission denied"
                             : error == ERROR_PATH_NOT_FOUND ? "no such folder"
                                                             : "system error " + std::to_string(error)};
    }
    std::vector<FolderEntry> entries;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        EntryKind kind = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Folder : EntryKind::File;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) kind = EntryKind::Other;
        entries.push_back({name, kind});
    } while (::FindNextFileA(search, &found));
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    if (error != ERROR_NO_MORE_FILES) return FolderFailure{"system error " + std::to_string(error)};
    return entries;
}

bool isTerminal(std::FILE* stream) {
    DWORD mode = 0;
    return ::GetConsoleMode(consoleOf(stream), &mode) != 0;
}

std::optional<int> terminalColumns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO information{};
    if (!::GetConsoleScreenBufferInfo(consoleOf(stream), &information)) return std::nullopt;
    const int columns = information.srWindow.Right - information.srWindow.Left + 1;
    return columns > 0 ? std::optional<int>(columns) : std::nullopt;
}

}  // namespace vantorel::platform
