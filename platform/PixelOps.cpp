#include "platform/PixelOps.h"

#include <climits>
#include <cstdlib>

#include "platform/Exceptions.h"

namespace pixelops {

int StorageBits(TPixelFormat format) { return StorageBitsOf(format); }

bool IsIndexed(TPixelFormat format) { return format == pf1bit || format == pf4bit || format == pf8bit; }

std::vector<TPaletteEntry> EntriesOf(HPALETTE palette) {
    std::vector<TPaletteEntry> entries(size_t(PaletteEntryCount(palette)));
    if (!entries.empty())
        GetPaletteEntries(palette, 0, int(entries.size()), entries.data());
    return entries;
}

uint32_t ReadRaw(const uint8_t* row, int32_t x, TPixelFormat format) {
    switch (format) {
    case pf1bit: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    case pf4bit: return (x & 1) ? (row[x >> 1] & 0x0Fu) : (row[x >> 1] >> 4);
    case pf8bit: return row[x];
    case pf15bit:
    case pf16bit: {
        const uint8_t* p = row + size_t(x) * 2;
        return uint32_t(p[0] | (p[1] << 8));
    }
    case pf24bit: {
        const uint8_t* p = row + size_t(x) * 3;
        return uint32_t(p[2] | (p[1] << 8) | (p[0] << 16));
    }
    default: {
        const uint8_t* p = row + size_t(x) * 4;
        return uint32_t(p[2] | (p[1] << 8) | (p[0] << 16));
    }
    }
}

void WriteRaw(uint8_t* row, int32_t x, TPixelFormat format, uint32_t value) {
    switch (format) {
    case pf1bit: {
        const uint8_t mask = uint8_t(0x80 >> (x & 7));
        row[x >> 3] = (value & 1) ? (row[x >> 3] | mask) : (row[x >> 3] & ~mask);
        return;
    }
    case pf4bit: {
        uint8_t& b = row[x >> 1];
        b = (x & 1) ? uint8_t((b & 0xF0) | (value & 0x0F)) : uint8_t((b & 0x0F) | ((value & 0x0F) << 4));
        return;
    }
    case pf8bit: row[x] = uint8_t(value); return;
    case pf15bit:
    case pf16bit: {
        uint8_t* p = row + size_t(x) * 2;
        p[0] = uint8_t(value);
        p[1] = uint8_t(value >> 8);
        return;
    }
    case pf24bit: {
        uint8_t* p = row + size_t(x) * 3;
        p[0] = uint8_t(value >> 16);
        p[1] = uint8_t(value >> 8);
        p[2] = uint8_t(value);
        return;
    }
    default: {
        uint8_t* p = row + size_t(x) * 4;
        p[0] = uint8_t(value >> 16);
        p[1] = uint8_t(value >> 8);
        p[2] = uint8_t(value);
        p[3] = 0;
        return;
    }
    }
}

namespace {
uint8_t Expand5(uint32_t v) { return uint8_t((v << 3) | (v >> 2)); }
uint8_t Expand6(uint32_t v) { return uint8_t((v << 2) | (v >> 4)); }
}  // namespace

TColor RawToColor(uint32_t raw, TPixelFormat format, const std::vector<TPaletteEntry>& palette) {
    switch (format) {
    case pf1bit:
    case pf4bit:
    case pf8bit:
        if (raw < palette.size())
            return RGB(palette[raw].peRed, palette[raw].peGreen, palette[raw].peBlue);
        return clBlack;
    case pf15bit: return RGB(Expand5((raw >> 10) & 31), Expand5((raw >> 5) & 31), Expand5(raw & 31));
    case pf16bit: return RGB(Expand5((raw >> 11) & 31), Expand6((raw >> 5) & 63), Expand5(raw & 31));
    default: return TColor(raw & 0xFFFFFF);
    }
}

ColorWriter::ColorWriter(TPixelFormat format, std::vector<TPaletteEntry> palette)
    : Format_(format), Palette_(std::move(palette)) {
    if (IsIndexed(format)) {
        const size_t addressable = size_t(1) << StorageBits(format);
        if (Palette_.size() > addressable)
            Palette_.resize(addressable);
    }
}

uint32_t ColorWriter::Raw(TColor color) {
    if (HaveLast_ && color == LastColor_)
        return LastRaw_;
    uint32_t raw = 0;
    if (IsIndexed(Format_)) {
        const uint32_t limit = 1u << StorageBits(Format_);
        if ((uint32_t(color) & 0xFF000000u) == 0x01000000u) {
            raw = (uint32_t(color) & 0xFF) % limit;
        } else {
            int best = INT_MAX;
            for (size_t i = 0; i < Palette_.size(); ++i) {
                const auto& e = Palette_[i];
                const int d = std::abs(e.peRed - GetRValue(color)) + std::abs(e.peGreen - GetGValue(color)) +
                              std::abs(e.peBlue - GetBValue(color));
                if (d < best) {
                    best = d;
                    raw = uint32_t(i);
                    if (d == 0)
                        break;
                }
            }
        }
    } else {
        if ((uint32_t(color) & 0xFF000000u) == 0x01000000u) {
            // A palette index on a direct-colour bitmap: black unless the
            // bitmap keeps a palette that has the entry.
            const uint32_t i = uint32_t(color) & 0xFF;
            color = i < Palette_.size() ? RGB(Palette_[i].peRed, Palette_[i].peGreen, Palette_[i].peBlue) : clBlack;
        }
        const uint32_t r = GetRValue(color), g = GetGValue(color), b = GetBValue(color);
        switch (Format_) {
        case pf15bit: raw = ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3); break;
        case pf16bit: raw = ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3); break;
        default: raw = uint32_t(color) & 0xFFFFFF; break;
        }
    }
    HaveLast_ = true;
    LastColor_ = color;
    LastRaw_ = raw;
    return raw;
}

std::vector<TPaletteEntry> DefaultPalette(TPixelFormat format) {
    std::vector<TPaletteEntry> entries;
    auto add = [&](uint8_t r, uint8_t g, uint8_t b) { entries.push_back(TPaletteEntry{r, g, b, 0}); };
    switch (format) {
    case pf1bit:
        add(0, 0, 0);
        add(255, 255, 255);
        break;
    case pf4bit: {
        static const uint8_t vga[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                           {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
                                           {128, 128, 128}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                           {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
        for (const auto& c : vga)
            add(c[0], c[1], c[2]);
        break;
    }
    case pf8bit:
        for (int i = 0; i < 256; ++i)
            add(uint8_t(((i >> 5) & 7) * 255 / 7), uint8_t(((i >> 2) & 7) * 255 / 7), uint8_t((i & 3) * 255 / 3));
        break;
    default: break;
    }
    return entries;
}

}  // namespace pixelops
