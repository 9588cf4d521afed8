#pragma once
// Our own stand-in for the Windows graphics calls that draw into an enhanced
// metafile: the same names and arguments, recorded as EMF records and written
// to disk when the metafile is closed. Handles are owned pointers instead of
// entries in a process-wide table, so nothing here is global.
//
// A device context begun with CreateSvgDrawingA has a second back end: the
// same calls, worked out from the same state, are also drawn as SVG elements,
// and closing it writes the SVG document instead of the metafile. A picture
// drawn through both therefore cannot differ between the two.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vantorel::drawing {

using COLORREF = std::uint32_t;  // red | green << 8 | blue << 16

constexpr COLORREF RGB(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    return static_cast<COLORREF>(red) | static_cast<COLORREF>(green) << 8 | static_cast<COLORREF>(blue) << 16;
}

struct POINT {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

struct SIZE {
    std::int32_t cx = 0;
    std::int32_t cy = 0;
};

struct RECT {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;
};

struct GdiObject;     // a pen, brush or font
struct MetafileDc;    // a metafile being recorded
struct EnhMetafile;   // a closed metafile

using HGDIOBJ = GdiObject*;
using HPEN = GdiObject*;
using HBRUSH = GdiObject*;
using HFONT = GdiObject*;
using HDC = MetafileDc*;
using HENHMETAFILE = EnhMetafile*;

inline constexpr int PS_SOLID = 0;
inline constexpr int MM_TEXT = 1;
inline constexpr int MM_LOMETRIC = 2;
inline constexpr unsigned TA_LEFT = 0;
inline constexpr unsigned TA_TOP = 0;
inline constexpr unsigned TA_CENTER = 6;
inline constexpr unsigned GDI_ERROR = 0xFFFFFFFF;

HPEN CreatePen(int style, int width, COLORREF color);
HBRUSH CreateSolidBrush(COLORREF color);
HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, unsigned italic,
                  unsigned underline, unsigned strikeOut, unsigned charSet, unsigned outPrecision,
                  unsigned clipPrecision, unsigned quality, unsigned pitchAndFamily, const char* faceName);
// Starts recording. referenceDc must be null (the reference display is ours);
// frame is the picture frame in 0.01 mm; description may be null. The file is
// written by CloseEnhMetaFile; without a file name (null) the metafile is kept
// in memory only, for GetEnhMetaFileBits.
HDC CreateEnhMetaFileA(HDC referenceDc, const char* fileName, const RECT* frame, const char* description);
// Our own addition: starts a drawing that CloseEnhMetaFile writes as an SVG
// document (kept in memory without a file name, its bytes then the document's).
// frame is required (the picture frame in 0.01 mm, as above); it becomes the
// document's size and view box.
HDC CreateSvgDrawingA(const char* fileName, const RECT* frame);
int SetMapMode(HDC dc, int mode);
// Selects a pen, brush or font; returns the previously selected object of that
// kind (the default stock object at first).
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
unsigned GetTextAlign(HDC dc);
unsigned SetTextAlign(HDC dc, unsigned align);
COLORREF SetTextColor(HDC dc, COLORREF color);
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
int MoveToEx(HDC dc, int x, int y, POINT* previous);
int LineTo(HDC dc, int x, int y);
int TextOutA(HDC dc, int x, int y, const char* text, int length);
int Polyline(HDC dc, const POINT* points, int count);
// The width (the advances TextOutA would record) and cell height of a text in
// the selected font, in logical units. Records nothing.
int GetTextExtentPoint32A(HDC dc, const char* text, int length, SIZE* size);
// Ends recording and writes the file atomically (the metafile, or the SVG
// document of a drawing begun with CreateSvgDrawingA); gives null (and writes
// nothing) when the file cannot be written. dc is gone afterwards.
HENHMETAFILE CloseEnhMetaFile(HDC dc);
// Copies the metafile's bytes into data, which holds size bytes, and gives
// their count; with data null, only gives the count. Gives 0 when they do not fit.
unsigned GetEnhMetaFileBits(HENHMETAFILE metafile, unsigned size, std::uint8_t* data);
int DeleteEnhMetaFile(HENHMETAFILE metafile);
int DeleteObject(HGDIOBJ object);

// The bytes a recording would write if closed now (header and EOF included);
// for tests and fuzzers that check the record stream without files.
std::vector<std::uint8_t> metafileBytes(HDC dc);

// The SVG document a drawing begun with CreateSvgDrawingA would write if closed
// now; empty for a metafile recording.
std::string svgDrawingText(HDC dc);

}  // namespace vantorel::drawing
