#include "drawing/emf_records.h"

#include <array>
#include <bit>
#include <limits>

namespace vantorel::drawing::emf {

namespace {

// Room kept free for the header (with its description) and EMR_EOF, so that
// the whole metafile's size still fits the header's 32-bit Bytes field.
constexpr std::uint64_t kReservedForHeaderAndEof = std::uint64_t{1} << 20;
constexpr std::uint64_t kLargestRecordStream = std::numeric_limits<std::uint32_t>::max() - kReservedForHeaderAndEof;

// Windows-1252 0x80..0x9F; the five unassigned bytes map to the C1 controls.
constexpr std::array<char16_t, 32> kAnsiHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80..0x87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 0x88..0x8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90..0x97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 0x98..0x9F
};

std::uint64_t paddedTo4(std::uint64_t size) { return (size + 3) / 4 * 4; }

void appendZeros(std::vector<std::uint8_t>& out, std::size_t count) { out.insert(out.end(), count, 0); }

// UTF-16 units, little-endian, then zeros up to `units` units in all.
void appendUtf16(std::vector<std::uint8_t>& out, std::u16string_view text, std::size_t units) {
    for (std::size_t i = 0; i < units; ++i) appendLe16(out, i < text.size() ? static_cast<std::uint16_t>(text[i]) : 0);
}

bool fitsIn16Bits(std::int32_t value) { return value >= INT16_MIN && value <= INT16_MAX; }

}  // namespace

void appendLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void appendLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

void appendLe32(std::vector<std::uint8_t>& out, std::int32_t value) {
    appendLe32(out, static_cast<std::uint32_t>(value));
}

void appendFloat(std::vector<std::uint8_t>& out, float value) { appendLe32(out, std::bit_cast<std::uint32_t>(value)); }

// RectL: left, top, right, bottom, each a signed 32-bit integer.
void appendRect(std::vector<std::uint8_t>& out, const RECT& rect) {
    appendLe32(out, rect.left);    // +0, 4: left
    appendLe32(out, rect.top);     // +4, 4: top
    appendLe32(out, rect.right);   // +8, 4: right
    appendLe32(out, rect.bottom);  // +12, 4: bottom
}

bool RecordStream::reserve(std::uint64_t size) {
    if (overflowed || size > kLargestRecordStream - bytes.size()) overflowed = true;
    return !overflowed;
}

bool RecordStream::begin(std::uint32_t type, std::uint64_t size) {
    if (!reserve(size)) return false;
    appendLe32(bytes, type);                              // 0, 4: Type
    appendLe32(bytes, static_cast<std::uint32_t>(size));  // 4, 4: Size of the record in bytes, a multiple of 4
    ++count;
    return true;
}

char16_t ansiToUtf16(unsigned char character) {
    if (character >= 0x80 && character <= 0x9F) return kAnsiHighControls[character - 0x80];
    return character;
}

// EMR_SETMAPMODE, 12 bytes.
void writeSetMapMode(RecordStream& stream, std::uint32_t mode) {
    if (!stream.begin(EMR_SETMAPMODE, 12)) return;
    appendLe32(stream.bytes, mode);  // 8, 4: MapMode (MM_TEXT 1, MM_LOMETRIC 2, ...)
}

// EMR_SETTEXTALIGN, 12 bytes.
void writeSetTextAlign(RecordStream& stream, std::uint32_t align) {
    if (!stream.begin(EMR_SETTEXTALIGN, 12)) return;
    appendLe32(stream.bytes, align);  // 8, 4: TextAlignmentMode (TA_* flags)
}

// EMR_SETTEXTCOLOR, 12 bytes.
void writeSetTextColor(RecordStream& stream, COLORREF color) {
    if (!stream.begin(EMR_SETTEXTCOLOR, 12)) return;
    appendLe32(stream.bytes, color);  // 8, 4: Color, ColorRef: red, green, blue, 0
}

// EMR_MOVETOEX, 16 bytes.
void writeMoveToEx(RecordStream& stream, POINT point) {
    if (!stream.begin(EMR_MOVETOEX, 16)) return;
    appendLe32(stream.bytes, point.x);  // 8, 4: Offset.x, logical units
    appendLe32(stream.bytes, point.y);  // 12, 4: Offset.y, logical units
}

// EMR_LINETO, 16 bytes.
void writeLineTo(RecordStream& stream, POINT point) {
    if (!stream.begin(EMR_LINETO, 16)) return;
    appendLe32(stream.bytes, point.x);  // 8, 4: Point.x, logical units
    appendLe32(stream.bytes, point.y);  // 12, 4: Point.y, logical units
}

