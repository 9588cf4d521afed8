#include "platform/process_probe.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

namespace vantorel::platform {

std::uint64_t peakResidentBytes() {
    // "VmHWM:    123456 kB" in the process status.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) != 0) continue;
        std::istringstream fields(line.substr(6));
        std::uint64_t kilobytes = 0;
        fields >> kilobytes;
        return kilobytes * 1024;
    }
    return 0;
}

bool resetPeakResident() {
    // Writing 5 to clear_refs sets the peak back to the current resident size.
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.close();
    return static_cast<bool>(clear);
}

namespace {

double cpuSeconds(int who) {
    struct rusage usage {};
    if (::getrusage(who, &usage) != 0) return 0;
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

double processCpuSeconds() { return cpuSeconds(RUSAGE_SELF); }

double finishedChildrenCpuSeconds() { return cpuSeconds(RUSAGE_CHILDREN); }

std::optional<std::string> runInChildProcess(const std::function<std::string()>& work) {
    int ends[2];
    if (::pipe(ends) != 0) return std::nullopt;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return std::nullopt;
    }
    if (child == 0) {
        ::close(ends[0]);
        const std::string result = work();
        std::size_t done = 0;
        while (done < result.size()) {
            const ssize_t written = ::write(ends[1], result.data() + done, result.size() - done);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) ::_exit(1);
            done += static_cast<std::size_t>(written);
        }
        ::_exit(0);  // no destructors or exit handlers of the parent's state
    }
    ::close(ends[1]);
    std::string result;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(ends[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        result.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(ends[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return result;
}

}  // namespace vantorel::platform
