#include "platform/files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vantorel::platform {

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) ::close(descriptor_);
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

ReadOnlyFile::~ReadOnlyFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

namespace {

// What an error number means for the user, in a few plain words.
std::string errorReason(int error) {
    switch (error) {
        case EACCES:
        case EPERM: return "permission denied";
        case ENOSPC:
        case EDQUOT: return "disk full";
        case ENAMETOOLONG: return "name too long";
        case EISDIR:
        case ENOTEMPTY: return "is a folder";
        case ENOENT:
        case ENOTDIR: return "no such folder";
        case EROFS: return "read-only disk";
        case EIO: return "disk error";
        case ELOOP: return "too many links";
        case EBUSY:
        case ETXTBSY: return "file in use";
        case EMFILE:
        case ENFILE: return "too many open files";
        case ENOMEM: return "out of memory";
        default: return "system error " + std::to_string(error);
    }
}

// Errors of open() that say the name leads to no file at all. A name too long
// for the system is not among them: whether it leads anywhere cannot be told.
bool meansNotThere(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENXIO;
}

}  // namespace

std::variant<ReadOnlyFile, OpenFailure> openInputFile(const std::string& name) {
    if (name.empty()) return OpenFailure{};
    // O_NONBLOCK keeps a named pipe without a writer from blocking the open;
    // the type check then turns away everything but a regular file.
    const int descriptor = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        if (meansNotThere(error)) return OpenFailure{};
        if (error == ENAMETOOLONG) return OpenFailure{true, errorReason(error)};
        // A folder or device that may not be opened is no input either way.
        struct stat status {};
        if (::stat(name.c_str(), &status) == 0 ? !S_ISREG(status.st_mode) : meansNotThere(errno))
            return OpenFailure{};
        return OpenFailure{true, errorReason(error)};
    }
    ReadOnlyFile file(descriptor);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return OpenFailure{};
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0) ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

std::optional<ReadOnlyFile> openRegularFileForReading(const std::string& name) {
    auto opened = openInputFile(name);
    if (auto* file = std::get_if<ReadOnlyFile>(&opened)) return std::move(*file);
    return std::nullopt;
}

