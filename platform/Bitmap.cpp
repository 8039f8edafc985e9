#include "platform/Bitmap.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "platform/BmpFormat.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/PixelOps.h"

int StorageBitsOf(TPixelFormat format) {
    switch (format) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit:
    case pf16bit: return 16;
    case pf24bit: return 24;
    default: return 32;
    }
}

int32_t RowStride(int32_t width, int32_t bits) {
    if (bits == 15)
        bits = 16;
    if (width < 0 || bits < 1 || bits > 64)
        throw EOutOfMemory();
    const int64_t bytes = (int64_t(width) * bits + 7) / 8;  // < 2^38: no overflow
    const int64_t stride = (bytes + 3) & ~int64_t(3);
    if (stride > INT32_MAX)
        throw EOutOfMemory();
    return int32_t(stride);
}

int32_t RowStride(int32_t width, TPixelFormat format) { return RowStride(width, StorageBitsOf(format)); }

TBitmap::TBitmap() = default;

TBitmap::~TBitmap() = default;

int TBitmap::StorageBits() const { return pixelops::StorageBits(PixelFormat_); }

void TBitmap::SetPixelFormat(TPixelFormat format) {
    if (format == pfCustom || format > pfCustom)
        throw EInvalidGraphic("Unsupported pixel format");
    if (format == pfDevice)
        format = pf32bit;
    if (format == PixelFormat_)
        return;
    Reallocate(Width_, Height_, format, true);
    if (format != pf32bit)
        AlphaChannel = false;  // the conversion kept no alpha to come back to
    Changed(this);
}

void TBitmap::SetWidth(int32_t value) { SetSize(value, Height_); }
void TBitmap::SetHeight(int32_t value) { SetSize(Width_, value); }

void TBitmap::SetSize(int32_t width, int32_t height) {
    if (width < 0 || height < 0)
        throw EInvalidGraphic("Invalid bitmap size");
    if (width == Width_ && height == Height_)
        return;
    Reallocate(width, height, PixelFormat_, true);
    Changed(this);
}

// Builds the new pixel block completely before touching the bitmap, so a
// failed allocation leaves it as it was.
void TBitmap::Reallocate(int32_t width, int32_t height, TPixelFormat format, bool keepPixels) {
    const int32_t stride = RowStride(width, format);
    if (height > 0 && stride > kMaxBitmapBytes / height)
        throw EOutOfMemory();
    // Fresh and zero without being written: the pages that the kept pixels
    // and later rows never reach stay uncommitted.
    TPixelMemory bits(size_t(stride) * size_t(height));

    TPaletteHandle newPalette;  // set when the conversion needs one
    const int32_t keepW = std::min(width, Width_);
    const int32_t keepH = std::min(height, Height_);
    if (keepPixels && keepW > 0 && keepH > 0) {
        if (format == PixelFormat_) {
            const int bitsPer = pixelops::StorageBits(format);
            const size_t wholeBytes = size_t(keepW) * size_t(bitsPer) / 8;
            const int32_t wholePixels = int32_t(wholeBytes * 8 / size_t(bitsPer));
            for (int32_t y = 0; y < keepH; ++y) {
                const uint8_t* src = Bits_.data() + size_t(y) * size_t(Stride_);
                uint8_t* dst = bits.data() + size_t(y) * size_t(stride);
                std::memcpy(dst, src, wholeBytes);
                // A partly used last byte: copy pixel by pixel so pixels
                // beyond the new width do not linger in it.
                for (int32_t x = wholePixels; x < keepW; ++x)
                    pixelops::WriteRaw(dst, x, format, pixelops::ReadRaw(src, x, format));
            }
        } else {
            const auto oldEntries = pixelops::EntriesOf(Palette_.get());
            std::vector<TPaletteEntry> targetEntries = oldEntries;
            if (pixelops::IsIndexed(format) && targetEntries.empty()) {
                targetEntries = pixelops::DefaultPalette(format);
                newPalette.reset(CreatePalette(targetEntries.data(), int(targetEntries.size())));
            }
            const bool keepIndices = pixelops::IsIndexed(format) && pixelops::IsIndexed(PixelFormat_);
            const uint32_t limit = pixelops::IsIndexed(format) ? (1u << pixelops::StorageBits(format)) : 0;
            pixelops::ColorWriter writer(format, targetEntries);
            for (int32_t y = 0; y < keepH; ++y) {
                const uint8_t* src = Bits_.data() + size_t(y) * size_t(Stride_);
                uint8_t* dst = bits.data() + size_t(y) * size_t(stride);
                for (int32_t x = 0; x < keepW; ++x) {
                    const uint32_t raw = pixelops::ReadRaw(src, x, PixelFormat_);
                    uint32_t out;
                    if (keepIndices && raw < limit)
                        out = raw;
                    else
                        out = writer.Raw(pixelops::RawToColor(raw, PixelFormat_, oldEntries));
                    pixelops::WriteRaw(dst, x, format, out);
                }
            }
        }
    }

    Bits_.swap(bits);
    Width_ = width;
    Height_ = height;
    Stride_ = stride;
    PixelFormat_ = format;
    if (newPalette)
        Palette_ = std::move(newPalette);
}

