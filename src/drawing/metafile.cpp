#include "drawing/metafile.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include "drawing/emf_records.h"
#include "platform/files.h"
#include "drawing/font_metrics.h"
#include "drawing/svg_drawing.h"

namespace vantorel::drawing {

namespace {

// The reference display the header describes and the bounds are measured on:
// 1024 x 768 pixels on 271 x 203 mm (about 96 pixels per inch).
constexpr std::int32_t kDevicePixelsX = 1024;
constexpr std::int32_t kDevicePixelsY = 768;
constexpr std::int32_t kDeviceMillimetresX = 271;
constexpr std::int32_t kDeviceMillimetresY = 203;

// The system font as the reference display shows it, in pixels.
constexpr double kSystemFontCellPixels = 16;
constexpr double kSystemFontWidthPixels = 7;

// A description longer than this is cut; it keeps the header small.
constexpr std::size_t kLongestDescription = 1024;

struct PenDefinition {
    std::uint32_t style = 0;
    std::int32_t width = 0;
    COLORREF color = 0;
    bool operator==(const PenDefinition&) const = default;
};

struct BrushDefinition {
    COLORREF color = 0;
    bool operator==(const BrushDefinition&) const = default;
};

// The alternatives are in the order of ObjectKind.
using ObjectDefinition = std::variant<PenDefinition, BrushDefinition, emf::LogFont>;

enum ObjectKind : std::size_t { kPen = 0, kBrush = 1, kFont = 2 };

// A box on the reference display, in pixels, both corners inclusive.
struct DeviceBox {
    std::int64_t left;
    std::int64_t top;
    std::int64_t right;
    std::int64_t bottom;
};

std::int32_t clampToInt32(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

RECT toRect(const DeviceBox& box) {
    return RECT{clampToInt32(box.left), clampToInt32(box.top), clampToInt32(box.right), clampToInt32(box.bottom)};
}

DeviceBox unite(const DeviceBox& a, const DeviceBox& b) {
    return DeviceBox{std::min(a.left, b.left), std::min(a.top, b.top), std::max(a.right, b.right),
                     std::max(a.bottom, b.bottom)};
}

// Millimetres per logical unit of a metric or English mapping mode; y grows
// upwards in all of them. Zero for MM_TEXT, where a logical unit is a pixel.
double millimetresPerUnit(int mode) {
    switch (mode) {
        case 2: return 0.1;           // MM_LOMETRIC
        case 3: return 0.01;          // MM_HIMETRIC
        case 4: return 0.254;         // MM_LOENGLISH
        case 5: return 0.0254;        // MM_HIENGLISH
        case 6: return 25.4 / 1440;   // MM_TWIPS
        default: return 0;
    }
}

bool isSupportedMapMode(int mode) { return mode == MM_TEXT || millimetresPerUnit(mode) > 0; }

// Pixels per logical unit along x and y on the reference display; negative y
// where logical y grows upwards, since device y grows downwards.
struct PageScale {
    double x;
    double y;
};

PageScale pageScale(int mode) {
    const double millimetres = millimetresPerUnit(mode);
    if (millimetres == 0) return PageScale{1, 1};
    return PageScale{millimetres * kDevicePixelsX / kDeviceMillimetresX,
                     -millimetres * kDevicePixelsY / kDeviceMillimetresY};
}

}  // namespace

struct GdiObject {
    ObjectDefinition definition;
    std::uint32_t stockIndex = 0;  // non-zero for the stock objects, as EMR_SELECTOBJECT names them
};

struct EnhMetafile {
    std::vector<std::uint8_t> bytes;
};

namespace {

// The defaults of every new device context. They are immutable and shared;
// the non-const handles given out for them are never written through, and
// DeleteObject leaves them alone.
HGDIOBJ stockObject(ObjectKind kind) {
    static const GdiObject blackPen{PenDefinition{0, 0, RGB(0, 0, 0)}, emf::kStockBlackPen};
    static const GdiObject whiteBrush{BrushDefinition{RGB(255, 255, 255)}, emf::kStockWhiteBrush};
    static const GdiObject systemFont{emf::LogFont{.height = 16, .width = 7, .weight = 700, .faceName = u"System"},
                                      emf::kStockSystemFont};
    switch (kind) {
        case kPen: return const_cast<GdiObject*>(&blackPen);
        case kBrush: return const_cast<GdiObject*>(&whiteBrush);
        case kFont: break;
    }
    return const_cast<GdiObject*>(&systemFont);
}

// An object-table slot: the object's handle and its definition when it was
// recorded (a handle alone could be reused by a later object).
struct ObjectSlot {
    const GdiObject* handle;
    ObjectDefinition definition;
};

}  // namespace

struct MetafileDc {
    std::string fileName;
    std::optional<RECT> frame;
    std::u16string description;
    emf::RecordStream records;
    std::vector<ObjectSlot> slots;  // slot i is object-table index i + 1
    std::array<HGDIOBJ, 3> selected{stockObject(kPen), stockObject(kBrush), stockObject(kFont)};
    // What EMR_SELECTOBJECT named for each selected object, so that it can be
    // selected again without looking at its handle (which the caller may
    // already have deleted).
    std::array<std::uint32_t, 3> selectedIndex{emf::kStockBlackPen, emf::kStockWhiteBrush, emf::kStockSystemFont};
    PenDefinition pen = std::get<PenDefinition>(stockObject(kPen)->definition);
    emf::LogFont font = std::get<emf::LogFont>(stockObject(kFont)->definition);
    bool stockFontSelected = true;
    int mapMode = MM_TEXT;
    unsigned textAlign = 0;
    COLORREF textColor = RGB(0, 0, 0);
    POINT position{};
    std::optional<DeviceBox> drawn;
    std::optional<SvgCanvas> svg;  // the second back end, for drawings begun as SVG
};

namespace {

struct DevicePoint {
    double x;
    double y;
};

DevicePoint toDevice(const MetafileDc& dc, POINT point) {
    const PageScale scale = pageScale(dc.mapMode);
    return DevicePoint{point.x * scale.x, point.y * scale.y};
}

// The point as the device draws it: rounded to whole pixels, ties to even.
DeviceBox pixelOf(const MetafileDc& dc, POINT point) {
    const DevicePoint device = toDevice(dc, point);
    const auto x = static_cast<std::int64_t>(std::nearbyint(device.x));
    const auto y = static_cast<std::int64_t>(std::nearbyint(device.y));
    return DeviceBox{x, y, x, y};
}

// How far a line drawn with the selected pen reaches beside its centre line,
// in pixels (0 for the one-pixel cosmetic pen of width 0).
std::int64_t penReach(const MetafileDc& dc) {
    const double width = std::fabs(static_cast<double>(dc.pen.width) * pageScale(dc.mapMode).x);
    return static_cast<std::int64_t>(std::ceil(width / 2));
}

DeviceBox widened(const DeviceBox& box, std::int64_t reach) {
    return DeviceBox{box.left - reach, box.top - reach, box.right + reach, box.bottom + reach};
}

void noteDrawn(MetafileDc& dc, const DeviceBox& box) { dc.drawn = dc.drawn ? unite(*dc.drawn, box) : box; }

// The font's size in logical units. The system font has a fixed size in
// pixels, which depends on the mapping mode in logical units.
FontSize selectedFontSize(const MetafileDc& dc) {
    if (!dc.stockFontSelected) return FontSize{dc.font.height, dc.font.width};
    const PageScale scale = pageScale(dc.mapMode);
    return FontSize{static_cast<int>(std::lround(kSystemFontCellPixels / std::fabs(scale.y))),
                    static_cast<int>(std::lround(kSystemFontWidthPixels / std::fabs(scale.x)))};
}

// The fields of the text alignment flags: horizontal (left 0, right, centre)
// and vertical (top 0, bottom, baseline).
constexpr unsigned kHorizontalMask = 6;
constexpr unsigned kRight = 2;
constexpr unsigned kVerticalMask = 24;
constexpr unsigned kBottom = 8;
constexpr unsigned kBaseline = 24;

// The cell a text occupies on the device, from its reference point, its
// width and the alignment flags (TA_CENTER or TA_RIGHT; TA_BOTTOM or TA_BASELINE).
DeviceBox textBox(const MetafileDc& dc, POINT reference, std::int64_t logicalWidth, FontSize size) {
    const PageScale scale = pageScale(dc.mapMode);
    const DevicePoint origin = toDevice(dc, reference);
    const double width = static_cast<double>(logicalWidth) * std::fabs(scale.x);
    const double height = fontCellHeight(size) * std::fabs(scale.y);
    double left = origin.x;
    if ((dc.textAlign & kHorizontalMask) == TA_CENTER) left -= width / 2;
    if ((dc.textAlign & kHorizontalMask) == kRight) left -= width;
    double top = origin.y;
    if ((dc.textAlign & kVerticalMask) == kBottom) top -= height;
    if ((dc.textAlign & kVerticalMask) == kBaseline) top -= fontAscent(size) * std::fabs(scale.y);
    return DeviceBox{static_cast<std::int64_t>(std::floor(left)), static_cast<std::int64_t>(std::floor(top)),
                     static_cast<std::int64_t>(std::ceil(left + width)),
                     static_cast<std::int64_t>(std::ceil(top + height))};
}

// Hundredths of a millimetre per logical unit, y downwards as in the picture
// frame: a metric or English unit exactly, a pixel as the reference display has it.
struct FrameScale {
    double x;
    double y;
};

FrameScale frameScale(int mode) {
    const double millimetres = millimetresPerUnit(mode);
    if (millimetres == 0) {
        return FrameScale{100.0 * kDeviceMillimetresX / kDevicePixelsX, 100.0 * kDeviceMillimetresY / kDevicePixelsY};
    }
    return FrameScale{100.0 * millimetres, -100.0 * millimetres};
}

SvgPoint framePoint(const MetafileDc& dc, POINT point) {
    const FrameScale scale = frameScale(dc.mapMode);
    return SvgPoint{point.x * scale.x, point.y * scale.y};
}

// The selected pen as the SVG back end draws it: at least one pixel of the
// reference display wide, as a device never draws a thinner line.
SvgStroke selectedStroke(const MetafileDc& dc) {
    const double onePixel = 100.0 * kDeviceMillimetresX / kDevicePixelsX;
    const double width = std::fabs(static_cast<double>(dc.pen.width) * frameScale(dc.mapMode).x);
    return SvgStroke{dc.pen.color, std::max(width, onePixel)};
}

// The text run TextOutA draws, placed as the alignment flags say.
SvgText svgTextRun(const MetafileDc& dc, POINT reference, std::int64_t logicalWidth, FontSize size,
                   std::u16string text) {
    const FrameScale scale = frameScale(dc.mapMode);
    const double width = static_cast<double>(logicalWidth) * std::fabs(scale.x);
    const double ascent = fontAscent(size) * std::fabs(scale.y);
    const double cell = fontCellHeight(size) * std::fabs(scale.y);
    SvgPoint start = framePoint(dc, reference);
    if ((dc.textAlign & kHorizontalMask) == TA_CENTER) start.x -= width / 2;
    if ((dc.textAlign & kHorizontalMask) == kRight) start.x -= width;
    switch (dc.textAlign & kVerticalMask) {
        case kBaseline: break;
        case kBottom: start.y -= cell - ascent; break;
        default: start.y += ascent; break;  // TA_TOP
    }
    const emf::LogFont& font = dc.font;
    return SvgText{.baselineStart = start,
                   .length = width,
                   .emSize = cell * kArialBoldUnitsPerEm / kArialBoldCellHeight,
                   .weight = font.weight,
                   .italic = font.italic != 0,
                   .faceName = font.faceName,
                   .color = dc.textColor,
                   .text = std::move(text)};
}

// Writes the definition record of an object the first time this recording
// uses it and gives its object-table index.
std::optional<std::uint32_t> objectIndex(MetafileDc& dc, const GdiObject& object) {
    for (std::size_t slot = 0; slot < dc.slots.size(); ++slot) {
        if (dc.slots[slot].handle == &object && dc.slots[slot].definition == object.definition) {
            return static_cast<std::uint32_t>(slot + 1);
        }
    }
    // The header counts the slots and the reserved index 0 in 16 bits.
    if (dc.slots.size() + 2 > UINT16_MAX) {
        dc.records.overflowed = true;
        return std::nullopt;
    }
    const auto index = static_cast<std::uint32_t>(dc.slots.size() + 1);
    if (const auto* pen = std::get_if<PenDefinition>(&object.definition)) {
        emf::writeCreatePen(dc.records, index, pen->style, pen->width, pen->color);
    } else if (const auto* brush = std::get_if<BrushDefinition>(&object.definition)) {
        emf::writeCreateBrushIndirect(dc.records, index, brush->color);
    } else {
        emf::writeExtCreateFontIndirectW(dc.records, index, std::get<emf::LogFont>(object.definition));
    }
    dc.slots.push_back(ObjectSlot{&object, object.definition});
    return index;
}

std::u16string ansiText(std::span<const char> text) {
    std::u16string converted;
    converted.reserve(text.size());
    for (const char character : text) converted.push_back(emf::ansiToUtf16(static_cast<unsigned char>(character)));
    return converted;
}

}  // namespace

HPEN CreatePen(int style, int width, COLORREF color) {
    return new GdiObject{PenDefinition{static_cast<std::uint32_t>(style), width, color}};
}

HBRUSH CreateSolidBrush(COLORREF color) { return new GdiObject{BrushDefinition{color}}; }

HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, unsigned italic,
                  unsigned underline, unsigned strikeOut, unsigned charSet, unsigned outPrecision,
                  unsigned clipPrecision, unsigned quality, unsigned pitchAndFamily, const char* faceName) {
    // The byte-sized arguments keep their low byte, as the LogFont fields do.
    const auto byte = [](unsigned value) { return static_cast<std::uint8_t>(value & 0xFF); };
    emf::LogFont font{height,          width,           escapement,       orientation,        weight,
                      byte(italic),    byte(underline), byte(strikeOut),  byte(charSet),      byte(outPrecision),
                      byte(clipPrecision), byte(quality), byte(pitchAndFamily), {}};
    // A face name has at most 31 characters and its terminating zero.
    if (faceName != nullptr) font.faceName = ansiText(std::span(faceName, ::strnlen(faceName, 31)));
    return new GdiObject{std::move(font)};
}

HDC CreateEnhMetaFileA(HDC /*referenceDc*/, const char* fileName, const RECT* frame, const char* description) {
    if (fileName != nullptr && fileName[0] == '\0') return nullptr;
    auto dc = std::make_unique<MetafileDc>();
    if (fileName != nullptr) dc->fileName = fileName;
    if (frame != nullptr) dc->frame = *frame;
    if (description != nullptr) {
        // Recorded as "description\0\0": an application name without a picture name.
        dc->description = ansiText(std::span(description, ::strnlen(description, kLongestDescription)));
        dc->description.append(2, u'\0');
    }
    return dc.release();
}

HDC CreateSvgDrawingA(const char* fileName, const RECT* frame) {
    if (frame == nullptr) return nullptr;
    const HDC dc = CreateEnhMetaFileA(nullptr, fileName, frame, nullptr);
    if (dc != nullptr) dc->svg.emplace();
    return dc;
}

int SetMapMode(HDC dc, int mode) {
    if (dc == nullptr || !isSupportedMapMode(mode)) return 0;
    emf::writeSetMapMode(dc->records, static_cast<std::uint32_t>(mode));
    return std::exchange(dc->mapMode, mode);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    if (dc == nullptr || object == nullptr) return nullptr;
    std::uint32_t index = object->stockIndex;
    if (index == 0) {
        const std::optional<std::uint32_t> slot = objectIndex(*dc, *object);
        if (!slot) return nullptr;
        index = *slot;
    }
    emf::writeSelectObject(dc->records, index);
    const auto kind = static_cast<ObjectKind>(object->definition.index());
    dc->selectedIndex[kind] = index;
    if (kind == kPen) dc->pen = std::get<PenDefinition>(object->definition);
    if (kind == kFont) {
        dc->font = std::get<emf::LogFont>(object->definition);
        dc->stockFontSelected = object->stockIndex != 0;
    }
    return std::exchange(dc->selected[kind], object);
}

unsigned GetTextAlign(HDC dc) { return dc == nullptr ? GDI_ERROR : dc->textAlign; }

unsigned SetTextAlign(HDC dc, unsigned align) {
    if (dc == nullptr) return GDI_ERROR;
    emf::writeSetTextAlign(dc->records, align);
    return std::exchange(dc->textAlign, align);
}

COLORREF SetTextColor(HDC dc, COLORREF color) {
    constexpr COLORREF kInvalidColor = 0xFFFFFFFF;
    if (dc == nullptr) return kInvalidColor;
    emf::writeSetTextColor(dc->records, color);
    return std::exchange(dc->textColor, color);
}

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
    if (dc == nullptr || rect == nullptr || brush == nullptr || brush->definition.index() != kBrush) return 0;
    const std::int64_t width = std::int64_t{rect->right} - rect->left;
    const std::int64_t height = std::int64_t{rect->bottom} - rect->top;
    if (width != clampToInt32(width) || height != clampToInt32(height)) return 0;
    // The rectangle is painted with the given brush, which is selected for the
    // purpose and then replaced by the one that was selected before.
    const std::uint32_t previousIndex = dc->selectedIndex[kBrush];
    const HGDIOBJ previous = SelectObject(dc, brush);
    if (previous == nullptr) return 0;
    const DeviceBox corners = unite(pixelOf(*dc, POINT{rect->left, rect->top}),
                                    pixelOf(*dc, POINT{rect->right, rect->bottom}));
    emf::writeBitBltPatCopy(dc->records, toRect(corners), rect->left, rect->top, static_cast<std::int32_t>(width),
                            static_cast<std::int32_t>(height));
    if (dc->svg) {
        drawSvgRectangle(*dc->svg, framePoint(*dc, POINT{rect->left, rect->top}),
                         framePoint(*dc, POINT{rect->right, rect->bottom}),
                         std::get<BrushDefinition>(brush->definition).color);
    }
    noteDrawn(*dc, corners);
    emf::writeSelectObject(dc->records, previousIndex);
    dc->selectedIndex[kBrush] = previousIndex;
    dc->selected[kBrush] = previous;
    return 1;
}

