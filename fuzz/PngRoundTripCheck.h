// The round-trip check of the png_roundtrip fuzz target, shared with the
// regression tests that replay its inputs: bytes choose a bitmap, a mask
// and save settings; the picture is saved as PNG, loaded again, and must
// come back with the same pixels.
//
// What is compared, pixel by pixel:
//   - palette bitmaps (1, 4, 8 bits): the colour through the source palette
//     against the colour through the decoded palette (indices are kept
//     inside the palette, so every pixel has a colour);
//   - 15- and 16-bit bitmaps: the 8-bit samples the encoder widens them to
//     (v << 3 | v >> 2 for 5 bits, g << 2 | g >> 4 for 6 bits);
//   - 24- and 32-bit bitmaps: red, green and blue exactly;
//   - a decoded 16-bit (5-6-5) bitmap, which sBIT 5,6,5 or 5,5,5 with
//     Allow16BitOutput gives: the raw word packed from those samples;
//   - Grayscale saves: the grey level of the encoder's rule, L = (77 R +
//     150 G + 29 B) >> 8, through the palette for 8 bits (L of the entry),
//     L >> 4 for 4 bits, and for 1 bit the index, inverted when entry 0 is
//     the brighter; without a palette the index is the level;
//   - the mask (255 - alpha), byte for byte, whenever the encoder writes an
//     alpha channel (8-bit grey or truecolour output), and that no alpha
//     comes back otherwise;
//   - size, interlace method and the comment (which the decoder ends
//     with CR LF).
// A mismatch is reported with the pixel and the settings.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "codec/TavPNG.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Palette.h"
#include "platform/Streams.h"

namespace pngroundtrip {

// Hands out input bytes; past the end it continues with a fixed sequence
// so that short inputs still describe whole images.
class TByteSource {
public:
    TByteSource(const uint8_t* data, size_t size) : Data_(data), Size_(size) {}
    uint8_t Next() {
        if (Pos_ < Size_) return Data_[Pos_++];
        Filler_ = Filler_ * 1103515245u + 12345u;
        return uint8_t(Filler_ >> 16);
    }

private:
    const uint8_t* Data_;
    size_t Size_;
    size_t Pos_ = 0;
    uint32_t Filler_ = 1;
};

struct TSettings {
    int Bits = 24;
    int32_t Width = 1, Height = 1;
    bool Mask = false, Gray = false, Interlace = false, Allow16 = false;
    int32_t SignificantBits = 0;
    int FilterMode = 1, Level = -1;
    int32_t IDATSize = 32768;
    int PaletteCount = 0;
    std::string Comment;
};

// The settings of the input being checked, for the failure messages.
inline TSettings& Current() {
    static TSettings settings;
    return settings;
}

struct TRoundTripFailed {
    std::string What;
};

[[noreturn]] inline void Fail(const char* what, int32_t x = -1, int32_t y = -1, uint32_t want = 0, uint32_t got = 0) {
    const TSettings& c = Current();
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s at (%d,%d): expected %08x, got %08x; bits %d size %dx%d mask %d gray %d interlace %d "
                  "allow16 %d sbit %06x filter %d level %d idat %d palette %d",
                  what, x, y, want, got, c.Bits, c.Width, c.Height, c.Mask, c.Gray, c.Interlace, c.Allow16,
                  unsigned(c.SignificantBits), c.FilterMode, c.Level, c.IDATSize, c.PaletteCount);
    throw TRoundTripFailed{text};
}

inline TPixelFormat FormatOf(int bits) {
    switch (bits) {
        case 1: return pf1bit;
        case 4: return pf4bit;
        case 8: return pf8bit;
        case 15: return pf15bit;
        case 16: return pf16bit;
        case 32: return pf32bit;
        default: return pf24bit;
    }
}

