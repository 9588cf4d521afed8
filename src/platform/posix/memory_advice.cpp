#include "platform/memory_advice.h"

#include <sys/mman.h>

namespace vantorel::platform {

void preferLargePages(const ZeroedBlock& block) {
#ifdef MADV_HUGEPAGE
    constexpr std::size_t kLargePage = std::size_t{1} << 21;
    if (block.size() < kLargePage) return;
    // The block came from mmap, so it starts on a page boundary as madvise needs.
    // Refusal (no transparent huge pages) only leaves ordinary pages in place.
    ::madvise(block.data(), block.size(), MADV_HUGEPAGE);
#else
    (void)block;
#endif
}

}  // namespace vantorel::platform