uint8_t* TBitmap::ScanLine(int32_t y) {
    if (y < 0 || y >= Height_)
        throw EInvalidGraphic("Scan line index out of range");
    return Bits_.data() + size_t(y) * size_t(Stride_);
}

const uint8_t* TBitmap::ScanLine(int32_t y) const {
    if (y < 0 || y >= Height_)
        throw EInvalidGraphic("Scan line index out of range");
    return Bits_.data() + size_t(y) * size_t(Stride_);
}

void TBitmap::SetPalette(HPALETTE palette) {
    if (palette == Palette_.get())
        return;
    SetPalette(TPaletteHandle(palette));
}

void TBitmap::SetPalette(TPaletteHandle palette) {
    if (palette.get() == Palette_.get()) {
        palette.release();  // the bitmap's own handle given back: keep it
        return;
    }
    Palette_ = std::move(palette);
    PaletteModified = true;
    Changed(this);
}

TPaletteHandle TBitmap::ReleasePalette() { return std::move(Palette_); }

void TBitmap::SetTransparent(bool value) { TGraphic::SetTransparent(value); }

void TBitmap::Clear() {
    TPixelMemory().swap(Bits_);
    Width_ = Height_ = Stride_ = 0;
    Palette_.reset();
    AlphaChannel = false;
    Changed(this);
}

TColor TBitmap::Pixel(int32_t x, int32_t y) const {
    if (x < 0 || x >= Width_)
        throw EInvalidGraphic("Pixel index out of range");
    const uint8_t* row = ScanLine(y);
    const uint32_t raw = pixelops::ReadRaw(row, x, PixelFormat_);
    if (pixelops::IsIndexed(PixelFormat_)) {
        TPaletteEntry e;
        if (GetPaletteEntries(Palette_.get(), int(raw), 1, &e) != 1)
            return clBlack;
        return RGB(e.peRed, e.peGreen, e.peBlue);
    }
    return pixelops::RawToColor(raw, PixelFormat_, {});
}

TCanvas& TBitmap::Canvas() {
    if (!Canvas_)
        Canvas_ = GuardAlloc([&] { return std::make_unique<TCanvas>(*this); });
    return *Canvas_;
}

void TBitmap::Assign(TPersistent* source) {
    if (!source) {
        Clear();
        return;
    }
    if (source == this)
        return;
    if (auto* other = dynamic_cast<TBitmap*>(source)) {
        // Everything is built first so that a failed allocation leaves
        // this bitmap untouched.
        TPixelMemory bits(other->Bits_.size());
        if (bits.size() != 0)
            std::memcpy(bits.data(), other->Bits_.data(), bits.size());
        TPaletteHandle palette(CopyPalette(other->Palette_.get()));
        Bits_.swap(bits);
        Palette_ = std::move(palette);
        PixelFormat_ = other->PixelFormat_;
        Width_ = other->Width_;
        Height_ = other->Height_;
        Stride_ = other->Stride_;
        TransparentColor = other->TransparentColor;
        AlphaChannel = other->AlphaChannel;
        HandleType = other->HandleType;
        // One change signal for the whole copy.
        TNotifyEvent saved = std::move(OnChange);
        OnChange = nullptr;
        try {
            TGraphic::SetTransparent(other->GetTransparent());
        } catch (...) {
            OnChange = std::move(saved);
            throw;
        }
        OnChange = std::move(saved);
        Changed(this);
        return;
    }
    if (auto* graphic = dynamic_cast<TGraphic*>(source)) {
        try {
            TPersistentAccess::AssignTo(graphic, this);
            return;
        } catch (const EConvertError&) {
            // The picture cannot hand itself over: draw it instead.
        }
        TBitmap drawn;
        drawn.SetPixelFormat(pf24bit);
        drawn.SetSize(graphic->Width(), graphic->Height());
        if (!drawn.GetEmpty())
            graphic->Draw(drawn.Canvas(), TRect{0, 0, drawn.Width(), drawn.Height()});
        drawn.TGraphic::SetTransparent(graphic->GetTransparent());
        Assign(&drawn);
        return;
    }
    TGraphic::Assign(source);
}

