// Palette handles: stand-ins for the platform's palette objects. A handle
// is made from up to 256 entries, answers entry queries, and is owned by
// whoever holds it last (a bitmap owns the handle it is given).
#pragma once

#include <cstdint>
#include <memory>

struct TPaletteEntry {  // the platform's entry order
    uint8_t peRed = 0, peGreen = 0, peBlue = 0, peFlags = 0;
};

struct TPaletteObject;
using HPALETTE = TPaletteObject*;

// count is clamped to 0..256; a handle of 0 entries is valid.
HPALETTE CreatePalette(const TPaletteEntry* entries, int count);
// Copies entries [start, start + count) that exist into out; returns how
// many were copied (0 for a null handle or a start past the end).
int GetPaletteEntries(HPALETTE palette, int start, int count, TPaletteEntry* out);
int PaletteEntryCount(HPALETTE palette);
HPALETTE CopyPalette(HPALETTE palette);  // null for null
void DeletePalette(HPALETTE palette);    // null is fine

struct TPaletteDeleter {
    void operator()(HPALETTE palette) const { DeletePalette(palette); }
};
// An owned palette handle: the palette goes with it. Owners keep their
// palettes in one of these; a raw HPALETTE is a borrowed view.
using TPaletteHandle = std::unique_ptr<TPaletteObject, TPaletteDeleter>;
