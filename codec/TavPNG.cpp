#include "codec/TavPNG.h"

#include <utility>

#include "codec/SFunc.h"
#include "platform/PixelOps.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace {

// Lends the picture's progress event to the bitmap that a decoder or
// encoder reports through, and gives the bitmap its own back on every way
// out.
class TProgressLoan {
public:
    TProgressLoan(TBitmap& bitmap, const TProgressEvent& pictureEvent)
        : Bitmap_(bitmap), Saved_(bitmap.OnProgress) {
        if (pictureEvent)
            Bitmap_.OnProgress = pictureEvent;
    }
    ~TProgressLoan() { Bitmap_.OnProgress = std::move(Saved_); }
    TProgressLoan(const TProgressLoan&) = delete;
    TProgressLoan& operator=(const TProgressLoan&) = delete;

private:
    TBitmap& Bitmap_;
    TProgressEvent Saved_;
};

// Clears a flag on every way out of a scope.
class TFlagGuard {
public:
    explicit TFlagGuard(bool& flag) : Flag_(flag) { Flag_ = true; }
    ~TFlagGuard() { Flag_ = false; }
    TFlagGuard(const TFlagGuard&) = delete;
    TFlagGuard& operator=(const TFlagGuard&) = delete;

private:
    bool& Flag_;
};

std::unique_ptr<TTavPNGReadStream> NewDecoder() {
    return GuardAlloc([] { return std::make_unique<TTavPNGReadStream>(); });
}

std::unique_ptr<TTavPNGWriteStream> NewEncoder() {
    return GuardAlloc([] { return std::make_unique<TTavPNGWriteStream>(); });
}

// Makes "PNG" a picture format for as long as the program runs.
struct TFormatRegistration {
    TFormatRegistration() { TPicture::RegisterFileFormat("PNG", "PNG Format", GraphicClassOf<TTavPNG>()); }
    ~TFormatRegistration() { TPicture::UnregisterGraphicClass(GraphicClassOf<TTavPNG>()); }
};
const TFormatRegistration kRegistration;

}  // namespace

TTavPNG::TTavPNG() : TimeStamp(CurrentUtcTimeStamp()) {
    ImageBitmap = GuardAlloc([] { return std::make_unique<TBitmap>(); });
    AlphaBitmap = GuardAlloc([] { return std::make_unique<TBitmap>(); });
}

TTavPNG::~TTavPNG() {
    AlphaBitmap.reset();
    ImageBitmap.reset();
}

// ---- loading and saving ----------------------------------------------------

void TTavPNG::CopyResultsBack(const TTavPNGReadStream& decoder, bool withInterlace) {
    HasAlpha = decoder.HasAlpha;
    Comment = decoder.Comment;
    BackgroundColor = decoder.BackgroundColor;
    TransparentColor = decoder.TransparentColor;
    if (withInterlace)
        Interlace = decoder.InterlaceMethod;
    Gamma = decoder.Gamma;
    ResolutionUnit = decoder.ResolutionUnit;
    XResolution = decoder.XResolution;
    YResolution = decoder.YResolution;
    SignificantBits = decoder.SignificantBits;
    SourceBitCount = decoder.SourceBitCount;
    Grayscale = decoder.IsGrayscale;
}

void TTavPNG::LoadFromStream(TStream& stream) {
    std::unique_ptr<TTavPNGReadStream> decoder = NewDecoder();
    TBitmap& bmp = *CurrentImage();
    decoder->OnDecodeRow = OnDecodeRow;
    decoder->OnKeyRequest = OnKeyRequest;
    decoder->Key = Key;
    decoder->SkipMacHeader = SkipMacHeader;
    decoder->Allow16BitOutput = Allow16BitOutput;
    decoder->UseSecondThread = UseSecondThread;
    decoder->TimeStamp = &TimeStamp;
    decoder->Chromaticity = &Chromaticity;
    decoder->GIFControl = &GIFControl;
    decoder->AlphaBitmap = CurrentAlpha();
    AlphaBitmap->Assign(nullptr);
    {
        TProgressLoan loan(bmp, OnProgress);
        decoder->ReadImage(&bmp, stream, 0);
    }
    CopyResultsBack(*decoder, true);
    AfterImageChange(bmp);
}

// Settings that both SaveToStream and WriteData take from the picture.
void TTavPNG::SetSharedEncoderParameters(TTavPNGWriteStream& encoder) {
    encoder.Grayscale = Grayscale;
    encoder.Comment = Comment;
    encoder.BackgroundColor = BackgroundColor;
    encoder.TransparentColor = TransparentColor;
    encoder.Gamma = Gamma;
    encoder.SignificantBits = SignificantBits;
    encoder.ResolutionUnit = ResolutionUnit;
    encoder.XResolution = XResolution;
    encoder.YResolution = YResolution;
    encoder.TimeStamp = &TimeStamp;
    encoder.Chromaticity = &Chromaticity;
    encoder.GIFControl = &GIFControl;
}

