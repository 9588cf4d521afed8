#pragma once
// The operating system's side of ZeroedBlock: fresh pages that read as zero.

#include <cstddef>

namespace vantorel::platform {

// Fresh zero-filled pages of `bytes` bytes (> 0), or null when they cannot be had.
void* obtainZeroedPages(std::size_t bytes);

// Gives back pages obtained above.
void returnZeroedPages(void* pages, std::size_t bytes);

}  // namespace vantorel::platform