inline uint32_t GetIndex(const uint8_t* row, int32_t x, int bits) {
    switch (bits) {
        case 1: return row[x / 8] >> (7 - x % 8) & 1;
        case 4: return x % 2 == 0 ? row[x / 2] >> 4 : row[x / 2] & 15;
        default: return row[x];
    }
}

inline void SetIndex(uint8_t* row, int32_t x, int bits, uint32_t v) {
    switch (bits) {
        case 1: row[x / 8] = uint8_t((row[x / 8] & ~(0x80 >> x % 8)) | (v & 1) << (7 - x % 8)); break;
        case 4:
            row[x / 2] = x % 2 == 0 ? uint8_t((row[x / 2] & 0x0F) | (v & 15) << 4)
                                    : uint8_t((row[x / 2] & 0xF0) | (v & 15));
            break;
        default: row[x] = uint8_t(v);
    }
}

struct TRgb {
    uint32_t R, G, B;
};

inline uint32_t Widen5(uint32_t v) { return v << 3 | v >> 2; }
inline uint32_t Widen6(uint32_t v) { return v << 2 | v >> 4; }

inline uint32_t ColorOf(TRgb c) { return c.R | c.G << 8 | c.B << 16; }
inline uint32_t GreyOf(uint32_t level) { return level * 0x010101u; }
inline uint32_t LevelOf(TRgb c) { return 77 * c.R + 150 * c.G + 29 * c.B; }

// The 8-bit samples the encoder reads from a pixel of a direct-colour source.
inline TRgb SourceSamples(const TBitmap& bmp, int32_t x, int32_t y, int bits) {
    const uint8_t* row = bmp.ScanLine(y);
    if (bits == 15 || bits == 16) {
        const uint32_t w = uint32_t(row[2 * x]) | uint32_t(row[2 * x + 1]) << 8;
        if (bits == 15) return {Widen5(w >> 10 & 31), Widen5(w >> 5 & 31), Widen5(w & 31)};
        return {Widen5(w >> 11 & 31), Widen6(w >> 5 & 63), Widen5(w & 31)};
    }
    const int step = bits == 32 ? 4 : 3;
    return {row[step * x + 2], row[step * x + 1], row[step * x]};
}

// The colour a pixel must have after the round trip.
inline uint32_t ExpectedColor(const TBitmap& src, const TPaletteEntry* pal, int32_t x, int32_t y) {
    const int bits = Current().Bits;
    if (bits > 8) {
        const TRgb c = SourceSamples(src, x, y, bits);
        return Current().Gray ? GreyOf(LevelOf(c) >> 8) : ColorOf(c);
    }
    const uint32_t index = GetIndex(src.ScanLine(y), x, bits);
    const int count = Current().PaletteCount;
    if (!Current().Gray) return ColorOf({pal[index].peRed, pal[index].peGreen, pal[index].peBlue});
    auto level = [&](int e) -> uint32_t {
        return e < count ? LevelOf({pal[e].peRed, pal[e].peGreen, pal[e].peBlue}) : 0;
    };
    if (bits == 1) {
        const bool invert = count > 0 && (level(0) >> 8) > (level(1) >> 8);
        return (index ^ uint32_t(invert)) ? 0xFFFFFF : 0;
    }
    const uint32_t grey = count == 0 ? index : level(int(index)) >> (bits == 4 ? 12 : 8);
    return GreyOf(bits == 4 ? grey * 17 : grey);
}

// Whether the encoder writes an alpha channel for these settings.
inline bool AlphaWritten() {
    if (!Current().Mask) return false;
    if (Current().Bits > 8) return true;
    return Current().Bits == 8 && Current().Gray;
}

// What a palette image's mask becomes: a tRNS when every palette entry's
// pixels share one mask value, read back as alpha, or as the transparent
// colour of the one fully transparent entry when all others are opaque.
struct TPaletteMask {
    bool Alpha = false;
    int Transparent = -1;
};

