// The canvas of a bitmap. Picture drawing (StretchDraw, FillRect) is
// Qt-free and lives in platform/Canvas.cpp; text and lines are drawn
// through Qt and live in platform/qt/CanvasText.cpp, so only programs
// that link platform_qt may call them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Object.h"
#include "platform/Types.h"

class TBitmap;
class TGraphic;

enum TFontStyle : uint8_t { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
enum TFontCharset : uint8_t { DEFAULT_CHARSET = 1, SHIFTJIS_CHARSET = 128 };

// Format flags of DrawText (the values of the platform's formatted-text call).
constexpr unsigned DT_LEFT = 0;
constexpr unsigned DT_CENTER = 1;
constexpr unsigned DT_SINGLELINE = 32;

// Logical pixels per inch of the screen; platform_qt sets it from the
// screen when the application starts (96 on an ordinary screen).
extern int ScreenPixelsPerInch;

struct TFont {
    // The framework's default for a new canvas: in a Japanese locale
    // "ＭＳ Ｐゴシック" 9 pt in the Shift-JIS character set, otherwise
    // "MS Sans Serif" 8 pt; window-text colour, no style.
    TFont();
    std::string Name;  // Shift-JIS face name
    int Size = 8;      // points
    TColor Color = clBlack;
    uint8_t Style = 0;  // TFontStyle bits
    TFontCharset Charset = DEFAULT_CHARSET;
    // Pixel height: Size * ScreenPixelsPerInch / 72, rounded to nearest.
    int PixelHeight() const;
};

struct TPen {
    int Width = 1;
    TColor Color = clBlack;
};

struct TBrush {
    TColor Color = clWhite;
};

class TCanvas : public TObject {
public:
    explicit TCanvas(TBitmap& bitmap);
    std::string ClassName() const override { return "TCanvas"; }

    TBitmap& Bitmap() { return Bitmap_; }

    TFont Font;
    TPen Pen;
    TBrush Brush;
    TPoint PenPos;

    // Qt-free picture drawing.
    void FillRect(const TRect& rect);  // with the brush colour
    void StretchDraw(const TRect& rect, TGraphic& graphic);
    void Draw(int32_t x, int32_t y, TGraphic& graphic);

    // Text and lines (platform_qt). Text is Shift-JIS and drawn opaque:
    // its cells are filled with the brush colour first.
    void TextOut(int32_t x, int32_t y, const std::string& text);  // PenPos := (x + width, y)
    TSize TextExtent(const std::string& text);
    int32_t TextWidth(const std::string& text) { return TextExtent(text).cx; }
    int32_t TextHeight(const std::string& text) { return TextExtent(text).cy; }
    // Formats DT_LEFT, DT_CENTER, DT_SINGLELINE; clipped to rect.
    void DrawText(const std::string& text, const TRect& rect, unsigned format);
    void MoveTo(int32_t x, int32_t y) { PenPos = {x, y}; }
    void LineTo(int32_t x, int32_t y);

private:
    TBitmap& Bitmap_;
};
