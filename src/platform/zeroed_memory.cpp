#include "platform/zeroed_memory.h"

#include <utility>

#include "platform/zeroed_pages.h"

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
    if (data_ != nullptr) returnZeroedPages(data_, size_);
    data_ = nullptr;
    size_ = 0;
}

std::optional<ZeroedBlock> allocateZeroedBlock(std::size_t bytes) {
    ZeroedBlock block;
    if (bytes == 0) return block;
    void* pages = obtainZeroedPages(bytes);
    if (pages == nullptr) return std::nullopt;
    block.data_ = static_cast<std::byte*>(pages);
    block.size_ = bytes;
    return block;
}

}  // namespace vantorel::platform