void TBitmap::Draw(TCanvas& canvas, const TRect& rect) {
    TBitmap& target = canvas.Bitmap();
    if (GetEmpty() || target.GetEmpty() || rect.Width() <= 0 || rect.Height() <= 0)
        return;
    if (&target == this) {
        // Drawing onto itself: read from a snapshot.
        TBitmap copy;
        copy.Assign(this);
        copy.Draw(canvas, rect);
        return;
    }
    const int32_t x0 = std::max<int32_t>(rect.Left, 0), x1 = std::min<int32_t>(rect.Right, target.Width_);
    const int32_t y0 = std::max<int32_t>(rect.Top, 0), y1 = std::min<int32_t>(rect.Bottom, target.Height_);
    if (x0 >= x1 || y0 >= y1)
        return;

    const auto srcEntries = pixelops::EntriesOf(Palette_.get());
    pixelops::ColorWriter writer(target.PixelFormat_, pixelops::EntriesOf(target.Palette_.get()));
    const bool transparent = GetTransparent() && TransparentColor != clNone;
    // A transparent colour given as a palette index matches that index.
    const bool transparentIsIndex = (uint32_t(TransparentColor) & 0xFF000000u) == 0x01000000u;
    const TColor transparentRgb = TransparentColor & 0xFFFFFF;
    const int64_t rw = rect.Width(), rh = rect.Height();
    for (int32_t ty = y0; ty < y1; ++ty) {
        const int32_t sy = int32_t((int64_t(ty) - rect.Top) * Height_ / rh);
        const uint8_t* src = Bits_.data() + size_t(sy) * size_t(Stride_);
        uint8_t* dst = target.Bits_.data() + size_t(ty) * size_t(target.Stride_);
        for (int32_t tx = x0; tx < x1; ++tx) {
            const int32_t sx = int32_t((int64_t(tx) - rect.Left) * Width_ / rw);
            const uint32_t raw = pixelops::ReadRaw(src, sx, PixelFormat_);
            const TColor color = pixelops::RawToColor(raw, PixelFormat_, srcEntries);
            if (transparent) {
                if (transparentIsIndex ? (pixelops::IsIndexed(PixelFormat_) &&
                                          raw == (uint32_t(TransparentColor) & 0xFF))
                                       : color == transparentRgb)
                    continue;
            }
            pixelops::WriteRaw(dst, tx, target.PixelFormat_, writer.Raw(color));
        }
    }
    target.Changed(&target);
}

void TBitmap::LoadFromStream(TStream& stream) {
    // Read into a scratch bitmap so that a failure leaves this one as it
    // was, then take its pixels over without copying them.
    TBitmap loaded;
    bmpformat::ReadFile(stream, loaded);
    Bits_.swap(loaded.Bits_);
    Palette_.swap(loaded.Palette_);
    PixelFormat_ = loaded.PixelFormat_;
    Width_ = loaded.Width_;
    Height_ = loaded.Height_;
    Stride_ = loaded.Stride_;
    AlphaChannel = loaded.AlphaChannel;
    Changed(this);
}

void TBitmap::SaveToStream(TStream& stream) { bmpformat::WriteFile(*this, stream); }

void TBitmap::LoadFromClipboardFormat(uint16_t format, const TClipboardData& data, HPALETTE) {
    if (format != CF_DIB)
        throw EInvalidGraphic("Unsupported clipboard format");
    TBitmap loaded;
    bmpformat::ReadPackedDib(data.data(), data.size(), loaded);
    loaded.TransparentColor = TransparentColor;
    loaded.HandleType = HandleType;
    loaded.TGraphic::SetTransparent(GetTransparent());
    Assign(&loaded);
}

void TBitmap::SaveToClipboardFormat(uint16_t& format, TClipboardData& data, HPALETTE& palette) {
    TClipboardData block = bmpformat::WritePackedDib(*this);
    HPALETTE copy = CopyPalette(Palette_.get());
    format = CF_DIB;
    data.swap(block);
    palette = copy;
}
