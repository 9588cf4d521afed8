#include "platform/process_probe.h"

namespace vantorel::platform {

// The benchmarks' memory figures are taken on POSIX systems only; here the peak
// is unknown and measurements run in this process.
std::uint64_t peakResidentBytes() { return 0; }

bool resetPeakResident() { return false; }

double processCpuSeconds() { return 0; }

double finishedChildrenCpuSeconds() { return 0; }

std::optional<std::string> runInChildProcess(const std::function<std::string()>& work) { return work(); }

}  // namespace vantorel::platform
