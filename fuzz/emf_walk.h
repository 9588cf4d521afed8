#pragma once
// A small, independent reader of enhanced-metafile framing, for fuzz targets and
// tests that check what the metafile layer writes. It trusts nothing in the
// bytes: every offset is bounds-checked before it is read, and the first broken
// rule ends the walk with a description of it.
//
// Rules checked, as [MS-EMF] lays the file out:
// - records tile the file exactly: each has Type and Size, Size >= 8, a multiple
//   of 4, and lies within the file;
// - the first record is EMR_HEADER with the " EMF" signature, its Bytes equal
//   to the file size, its Records equal to the number of records, Handles >= 1
//   and a description (if any) inside the header record; no later EMR_HEADER;
// - the last record, and only it, is EMR_EOF (20 bytes or more, nSizeLast equal
//   to its size, and no palette entries outside it);
// - object records: the object-table index of EMR_CREATEPEN,
//   EMR_CREATEBRUSHINDIRECT and EMR_EXTCREATEFONTINDIRECTW lies in 1 ..
//   Handles - 1; EMR_SELECTOBJECT names a stock object or an index defined by an
//   earlier record;
// - sized records: EMR_POLYLINE16 and EMR_POLYLINE hold exactly their points,
//   EMR_EXTTEXTOUTW its string and advances, and the fixed-size records
//   (mapping mode, text colour and alignment, MoveToEx, LineTo, SelectObject,
//   CreatePen, CreateBrushIndirect) have their fixed sizes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vantorel::fuzz {

namespace emf_types {
inline constexpr std::uint32_t kHeader = 1;
inline constexpr std::uint32_t kPolyline = 4;
inline constexpr std::uint32_t kEof = 14;
inline constexpr std::uint32_t kSetMapMode = 17;
inline constexpr std::uint32_t kSetTextAlign = 22;
inline constexpr std::uint32_t kSetTextColor = 24;
inline constexpr std::uint32_t kMoveToEx = 27;
inline constexpr std::uint32_t kSelectObject = 37;
inline constexpr std::uint32_t kCreatePen = 38;
inline constexpr std::uint32_t kCreateBrushIndirect = 39;
inline constexpr std::uint32_t kLineTo = 54;
inline constexpr std::uint32_t kExtCreateFontIndirectW = 82;
inline constexpr std::uint32_t kExtTextOutW = 84;
inline constexpr std::uint32_t kPolyline16 = 87;
}  // namespace emf_types

struct EmfRecord {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    std::size_t offset = 0;  // from the start of the file
};

struct EmfPoint {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

struct EmfWalk {
    std::vector<EmfRecord> records;
    std::string error;  // empty when every rule holds
    std::uint16_t handles = 0;
    bool wellFormed() const { return error.empty(); }
};

namespace detail {

inline std::optional<std::uint32_t> readLe32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4) return std::nullopt;
    return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
           std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

inline std::optional<std::uint16_t> readLe16(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2) return std::nullopt;
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

// The fixed size of a record type, 0 for types of variable size.
inline std::uint32_t fixedSize(std::uint32_t type) {
    using namespace emf_types;
    switch (type) {
        case kSetMapMode:
        case kSetTextAlign:
        case kSetTextColor:
        case kSelectObject: return 12;
        case kMoveToEx:
        case kLineTo: return 16;
        case kCreatePen: return 28;
        case kCreateBrushIndirect: return 24;
        default: return 0;
    }
}

// Checks the record-specific rules; gives a description of the first one broken.
inline std::string checkRecord(std::span<const std::uint8_t> record, std::uint32_t type, std::uint16_t handles,
                               std::vector<bool>& defined) {
    using namespace emf_types;
    const std::uint64_t size = record.size();
    if (const std::uint32_t fixed = fixedSize(type); fixed != 0 && size != fixed)
        return "record type " + std::to_string(type) + " has size " + std::to_string(size);
    switch (type) {
        case kCreatePen:
        case kCreateBrushIndirect:
        case kExtCreateFontIndirectW: {
            const auto index = readLe32(record, 8);
            if (!index) return "object record too short";
            if (*index == 0 || *index >= handles) return "object index " + std::to_string(*index) + " outside the table";
            defined[*index] = true;
            return {};
        }
        case kSelectObject: {
            const std::uint32_t index = *readLe32(record, 8);
            if ((index & 0x80000000u) != 0) return {};  // a stock object
            if (index == 0 || index >= handles || !defined[index])
                return "selection of undefined object " + std::to_string(index);
            return {};
        }
        case kPolyline16:
        case kPolyline: {
            const auto count = readLe32(record, 24);
            if (!count) return "polyline record too short";
            const std::uint64_t each = type == kPolyline16 ? 4 : 8;
            if (size != 28 + each * *count) return "polyline size does not match its points";
            return {};
        }
        case kExtTextOutW: {
            const auto chars = readLe32(record, 44);
            const auto offString = readLe32(record, 48);
            const auto offDx = readLe32(record, 72);
            if (!chars || !offString || !offDx || size < 76) return "text record too short";
            if (*offString < 76 || *offString + 2 * std::uint64_t{*chars} > size) return "text string outside its record";
            if (*offDx < 76 || *offDx + 4 * std::uint64_t{*chars} > size) return "text advances outside their record";
            return {};
        }
        default: return {};
    }
}

}  // namespace detail