// EMR_SELECTOBJECT, 12 bytes.
void writeSelectObject(RecordStream& stream, std::uint32_t index) {
    if (!stream.begin(EMR_SELECTOBJECT, 12)) return;
    appendLe32(stream.bytes, index);  // 8, 4: ihObject: object-table index, or 0x80000000 | stock object
}

// EMR_CREATEPEN, 28 bytes.
void writeCreatePen(RecordStream& stream, std::uint32_t index, std::uint32_t style, std::int32_t width, COLORREF color) {
    if (!stream.begin(EMR_CREATEPEN, 28)) return;
    appendLe32(stream.bytes, index);            // 8, 4: ihPen, object-table index
    appendLe32(stream.bytes, style);            // 12, 4: LogPen.PenStyle (PS_SOLID 0)
    appendLe32(stream.bytes, width);            // 16, 4: LogPen.Width.x, logical units
    appendLe32(stream.bytes, std::int32_t{0});  // 20, 4: LogPen.Width.y, unused
    appendLe32(stream.bytes, color);            // 24, 4: LogPen.ColorRef
}

// EMR_CREATEBRUSHINDIRECT, 24 bytes.
void writeCreateBrushIndirect(RecordStream& stream, std::uint32_t index, COLORREF color) {
    if (!stream.begin(EMR_CREATEBRUSHINDIRECT, 24)) return;
    appendLe32(stream.bytes, index);              // 8, 4: ihBrush, object-table index
    appendLe32(stream.bytes, std::uint32_t{0});   // 12, 4: LogBrush.BrushStyle (BS_SOLID 0)
    appendLe32(stream.bytes, color);              // 16, 4: LogBrush.Color
    appendLe32(stream.bytes, std::uint32_t{0});   // 20, 4: LogBrush.BrushHatch, unused for a solid brush
}

// EMR_EXTCREATEFONTINDIRECTW with the font as a LogFontPanose object, the
// fixed 320-byte form GDI itself records; 332 bytes.
void writeExtCreateFontIndirectW(RecordStream& stream, std::uint32_t index, const LogFont& font) {
    if (!stream.begin(EMR_EXTCREATEFONTINDIRECTW, 332)) return;
    std::vector<std::uint8_t>& out = stream.bytes;
    appendLe32(out, index);               // 8, 4: ihFont, object-table index
    appendLe32(out, font.height);         // 12, 4: LogFont.Height (> 0 cell height, < 0 em height)
    appendLe32(out, font.width);          // 16, 4: LogFont.Width, average character width
    appendLe32(out, font.escapement);     // 20, 4: LogFont.Escapement, tenths of a degree
    appendLe32(out, font.orientation);    // 24, 4: LogFont.Orientation, tenths of a degree
    appendLe32(out, font.weight);         // 28, 4: LogFont.Weight (800 extra-bold)
    out.push_back(font.italic);           // 32, 1: LogFont.Italic
    out.push_back(font.underline);        // 33, 1: LogFont.Underline
    out.push_back(font.strikeOut);        // 34, 1: LogFont.StrikeOut
    out.push_back(font.charSet);          // 35, 1: LogFont.CharSet (ANSI_CHARSET 0)
    out.push_back(font.outPrecision);     // 36, 1: LogFont.OutPrecision (OUT_TT_PRECIS 4)
    out.push_back(font.clipPrecision);    // 37, 1: LogFont.ClipPrecision
    out.push_back(font.quality);          // 38, 1: LogFont.Quality (PROOF_QUALITY 2)
    out.push_back(font.pitchAndFamily);   // 39, 1: LogFont.PitchAndFamily
    appendUtf16(out, font.faceName, 32);  // 40, 64: LogFont.FaceName, UTF-16, zero-padded
    appendUtf16(out, u"", 64);            // 104, 128: FullName, none
    appendUtf16(out, u"", 32);            // 232, 64: Style, none
    appendLe32(out, std::uint32_t{0});    // 296, 4: Version, unused
    appendLe32(out, std::uint32_t{0});    // 300, 4: StyleSize, 0: any size
    appendLe32(out, std::uint32_t{0});    // 304, 4: Match, unused
    appendLe32(out, std::uint32_t{0});    // 308, 4: Reserved
    appendLe32(out, std::uint32_t{0});    // 312, 4: VendorId, unused
    appendLe32(out, std::uint32_t{0});    // 316, 4: Culture, 0
    appendZeros(out, 10);                 // 320, 10: Panose, every entry PAN_ANY (0)
    appendZeros(out, 2);                  // 330, 2: Padding
}

