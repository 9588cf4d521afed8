// Channel names from the count and the speaker mask, one row per layout.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "stream/channel_layout.h"

namespace vantorel::stream {
namespace {

struct LayoutRow {
    int channels;
    std::uint64_t mask;
    std::vector<std::string> names;
};

TEST(ChannelNames, FollowTheCountAndTheSpeakerMask) {
    const std::vector<LayoutRow> table{
        {1, 0, {"mono"}},
        {2, 0, {"left", "right"}},
        {2, 0x600, {"left", "right"}},                              // side pair: the CSV keeps left, right
        {3, 0x7, {"left", "right", "center"}},
        {4, 0x33, {"left", "right", "surround left", "surround right"}},  // quad
        {6, 0x3F, {"left", "right", "center", "lfe", "surround left", "surround right"}},   // 5.1 (back)
        {6, 0x60F, {"left", "right", "center", "lfe", "surround left", "surround right"}},  // 5.1 (side)
        {8, 0x63F,
         {"left", "right", "center", "lfe", "back left", "back right", "surround left", "surround right"}},  // 7.1
        {5, 0x1C3, {"left", "right", "left of center", "right of center", "back center"}},
        {4, 0x4830, {"surround left", "surround right", "top center", "top front right"}},
        {7, 0x3A007, {"left", "right", "center", "top front center", "top back left", "top back center",
                      "top back right"}},
        {3, 0x230, {"back left", "back right", "surround left"}},  // one side channel: the back pair stays back
        // No mask: the layout assumed for the count.
        {3, 0, {"left", "right", "lfe"}},
        {4, 0, {"left", "right", "center", "back center"}},
        {5, 0, {"left", "right", "center", "surround left", "surround right"}},
        {6, 0, {"left", "right", "center", "lfe", "surround left", "surround right"}},
        {7, 0, {"left", "right", "center", "lfe", "back center", "surround left", "surround right"}},
        {8, 0, {"left", "right", "center", "lfe", "back left", "back right", "surround left", "surround right"}},
        {9, 0, {"channel 1", "channel 2", "channel 3", "channel 4", "channel 5", "channel 6", "channel 7",
                "channel 8", "channel 9"}},
        {6, 0x33, {"channel 1", "channel 2", "channel 3", "channel 4", "channel 5", "channel 6"}},  // 4 bits
        {3, 0x1F, {"channel 1", "channel 2", "channel 3"}},                                       // 5 bits
        {3, 0x40003, {"channel 1", "channel 2", "channel 3"}},          // bit 18 has no name
        {0, 0x3, {}},
    };
    for (const LayoutRow& row : table) {
        EXPECT_EQ(channelNames(row.channels, row.mask), row.names)
            << row.channels << " channels, mask 0x" << std::hex << row.mask;
    }
}

}  // namespace
}  // namespace vantorel::stream
