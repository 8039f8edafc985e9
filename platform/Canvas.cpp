// The Qt-free part of the canvas: the default font, filling rectangles and
// drawing pictures into the bound bitmap.
#include "platform/Canvas.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/Bitmap.h"
#include "platform/PixelOps.h"
#include "platform/ShiftJis.h"

int ScreenPixelsPerInch = 96;

namespace {

// The first of LC_ALL, LC_CTYPE and LANG that is set and not empty
// decides, as the C library does.
bool JapaneseLocale() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return value[0] == 'j' && value[1] == 'a';
    }
    return false;
}

}  // namespace

TFont::TFont() {
    if (JapaneseLocale()) {
        Name = Sjis(u8"ＭＳ Ｐゴシック");
        Size = 9;
        Charset = SHIFTJIS_CHARSET;
    } else {
        Name = "MS Sans Serif";
        Size = 8;
        Charset = DEFAULT_CHARSET;
    }
}

int TFont::PixelHeight() const {
    return int(std::lround(double(Size) * ScreenPixelsPerInch / 72.0));
}

TCanvas::TCanvas(TBitmap& bitmap) : Bitmap_(bitmap) {}

void TCanvas::FillRect(const TRect& rect) {
    TBitmap& bmp = Bitmap_;
    const int32_t x0 = std::max<int32_t>(rect.Left, 0), x1 = std::min<int32_t>(rect.Right, bmp.Width());
    const int32_t y0 = std::max<int32_t>(rect.Top, 0), y1 = std::min<int32_t>(rect.Bottom, bmp.Height());
    if (x0 >= x1 || y0 >= y1)
        return;
    const TPixelFormat format = bmp.PixelFormat();
    pixelops::ColorWriter writer(format, pixelops::EntriesOf(bmp.GetPalette()));
    const uint32_t raw = writer.Raw(Brush.Color);
    for (int32_t y = y0; y < y1; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int32_t x = x0; x < x1; ++x)
            pixelops::WriteRaw(row, x, format, raw);
    }
    bmp.Changed(&bmp);
}

void TCanvas::StretchDraw(const TRect& rect, TGraphic& graphic) { graphic.Draw(*this, rect); }

void TCanvas::Draw(int32_t x, int32_t y, TGraphic& graphic) {
    const int64_t right = int64_t(x) + graphic.Width(), bottom = int64_t(y) + graphic.Height();
    if (right > INT32_MAX || bottom > INT32_MAX)
        return;  // nothing of it could land on a bitmap
    graphic.Draw(*this, TRect{x, y, int32_t(right), int32_t(bottom)});
}
