#pragma once
// Plain file access for the wave input and the result files. Inputs are opened
// read-only and never written; results are replaced atomically.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vantorel::platform {

// An open input file (move-only; closes itself).
class ReadOnlyFile {
public:
    ReadOnlyFile() = default;
    explicit ReadOnlyFile(int descriptor) : descriptor_(descriptor) {}
    ReadOnlyFile(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
    ~ReadOnlyFile();
    int descriptor() const { return descriptor_; }

private:
    int descriptor_ = -1;
};

// Why an input gave no file. A name that leads to nothing, or to something
// other than a regular file (a folder, pipe, device or socket), is not found;
// a regular file that is there but may not be opened cannot be read, and
// neither can a name too long for the system ("name too long").
struct OpenFailure {
    bool cannotBeRead = false;
    std::string reason;  // why it cannot be read: "permission denied", ...
};

// Opens an existing regular file for reading, never blocking.
std::variant<ReadOnlyFile, OpenFailure> openInputFile(const std::string& name);

// openInputFile without the reason: folders, pipes, devices, sockets and names
// that cannot be opened give no file.
std::optional<ReadOnlyFile> openRegularFileForReading(const std::string& name);

// Which file a name stands for on its volume: device and inode on POSIX,
// volume serial number and file index on Windows. Two names with equal
// identities are the same file, whatever links lead to it.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> fileIdentity(const ReadOnlyFile& file);
// The identity of the file the name leads to, links followed; none when the
// name leads to nothing.
std::optional<FileIdentity> fileIdentity(const std::string& name);

// What tells whether a file changed since it was last seen: its size, its
// modification time in nanoseconds since 1970 (UTC) and its identity. Links
// are followed; none when the name leads to nothing or to no regular file.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modifiedNs = 0;
    FileIdentity identity;
    bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> fileStamp(const std::string& name);

// The name as an absolute path from the current folder: "." segments and
// repeated separators dropped, ".." kept as it is (a link may lie before it).
// The name itself when the current folder cannot be told.
std::string absolutePath(const std::string& name);

// Creates the folder and the folders above it that are missing. Gives the
// reason ("permission denied", "not a folder", ...) when one cannot be made.
std::optional<std::string> createFolders(const std::string& folder);

// Reads up to into.size() bytes from the offset, stopping early only at the end
// of the file. Gives how many were read, or nothing when the system reports a
// read error.
std::optional<std::size_t> readUpTo(const ReadOnlyFile& file, std::uint64_t offset, std::span<std::byte> into);

// readUpTo where a read error counts as the end of the file: gives how many
// bytes were read, none when the system failed.
inline std::size_t readAt(const ReadOnlyFile& file, std::uint64_t offset, std::span<std::byte> into) {
    return readUpTo(file, offset, into).value_or(0);
}

// Tells the system that the file will be read once from start to end, so that
// it reads ahead. A hint only.
void adviseSequentialReading(const ReadOnlyFile& file);

// Current size of the file in bytes (0 when it cannot be told).
std::uint64_t fileSize(const ReadOnlyFile& file);

// Where the file's own name begins in a path: after the last '/' (on Windows
// also '\\' and a drive's ':'); 0 for a name without a folder part.
std::size_t fileNameStart(std::string_view name);

// A file's own name (no folder part) as the file system compares names: as it
// is on POSIX; on Windows, whose file systems ignore case, in ASCII lower case.
std::string comparableFileName(std::string_view name);

// One file to be written whole: its name and all of its bytes.
struct ResultFile {
    std::string name;
    std::span<const std::byte> bytes;
};

// Why results were not written: the file that failed and a short reason
// ("permission denied", "disk full", "name too long", "is a folder", ...).
// `replaced` names results that were already put in place and could not be
// put back: the only case in which anything changed.
struct WriteFailure {
    std::string name;
    std::string reason;
    std::vector<std::string> replaced;
};

// Replaces the files as a unit: every target is checked, every temporary is
// written in its target's folder, and only then are they renamed over their
// targets in order. If anything fails before the renames, no target changes
// and no temporary is left; if a later rename fails, the targets already
// replaced get their earlier files back (kept through a second link), so they
// change only when that too fails. Interrupting signals wait until it is over.
std::optional<WriteFailure> replaceFilesTogether(std::span<const ResultFile> files);

// replaceFilesTogether for one file: the target is either the old file or
// the complete new one. Returns false (and leaves nothing behind) on failure.
bool replaceFileContents(const std::string& name, std::span<const std::byte> bytes);

}  // namespace vantorel::platform
