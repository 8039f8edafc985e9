// Small value types shared by the picture framework and the canvas.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TObject;

struct TPoint {
    int32_t X = 0, Y = 0;
};

struct TSize {
    int32_t cx = 0, cy = 0;
};

struct TRect {
    int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    int32_t Width() const { return Right - Left; }
    int32_t Height() const { return Bottom - Top; }
};

// Colours are 0x00BBGGRR: red in the low byte, blue in the third.
// 0x01000000 + i stands for palette entry i.
using TColor = int32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clNone = 0x1FFFFFFF;
inline uint8_t GetRValue(TColor c) { return uint8_t(c); }
inline uint8_t GetGValue(TColor c) { return uint8_t(c >> 8); }
inline uint8_t GetBValue(TColor c) { return uint8_t(c >> 16); }
inline TColor RGB(uint8_t r, uint8_t g, uint8_t b) { return TColor(r | (g << 8) | (b << 16)); }
inline TColor PaletteIndex(uint8_t i) { return TColor(0x01000000 | i); }

enum TProgressStage : uint8_t { psStarting = 0, psRunning = 1, psEnding = 2 };

using TNotifyEvent = std::function<void(TObject* sender)>;
using TProgressEvent = std::function<void(TObject* sender, TProgressStage stage, uint8_t percentDone,
                                          bool redrawNow, const TRect& r, const std::string& msg)>;
