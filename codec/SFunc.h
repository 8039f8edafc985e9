// Row-size and palette helpers of the codec.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Palette.h"

// Bytes of a bitmap row: the row's bits rounded up to bytes, then up to a
// multiple of 4; the framework's one row-size rule (RowStride), so 15 bits
// means the 15-bit format's 16-bit words. A row that cannot be one raises
// EOutOfMemory.
int32_t ScanlineStride(int32_t width, int32_t bitCount);

// True when the processor runs SSSE3 (asked once); the row converters
// pick their vector forms by it.
bool CpuHasSsse3();

// Overflow-checked size arithmetic for buffers sized from input.
bool CheckedMul(size_t a, size_t b, size_t& out);
bool CheckedAdd(size_t a, size_t b, size_t& out);

// Fills entries (blue, green, red, 0) with 2, 4, 16 or 256 grey levels for
// bits 1, 2, 4 and anything else; returns the count.
int32_t MakeGrayPalette(uint8_t* entries, int32_t bits);
TPaletteHandle CreatePaletteFromEntries(const uint8_t* entries, int32_t count);
// Entries 0-255 of palette as (blue, green, red, 0); returns how many.
int32_t GetPaletteEntriesRGB(HPALETTE palette, uint8_t* entries);
// Entry index as 0x00BBGGRR, or -1.
int32_t GetPaletteColor(HPALETTE palette, int32_t index);
// The entry nearest to color by summed channel distance (lowest index on
// ties, an exact match at once), or -1 for a palette without entries.
int32_t NearestPaletteIndex(HPALETTE palette, int32_t color);
