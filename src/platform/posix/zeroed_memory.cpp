#include "platform/zeroed_memory.h"

#include <sys/mman.h>

#include <utility>

namespace vantorel::platform {

ZeroedBlock::ZeroedBlock(ZeroedBlock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

ZeroedBlock& ZeroedBlock::operator=(ZeroedBlock&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

ZeroedBlock::~ZeroedBlock() { release(); }

void ZeroedBlock::release() {
    if (data_ != nullptr) ::munmap(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

std::optional<ZeroedBlock> allocateZeroedBlock(std::size_t bytes) {
    ZeroedBlock block;
    if (bytes == 0) return block;
    // Anonymous private pages are zero when first touched; nothing is written here.
    void* pages = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return std::nullopt;
    block.data_ = static_cast<std::byte*>(pages);
    block.size_ = bytes;
    return block;
}

}  // namespace vantorel::platform
