#pragma once
// Measuring aids for the benchmarks: peak memory of the running process, and a
// way to run one measurement in a fresh child process so that its peak starts
// clean and nothing it leaves behind affects the next one.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace vantorel::platform {

// Highest resident memory of this process so far, in bytes (0 when unknown).
std::uint64_t peakResidentBytes();

// Lowers the recorded peak to the current resident memory, where the system
// allows it; returns false when it does not.
bool resetPeakResident();

// Processor time (user and system) used so far by this process, and by its
// children that have ended, in seconds. Unlike clock time it hardly changes when
// other programs compete for the processors.
double processCpuSeconds();
double finishedChildrenCpuSeconds();

// Runs `work` in a child process and gives back the text it returned, or none
// when the child failed. Where no child processes can be made, runs it here.
std::optional<std::string> runInChildProcess(const std::function<std::string()>& work);

}  // namespace vantorel::platform
