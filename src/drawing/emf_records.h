#pragma once
// Byte encoders for the enhanced-metafile records the metafile device context
// writes, as [MS-EMF] lays them out. Each writer appends one complete record,
// little-endian, to a RecordStream; the layout of every field is documented
// beside the code that writes it (emf_records.cpp).

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "drawing/metafile.h"

namespace vantorel::drawing::emf {

// Record types (RecordType enumeration).
inline constexpr std::uint32_t EMR_HEADER = 1;
inline constexpr std::uint32_t EMR_POLYLINE = 4;
inline constexpr std::uint32_t EMR_EOF = 14;
inline constexpr std::uint32_t EMR_SETMAPMODE = 17;
inline constexpr std::uint32_t EMR_SETTEXTALIGN = 22;
inline constexpr std::uint32_t EMR_SETTEXTCOLOR = 24;
inline constexpr std::uint32_t EMR_MOVETOEX = 27;
inline constexpr std::uint32_t EMR_SELECTOBJECT = 37;
inline constexpr std::uint32_t EMR_CREATEPEN = 38;
inline constexpr std::uint32_t EMR_CREATEBRUSHINDIRECT = 39;
inline constexpr std::uint32_t EMR_LINETO = 54;
inline constexpr std::uint32_t EMR_BITBLT = 76;
inline constexpr std::uint32_t EMR_EXTCREATEFONTINDIRECTW = 82;
inline constexpr std::uint32_t EMR_EXTTEXTOUTW = 84;
inline constexpr std::uint32_t EMR_POLYLINE16 = 87;

// Stock objects as EMR_SELECTOBJECT names them (StockObject enumeration).
inline constexpr std::uint32_t kStockWhiteBrush = 0x80000000;
inline constexpr std::uint32_t kStockBlackPen = 0x80000007;
inline constexpr std::uint32_t kStockSystemFont = 0x8000000D;

inline constexpr std::uint32_t kHeaderSize = 108;
inline constexpr std::uint32_t kEofSize = 20;
inline constexpr std::uint32_t kSignature = 0x464D4520;  // " EMF"
inline constexpr std::uint32_t kVersion = 0x00010000;
inline constexpr std::uint32_t kPatCopy = 0x00F00021;   // ternary raster operation PATCOPY

void appendLe16(std::vector<std::uint8_t>& out, std::uint16_t value);
void appendLe32(std::vector<std::uint8_t>& out, std::uint32_t value);
void appendLe32(std::vector<std::uint8_t>& out, std::int32_t value);
void appendFloat(std::vector<std::uint8_t>& out, float value);
void appendRect(std::vector<std::uint8_t>& out, const RECT& rect);

// The records between the header and EMR_EOF. A record that would take the
// metafile past the 32-bit size its header can state is refused, and the
// stream is marked as overflowed (such a metafile must not be written).
struct RecordStream {
    std::vector<std::uint8_t> bytes;
    std::uint32_t count = 0;
    bool overflowed = false;

    // Whether a record of this size still fits; marks the stream as
    // overflowed when it does not.
    bool reserve(std::uint64_t size);
    // Appends Type and Size and counts the record; false (nothing appended)
    // when the record would not fit.
    bool begin(std::uint32_t type, std::uint64_t size);
};

// The character of the ANSI code page (Windows-1252) as UTF-16.
char16_t ansiToUtf16(unsigned char character);

// The LogFont object, field by field as CreateFontA takes them.
struct LogFont {
    std::int32_t height = 0;
    std::int32_t width = 0;
    std::int32_t escapement = 0;
    std::int32_t orientation = 0;
    std::int32_t weight = 0;
    std::uint8_t italic = 0;
    std::uint8_t underline = 0;
    std::uint8_t strikeOut = 0;
    std::uint8_t charSet = 0;
    std::uint8_t outPrecision = 0;
    std::uint8_t clipPrecision = 0;
    std::uint8_t quality = 0;
    std::uint8_t pitchAndFamily = 0;
    std::u16string faceName;  // at most 31 characters
    bool operator==(const LogFont&) const = default;
};

void writeSetMapMode(RecordStream& stream, std::uint32_t mode);
void writeSetTextAlign(RecordStream& stream, std::uint32_t align);
void writeSetTextColor(RecordStream& stream, COLORREF color);
void writeMoveToEx(RecordStream& stream, POINT point);
void writeLineTo(RecordStream& stream, POINT point);
void writeSelectObject(RecordStream& stream, std::uint32_t index);
void writeCreatePen(RecordStream& stream, std::uint32_t index, std::uint32_t style, std::int32_t width, COLORREF color);
void writeCreateBrushIndirect(RecordStream& stream, std::uint32_t index, COLORREF color);
void writeExtCreateFontIndirectW(RecordStream& stream, std::uint32_t index, const LogFont& font);
// Paints the logical rectangle (x, y, cx, cy) with the selected brush.
void writeBitBltPatCopy(RecordStream& stream, const RECT& bounds, std::int32_t x, std::int32_t y, std::int32_t cx,
                        std::int32_t cy);
// Size of the EMR_EXTTEXTOUTW record of a text of this many characters.
std::uint64_t extTextOutWSize(std::size_t characters);
// exScale, eyScale: 0.01 mm per logical unit along x and y (signed).
void writeExtTextOutW(RecordStream& stream, const RECT& bounds, float exScale, float eyScale, POINT reference,
                      std::span<const char16_t> text, std::span<const std::int32_t> advances);
// EMR_POLYLINE16 when every coordinate fits in 16 bits, EMR_POLYLINE otherwise.
void writePolyline(RecordStream& stream, const RECT& bounds, std::span<const POINT> points);

struct HeaderFields {
    RECT bounds;                     // device units, inclusive
    RECT frame;                      // 0.01 mm, inclusive
    std::uint32_t totalBytes = 0;    // the whole metafile
    std::uint32_t totalRecords = 0;  // header and EOF included
    std::uint16_t handles = 0;       // object-table slots used + 1
    std::u16string description;      // empty: none; else with its terminating zeros
    std::int32_t devicePixelsX = 0;
    std::int32_t devicePixelsY = 0;
    std::int32_t deviceMillimetresX = 0;
    std::int32_t deviceMillimetresY = 0;
};
// Size of the header record for a description of this many UTF-16 units.
std::uint64_t headerSize(std::size_t descriptionLength);
void appendHeader(std::vector<std::uint8_t>& out, const HeaderFields& fields);
void appendEof(std::vector<std::uint8_t>& out);

}  // namespace vantorel::drawing::emf
