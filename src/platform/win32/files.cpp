#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// A ReadOnlyFile keeps a C runtime descriptor made from the Windows handle with
// _open_osfhandle, so the portable record needs no handle type; _close closes
// the handle with it.

namespace vantorel::platform {

namespace {

HANDLE handleOf(const ReadOnlyFile& file) {
    if (file.descriptor() < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(::_get_osfhandle(file.descriptor()));
}

// Each ReadFile and WriteFile moves at most this many bytes (it counts in DWORDs).
constexpr std::size_t kChunkBytes = std::size_t{1} << 30;

}  // namespace

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) ::_close(descriptor_);
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

ReadOnlyFile::~ReadOnlyFile() {
    if (descriptor_ >= 0) ::_close(descriptor_);
}

namespace {

// What a system error code means for the user, in a few plain words.
std::string errorReason(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD: return "permission denied";
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return "disk full";
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BUFFER_OVERFLOW: return "name too long";
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME: return "invalid name";
        case ERROR_DIRECTORY: return "is a folder";
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return "no such folder";
        case ERROR_WRITE_PROTECT: return "read-only disk";
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return "file in use";
        case ERROR_CRC:
        case ERROR_READ_FAULT:
        case ERROR_WRITE_FAULT: return "disk error";
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return "out of memory";
        default: return "system error " + std::to_string(error);
    }
}

// Errors of CreateFile that say the name leads to no file at all. A name too
// long for the system is not among them: it cannot be read, "name too long".
bool meansNotThere(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_BAD_PATHNAME || error == ERROR_BAD_NETPATH || error == ERROR_INVALID_DRIVE ||
           error == ERROR_NOT_READY;
}

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
    return FileIdentity{information.dwVolumeSerialNumber,
                        (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

}  // namespace

std::variant<ReadOnlyFile, OpenFailure> openInputFile(const std::string& name) {
    if (name.empty()) return OpenFailure{};
    // No sharing: while the tool holds the file no other program may write it,
    // and a file another program holds open (a recording still being written)
    // cannot be opened at all, so header and data always belong together.
    const HANDLE handle = ::CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (meansNotThere(error)) return OpenFailure{};
        if (error == ERROR_FILENAME_EXCED_RANGE) return OpenFailure{true, errorReason(error)};
        // Opening a folder this way is refused as access denied: it is no input.
        const DWORD attributes = ::GetFileAttributesA(name.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES ? meansNotThere(::GetLastError())
                                                  : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return OpenFailure{};
        return OpenFailure{true, errorReason(error)};
    }
    // Consoles (CON), NUL, serial ports and pipes are not files on a disk.
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(handle);
        return OpenFailure{};
    }
    const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        ::CloseHandle(handle);
        return OpenFailure{true, errorReason(ERROR_TOO_MANY_OPEN_FILES)};
    }
    return ReadOnlyFile(descriptor);
}

std::optional<ReadOnlyFile> openRegularFileForReading(const std::string& name) {
    auto opened = openInputFile(name);
    if (auto* file = std::get_if<ReadOnlyFile>(&opened)) return std::move(*file);
    return std::nullopt;
}

std::optional<FileIdentity> fileIdentity(const ReadOnlyFile& file) {
    const HANDLE handle = handleOf(file);
    BY_HANDLE_FILE_INFORMATION information{};
    if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &information)) return std::nullopt;
    return identityOf(information);
}

namespace {

// What the system says of the file a name leads to. No access asked for, only
// the file's information, so a file another program (or this one) holds
// without sharing still answers; links are followed, and folders open too.
std::optional<BY_HANDLE_FILE_INFORMATION> informationOf(const std::string& name) {
    if (name.empty()) return std::nullopt;
    const HANDLE handle = ::CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = ::GetFileInformationByHandle(handle, &information) != 0;
    ::CloseHandle(handle);
    if (!known) return std::nullopt;
    return information;
}

}  // namespace

std::optional<FileIdentity> fileIdentity(const std::string& name) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> information = informationOf(name);
    if (!information) return std::nullopt;
    return identityOf(*information);
}

