#include "platform/files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <utility>

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

std::optional<ReadOnlyFile> openRegularFileForReading(const std::string& name) {
    if (name.empty()) return std::nullopt;
    // O_NONBLOCK keeps a named pipe without a writer from blocking the open;
    // the type check then turns away everything but a regular file.
    const int descriptor = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    ReadOnlyFile file(descriptor);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags >= 0) ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

std::size_t readAt(const ReadOnlyFile& file, std::uint64_t offset, std::span<std::byte> into) {
    std::size_t done = 0;
    while (done < into.size()) {
        const std::uint64_t position = offset + done;
        if (position > static_cast<std::uint64_t>(INT64_MAX)) break;
        // Large reads are split so that each stays within what read() accepts.
        const std::size_t chunk = std::min<std::size_t>(into.size() - done, std::size_t{1} << 30);
        const ssize_t got = ::pread(file.descriptor(), into.data() + done, chunk, static_cast<off_t>(position));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
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

bool replaceFileContents(const std::string& name, std::span<const std::byte> bytes) {
    if (name.empty()) return false;
    const TerminationSignalsHeld held;
    // The temporary sits in the target's folder so that the rename is atomic.
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
    std::string temporary;
    int descriptor = -1;
    for (unsigned attempt = 0; attempt < 16 && descriptor < 0; ++attempt) {
        char leaf[48];
        std::snprintf(leaf, sizeof leaf, ".vantorel-%ld-%u.tmp", static_cast<long>(::getpid()), attempt);
        temporary = folder + leaf;
        descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor < 0 && errno != EEXIST) return false;
    }
    if (descriptor < 0) return false;
    const bool written = writeAll(descriptor, bytes) && ::fsync(descriptor) == 0;
    const bool closed = ::close(descriptor) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), name.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace vantorel::platform