// Walks the records of a whole metafile.
inline EmfWalk walkEmf(std::span<const std::uint8_t> bytes) {
    using detail::readLe16;
    using detail::readLe32;
    EmfWalk walk;
    const auto fail = [&walk](std::string why) {
        walk.error = std::move(why);
        return walk;
    };

    // Header fields (offsets within EMR_HEADER).
    const auto signature = readLe32(bytes, 40);
    const auto totalBytes = readLe32(bytes, 48);
    const auto totalRecords = readLe32(bytes, 52);
    const auto handles = readLe16(bytes, 56);
    const auto descriptionUnits = readLe32(bytes, 60);
    const auto descriptionOffset = readLe32(bytes, 64);
    if (!signature || !descriptionOffset || readLe32(bytes, 0) != emf_types::kHeader)
        return fail("no header record at the start");
    if (*signature != 0x464D4520u) return fail("header signature is not \" EMF\"");
    if (*totalBytes != bytes.size()) return fail("header Bytes differs from the file size");
    if (*handles < 1) return fail("header Handles is 0");
    walk.handles = *handles;
    std::vector<bool> defined(*handles, false);

    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const auto type = readLe32(bytes, offset);
        const auto size = readLe32(bytes, offset + 4);
        if (!type || !size) return fail("record header cut off at " + std::to_string(offset));
        if (*size < 8 || *size % 4 != 0) return fail("record size " + std::to_string(*size) + " at " + std::to_string(offset));
        if (*size > bytes.size() - offset) return fail("record at " + std::to_string(offset) + " runs past the end");
        if (walk.records.empty() != (*type == emf_types::kHeader)) return fail("header record not first, or not only");
        if (!walk.records.empty() && walk.records.back().type == emf_types::kEof) return fail("record after EMR_EOF");
        const auto record = bytes.subspan(offset, *size);
        if (*type == emf_types::kHeader) {
            if (*size < 88) return fail("header record shorter than 88 bytes");
            if (*descriptionUnits != 0 &&
                (*descriptionOffset < 88 || *descriptionOffset + 2 * std::uint64_t{*descriptionUnits} > *size))
                return fail("description outside the header record");
        }
        if (*type == emf_types::kEof) {
            const auto paletteEntries = readLe32(record, 8);
            const auto paletteOffset = readLe32(record, 12);
            if (*size < 20 || !paletteEntries || !paletteOffset) return fail("EMR_EOF shorter than 20 bytes");
            if (readLe32(record, *size - 4) != *size) return fail("EMR_EOF nSizeLast differs from its size");
            if (*paletteEntries != 0 && *paletteOffset + 4 * std::uint64_t{*paletteEntries} > *size - 4)
                return fail("palette entries outside EMR_EOF");
        }
        if (std::string why = detail::checkRecord(record, *type, *handles, defined); !why.empty())
            return fail(std::move(why) + " (record " + std::to_string(walk.records.size()) + ")");
        walk.records.push_back({*type, *size, offset});
        offset += *size;
    }
    if (walk.records.empty() || walk.records.back().type != emf_types::kEof) return fail("last record is not EMR_EOF");
    if (*totalRecords != walk.records.size()) return fail("header Records differs from the records found");
    return walk;
}

struct EmfRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;
};

// The Bounds field (offset 8, RectL) of a record of a well-formed walk that has
// one: the header and the drawing records (polylines, text, BitBlt).
inline std::optional<EmfRect> recordBounds(std::span<const std::uint8_t> bytes, const EmfRecord& record) {
    using namespace emf_types;
    constexpr std::uint32_t kBitBlt = 76;
    if (record.type != kHeader && record.type != kPolyline && record.type != kPolyline16 &&
        record.type != kExtTextOutW && record.type != kBitBlt)
        return std::nullopt;
    const auto body = bytes.subspan(record.offset, record.size);
    const auto field = [&body](std::size_t offset) { return static_cast<std::int32_t>(*detail::readLe32(body, offset)); };
    if (body.size() < 24) return std::nullopt;
    return EmfRect{field(8), field(12), field(16), field(20)};
}

// The points of an EMR_POLYLINE16 or EMR_POLYLINE record of a well-formed walk.
inline std::vector<EmfPoint> polylinePoints(std::span<const std::uint8_t> bytes, const EmfRecord& record) {
    const auto body = bytes.subspan(record.offset, record.size);
    const std::uint32_t count = *detail::readLe32(body, 24);
    std::vector<EmfPoint> points;
    points.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (record.type == emf_types::kPolyline16) {
            const auto x = static_cast<std::int16_t>(*detail::readLe16(body, 28 + 4 * i));
            const auto y = static_cast<std::int16_t>(*detail::readLe16(body, 30 + 4 * i));
            points.push_back({x, y});
        } else {
            const auto x = static_cast<std::int32_t>(*detail::readLe32(body, 28 + 8 * i));
            const auto y = static_cast<std::int32_t>(*detail::readLe32(body, 32 + 8 * i));
            points.push_back({x, y});
        }
    }
    return points;
}

}  // namespace vantorel::fuzz
