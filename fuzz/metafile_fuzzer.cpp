// Fuzzes the metafile device context with arbitrary drawing calls: objects with
// any style, width, colour and font arguments, any mapping mode, alignment,
// rectangle, point and text, in any order. After the calls the recording's
// bytes (metafileBytes) must be a well-formed metafile holding exactly the
// records the calls stand for, and every call must give back what the previous
// state was. Closing writes nothing here: the file name points into a folder
// that does not exist.
//
// Input: a short preamble (frame, description, seven objects), then one call
// per opcode byte with its arguments; bytes past the end read as 0.

#include <array>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "emf_walk.h"
#include "fuzz_check.h"
#include "drawing/metafile.h"

namespace {

using namespace vantorel::drawing;

class FieldReader {
public:
    FieldReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return offset_ >= size_; }
    std::uint64_t next(std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i, ++offset_) {
            if (offset_ < size_) value |= std::uint64_t{data_[offset_]} << (8 * i);
        }
        return value;
    }
    std::int32_t int32() { return static_cast<std::int32_t>(next(4)); }
    // A coordinate: mostly small, sometimes anything.
    std::int32_t coordinate() {
        const auto raw = static_cast<std::int32_t>(next(2));
        return (raw & 1) != 0 ? int32() : static_cast<std::int16_t>(raw);
    }
    std::string text(std::size_t longest) {
        const std::size_t length = next(1) % (longest + 1);
        std::string result;
        for (std::size_t i = 0; i < length; ++i) result.push_back(static_cast<char>(next(1)));
        return result;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

enum Kind : std::size_t { kPen = 0, kBrush = 1, kFont = 2 };

struct Model {
    std::array<HGDIOBJ, 3> selected{};  // null until the default is learnt
    std::vector<HGDIOBJ> defined;       // objects whose definition is in the recording
    std::array<HGDIOBJ, 3> defaults{};  // the context's defaults, once SelectObject has handed them back
    int mapMode = MM_TEXT;
    unsigned textAlign = 0;
    COLORREF textColor = 0;
    POINT position{};
    std::uint32_t records = 0;  // between header and EOF
    std::uint32_t drawnWithLines = 0;  // LineTo calls, which have no bounds of their own

    bool isDefined(HGDIOBJ object) const {
        for (const HGDIOBJ known : defined)
            if (known == object) return true;
        return false;
    }
    bool isDefault(HGDIOBJ object) const {
        for (const HGDIOBJ known : defaults)
            if (known != nullptr && known == object) return true;
        return false;
    }
};

struct Objects {
    std::vector<HGDIOBJ> handles;
    std::vector<Kind> kinds;
};

// Selects and checks the returned previous object; counts the records written.
HGDIOBJ selectChecked(HDC dc, Model& model, HGDIOBJ object, Kind kind) {
    const bool known = model.isDefault(object) || model.isDefined(object);
    const HGDIOBJ previous = SelectObject(dc, object);
    FUZZ_CHECK(previous != nullptr);
    if (model.selected[kind] != nullptr) FUZZ_CHECK(previous == model.selected[kind]);
    if (model.selected[kind] == nullptr) model.defaults[kind] = previous;
    model.selected[kind] = object;
    model.records += known ? 1 : 2;
    if (!known) model.defined.push_back(object);
    return previous;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FieldReader in(data, size);

    const auto preamble = static_cast<std::uint8_t>(in.next(1));
    Objects objects;
    for (int i = 0; i < 7; ++i) {
        const auto which = in.next(1) % 3;
        if (which == 0) {
            const int style = static_cast<int>(in.next(1)) - 8;
            const std::int32_t width = in.coordinate();
            objects.handles.push_back(CreatePen(style, width, static_cast<COLORREF>(in.next(4))));
            objects.kinds.push_back(kPen);
        } else if (which == 1) {
            objects.handles.push_back(CreateSolidBrush(static_cast<COLORREF>(in.next(4))));
            objects.kinds.push_back(kBrush);
        } else {
            const std::int32_t height = in.coordinate();
            const std::int32_t width = in.coordinate();
            const std::int32_t escapement = in.coordinate();
            const std::int32_t weight = in.coordinate();
            std::array<unsigned, 8> flags{};
            for (unsigned& flag : flags) flag = static_cast<unsigned>(in.next(1)) * 0x01010101u;
            const std::string face = in.text(40);
            objects.handles.push_back(CreateFontA(height, width, escapement, escapement, weight, flags[0], flags[1],
                                                  flags[2], flags[3], flags[4], flags[5], flags[6], flags[7],
                                                  (preamble & 4) != 0 ? nullptr : face.c_str()));
            objects.kinds.push_back(kFont);
        }
    }

    const RECT frame{in.coordinate(), in.coordinate(), in.coordinate(), in.coordinate()};
    const std::string description = in.text(60);
    const HDC dc = CreateEnhMetaFileA(nullptr, "/nonexistent-vantorel-fuzz-folder/out.emf",
                                      (preamble & 1) != 0 ? &frame : nullptr,
                                      (preamble & 2) != 0 ? description.c_str() : nullptr);
    FUZZ_CHECK(dc != nullptr);

    Model model;
    for (int call = 0; call < 256 && !in.done(); ++call) {
        switch (in.next(1) % 10) {
            case 0: {
                const int mode = static_cast<int>(in.next(1) % 10) - 1;
                const int previous = SetMapMode(dc, mode);
                if (mode >= 1 && mode <= 6) {
                    FUZZ_CHECK(previous == model.mapMode);
                    model.mapMode = mode;
                    ++model.records;
                } else {
                    FUZZ_CHECK(previous == 0);
                }
                break;
            }
            case 1: {
                const std::size_t pick = in.next(1) % (objects.handles.size() + 3);
                if (pick < objects.handles.size()) {
                    selectChecked(dc, model, objects.handles[pick], objects.kinds[pick]);
                } else {
                    // Back to a default, once it is known.
                    const auto kind = static_cast<Kind>(pick - objects.handles.size());
                    if (model.defaults[kind] != nullptr) selectChecked(dc, model, model.defaults[kind], kind);
                }
                break;
            }
            case 2: {
                const auto align = static_cast<unsigned>(in.next(1));
                FUZZ_CHECK(SetTextAlign(dc, align) == model.textAlign);
                FUZZ_CHECK(GetTextAlign(dc) == align);
                model.textAlign = align;
                ++model.records;
                break;
            }
            case 3: {
                const auto color = static_cast<COLORREF>(in.next(4));
                FUZZ_CHECK(SetTextColor(dc, color) == model.textColor);
                model.textColor = color;
                ++model.records;
                break;
            }
            case 4: {
                POINT previous{};
                const int x = in.coordinate();
                const int y = in.coordinate();
                FUZZ_CHECK(MoveToEx(dc, x, y, &previous) == 1);
                FUZZ_CHECK(previous.x == model.position.x && previous.y == model.position.y);
                model.position = {x, y};
                ++model.records;
                break;
            }
            case 5: {
                const int x = in.coordinate();
                const int y = in.coordinate();
                FUZZ_CHECK(LineTo(dc, x, y) == 1);
                model.position = {x, y};
                ++model.drawnWithLines;
                ++model.records;
                break;
            }
            case 6: {
                const int x = in.coordinate();
                const int y = in.coordinate();
                const std::string text = in.text(255);
                FUZZ_CHECK(TextOutA(dc, x, y, text.data(), static_cast<int>(text.size())) == 1);
                if (!text.empty()) ++model.records;
                break;
            }
            case 7: {
                std::vector<POINT> points(in.next(1) % 64);
                for (POINT& point : points) point = {in.coordinate(), in.coordinate()};
                const int drawn = Polyline(dc, points.data(), static_cast<int>(points.size()));
                FUZZ_CHECK(drawn == (points.size() >= 2 ? 1 : 0));
                if (drawn == 1) ++model.records;
                break;
            }
            case 8: {
                const RECT rect{in.coordinate(), in.coordinate(), in.coordinate(), in.coordinate()};
                const std::size_t pick = in.next(1) % objects.handles.size();
                const HGDIOBJ brush = objects.handles[pick];
                const std::int64_t width = std::int64_t{rect.right} - rect.left;
                const std::int64_t height = std::int64_t{rect.bottom} - rect.top;
                const bool fits = width >= INT32_MIN && width <= INT32_MAX && height >= INT32_MIN && height <= INT32_MAX;
                const bool paints = objects.kinds[pick] == kBrush && fits;
                const bool known = model.isDefined(brush);
                FUZZ_CHECK(FillRect(dc, &rect, brush) == (paints ? 1 : 0));
                if (paints) {
                    // Selects the brush, paints, and selects the one before it again.
                    model.records += (known ? 1 : 2) + 1 + 1;
                    if (!known) model.defined.push_back(brush);
                }
                break;
            }
            case 9: {
                RECT rect{};
                FUZZ_CHECK(FillRect(dc, nullptr, objects.handles[0]) == 0);
                FUZZ_CHECK(FillRect(dc, &rect, nullptr) == 0);
                FUZZ_CHECK(TextOutA(dc, 0, 0, "x", -1) == 0);
                FUZZ_CHECK(Polyline(dc, nullptr, 2) == 0);
                FUZZ_CHECK(SelectObject(dc, nullptr) == nullptr);
                break;
            }
        }
    }

    const std::vector<std::uint8_t> bytes = metafileBytes(dc);
    const vantorel::fuzz::EmfWalk walk = vantorel::fuzz::walkEmf(bytes);
    if (!walk.wellFormed()) std::fprintf(stderr, "metafile not well formed: %s\n", walk.error.c_str());
    FUZZ_CHECK(walk.wellFormed());
    FUZZ_CHECK(walk.records.size() == model.records + 2);
    FUZZ_CHECK(walk.handles == model.defined.size() + 1);

    // The header's bounds hold whatever any record drew; with nothing drawn
    // they are the empty rectangle (0, 0) - (-1, -1).
    const auto all = vantorel::fuzz::recordBounds(bytes, walk.records.front());
    FUZZ_CHECK(all.has_value());
    bool drewAnything = false;
    for (std::size_t i = 1; i < walk.records.size(); ++i) {
        const auto drawn = vantorel::fuzz::recordBounds(bytes, walk.records[i]);
        if (!drawn) continue;
        drewAnything = true;
        FUZZ_CHECK(drawn->left <= drawn->right && drawn->top <= drawn->bottom);
        FUZZ_CHECK(all->left <= drawn->left && all->top <= drawn->top);
        FUZZ_CHECK(all->right >= drawn->right && all->bottom >= drawn->bottom);
    }
    if (!drewAnything && model.drawnWithLines == 0)
        FUZZ_CHECK(all->left == 0 && all->top == 0 && all->right == -1 && all->bottom == -1);

    // The folder does not exist: nothing is written and the context is gone.
    FUZZ_CHECK(CloseEnhMetaFile(dc) == nullptr);
    for (const HGDIOBJ object : objects.handles) FUZZ_CHECK(DeleteObject(object) == 1);
    return 0;
}
