#include "stream/channel_layout.h"

#include <array>
#include <bit>
#include <string_view>

namespace vantorel::stream {

namespace {

constexpr std::uint64_t kBackLeft = 1U << 4;
constexpr std::uint64_t kBackRight = 1U << 5;
constexpr std::uint64_t kSideChannels = 1U << 9 | 1U << 10;

// The name of each mask bit from bit 0 on; back left and right as they are
// called beside side channels.
constexpr std::array<std::string_view, 18> kPositionNames{
    "left",           "right",           "center",          "lfe",           "back left",
    "back right",     "left of center",  "right of center", "back center",   "surround left",
    "surround right", "top center",      "top front left",  "top front center", "top front right",
    "top back left",  "top back center", "top back right",
};

constexpr std::uint64_t kNamedPositions = (std::uint64_t{1} << kPositionNames.size()) - 1;

// Masks assumed for 3 to 8 channels without a stated layout.
constexpr std::array<std::uint64_t, 6> kAssumedMasks{0x00B, 0x107, 0x037, 0x03F, 0x70F, 0x63F};

}  // namespace

std::vector<std::string> numberedChannelNames(int channels) {
    std::vector<std::string> names;
    for (int channel = 1; channel <= channels; ++channel) names.push_back("channel " + std::to_string(channel));
    return names;
}

std::uint64_t assumedChannelMask(int channels) {
    if (channels < 3 || channels > 8) return 0;
    return kAssumedMasks[static_cast<std::size_t>(channels - 3)];
}

std::uint64_t channelMaskOrAssumed(int channels, std::uint64_t layoutMask) {
    return layoutMask != 0 ? layoutMask : assumedChannelMask(channels);
}

std::vector<std::string> channelNames(int channels, std::uint64_t layoutMask) {
    if (channels <= 0) return {};
    if (channels == 1) return {"mono"};
    if (channels == 2) return {"left", "right"};
    layoutMask = channelMaskOrAssumed(channels, layoutMask);
    if (std::popcount(layoutMask) != channels || (layoutMask & ~kNamedPositions) != 0) return numberedChannelNames(channels);
    // Without side channels the back pair is the surround pair (5.1 as most files mark it).
    const bool backIsSurround = (layoutMask & kSideChannels) == 0;
    std::vector<std::string> names;
    for (std::size_t bit = 0; bit < kPositionNames.size(); ++bit) {
        const std::uint64_t position = std::uint64_t{1} << bit;
        if ((layoutMask & position) == 0) continue;
        if (backIsSurround && position == kBackLeft) {
            names.emplace_back("surround left");
        } else if (backIsSurround && position == kBackRight) {
            names.emplace_back("surround right");
        } else {
            names.emplace_back(kPositionNames[bit]);
        }
    }
    return names;
}

}  // namespace vantorel::stream
