#include <windows.h>

#include "platform/zeroed_pages.h"

namespace vantorel::platform {

void* obtainZeroedPages(std::size_t bytes) {
    // Freshly committed pages read as zero; the system supplies them on first touch.
    return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void returnZeroedPages(void* pages, std::size_t) { ::VirtualFree(pages, 0, MEM_RELEASE); }

}  // namespace vantorel::platform
