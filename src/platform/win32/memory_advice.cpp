#include "platform/memory_advice.h"

namespace vantorel::platform {

// Large pages on Windows need a privilege the tool does not hold; ordinary pages
// are used.
void preferLargePages(const ZeroedBlock&) {}

}  // namespace vantorel::platform
