// Row-size and palette helpers of the codec.
#include "codec/SFunc.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "platform/Bitmap.h"

namespace {

constexpr int kMaxPaletteEntries = 256;
// Larger than any summed channel distance (at most 3 × 255).
constexpr int32_t kNoDistance = 16777216;

// Reads every entry the palette gives (0 to 255); returns how many.
int ReadAllEntries(HPALETTE palette, TPaletteEntry (&entries)[kMaxPaletteEntries]) {
    if (!palette) return 0;
    const int n = GetPaletteEntries(palette, 0, kMaxPaletteEntries, entries);
    return std::clamp(n, 0, kMaxPaletteEntries);
}

}  // namespace

int32_t ScanlineStride(int32_t width, int32_t bitCount) { return RowStride(width, bitCount); }

bool CheckedMul(size_t a, size_t b, size_t& out) {
    return !__builtin_mul_overflow(a, b, &out);
}

bool CheckedAdd(size_t a, size_t b, size_t& out) {
    return !__builtin_add_overflow(a, b, &out);
}

int32_t MakeGrayPalette(uint8_t* entries, int32_t bits) {
    int32_t count, step;
    switch (bits) {
        case 1: count = 2, step = 255; break;
        case 2: count = 4, step = 85; break;
        case 4: count = 16, step = 17; break;
        default: count = 256, step = 1; break;
    }
    for (int32_t i = 0; i < count; ++i) {
        const auto v = uint8_t(i * step);
        uint8_t* e = entries + 4 * i;
        e[0] = v;
        e[1] = v;
        e[2] = v;
        e[3] = 0;
    }
    return count;
}

TPaletteHandle CreatePaletteFromEntries(const uint8_t* entries, int32_t count) {
    // The entry buffers hold at most 256 entries; never read beyond them.
    count = entries ? std::clamp(count, 0, kMaxPaletteEntries) : 0;
    TPaletteEntry logical[kMaxPaletteEntries];
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* e = entries + 4 * i;
        logical[i].peRed = e[2];
        logical[i].peGreen = e[1];
        logical[i].peBlue = e[0];
        logical[i].peFlags = 0;
    }
    return TPaletteHandle(CreatePalette(logical, count));
}

int32_t GetPaletteEntriesRGB(HPALETTE palette, uint8_t* entries) {
    TPaletteEntry logical[kMaxPaletteEntries];
    const int n = ReadAllEntries(palette, logical);
    for (int i = 0; i < n; ++i) {
        uint8_t* e = entries + 4 * i;
        e[0] = logical[i].peBlue;
        e[1] = logical[i].peGreen;
        e[2] = logical[i].peRed;
        e[3] = 0;
    }
    return n;
}

int32_t GetPaletteColor(HPALETTE palette, int32_t index) {
    if (!palette || index < 0 || index >= kMaxPaletteEntries) return -1;
    TPaletteEntry e;
    if (GetPaletteEntries(palette, index, 1, &e) != 1) return -1;
    return int32_t(e.peRed) + int32_t(e.peGreen) * 256 + int32_t(e.peBlue) * 65536;
}

int32_t NearestPaletteIndex(HPALETTE palette, int32_t color) {
    TPaletteEntry logical[kMaxPaletteEntries];
    const int n = ReadAllEntries(palette, logical);
    if (n == 0) return -1;
    const int r = color & 0xFF, g = (color >> 8) & 0xFF, b = (color >> 16) & 0xFF;
    int32_t best = -1;
    int32_t bestDistance = kNoDistance;
    for (int i = 0; i < n; ++i) {
        const int32_t d = std::abs(logical[i].peRed - r) + std::abs(logical[i].peGreen - g) +
                          std::abs(logical[i].peBlue - b);
        if (d == 0) return i;
        // Strictly smaller only: the lowest index wins a tie.
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

bool CpuHasSsse3() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
#else
    return false;
#endif
}