int MoveToEx(HDC dc, int x, int y, POINT* previous) {
    if (dc == nullptr) return 0;
    emf::writeMoveToEx(dc->records, POINT{x, y});
    if (previous != nullptr) *previous = dc->position;
    dc->position = POINT{x, y};
    return 1;
}

int LineTo(HDC dc, int x, int y) {
    if (dc == nullptr) return 0;
    emf::writeLineTo(dc->records, POINT{x, y});
    if (dc->svg) drawSvgLine(*dc->svg, framePoint(*dc, dc->position), framePoint(*dc, POINT{x, y}), selectedStroke(*dc));
    const DeviceBox line = unite(pixelOf(*dc, dc->position), pixelOf(*dc, POINT{x, y}));
    noteDrawn(*dc, widened(line, penReach(*dc)));
    dc->position = POINT{x, y};
    return 1;
}

// The text's reference point is always (x, y): TA_UPDATECP, drawing at the
// current position, is not modelled.
int TextOutA(HDC dc, int x, int y, const char* text, int length) {
    if (dc == nullptr || text == nullptr || length < 0) return 0;
    if (length == 0) return 1;
    // A text whose record could never be written is refused before any
    // memory is spent on it (or any of it is read).
    if (!dc->records.reserve(emf::extTextOutWSize(static_cast<std::size_t>(length)))) return 0;
    const std::span<const char> characters(text, static_cast<std::size_t>(length));
    const FontSize size = selectedFontSize(*dc);
    const std::vector<std::int32_t> advances = textAdvances(characters, size);
    std::int64_t width = 0;
    for (const std::int32_t advance : advances) width += advance;
    const POINT reference{x, y};
    const DeviceBox box = textBox(*dc, reference, width, size);
    // GM_COMPATIBLE text records state the page scale in 0.01 mm per logical unit.
    const PageScale scale = pageScale(dc->mapMode);
    const auto exScale = static_cast<float>(100.0 * scale.x * kDeviceMillimetresX / kDevicePixelsX);
    const auto eyScale = static_cast<float>(100.0 * scale.y * kDeviceMillimetresY / kDevicePixelsY);
    const std::u16string converted = ansiText(characters);
    emf::writeExtTextOutW(dc->records, toRect(box), exScale, eyScale, reference, converted, advances);
    if (dc->svg) drawSvgText(*dc->svg, svgTextRun(*dc, reference, width, size, converted));
    noteDrawn(*dc, box);
    return 1;
}