// EMR_BITBLT without a source bitmap, 100 bytes: the raster operation PATCOPY
// paints the destination with the selected brush.
void writeBitBltPatCopy(RecordStream& stream, const RECT& bounds, std::int32_t x, std::int32_t y, std::int32_t cx,
                        std::int32_t cy) {
    if (!stream.begin(EMR_BITBLT, 100)) return;
    std::vector<std::uint8_t>& out = stream.bytes;
    appendRect(out, bounds);            // 8, 16: Bounds, device units, inclusive
    appendLe32(out, x);                 // 24, 4: xDest, logical
    appendLe32(out, y);                 // 28, 4: yDest, logical
    appendLe32(out, cx);                // 32, 4: cxDest, logical width
    appendLe32(out, cy);                // 36, 4: cyDest, logical height
    appendLe32(out, kPatCopy);          // 40, 4: BitBltRasterOperation, PATCOPY
    appendLe32(out, std::int32_t{0});   // 44, 4: xSrc, no source
    appendLe32(out, std::int32_t{0});   // 48, 4: ySrc, no source
    appendFloat(out, 1.0F);             // 52, 4: XformSrc.M11, identity
    appendFloat(out, 0.0F);             // 56, 4: XformSrc.M12
    appendFloat(out, 0.0F);             // 60, 4: XformSrc.M21
    appendFloat(out, 1.0F);             // 64, 4: XformSrc.M22
    appendFloat(out, 0.0F);             // 68, 4: XformSrc.Dx
    appendFloat(out, 0.0F);             // 72, 4: XformSrc.Dy
    appendLe32(out, std::uint32_t{0});  // 76, 4: BkColorSrc, black
    appendLe32(out, std::uint32_t{0});  // 80, 4: UsageSrc, DIB_RGB_COLORS
    appendLe32(out, std::uint32_t{0});  // 84, 4: offBmiSrc, no bitmap header
    appendLe32(out, std::uint32_t{0});  // 88, 4: cbBmiSrc
    appendLe32(out, std::uint32_t{0});  // 92, 4: offBitsSrc, no bits
    appendLe32(out, std::uint32_t{0});  // 96, 4: cbBitsSrc
}

// EMR_EXTTEXTOUTW: 76 fixed bytes, the string (padded to 4) and the advances.
constexpr std::uint64_t kStringOffset = 76;

std::uint64_t extTextOutWSize(std::size_t characters) {
    return kStringOffset + paddedTo4(2 * std::uint64_t{characters}) + 4 * std::uint64_t{characters};
}

void writeExtTextOutW(RecordStream& stream, const RECT& bounds, float exScale, float eyScale, POINT reference,
                      std::span<const char16_t> text, std::span<const std::int32_t> advances) {
    const std::uint64_t advancesOffset = kStringOffset + paddedTo4(2 * std::uint64_t{text.size()});
    const std::uint64_t size = extTextOutWSize(text.size());
    if (text.size() != advances.size() || !stream.begin(EMR_EXTTEXTOUTW, size)) return;
    std::vector<std::uint8_t>& out = stream.bytes;
    appendRect(out, bounds);                                    // 8, 16: Bounds, device units, inclusive
    appendLe32(out, std::uint32_t{1});                          // 24, 4: iGraphicsMode, GM_COMPATIBLE
    appendFloat(out, exScale);                                  // 28, 4: exScale, 0.01 mm per logical x unit
    appendFloat(out, eyScale);                                  // 32, 4: eyScale, 0.01 mm per logical y unit
    appendLe32(out, reference.x);                               // 36, 4: EmrText.Reference.x, logical
    appendLe32(out, reference.y);                               // 40, 4: EmrText.Reference.y, logical
    appendLe32(out, static_cast<std::uint32_t>(text.size()));   // 44, 4: EmrText.Chars
    appendLe32(out, static_cast<std::uint32_t>(kStringOffset));  // 48, 4: EmrText.offString, from record start
    appendLe32(out, std::uint32_t{0});                          // 52, 4: EmrText.Options, none
    appendRect(out, RECT{0, 0, -1, -1});                        // 56, 16: EmrText.Rectangle, empty (no clip)
    appendLe32(out, static_cast<std::uint32_t>(advancesOffset));  // 72, 4: EmrText.offDx, from record start
    // 76, 2 per character: the UTF-16 string, zero-padded to 4 bytes.
    appendUtf16(out, std::u16string_view(text.data(), text.size()), (advancesOffset - kStringOffset) / 2);
    // offDx, 4 per character: advance to the next character, logical units.
    for (const std::int32_t advance : advances) appendLe32(out, advance);
}

