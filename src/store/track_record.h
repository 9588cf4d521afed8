#pragma once
// A track's result as bytes and back: the store keeps it so, and gives it
// back exactly as measured, every double to its last bit, so that outputs
// written from a kept result equal those of a fresh analysis.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "analysis/track_result.h"

namespace vantorel::store {

// The result in the store's own encoding: little-endian, the record's version first.
std::vector<std::byte> encodeTrackResult(const analysis::TrackResult& result);

// The result the bytes hold; none for bytes of another version, cut short,
// with bytes left over, or with values no measurement gives (a channel count
// outside 1 .. kMaxChannels, histograms or dynamics of another count).
std::optional<analysis::TrackResult> decodeTrackResult(std::span<const std::byte> bytes);

}  // namespace vantorel::store