inline TPaletteMask PaletteMaskOf(const TBitmap& src, const TBitmap& mask) {
    TPaletteMask m;
    const int bits = Current().Bits;
    if (!Current().Mask || Current().Gray || bits > 8 || Current().PaletteCount == 0) return m;
    int alpha[256];
    for (int& a : alpha) a = -1;
    for (int32_t y = 0; y < Current().Height; ++y)
        for (int32_t x = 0; x < Current().Width; ++x) {
            const uint32_t i = GetIndex(src.ScanLine(y), x, bits);
            const int a = 255 - mask.ScanLine(y)[x];
            if (alpha[i] != -1 && alpha[i] != a) return m;
            alpha[i] = a;
        }
    int zeros = 0, partial = 0;
    for (int i = 0; i < Current().PaletteCount; ++i) {
        if (alpha[i] == 0 && zeros++ == 0) m.Transparent = i;
        if (alpha[i] > 0 && alpha[i] < 255) ++partial;
    }
    if (partial > 0 || zeros != 1) m.Transparent = -1;
    m.Alpha = partial > 0 || zeros > 1;
    return m;
}

inline TSettings ReadSettings(TByteSource& in) {
    static const int kBits[] = {1, 4, 8, 15, 16, 24, 32};
    static const int32_t kIdat[] = {256, 257, 1000, 32768, 100000};
    static const int32_t kSbit[] = {0, 0x050605, 0x050505, 0x080808};
    TSettings s;
    s.Bits = kBits[in.Next() % 7];
    s.Width = in.Next() % 40 + 1;
    s.Height = in.Next() % 40 + 1;
    const uint8_t flags = in.Next();
    s.Mask = flags & 1;
    s.Gray = flags & 2;
    s.Interlace = flags & 4;
    s.Allow16 = flags & 8;
    s.SignificantBits = s.Bits > 16 ? kSbit[flags >> 4 & 3] : 0;
    const bool withComment = flags & 64;
    s.FilterMode = in.Next() % 8;
    s.Level = in.Next() % 11 - 1;
    s.IDATSize = kIdat[in.Next() % 5];
    if (s.Bits <= 8) {
        // Palette sizes from 1 to 2^bits; grey saves may have none at all.
        const int most = 1 << s.Bits;
        s.PaletteCount = in.Next() % (most + 1);
        if (s.PaletteCount == 0 && !s.Gray) s.PaletteCount = 1;
    }
    if (withComment) {
        const int length = in.Next() % 40;
        for (int i = 0; i < length; ++i) {
            const char c = char(in.Next() % 95 + 32);  // printable Latin-1
            s.Comment.push_back(c);
        }
    }
    return s;
}

