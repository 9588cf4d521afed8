#pragma once
// Large zero-filled arrays taken straight from fresh pages, so zero-filling costs
// no pass over memory and untouched parts cost nothing. Failures are values.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace vantorel::platform {

// A block of zero-filled bytes (move-only; releases itself).
class ZeroedBlock {
public:
    ZeroedBlock() = default;
    ZeroedBlock(ZeroedBlock&& other) noexcept;
    ZeroedBlock& operator=(ZeroedBlock&& other) noexcept;
    ZeroedBlock(const ZeroedBlock&) = delete;
    ZeroedBlock& operator=(const ZeroedBlock&) = delete;
    ~ZeroedBlock();

    std::byte* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void release();  // gives the memory back now; the block becomes empty

    friend std::optional<ZeroedBlock> allocateZeroedBlock(std::size_t bytes);

private:
    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
};

// A zero-filled block of `bytes` bytes; none when the memory cannot be had.
// A request for 0 bytes gives an empty block.
std::optional<ZeroedBlock> allocateZeroedBlock(std::size_t bytes);

// A zero-filled array of `count` elements of T; none on overflow or lack of memory.
template <class T>
std::optional<ZeroedBlock> allocateZeroedArray(std::uint64_t count) {
    if (count > SIZE_MAX / sizeof(T)) return std::nullopt;
    return allocateZeroedBlock(static_cast<std::size_t>(count) * sizeof(T));
}

// The block's bytes seen as elements of T (the block came from allocateZeroedArray<T>).
template <class T>
std::span<T> elementsOf(const ZeroedBlock& block) {
    return {reinterpret_cast<T*>(block.data()), block.size() / sizeof(T)};
}

}  // namespace vantorel::platform
