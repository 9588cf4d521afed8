#include "platform/stop_signals.h"

// Windows has no signals to hold: Ctrl+C and closing the console end the
// process as they always did, and a closed pipe is already an error of the
// write. The watch never reports a stop and lets every write run.

namespace vantorel::platform {

struct StopSignalWatch::State {};

StopSignalWatch::StopSignalWatch() = default;
StopSignalWatch::~StopSignalWatch() = default;

bool StopSignalWatch::stopRequested() const { return false; }
bool StopSignalWatch::beginWrite() { return true; }
void StopSignalWatch::endWrite() {}

void ignoreClosedPipes() {}

}  // namespace vantorel::platform