int Polyline(HDC dc, const POINT* points, int count) {
    if (dc == nullptr || points == nullptr || count < 2) return 0;
    const std::span<const POINT> line(points, static_cast<std::size_t>(count));
    DeviceBox box = pixelOf(*dc, line.front());
    for (const POINT& point : line) box = unite(box, pixelOf(*dc, point));
    box = widened(box, penReach(*dc));
    emf::writePolyline(dc->records, toRect(box), line);
    if (dc->svg) {
        std::vector<SvgPoint> framePoints;
        framePoints.reserve(line.size());
        for (const POINT& point : line) framePoints.push_back(framePoint(*dc, point));
        drawSvgPolyline(*dc->svg, framePoints, selectedStroke(*dc));
    }
    noteDrawn(*dc, box);
    return 1;
}

int GetTextExtentPoint32A(HDC dc, const char* text, int length, SIZE* size) {
    if (dc == nullptr || text == nullptr || length < 0 || size == nullptr) return 0;
    const FontSize font = selectedFontSize(*dc);
    std::int64_t width = 0;
    for (const std::int32_t advance : textAdvances(std::span(text, static_cast<std::size_t>(length)), font))
        width += advance;
    *size = SIZE{clampToInt32(width), fontCellHeight(font)};
    return 1;
}

