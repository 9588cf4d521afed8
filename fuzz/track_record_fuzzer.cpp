// Fuzzes the store's record decoding: any bytes either decode to a result or
// to none, never crash or allocate beyond what they hold; a result decoded
// encodes back to exactly the same bytes (one encoding per result).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "fuzz_check.h"
#include "store/track_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
    const auto decoded = vantorel::store::decodeTrackResult(bytes);
    if (!decoded) return 0;
    const std::vector<std::byte> again = vantorel::store::encodeTrackResult(*decoded);
    FUZZ_CHECK(again.size() == size && std::memcmp(again.data(), data, size) == 0);
    FUZZ_CHECK(static_cast<std::size_t>(decoded->format.channels) == decoded->levels.histograms.size());
    return 0;
}