void TTavPNG::SaveToStream(TStream& stream) {
    TBitmap& bmp = *CurrentImage();
    std::unique_ptr<TTavPNGWriteStream> encoder = NewEncoder();
    encoder->CompressionLevel = CompressionLevel;
    encoder->FilterMode = FilterMode;
    encoder->OptimizeLevel = OptimizeLevel;
    encoder->SetIDATSize(IDATSize);
    encoder->Interlace = Interlace;
    SetSharedEncoderParameters(*encoder);
    encoder->UseCurrentTime = UseCurrentTime;
    encoder->OnEncodeRow = OnEncodeRow;
    encoder->Key = Key;
    encoder->AlphaBitmap = HasAlpha ? CurrentAlpha() : nullptr;
    TProgressLoan loan(bmp, OnProgress);
    encoder->WriteImage(bmp, stream);
}

void TTavPNG::ReadData(TStream& stream) {
    {
        std::unique_ptr<TTavPNGReadStream> decoder = NewDecoder();
        decoder->TimeStamp = &TimeStamp;
        decoder->Chromaticity = &Chromaticity;
        decoder->GIFControl = &GIFControl;
        AlphaOverride = nullptr;
        ImageOverride = nullptr;
        AlphaBitmap->Assign(nullptr);
        decoder->AlphaBitmap = AlphaBitmap.get();
        decoder->ReadImage(ImageBitmap.get(), stream, 0);
        CopyResultsBack(*decoder, false);
        AfterImageChange(*ImageBitmap);
    }
    Changed(this);
}

void TTavPNG::WriteData(TStream& stream) {
    if (ImageBitmap->GetEmpty())
        return;
    std::unique_ptr<TTavPNGWriteStream> encoder = NewEncoder();
    SetSharedEncoderParameters(*encoder);
    encoder->AlphaBitmap = HasAlpha ? AlphaBitmap.get() : nullptr;
    encoder->WriteImage(*ImageBitmap, stream);
}

// ---- assignment ------------------------------------------------------------

void TTavPNG::Assign(TPersistent* source) {
    // Assigning a picture to itself would only drop its image override.
    if (source == this)
        return;
    ImageOverride = nullptr;
    if (auto* png = dynamic_cast<TTavPNG*>(source)) {
        ImageBitmap->Assign(png->ImageBitmap.get());
        AlphaBitmap->Assign(png->AlphaBitmap.get());
        ImageOverride = png->ImageOverride;
        AlphaOverride = png->AlphaOverride;
        CompressionLevel = png->CompressionLevel;
        FilterMode = png->FilterMode;
        OptimizeLevel = png->OptimizeLevel;
        IDATSize = png->IDATSize;
        Interlace = png->Interlace;
        Grayscale = png->Grayscale;
        Comment = png->Comment;
        BackgroundColor = png->BackgroundColor;
        TransparentColor = png->TransparentColor;
        Gamma = png->Gamma;
        SignificantBits = png->SignificantBits;
        ResolutionUnit = png->ResolutionUnit;
        XResolution = png->XResolution;
        YResolution = png->YResolution;
        UseCurrentTime = png->UseCurrentTime;
        TimeStamp = png->TimeStamp;
        Chromaticity = png->Chromaticity;
        AfterImageChange(*ImageBitmap);
        return;
    }
    if (auto* bitmap = dynamic_cast<TBitmap*>(source); bitmap && bitmap->PixelFormat() == pf32bit && bitmap->AlphaChannel) {
        TakeAlphaOf(*bitmap);
        AfterImageChange(*ImageBitmap);
        return;
    }
    if (auto* graphic = dynamic_cast<TGraphic*>(source)) {
        ImageBitmap->Assign(graphic);
        AfterImageChange(*ImageBitmap);
        return;
    }
    TGraphic::Assign(source);
}

// The colour goes into a 24-bit image, the alpha into the mask as the
// codec holds it (255 - alpha), so that saving writes RGBA.
void TTavPNG::TakeAlphaOf(const TBitmap& bitmap) {
    auto image = GuardAlloc([] { return std::make_unique<TBitmap>(); });
    auto alpha = GuardAlloc([] { return std::make_unique<TBitmap>(); });
    uint8_t grey[1024];
    MakeGrayPalette(grey, 8);
    GuardAlloc([&] {
        image->SetPixelFormat(pf24bit);
        image->SetSize(bitmap.Width(), bitmap.Height());
        alpha->SetPixelFormat(pf8bit);
        alpha->SetSize(bitmap.Width(), bitmap.Height());
        alpha->SetPalette(CreatePaletteFromEntries(grey, 256));
    });
    for (int32_t y = 0; y < bitmap.Height(); ++y) {
        const uint8_t* src = bitmap.ScanLine(y);
        uint8_t* rgb = image->ScanLine(y);
        uint8_t* a = alpha->ScanLine(y);
        for (int32_t x = 0; x < bitmap.Width(); ++x, src += 4, rgb += 3) {
            rgb[0] = src[0];
            rgb[1] = src[1];
            rgb[2] = src[2];
            a[x] = uint8_t(255 - src[3]);
        }
    }
    ImageBitmap->Assign(image.get());
    AlphaBitmap->Assign(alpha.get());
    AlphaOverride = nullptr;
    HasAlpha = true;
}

