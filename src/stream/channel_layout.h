#pragma once
// The names a recording's channels go by in the chart's legend and the CSV,
// from the channel count and the file's speaker layout.

#include <cstdint>
#include <string>
#include <vector>

namespace vantorel::stream {

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
//  - 3 to 8 without a mask: those of the layout assumed for the count (below);
//  - any other count of 3 or more: "channel 1" .. "channel N";
//  - none for a count of 0 or below.
std::vector<std::string> channelNames(int channels, std::uint64_t layoutMask);

// "channel 1" .. "channel N".
std::vector<std::string> numberedChannelNames(int channels);

// The layout assumed for a file of 3 to 8 channels that states none (a plain,
// not extensible, wave file): the one FFmpeg's libraries and most players
// assume for the count, so that a plain five-channel file is measured as
// L R C Ls Rs, not with an LFE in fourth place:
//   3  L R LFE            0x00B      6  L R C LFE Ls Rs              0x03F
//   4  L R C Cs (back)    0x107      7  L R C LFE Cs(back) Ls Rs(side) 0x70F
//   5  L R C Ls Rs (back) 0x037      8  L R C LFE Lb Rb Ls Rs(side)  0x63F
// 0 for other counts (one or two channels need no mask).
std::uint64_t assumedChannelMask(int channels);

// The file's own mask, or without one the mask assumed for its channel count.
std::uint64_t channelMaskOrAssumed(int channels, std::uint64_t layoutMask);

}  // namespace vantorel::stream