std::vector<std::uint8_t> metafileBytes(HDC dc) {
    if (dc == nullptr || dc->records.overflowed) return {};
    emf::HeaderFields header;
    // Nothing drawn: the empty rectangle (0, 0) - (-1, -1).
    header.bounds = dc->drawn ? toRect(*dc->drawn) : RECT{0, 0, -1, -1};
    if (dc->frame) {
        header.frame = *dc->frame;
    } else {
        // Without a given frame the picture is the drawn area, in 0.01 mm.
        const auto hundredths = [](std::int32_t pixels, std::int32_t millimetres, std::int32_t devicePixels) {
            return clampToInt32(std::llround(100.0 * pixels * millimetres / devicePixels));
        };
        header.frame = RECT{hundredths(header.bounds.left, kDeviceMillimetresX, kDevicePixelsX),
                            hundredths(header.bounds.top, kDeviceMillimetresY, kDevicePixelsY),
                            hundredths(header.bounds.right, kDeviceMillimetresX, kDevicePixelsX),
                            hundredths(header.bounds.bottom, kDeviceMillimetresY, kDevicePixelsY)};
    }
    const std::uint64_t headerBytes = emf::headerSize(dc->description.size());
    header.totalBytes = static_cast<std::uint32_t>(headerBytes + dc->records.bytes.size() + emf::kEofSize);
    header.totalRecords = dc->records.count + 2;
    header.handles = static_cast<std::uint16_t>(dc->slots.size() + 1);
    header.description = dc->description;
    header.devicePixelsX = kDevicePixelsX;
    header.devicePixelsY = kDevicePixelsY;
    header.deviceMillimetresX = kDeviceMillimetresX;
    header.deviceMillimetresY = kDeviceMillimetresY;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(header.totalBytes);
    emf::appendHeader(bytes, header);
    bytes.insert(bytes.end(), dc->records.bytes.begin(), dc->records.bytes.end());
    emf::appendEof(bytes);
    return bytes;
}