void TTavPNG::AssignTo(TPersistent* dest) {
    const TBitmap* image = CurrentImage();
    const TBitmap* alpha = CurrentAlpha();
    auto* bitmap = dynamic_cast<TBitmap*>(dest);
    const bool mask = HasAlpha && alpha->PixelFormat() == pf8bit && alpha->Width() == image->Width() &&
                      alpha->Height() == image->Height();
    // A transparent colour is alpha too: a bitmap holds no such colour of
    // its own, so without it those pixels would come out opaque.
    const uint32_t key = image->GetTransparent() ? uint32_t(image->TransparentColor) : uint32_t(clNone);
    const bool keyIndex = (key & 0xFF000000u) == 0x01000000u && pixelops::IsIndexed(image->PixelFormat());
    const bool keyColour = (key & 0xFF000000u) == 0;
    if (bitmap && !image->GetEmpty() && (mask || keyIndex || keyColour)) {
        // A bitmap keeps alpha only in its 32-bit form.
        auto rgba = GuardAlloc([] { return std::make_unique<TBitmap>(); });
        rgba->Assign(CurrentImage());
        rgba->SetTransparent(false);
        rgba->SetPixelFormat(pf32bit);
        const TPixelFormat format = image->PixelFormat();
        for (int32_t y = 0; y < rgba->Height(); ++y) {
            uint8_t* p = rgba->ScanLine(y);
            const uint8_t* a = mask ? alpha->ScanLine(y) : nullptr;
            const uint8_t* indices = image->ScanLine(y);
            for (int32_t x = 0; x < rgba->Width(); ++x, p += 4) {
                p[3] = a ? uint8_t(255 - a[x]) : 255;
                if (keyIndex) {
                    const uint32_t index = format == pf1bit   ? (indices[x >> 3] >> (7 - (x & 7))) & 1u
                                           : format == pf4bit ? ((x & 1) ? indices[x >> 1] & 0x0Fu : indices[x >> 1] >> 4)
                                                              : indices[x];
                    if (index == (key & 0xFFu)) p[3] = 0;
                } else if (keyColour && RGB(p[2], p[1], p[0]) == TColor(key)) {
                    p[3] = 0;
                }
            }
        }
        rgba->AlphaChannel = true;
        bitmap->Assign(rgba.get());
        return;
    }
    if (auto* graphic = dynamic_cast<TGraphic*>(dest)) {
        graphic->Assign(CurrentImage());
        return;
    }
    TGraphic::AssignTo(dest);
}

void TTavPNG::AfterImageChange(TBitmap& bitmap) {
    PaletteModified = true;
    if (GetTransparent() == bitmap.GetTransparent()) {
        Changed(this);
        return;
    }
    TFlagGuard syncing(SyncingTransparency);
    SetTransparent(bitmap.GetTransparent());
}

void TTavPNG::SetTransparent(bool value) {
    if (!SyncingTransparency) {
        TBitmap* image = CurrentImage();
        if (image->GetTransparent() != value)
            image->SetTransparent(value);
    }
    TGraphic::SetTransparent(value);
}

// ---- drawing, size and palette ---------------------------------------------

void TTavPNG::Draw(TCanvas& canvas, const TRect& rect) { canvas.StretchDraw(rect, *CurrentImage()); }

void TTavPNG::SetWidth(int32_t value) {
    if (!CurrentImage()->GetEmpty())
        CurrentImage()->SetWidth(value);
    if (!CurrentAlpha()->GetEmpty())
        CurrentAlpha()->SetWidth(value);
    Changed(this);
}

void TTavPNG::SetHeight(int32_t value) {
    if (!CurrentImage()->GetEmpty())
        CurrentImage()->SetHeight(value);
    if (!CurrentAlpha()->GetEmpty())
        CurrentAlpha()->SetHeight(value);
    Changed(this);
}

void TTavPNG::SetPalette(HPALETTE value) {
    CurrentImage()->SetPalette(value);
    Changed(this);
}

// ---- clipboard -------------------------------------------------------------

void TTavPNG::LoadFromClipboardFormat(uint16_t format, const TClipboardData& data, HPALETTE palette) {
    ImageOverride = nullptr;
    ImageBitmap->LoadFromClipboardFormat(format, data, palette);
    AfterImageChange(*ImageBitmap);
}

void TTavPNG::SaveToClipboardFormat(uint16_t& format, TClipboardData& data, HPALETTE& palette) {
    CurrentImage()->SaveToClipboardFormat(format, data, palette);
}
