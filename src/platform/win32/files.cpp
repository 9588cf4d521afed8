#include "platform/files.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <utility>

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

std::optional<ReadOnlyFile> openRegularFileForReading(const std::string& name) {
    if (name.empty()) return std::nullopt;
    // No sharing: while the tool holds the file no other program may write it,
    // and a file another program holds open (a recording still being written)
    // cannot be opened at all, so header and data always belong together.
    const HANDLE handle = ::CreateFileA(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    // Consoles (CON), NUL, serial ports and pipes are not files on a disk.
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(handle) != FILE_TYPE_DISK || !::GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        ::CloseHandle(handle);
        return std::nullopt;
    }
    const int descriptor = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        ::CloseHandle(handle);
        return std::nullopt;
    }
    return ReadOnlyFile(descriptor);
}

std::size_t readAt(const ReadOnlyFile& file, std::uint64_t offset, std::span<std::byte> into) {
    const HANDLE handle = handleOf(file);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    std::size_t done = 0;
    while (done < into.size()) {
        const std::uint64_t position = offset + done;
        if (position < offset || position > static_cast<std::uint64_t>(INT64_MAX)) break;
        const DWORD chunk = static_cast<DWORD>(std::min(into.size() - done, kChunkBytes));
        // On a handle opened for synchronous access the OVERLAPPED record only
        // carries the offset; ReadFile still waits for the bytes.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(position >> 32);
        DWORD got = 0;
        if (!::ReadFile(handle, into.data() + done, chunk, &got, &at) || got == 0) break;
        done += got;
    }
    return done;
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

// The folder part of a name, separator included: both '\' and '/' separate,
// and "C:name" lies in the current folder of drive C.
std::string folderOf(const std::string& name) {
    const std::size_t separator = name.find_last_of("\\/:");
    return separator == std::string::npos ? std::string() : name.substr(0, separator + 1);
}

}  // namespace

bool replaceFileContents(const std::string& name, std::span<const std::byte> bytes) {
    if (name.empty()) return false;
    // The temporary sits in the target's folder so that the move is a rename on
    // the same volume.
    const std::string folder = folderOf(name);
    // One tool runs one job at a time, so the process id and the attempt make
    // the name unique; a name left over from an earlier run is skipped.
    std::string temporary;
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (unsigned attempt = 0; attempt < 16 && handle == INVALID_HANDLE_VALUE; ++attempt) {
        char leaf[48];
        std::snprintf(leaf, sizeof leaf, ".vantorel-%lu-%u.tmp", static_cast<unsigned long>(::GetCurrentProcessId()),
                      attempt);
        temporary = folder + leaf;
        handle = ::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool written = writeAll(handle, bytes) && ::FlushFileBuffers(handle);
    const bool closed = ::CloseHandle(handle) != 0;
    if (!written || !closed ||
        !::MoveFileExA(temporary.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace vantorel::platform
