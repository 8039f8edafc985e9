// Pixel reading and writing shared by the bitmap, its canvas and the BMP
// reader and writer. Internal to the platform library.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Palette.h"
#include "platform/Types.h"

namespace pixelops {

// Bits per stored pixel of a format (pfDevice is stored as 32 bits).
int StorageBits(TPixelFormat format);
bool IsIndexed(TPixelFormat format);

// Entries of a palette handle (empty for null).
std::vector<TPaletteEntry> EntriesOf(HPALETTE palette);

// The raw value of pixel x: an index for indexed formats, the 16-bit word
// for 15/16-bit formats, 0x00BBGGRR for 24/32-bit formats.
uint32_t ReadRaw(const uint8_t* row, int32_t x, TPixelFormat format);
void WriteRaw(uint8_t* row, int32_t x, TPixelFormat format, uint32_t value);

// Colour (0x00BBGGRR) of a raw value; indices outside the palette are black.
TColor RawToColor(uint32_t raw, TPixelFormat format, const std::vector<TPaletteEntry>& palette);

// Turns colours into raw values of one format; indexed formats pick the
// nearest palette entry among those the format can address, and a colour
// written as PaletteIndex(i) selects entry i directly.
class ColorWriter {
public:
    ColorWriter(TPixelFormat format, std::vector<TPaletteEntry> palette);
    uint32_t Raw(TColor color);

private:
    TPixelFormat Format_;
    std::vector<TPaletteEntry> Palette_;
    bool HaveLast_ = false;
    TColor LastColor_ = 0;
    uint32_t LastRaw_ = 0;
};

// A default palette for a bitmap turned indexed without one: black and
// white for 1 bit, the 16 standard colours for 4 bits, 3-3-2 levels for
// 8 bits.
std::vector<TPaletteEntry> DefaultPalette(TPixelFormat format);

}  // namespace pixelops
