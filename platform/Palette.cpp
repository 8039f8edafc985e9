// Palette handles: a heap block of up to 256 entries. Whoever holds a
// handle last frees it with DeletePalette.
#include "platform/Palette.h"

#include <algorithm>
#include <vector>

#include "platform/Exceptions.h"

struct TPaletteObject {
    std::vector<TPaletteEntry> Entries;
};

HPALETTE CreatePalette(const TPaletteEntry* entries, int count) {
    count = std::clamp(count, 0, 256);
    return GuardAlloc([&] {
        auto* palette = new TPaletteObject;
        try {
            if (entries)
                palette->Entries.assign(entries, entries + count);
            else
                palette->Entries.resize(size_t(count));
        } catch (...) {
            delete palette;
            throw;
        }
        return palette;
    });
}

int GetPaletteEntries(HPALETTE palette, int start, int count, TPaletteEntry* out) {
    if (!palette || start < 0 || count <= 0 || !out)
        return 0;
    const int size = int(palette->Entries.size());
    if (start >= size)
        return 0;
    const int n = std::min(count, size - start);
    std::copy_n(palette->Entries.begin() + start, n, out);
    return n;
}

int PaletteEntryCount(HPALETTE palette) { return palette ? int(palette->Entries.size()) : 0; }

HPALETTE CopyPalette(HPALETTE palette) {
    if (!palette)
        return nullptr;
    return CreatePalette(palette->Entries.data(), int(palette->Entries.size()));
}

void DeletePalette(HPALETTE palette) { delete palette; }
