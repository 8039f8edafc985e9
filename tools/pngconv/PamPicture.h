// TPamPicture: netpbm PAM files as a picture of the framework. Files are
// written as RGB_ALPHA with 8-bit samples; reading also takes GRAYSCALE,
// GRAYSCALE_ALPHA and RGB, with any MAXVAL up to 255.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Bitmap.h"
#include "platform/Graphic.h"

class TTavPNG;

class TPamPicture : public TGraphic {
public:
    static constexpr const char* StaticClassName = "TPamPicture";
    std::string ClassName() const override { return StaticClassName; }

    TPamPicture();
    ~TPamPicture() override;
    TPamPicture(const TPamPicture&) = delete;
    TPamPicture& operator=(const TPamPicture&) = delete;

    // The colours. A set transparent flag makes pixels of the bitmap's
    // TransparentColor (a colour, or a palette index for indexed bitmaps)
    // fully transparent when written.
    std::unique_ptr<TBitmap> Image;
    // 8 bits per pixel holding 255 - alpha, of the image's size; used only
    // when HasAlpha is set.
    std::unique_ptr<TBitmap> Alpha;
    bool HasAlpha = false;

    // Reading gives a 24-bit image, and an alpha bitmap with HasAlpha set
    // when some sample is not fully opaque.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override;

    void Assign(TPersistent* source) override;
    // Assign(&png) for a PNG picture that is not used again: its own image
    // and alpha bitmaps move over instead of being copied, and png is left
    // empty. Pictures showing borrowed bitmaps are copied as by Assign.
    void TakeFrom(TTavPNG& png);

    void Draw(TCanvas& canvas, const TRect& rect) override;
    bool GetEmpty() const override { return Image->GetEmpty(); }
    int32_t GetWidth() const override { return Image->GetWidth(); }
    int32_t GetHeight() const override { return Image->GetHeight(); }
    void SetWidth(int32_t value) override;
    void SetHeight(int32_t value) override;
    void LoadFromClipboardFormat(uint16_t format, const TClipboardData& data, HPALETTE palette) override;
    void SaveToClipboardFormat(uint16_t& format, TClipboardData& data, HPALETTE& palette) override;

protected:
    void AssignTo(TPersistent* dest) override;
};

// An 8-bit bitmap with a palette of 256 grey levels, as the alpha masks use.
void MakeMaskBitmap(TBitmap& mask, int32_t width, int32_t height);