std::optional<FileStamp> fileStamp(const std::string& name) {
    const std::optional<BY_HANDLE_FILE_INFORMATION> found = informationOf(name);
    if (!found || (found->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
    const BY_HANDLE_FILE_INFORMATION& information = *found;
    // FILETIME counts 100 ns steps from 1601.
    constexpr std::int64_t kStepsFrom1601To1970 = 116'444'736'000'000'000;
    const std::uint64_t steps =
        (std::uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32) | information.ftLastWriteTime.dwLowDateTime;
    return FileStamp{.size = (std::uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow,
                     .modifiedNs = (static_cast<std::int64_t>(steps) - kStepsFrom1601To1970) * 100,
                     .identity = identityOf(information)};
}

std::string absolutePath(const std::string& name) {
    if (name.empty()) return name;
    std::vector<char> path(MAX_PATH);
    DWORD length = ::GetFullPathNameA(name.c_str(), static_cast<DWORD>(path.size()), path.data(), nullptr);
    if (length >= path.size()) {
        path.resize(length + 1);
        length = ::GetFullPathNameA(name.c_str(), static_cast<DWORD>(path.size()), path.data(), nullptr);
    }
    if (length == 0 || length >= path.size()) return name;
    return std::string(path.data(), length);
}

std::optional<std::string> createFolders(const std::string& folder) {
    std::size_t next = 0;
    while (next <= folder.size()) {
        const std::size_t end = std::min(folder.find_first_of("/\\", next), folder.size());
        const std::string step = folder.substr(0, end);
        // A drive ("C:") or the start of a network name is there already.
        const bool root = step.empty() || step.back() == ':' || step.find_first_not_of("/\\") == std::string::npos;
        if (!root && ::CreateDirectoryA(step.c_str(), nullptr) == 0) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS) return errorReason(error);
            const DWORD attributes = ::GetFileAttributesA(step.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) return errorReason(::GetLastError());
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return std::string("not a folder");
        }
        next = end + 1;
    }
    return std::nullopt;
}

std::optional<std::size_t> readUpTo(const ReadOnlyFile& file, std::uint64_t offset, std::span<std::byte> into) {
    const HANDLE handle = handleOf(file);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    std::size_t done = 0;
    while (done < into.size()) {
        const std::uint64_t position = offset + done;
        if (position < offset || position > static_cast<std::uint64_t>(INT64_MAX)) break;
        const DWORD chunk = static_cast<DWORD>(std::min(into.size() - done, kChunkBytes));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD got = 0;
        if (!::ReadFile(handle, into.data() + done, chunk, &got, &at)) {
            // Reading at the end of the file is not an error, anything else is.
            if (::GetLastError() == ERROR_HANDLE_EOF) break;
            return std::nullopt;
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

// Windows reads ahead on its own for files read from start to end.
void adviseSequentialReading(const ReadOnlyFile&) {}

std::uint64_t fileSize(const ReadOnlyFile& file) {
    const HANDLE handle = handleOf(file);
    LARGE_INTEGER size{};
    if (handle == INVALID_HANDLE_VALUE || !::GetFileSizeEx(handle, &size) || size.QuadPart < 0) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

namespace {

bool writeAll(HANDLE handle, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min(bytes.size(), kChunkBytes));
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes = bytes.subspan(written);
    }
    return true;
}

}  // namespace

// Both '\' and '/' separate folders, and "C:name" lies in the current folder of drive C.
std::size_t fileNameStart(std::string_view name) {
    const std::size_t separator = name.find_last_of("\\/:");
    return separator == std::string_view::npos ? 0 : separator + 1;
}

std::string comparableFileName(std::string_view name) {
    std::string folded(name);
    for (char& character : folded)
        if (character >= 'A' && character <= 'Z') character = static_cast<char>(character - 'A' + 'a');
    return folded;
}

namespace {

// The folder part of a name, separator included; empty for a bare name.
std::string folderOf(const std::string& name) { return name.substr(0, fileNameStart(name)); }

// A temporary in the folder holding the complete new bytes, or the error that
// stopped it. One tool runs one job at a time, so the process id and the
// attempt make the name unique; a name left over from an earlier run is skipped.
std::variant<std::string, DWORD> writeTemporary(const std::string& folder, std::span<const std::byte> bytes) {
    for (unsigned attempt = 0; attempt < 64; ++attempt) {
        char leaf[48];
        std::snprintf(leaf, sizeof leaf, ".vantorel-%lu-%u.tmp", static_cast<unsigned long>(::GetCurrentProcessId()),
                      attempt);
        const std::string temporary = folder + leaf;
        const HANDLE handle = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_EXISTS) continue;
            return error;
        }
        DWORD error = ERROR_SUCCESS;
        if (!writeAll(handle, bytes) || !::FlushFileBuffers(handle)) error = ::GetLastError();
        if (!::CloseHandle(handle) && error == ERROR_SUCCESS) error = ::GetLastError();
        if (error != ERROR_SUCCESS) {
            ::DeleteFileA(temporary.c_str());
            return error;
        }
        return temporary;
    }
    return static_cast<DWORD>(ERROR_FILE_EXISTS);
}

// One target on its way: its temporary and, when it had an earlier file, where
// that file waits while the new one takes its place.
struct PendingResult {
    std::string temporary;
    bool existed = false;
    std::string earlier;  // empty when the earlier file cannot be kept
};

void removeLeftovers(const std::vector<PendingResult>& pending) {
    for (const PendingResult& result : pending) {
        if (!result.temporary.empty()) ::DeleteFileA(result.temporary.c_str());
        if (!result.earlier.empty()) ::DeleteFileA(result.earlier.c_str());
    }
}

}  // namespace

std::optional<WriteFailure> replaceFilesTogether(std::span<const ResultFile> files) {
    std::vector<PendingResult> pending(files.size());
    // Every target first: a folder in its place or a name the system refuses
    // stops everything before a byte is written.
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& name = files[i].name;
        if (name.empty()) return WriteFailure{name, errorReason(ERROR_FILE_NOT_FOUND), {}};
        const DWORD attributes = ::GetFileAttributesA(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return WriteFailure{name, errorReason(ERROR_DIRECTORY), {}};
            pending[i].existed = true;
        } else if (const DWORD error = ::GetLastError(); error != ERROR_FILE_NOT_FOUND) {
            return WriteFailure{name, errorReason(error), {}};
        }
    }
    // The temporaries sit in their targets' folders so that each move is a
    // rename on the same volume.
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto written = writeTemporary(folderOf(files[i].name), files[i].bytes);
        if (const DWORD* error = std::get_if<DWORD>(&written)) {
            removeLeftovers(pending);
            return WriteFailure{files[i].name, errorReason(*error), {}};
        }
        pending[i].temporary = std::move(std::get<std::string>(written));
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& target = files[i].name;
        bool moved = false;
        if (pending[i].existed) {
            // ReplaceFile keeps the earlier file under a backup name, so it can be put back.
            auto backup = writeTemporary(folderOf(target), {});
            if (auto* name = std::get_if<std::string>(&backup)) {
                moved = ::ReplaceFileA(target.c_str(), pending[i].temporary.c_str(), name->c_str(),
                                       REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
                // A failed replace may already have moved the earlier file to
                // the backup name: then it waits there as well.
                if (moved || ::GetFileAttributesA(target.c_str()) == INVALID_FILE_ATTRIBUTES)
                    pending[i].earlier = std::move(*name);
                else
                    ::DeleteFileA(name->c_str());
            }
        }
        if (!moved)
            moved = ::MoveFileExA(pending[i].temporary.c_str(), target.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        if (moved) {
            pending[i].temporary.clear();
            continue;
        }
        WriteFailure failure{target, errorReason(::GetLastError()), {}};
        // Put back what the earlier moves replaced.
        for (std::size_t j = i; j-- > 0;) {
            const std::string& earlierTarget = files[j].name;
            const bool restored =
                pending[j].existed
                    ? !pending[j].earlier.empty() &&
                          ::MoveFileExA(pending[j].earlier.c_str(), earlierTarget.c_str(),
                                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0
                    : ::DeleteFileA(earlierTarget.c_str()) != 0;
            if (restored) pending[j].earlier.clear();
            else failure.replaced.push_back(earlierTarget);
        }
        removeLeftovers(pending);
        return failure;
    }
    removeLeftovers(pending);
    return std::nullopt;
}

bool replaceFileContents(const std::string& name, std::span<const std::byte> bytes) {
    const ResultFile file{name, bytes};
    return !replaceFilesTogether(std::span(&file, 1)).has_value();
}

}  // namespace vantorel::platform