std::string svgDrawingText(HDC dc) {
    if (dc == nullptr || !dc->svg || !dc->frame) return {};
    // The frame's corners as the SVG back end places points: 0.01 mm, y downwards.
    const RECT& frame = *dc->frame;
    return svgDocument(*dc->svg, SvgPoint{static_cast<double>(frame.left), static_cast<double>(frame.top)},
                       SvgPoint{static_cast<double>(frame.right), static_cast<double>(frame.bottom)});
}

HENHMETAFILE CloseEnhMetaFile(HDC dc) {
    const std::unique_ptr<MetafileDc> recording(dc);
    if (!recording) return nullptr;
    std::vector<std::uint8_t> bytes;
    if (recording->svg) {
        const std::string document = svgDrawingText(dc);
        const auto* begin = reinterpret_cast<const std::uint8_t*>(document.data());
        bytes.assign(begin, begin + document.size());
    } else {
        bytes = metafileBytes(dc);
    }
    if (bytes.empty()) return nullptr;
    const bool inMemory = recording->fileName.empty();
    if (!inMemory && !platform::replaceFileContents(recording->fileName, std::as_bytes(std::span(bytes)))) return nullptr;
    return new EnhMetafile{std::move(bytes)};
}

unsigned GetEnhMetaFileBits(HENHMETAFILE metafile, unsigned size, std::uint8_t* data) {
    if (metafile == nullptr) return 0;
    // The header's size field is 32 bits, so every metafile's count fits.
    const auto count = static_cast<unsigned>(metafile->bytes.size());
    if (data == nullptr) return count;
    if (size < count) return 0;
    std::copy(metafile->bytes.begin(), metafile->bytes.end(), data);
    return count;
}

int DeleteEnhMetaFile(HENHMETAFILE metafile) {
    if (metafile == nullptr) return 0;
    delete metafile;
    return 1;
}

int DeleteObject(HGDIOBJ object) {
    if (object == nullptr) return 0;
    // Stock objects are shared by every device context and never deleted.
    if (object->stockIndex == 0) delete object;
    return 1;
}

}  // namespace vantorel::drawing