std::optional<FileIdentity> fileIdentity(const ReadOnlyFile& file) {
    struct stat status {};
    if (::fstat(file.descriptor(), &status) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::optional<FileIdentity> fileIdentity(const std::string& name) {
    struct stat status {};
    if (name.empty() || ::stat(name.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

std::optional<FileStamp> fileStamp(const std::string& name) {
    struct stat status {};
    if (name.empty() || ::stat(name.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    const std::int64_t modified =
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + static_cast<std::int64_t>(status.st_mtim.tv_nsec);
    return FileStamp{.size = static_cast<std::uint64_t>(status.st_size), .modifiedNs = modified,
                     .identity = {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)}};
}

std::string absolutePath(const std::string& name) {
    std::string joined = name;
    if (name.empty() || name.front() != '/') {
        std::vector<char> folder(4096);
        while (::getcwd(folder.data(), folder.size()) == nullptr) {
            if (errno != ERANGE || folder.size() > (std::size_t{1} << 20)) return name;
            folder.resize(folder.size() * 2);
        }
        joined = std::string(folder.data()) + "/" + name;
    }
    // Segments between separators; empty ones and "." go.
    std::string path;
    std::size_t start = 0;
    while (start <= joined.size()) {
        const std::size_t end = std::min(joined.find('/', start), joined.size());
        const std::string_view segment = std::string_view(joined).substr(start, end - start);
        if (!segment.empty() && segment != ".") path.append("/").append(segment);
        start = end + 1;
    }
    return path.empty() ? "/" : path;
}

std::optional<std::string> createFolders(const std::string& folder) {
    if (folder.empty()) return std::nullopt;
    std::size_t next = folder.front() == '/' ? 1 : 0;
    while (true) {
        const std::size_t end = std::min(folder.find('/', next), folder.size());
        const std::string step = folder.substr(0, end);
        if (end > next && ::mkdir(step.c_str(), 0777) != 0) {
            const int error = errno;
            if (error != EEXIST) return errorReason(error);
            struct stat status {};
            if (::stat(step.c_str(), &status) != 0) return errorReason(errno);
            if (!S_ISDIR(status.st_mode)) return std::string("not a folder");
        }
        if (end >= folder.size()) return std::nullopt;
        next = end + 1;
    }
}

std::optional<std::size_t> readUpTo(const ReadOnlyFile& file, std::uint64_t offset, std::span<std::byte> into) {
    std::size_t done = 0;
    while (done < into.size()) {
        const std::uint64_t position = offset + done;
        if (position > static_cast<std::uint64_t>(INT64_MAX)) break;
        const std::size_t chunk = std::min<std::size_t>(into.size() - done, std::size_t{1} << 30);
        const ssize_t got = ::pread(file.descriptor(), into.data() + done, chunk, static_cast<off_t>(position));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

void adviseSequentialReading(const ReadOnlyFile& file) {
    (void)::posix_fadvise(file.descriptor(), 0, 0, POSIX_FADV_SEQUENTIAL);
}

std::uint64_t fileSize(const ReadOnlyFile& file) {
    struct stat status {};
    if (::fstat(file.descriptor(), &status) != 0 || status.st_size < 0) return 0;
    return static_cast<std::uint64_t>(status.st_size);
}

namespace {

bool writeAll(int descriptor, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

// Holds back the signals that end the tool while a result file is put in place,
// so an interruption never leaves a temporary file behind: the signal takes
// effect once the file is complete or cleaned up.
class TerminationSignalsHeld {
public:
    TerminationSignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (const int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) sigaddset(&held, signal);
        pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~TerminationSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
    TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;

private:
    sigset_t previous_{};
};

}  // namespace

std::size_t fileNameStart(std::string_view name) {
    const std::size_t slash = name.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

std::string comparableFileName(std::string_view name) { return std::string(name); }

namespace {

// The folder part of a name, its last '/' included; empty for a bare name.
std::string folderOf(const std::string& name) { return name.substr(0, fileNameStart(name)); }

// Makes a new entry under an unused name in the folder; `make` creates the
// entry under the given name and gives 0 or an error number. Gives the name,
// or the error number of the last attempt.
template <typename Make>
std::variant<std::string, int> makeUniqueEntry(const std::string& folder, Make make) {
    int error = EEXIST;
    for (unsigned attempt = 0; attempt < 64 && error == EEXIST; ++attempt) {
        char leaf[48];
        std::snprintf(leaf, sizeof leaf, ".vantorel-%ld-%u.tmp", static_cast<long>(::getpid()), attempt);
        std::string name = folder + leaf;
        error = make(name);
        if (error == 0) return name;
    }
    return error;
}

// A temporary holding the complete new bytes, or the error that stopped it.
std::variant<std::string, int> writeTemporary(const std::string& folder, std::span<const std::byte> bytes) {
    int descriptor = -1;
    auto made = makeUniqueEntry(folder, [&](const std::string& name) {
        descriptor = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        return descriptor < 0 ? errno : 0;
    });
    if (std::holds_alternative<int>(made)) return made;
    const std::string& temporary = std::get<std::string>(made);
    int error = 0;
    errno = 0;
    if (!writeAll(descriptor, bytes) || ::fsync(descriptor) != 0) error = errno != 0 ? errno : EIO;
    if (::close(descriptor) != 0 && error == 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return error;
    }
    return made;
}

// One target on its way: its temporary and, when it had an earlier file, a
// second link to that file so that it can be put back.
struct PendingResult {
    std::string temporary;
    bool existed = false;
    std::string earlier;  // empty when the earlier file cannot be kept
};

void removeLeftovers(const std::vector<PendingResult>& pending) {
    for (const PendingResult& result : pending) {
        if (!result.temporary.empty()) ::unlink(result.temporary.c_str());
        if (!result.earlier.empty()) ::unlink(result.earlier.c_str());
    }
}

}  // namespace

std::optional<WriteFailure> replaceFilesTogether(std::span<const ResultFile> files) {
    const TerminationSignalsHeld held;
    std::vector<PendingResult> pending(files.size());
    // Every target first: a folder in its place or a name the system refuses
    // stops everything before a byte is written.
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& name = files[i].name;
        if (name.empty()) return WriteFailure{name, errorReason(ENOENT), {}};
        struct stat status {};
        if (::lstat(name.c_str(), &status) == 0) {
            if (S_ISDIR(status.st_mode)) return WriteFailure{name, errorReason(EISDIR), {}};
            pending[i].existed = true;
        } else if (errno != ENOENT) {
            return WriteFailure{name, errorReason(errno), {}};
        }
    }
    // The temporaries sit in their targets' folders so that the renames are atomic.
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto written = writeTemporary(folderOf(files[i].name), files[i].bytes);
        if (const int* error = std::get_if<int>(&written)) {
            removeLeftovers(pending);
            return WriteFailure{files[i].name, errorReason(*error), {}};
        }
        pending[i].temporary = std::move(std::get<std::string>(written));
    }
    // A second link keeps each earlier file; a file system without hard links
    // simply keeps none.
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!pending[i].existed) continue;
        auto linked = makeUniqueEntry(folderOf(files[i].name), [&](const std::string& name) {
            return ::link(files[i].name.c_str(), name.c_str()) == 0 ? 0 : errno;
        });
        if (auto* name = std::get_if<std::string>(&linked)) pending[i].earlier = std::move(*name);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (::rename(pending[i].temporary.c_str(), files[i].name.c_str()) == 0) {
            pending[i].temporary.clear();
            continue;
        }
        WriteFailure failure{files[i].name, errorReason(errno), {}};
        // Put back what the earlier renames replaced.
        for (std::size_t j = i; j-- > 0;) {
            const std::string& target = files[j].name;
            const bool restored = pending[j].existed
                                      ? !pending[j].earlier.empty() &&
                                            ::rename(pending[j].earlier.c_str(), target.c_str()) == 0
                                      : ::unlink(target.c_str()) == 0;
            if (restored) pending[j].earlier.clear();
            else failure.replaced.push_back(target);
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
