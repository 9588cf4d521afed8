#include <sys/mman.h>

#include "platform/zeroed_pages.h"

namespace vantorel::platform {

void* obtainZeroedPages(std::size_t bytes) {
    // Anonymous private pages are zero when first touched; nothing is written here.
    void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void returnZeroedPages(void* pages, std::size_t bytes) { ::munmap(pages, bytes); }

}  // namespace vantorel::platform