// Builds, saves and reloads the picture one fuzz input describes; empty
// when every comparison held, else what differed.
inline std::string CheckPngRoundTrip(const uint8_t* data, size_t size) {
    try {
        TByteSource in(data, size);
        Current() = ReadSettings(in);
        const int bits = Current().Bits;

        TBitmap src;
        src.SetPixelFormat(FormatOf(bits));
        src.SetSize(Current().Width, Current().Height);
        TPaletteEntry pal[256] = {};
        if (Current().PaletteCount > 0) {
            for (int i = 0; i < Current().PaletteCount; ++i) {
                pal[i].peRed = in.Next();
                pal[i].peGreen = in.Next();
                pal[i].peBlue = in.Next();
            }
            src.SetPalette(CreatePalette(pal, Current().PaletteCount));
        }
        // Every byte of every row, padding included, comes from the input; then
        // indices outside the palette are folded into it.
        for (int32_t y = 0; y < Current().Height; ++y) {
            uint8_t* row = src.ScanLine(y);
            for (int32_t i = 0; i < src.ScanlineStride(); ++i) row[i] = in.Next();
            if (bits <= 8 && Current().PaletteCount > 0)
                for (int32_t x = 0; x < Current().Width; ++x)
                    SetIndex(row, x, bits, GetIndex(row, x, bits) % uint32_t(Current().PaletteCount));
        }
        TBitmap mask;
        if (Current().Mask) {
            mask.SetPixelFormat(pf8bit);
            mask.SetSize(Current().Width, Current().Height);
            for (int32_t y = 0; y < Current().Height; ++y) {
                uint8_t* row = mask.ScanLine(y);
                for (int32_t x = 0; x < Current().Width; ++x) row[x] = in.Next();
            }
        }

        TMemoryStream stream;
        {
            TTavPNG out;
            out.ImageOverride = &src;
            out.AlphaOverride = &mask;
            out.HasAlpha = Current().Mask;
            out.Grayscale = Current().Gray;
            out.Interlace = Current().Interlace ? 1 : 0;
            out.FilterMode = uint8_t(Current().FilterMode);
            out.CompressionLevel = Current().Level;
            out.IDATSize = Current().IDATSize;
            out.SignificantBits = Current().SignificantBits;
            out.Comment = Current().Comment;
            out.UseCurrentTime = false;
            out.SaveToStream(stream);
        }

        stream.SetPosition(0);
        TTavPNG back;
        back.Allow16BitOutput = Current().Allow16;
        try {
            back.LoadFromStream(stream);
        } catch (const Exception& e) {
            Fail((std::string("the saved file does not load: ") + e.what()).c_str());
        }
        const TBitmap& got = *back.CurrentImage();
        if (got.GetWidth() != Current().Width || got.GetHeight() != Current().Height)
            Fail("size differs", got.GetWidth(), got.GetHeight());
        if (back.Interlace != (Current().Interlace ? 1 : 0)) Fail("interlace method differs");
        if (back.Comment != Current().Comment) Fail("comment differs");

        const bool packed565 = got.PixelFormat() == pf16bit;
        if (packed565 && (Current().Gray || bits <= 8)) Fail("16-bit output for a grey or palette file");
        for (int32_t y = 0; y < Current().Height; ++y) {
            for (int32_t x = 0; x < Current().Width; ++x) {
                const uint32_t want = ExpectedColor(src, pal, x, y);
                if (packed565) {
                    const uint8_t* row = got.ScanLine(y);
                    const uint32_t word = uint32_t(row[2 * x]) | uint32_t(row[2 * x + 1]) << 8;
                    const uint32_t r = want & 0xFF, g = want >> 8 & 0xFF, b = want >> 16 & 0xFF;
                    const uint32_t packed = (r >> 3) << 11 | (g >> 2) << 5 | b >> 3;
                    if (word != packed) Fail("5-6-5 pixel differs", x, y, packed, word);
                } else if (uint32_t(got.Pixel(x, y)) != want) {
                    Fail("pixel differs", x, y, want, uint32_t(got.Pixel(x, y)));
                }
            }
        }

        const TPaletteMask paletteMask = PaletteMaskOf(src, mask);
        if (paletteMask.Transparent >= 0) {
            if (back.HasAlpha || back.TransparentColor != 0x01000000 + paletteMask.Transparent)
                Fail("palette transparency differs", -1, -1, uint32_t(0x01000000 + paletteMask.Transparent),
                     uint32_t(back.TransparentColor));
        } else if (AlphaWritten() || paletteMask.Alpha) {
            const TBitmap* alpha = back.CurrentAlpha();
            if (!back.HasAlpha || !alpha || alpha->GetWidth() != Current().Width || alpha->GetHeight() != Current().Height)
                Fail("alpha channel missing");
            for (int32_t y = 0; y < Current().Height; ++y)
                for (int32_t x = 0; x < Current().Width; ++x)
                    if (alpha->ScanLine(y)[x] != mask.ScanLine(y)[x])
                        Fail("mask differs", x, y, mask.ScanLine(y)[x], alpha->ScanLine(y)[x]);
        } else if (back.HasAlpha) {
            Fail("alpha where none was written");
        }
    } catch (const TRoundTripFailed& failure) {
        return failure.What;
    }
    return "";
}

}  // namespace pngroundtrip
