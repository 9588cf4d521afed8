#include "platform/folders.h"

#include <dirent.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vantorel::platform {

bool isFolder(const std::string& name) {
    struct stat status {};
    return !name.empty() && ::stat(name.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string entryPath(const std::string& folder, const std::string& entry) {
    if (folder.empty() || folder.back() == '/') return folder + entry;
    return folder + "/" + entry;
}

std::variant<std::vector<FolderEntry>, FolderFailure> listFolder(const std::string& folder) {
    DIR* stream = ::opendir(folder.c_str());
    if (!stream) {
        const int error = errno;
        return FolderFailure{error == EACCES || error == EPERM ? "permission denied"
                             : error == ELOOP                 ? "too many levels of symbolic links"
                             : error == ENOENT                ? "no such folder"
                                                              : std::strerror(error)};
    }
    std::vector<FolderEntry> entries;
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat status {};
        EntryKind kind = EntryKind::Other;
        if (::stat(entryPath(folder, name).c_str(), &status) == 0)
            kind = S_ISREG(status.st_mode) ? EntryKind::File : S_ISDIR(status.st_mode) ? EntryKind::Folder : EntryKind::Other;
        entries.push_back({name, kind});
        errno = 0;
    }
    const int error = errno;
    ::closedir(stream);
    if (error != 0) return FolderFailure{std::strerror(error)};
    return entries;
}

bool isTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

std::optional<int> terminalColumns(std::FILE* stream) {
    winsize size{};
    if (::ioctl(::fileno(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return std::nullopt;
    return static_cast<int>(size.ws_col);
}

}  // namespace vantorel::platform
