// The framework's bitmap: rows top row first, each ScanlineStride bytes.
// 1-, 4- and 8-bit pixels are palette indices (first pixel in the high
// bits); 15-bit pixels are little-endian 0RRRRRGGGGGBBBBB words, 16-bit
// pixels RRRRRGGGGGGBBBBB words; 24-bit pixels are B, G, R; 32-bit pixels
// B, G, R and a byte that is alpha only where AlphaChannel says so.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/Graphic.h"
#include "platform/PixelMemory.h"

enum TPixelFormat : uint8_t {
    pfDevice = 0,  // the display's own: stored as 32 bits per pixel
    pf1bit = 1,
    pf4bit = 2,
    pf8bit = 3,
    pf15bit = 4,
    pf16bit = 5,
    pf24bit = 6,
    pf32bit = 7,
    pfCustom = 8,
};

// The largest pixel block of one bitmap: 2^34 bytes (16 GiB; e.g. 65536 x
// 65536 pixels at 32 bits). Within it a bitmap is limited only by the
// memory the machine gives, and its pixel memory is committed as rows are
// written (see TPixelMemory), so a size claimed by a file costs nothing
// until data fills it. The bound keeps absurd claims from reaching the
// system at all. To allow larger bitmaps, raise this constant and rebuild;
// rows stay limited to INT32_MAX bytes (RowStride), since a row's size is
// an int32 throughout the framework and the codec.
constexpr int64_t kMaxBitmapBytes = int64_t(1) << 34;

// Bits per stored pixel of a format: 1, 4, 8, 16 (pf15bit and pf16bit),
// 24, or 32 (pf32bit and pfDevice).
int StorageBitsOf(TPixelFormat format);

// The one row-size rule of bitmaps, BMP files and the codec's row buffers:
// width pixels of bits bits each, rounded up to whole bytes, then up to a
// multiple of 4. bits 15 is the 15-bit format, whose pixels are stored as
// 16-bit words. A negative width, bits outside 1..64, or a row of more than
// INT32_MAX bytes raises EOutOfMemory.
int32_t RowStride(int32_t width, int32_t bits);
// The row of a bitmap of format: RowStride(width, StorageBitsOf(format)).
int32_t RowStride(int32_t width, TPixelFormat format);

enum class TBitmapHandleType { bmDIB, bmDDB };

class TBitmap : public TGraphic {
public:
    static constexpr const char* StaticClassName = "TBitmap";
    std::string ClassName() const override { return StaticClassName; }

    TBitmap();
    ~TBitmap() override;
    TBitmap(const TBitmap&) = delete;
    TBitmap& operator=(const TBitmap&) = delete;

    // Pixel format. pfDevice is stored and reported as pf32bit; pfCustom
    // is refused with EInvalidGraphic. Changing the format of a non-empty
    // bitmap converts its pixels.
    TPixelFormat PixelFormat() const { return PixelFormat_; }
    void SetPixelFormat(TPixelFormat format);
    // Bits per pixel of the storage: 1, 4, 8, 16 (pf15bit and pf16bit),
    // 24 or 32.
    int StorageBits() const;

    int32_t GetWidth() const override { return Width_; }
    int32_t GetHeight() const override { return Height_; }
    void SetWidth(int32_t value) override;
    void SetHeight(int32_t value) override;
    // Resizing keeps the pixels that stay inside; new pixels are 0.
    // Sizes beyond kMaxBitmapBytes, or whose memory the system refuses,
    // raise EOutOfMemory and leave the bitmap as it was.
    void SetSize(int32_t width, int32_t height);
    bool GetEmpty() const override { return Width_ == 0 || Height_ == 0; }

    // Bytes of one row, a multiple of 4.
    int32_t ScanlineStride() const { return Stride_; }
    // Row y, y = 0 being the top row. Raises EInvalidGraphic outside.
    uint8_t* ScanLine(int32_t y);
    const uint8_t* ScanLine(int32_t y) const;

    // The bitmap owns the handle it is given (and frees its old one);
    // GetPalette returns the bitmap's own handle, valid while it keeps it.
    HPALETTE GetPalette() const override { return Palette_.get(); }
    void SetPalette(HPALETTE palette) override;
    void SetPalette(TPaletteHandle palette);
    void SetPalette(std::nullptr_t) { SetPalette(HPALETTE(nullptr)); }
    // Hands the palette over to the caller; the bitmap keeps none.
    TPaletteHandle ReleasePalette();

    void SetTransparent(bool value) override;
    TColor TransparentColor = clBlack;

    // Set: the fourth byte of each pf32bit pixel is its straight alpha
    // (255 opaque), as read from a BMP with an alpha mask and written back
    // as one. Clear, that byte means nothing. No other format carries
    // alpha, so the flag is read only together with pf32bit.
    bool AlphaChannel = false;

    TBitmapHandleType HandleType = TBitmapHandleType::bmDIB;

    // Empties the bitmap: 0 x 0, no palette, format kept.
    void Clear();

    // From another bitmap: a copy. From any other picture: the picture's
    // own AssignTo if it has one, else the picture drawn into a 24-bit
    // bitmap of its size. Null empties the bitmap.
    void Assign(TPersistent* source) override;

    // Stretch-draws this bitmap into rect of the canvas (nearest pixel);
    // with the transparent flag set, pixels of TransparentColor are left
    // out.
    void Draw(TCanvas& canvas, const TRect& rect) override;

    // Windows BMP files and streams: 1, 4, 8, 16, 24 and 32 bits per pixel,
    // top-down and bottom-up rows, palettes.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override;

    // The clipboard holds a device-independent bitmap block (CF_DIB).
    void LoadFromClipboardFormat(uint16_t format, const TClipboardData& data, HPALETTE palette) override;
    void SaveToClipboardFormat(uint16_t& format, TClipboardData& data, HPALETTE& palette) override;

    // The canvas bound to this bitmap, made on first use.
    TCanvas& Canvas();

    // Colour of pixel (x, y) as 0x00BBGGRR (through the palette for
    // indexed formats); for tests and drawing.
    TColor Pixel(int32_t x, int32_t y) const;

private:
    void Reallocate(int32_t width, int32_t height, TPixelFormat format, bool keepPixels);

    TPixelFormat PixelFormat_ = pf24bit;
    int32_t Width_ = 0;
    int32_t Height_ = 0;
    int32_t Stride_ = 0;
    TPixelMemory Bits_;
    TPaletteHandle Palette_;
    std::unique_ptr<TCanvas> Canvas_;
};
