// Helpers shared by the bitmap, BMP, picture and canvas tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Palette.h"

namespace bitmaptest {

// A colour that differs from pixel to pixel and from row to row.
inline TColor PatternColor(int32_t x, int32_t y) {
    return RGB(uint8_t(x * 37 + y * 11), uint8_t(x * 5 + y * 71 + 9), uint8_t(200 - x * 13 - y * 29));
}

// A palette of n distinct entries.
inline HPALETTE MakePalette(int n) {
    std::vector<TPaletteEntry> e(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        e[size_t(i)] = TPaletteEntry{uint8_t(i * 7 + 3), uint8_t(255 - i), uint8_t(i * 31), 0};
    return CreatePalette(e.data(), n);
}

// Fills a bitmap of any format with a varied pattern through the canvas
// writer: indexed formats get a palette and varied indices.
inline void FillPattern(TBitmap& bmp) {
    const TPixelFormat f = bmp.PixelFormat();
    if (f == pf1bit || f == pf4bit || f == pf8bit) {
        const int n = 1 << bmp.StorageBits();
        bmp.SetPalette(MakePalette(n));
        for (int32_t y = 0; y < bmp.Height(); ++y)
            for (int32_t x = 0; x < bmp.Width(); ++x) {
                bmp.Canvas().Brush.Color = PaletteIndex(uint8_t((x * 3 + y * 5) % n));
                bmp.Canvas().FillRect(TRect{x, y, x + 1, y + 1});
            }
        return;
    }
    for (int32_t y = 0; y < bmp.Height(); ++y)
        for (int32_t x = 0; x < bmp.Width(); ++x) {
            bmp.Canvas().Brush.Color = PatternColor(x, y);
            bmp.Canvas().FillRect(TRect{x, y, x + 1, y + 1});
        }
}

inline std::string FormatName(TPixelFormat f) {
    static const char* names[] = {"pfDevice", "pf1bit", "pf4bit", "pf8bit", "pf15bit",
                                  "pf16bit",  "pf24bit", "pf32bit", "pfCustom"};
    return f <= pfCustom ? names[f] : "?";
}

}  // namespace bitmaptest
