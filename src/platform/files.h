#pragma once
// Plain file access for the wave input and the result files. Inputs are opened
// read-only and never written; results are replaced atomically.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

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

// Opens an existing regular file for reading, never blocking: folders, pipes,
// devices, sockets and names that cannot be opened give no file.
std::optional<ReadOnlyFile> openRegularFileForReading(const std::string& name);

// Reads up to into.size() bytes from the offset; returns how many were read.
// Bytes past the end of the file, or that cannot be read, are not transferred.
std::size_t readAt(const ReadOnlyFile& file, std::uint64_t offset, std::span<std::byte> into);

// Reads up to into.size() bytes from the offset, stopping early only at the end
// of the file. Gives how many were read, or nothing when the system reports a
// read error.
std::optional<std::size_t> readUpTo(const ReadOnlyFile& file, std::uint64_t offset, std::span<std::byte> into);

// Tells the system that the file will be read once from start to end, so that
// it reads ahead. A hint only.
void adviseSequentialReading(const ReadOnlyFile& file);

// Current size of the file in bytes (0 when it cannot be told).
std::uint64_t fileSize(const ReadOnlyFile& file);

// Writes the bytes to a temporary file beside `name`, then renames it over `name`,
// so the target is either the old file or the complete new one. Returns false
// (and leaves nothing behind) when any step fails.
bool replaceFileContents(const std::string& name, std::span<const std::byte> bytes);

}  // namespace vantorel::platform