// EMR_POLYLINE16 (28 + 4 per point) or EMR_POLYLINE (28 + 8 per point).
void writePolyline(RecordStream& stream, const RECT& bounds, std::span<const POINT> points) {
    bool small = true;
    for (const POINT& point : points) small = small && fitsIn16Bits(point.x) && fitsIn16Bits(point.y);
    const std::uint64_t size = 28 + (small ? 4 : 8) * std::uint64_t{points.size()};
    if (!stream.begin(small ? EMR_POLYLINE16 : EMR_POLYLINE, size)) return;
    std::vector<std::uint8_t>& out = stream.bytes;
    appendRect(out, bounds);                                       // 8, 16: Bounds, device units, inclusive
    appendLe32(out, static_cast<std::uint32_t>(points.size()));    // 24, 4: Count of points
    for (const POINT& point : points) {                            // 28, 4 or 8 each: the points, logical
        if (small) {
            appendLe16(out, static_cast<std::uint16_t>(point.x));  // +0, 2: x (PointS)
            appendLe16(out, static_cast<std::uint16_t>(point.y));  // +2, 2: y
        } else {
            appendLe32(out, point.x);                              // +0, 4: x (PointL)
            appendLe32(out, point.y);                              // +4, 4: y
        }
    }
}

std::uint64_t headerSize(std::size_t descriptionLength) {
    return kHeaderSize + paddedTo4(2 * std::uint64_t{descriptionLength});
}

// EMR_HEADER in its 108-byte form (with the pixel-format and micrometre
// fields), followed by the description when there is one.
void appendHeader(std::vector<std::uint8_t>& out, const HeaderFields& fields) {
    const std::uint64_t size = headerSize(fields.description.size());
    const bool described = !fields.description.empty();
    appendLe32(out, EMR_HEADER);                                        // 0, 4: Type
    appendLe32(out, static_cast<std::uint32_t>(size));                  // 4, 4: Size
    appendRect(out, fields.bounds);                                     // 8, 16: Bounds, device units, inclusive
    appendRect(out, fields.frame);                                      // 24, 16: Frame, 0.01 mm, inclusive
    appendLe32(out, kSignature);                                        // 40, 4: RecordSignature " EMF"
    appendLe32(out, kVersion);                                          // 44, 4: Version 0x00010000
    appendLe32(out, fields.totalBytes);                                 // 48, 4: Bytes, size of the metafile
    appendLe32(out, fields.totalRecords);                               // 52, 4: Records, header and EOF included
    appendLe16(out, fields.handles);                                    // 56, 2: Handles, object-table slots + 1
    appendLe16(out, 0);                                                 // 58, 2: Reserved
    appendLe32(out, static_cast<std::uint32_t>(fields.description.size()));  // 60, 4: nDescription, UTF-16 units
    appendLe32(out, described ? kHeaderSize : 0U);                      // 64, 4: offDescription
    appendLe32(out, std::uint32_t{0});                                  // 68, 4: nPalEntries, no palette
    appendLe32(out, fields.devicePixelsX);                              // 72, 4: Device.cx, reference pixels
    appendLe32(out, fields.devicePixelsY);                              // 76, 4: Device.cy
    appendLe32(out, fields.deviceMillimetresX);                         // 80, 4: Millimeters.cx, reference size
    appendLe32(out, fields.deviceMillimetresY);                         // 84, 4: Millimeters.cy
    appendLe32(out, std::uint32_t{0});                                  // 88, 4: cbPixelFormat, none
    appendLe32(out, std::uint32_t{0});                                  // 92, 4: offPixelFormat, none
    appendLe32(out, std::uint32_t{0});                                  // 96, 4: bOpenGL, no OpenGL records
    appendLe32(out, fields.deviceMillimetresX * 1000);                  // 100, 4: Micrometers.cx
    appendLe32(out, fields.deviceMillimetresY * 1000);                  // 104, 4: Micrometers.cy
    // 108, 2 per unit: the description, zero-padded to 4 bytes.
    appendUtf16(out, fields.description, (size - kHeaderSize) / 2);
}

// EMR_EOF without a palette, 20 bytes.
void appendEof(std::vector<std::uint8_t>& out) {
    appendLe32(out, EMR_EOF);            // 0, 4: Type
    appendLe32(out, kEofSize);           // 4, 4: Size
    appendLe32(out, std::uint32_t{0});   // 8, 4: nPalEntries
    appendLe32(out, std::uint32_t{16});  // 12, 4: offPalEntries (where the palette would begin)
    appendLe32(out, kEofSize);           // 16, 4: SizeLast, equal to Size
}

}  // namespace vantorel::drawing::emf
