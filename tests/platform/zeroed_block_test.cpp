// Zero-filled blocks: sizes, contents, writing, release and overflowing requests.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "platform/zeroed_memory.h"

namespace vantorel::platform {
namespace {

TEST(ZeroedBlock, ABlockIsZeroFilledAndWritable) {
    auto block = allocateZeroedBlock(3 * 4096 + 5);
    ASSERT_TRUE(block.has_value());
    ASSERT_EQ(block->size(), 3u * 4096u + 5u);
    for (std::size_t i = 0; i < block->size(); ++i) ASSERT_EQ(block->data()[i], std::byte{0}) << i;
    block->data()[0] = std::byte{1};
    block->data()[block->size() - 1] = std::byte{2};
    EXPECT_EQ(block->data()[block->size() - 1], std::byte{2});
}

TEST(ZeroedBlock, ZeroBytesGiveAnEmptyBlock) {
    auto block = allocateZeroedBlock(0);
    ASSERT_TRUE(block.has_value());
    EXPECT_TRUE(block->empty());
    EXPECT_EQ(block->data(), nullptr);
}

TEST(ZeroedBlock, ReleaseEmptiesTheBlockAndMayBeRepeated) {
    auto block = allocateZeroedBlock(100);
    ASSERT_TRUE(block.has_value());
    block->release();
    EXPECT_TRUE(block->empty());
    EXPECT_EQ(block->data(), nullptr);
    block->release();
    EXPECT_TRUE(block->empty());
}

TEST(ZeroedBlock, MovingHandsTheMemoryOver) {
    auto block = allocateZeroedBlock(64);
    ASSERT_TRUE(block.has_value());
    std::byte* const data = block->data();
    ZeroedBlock moved = std::move(*block);
    EXPECT_EQ(moved.data(), data);
    EXPECT_EQ(moved.size(), 64u);
    EXPECT_TRUE(block->empty());  // NOLINT(bugprone-use-after-move): the moved-from state is defined
    auto other = allocateZeroedBlock(16);
    ASSERT_TRUE(other.has_value());
    moved = std::move(*other);
    EXPECT_EQ(moved.size(), 16u);
}

TEST(ZeroedBlock, ArraysCountElementsAndRefuseOverflow) {
    auto block = allocateZeroedArray<std::int32_t>(1000);
    ASSERT_TRUE(block.has_value());
    const auto elements = elementsOf<std::int32_t>(*block);
    ASSERT_EQ(elements.size(), 1000u);
    for (const std::int32_t value : elements) ASSERT_EQ(value, 0);
    EXPECT_FALSE(allocateZeroedArray<std::int32_t>(UINT64_MAX / 2).has_value());
}

TEST(ZeroedBlock, AnImpossibleSizeIsAFailureNotACrash) {
    EXPECT_FALSE(allocateZeroedBlock(SIZE_MAX - 4095).has_value());
}

}  // namespace
}  // namespace vantorel::platform
