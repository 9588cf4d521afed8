#pragma once
// The names a recording's channels go by in the chart's legend and the CSV,
// from the channel count and the file's speaker layout.

#include <cstdint>
#include <string>
#include <vector>

namespace vantorel::wave {

// Speaker positions in the bit order of the extensible format's channel mask
// (which FFmpeg's channel layouts share): bit 0 front left, 1 front right,
// 2 front center, 3 low frequency, 4 back left, 5 back right, 6 front left of
// center, 7 front right of center, 8 back center, 9 side left, 10 side right,
// 11 top center, 12..14 top front left, center, right, 15..17 top back left,
// center, right. A mask of 0 means the file has no layout.
//
// Gives one name per channel, in channel order:
//  - 1 channel: "mono"; 2 channels: "left", "right", whatever the mask says;
//  - 3 or more with a mask of exactly `channels` bits, all of them named
//    positions: the positions' names in bit order ("left", "right", "center",
//    "lfe", ...). Back left and right are "surround left" and "surround right"
//    when the mask has no side channel, "back left" and "back right" otherwise;
//    side left and right are "surround left" and "surround right";
//  - any other count of 3 or more: "channel 1" .. "channel N";
//  - none for a count of 0 or below.
std::vector<std::string> channelNames(int channels, std::uint64_t layoutMask);

}  // namespace vantorel::wave
