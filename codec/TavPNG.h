// TTavPNG: the PNG picture of the picture framework. The image lives in
// framework bitmaps; loading and saving run one PNG decoder or encoder per
// call. The unit registers the class under the extension "PNG" while the
// program runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "codec/TavPNGStream.h"
#include "platform/Bitmap.h"
#include "platform/Graphic.h"

class TTavPNG : public TGraphic {
public:
    static constexpr const char* StaticClassName = "TTavPNG";
    std::string ClassName() const override { return StaticClassName; }

    TTavPNG();
    ~TTavPNG() override;
    TTavPNG(const TTavPNG&) = delete;
    TTavPNG& operator=(const TTavPNG&) = delete;

    // Set while the picture copies the bitmap's transparent flag into its
    // own, so that SetTransparent does not write it back to the bitmap.
    bool SyncingTransparency = false;
    int32_t IDATSize = 32768;       // compressed bytes per IDAT chunk when saving
    int32_t CompressionLevel = -1;  // zlib level; -1 zlib's default
    uint8_t FilterMode = 1;         // 0 adaptive, 1 None, 2 Sub, 3 Up, 4 Average, 5 Paeth
    int32_t OptimizeLevel = 0;      // saving: 0 as the settings say, 1 quick, 2 thorough smallest file
    uint8_t Interlace = 0;          // 0 none, 1 Adam7; set by LoadFromStream
    bool Grayscale = false;         // save as grey; set by a load of a grey file
    TBitmap* AlphaOverride = nullptr;  // borrowed; used instead of AlphaBitmap when set
    std::unique_ptr<TBitmap> AlphaBitmap;  // owned; 8 bits, 255 - alpha
    TBitmap* ImageOverride = nullptr;  // borrowed; used instead of ImageBitmap when set
    std::unique_ptr<TBitmap> ImageBitmap;  // owned
    bool HasAlpha = false;          // the alpha bitmap belongs to the image
    int32_t SourceBitCount = 0;     // colour bits per pixel of the last file read
    int32_t BackgroundColor = -1;   // colour, 0x01000000 + palette index, -1 none
    int32_t TransparentColor = -1;  // same encoding
    std::string Comment;
    double Gamma = 0.45455;
    std::string Key;                // handed to the row events
    int32_t SignificantBits = 0;    // red | green << 8 | blue << 16 | alpha << 24
    uint8_t ResolutionUnit = 0;
    int32_t XResolution = 0;
    int32_t YResolution = 0;
    bool SkipMacHeader = true;
    bool UseCurrentTime = true;     // a save stamps the current time, not TimeStamp
    TPNGTimeStamp TimeStamp;        // the current UTC time at creation
    TPNGChromaticity Chromaticity;
    TPNGGIFControl GIFControl;
    bool Allow16BitOutput = false;
    bool UseSecondThread = false;   // loading: large images on two threads (see TTavPNGReadStream)
    // Their Sender is the decoder or encoder, not the picture.
    TPNGKeyRequestEvent OnKeyRequest;
    TPNGRowEvent OnEncodeRow;
    TPNGRowEvent OnDecodeRow;

    // The override when set, else the owned bitmap.
    TBitmap* CurrentImage() const { return ImageOverride ? ImageOverride : ImageBitmap.get(); }
    TBitmap* CurrentAlpha() const { return AlphaOverride ? AlphaOverride : AlphaBitmap.get(); }

    // PNG data from and to the stream's current position, through the
    // current bitmaps and all of the picture's settings.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) override;
    // PNG data in the framework's form storage, through the owned bitmaps
    // and the codec's defaults for the purely technical settings.
    void ReadData(TStream& stream) override;
    void WriteData(TStream& stream) override;

    // A 32-bit bitmap with alpha becomes a 24-bit image and its alpha.
    void Assign(TPersistent* source) override;

    void Draw(TCanvas& canvas, const TRect& rect) override;
    bool GetEmpty() const override { return CurrentImage()->GetEmpty(); }
    int32_t GetWidth() const override { return CurrentImage()->GetWidth(); }
    int32_t GetHeight() const override { return CurrentImage()->GetHeight(); }
    HPALETTE GetPalette() const override { return CurrentImage()->GetPalette(); }
    void SetWidth(int32_t value) override;
    void SetHeight(int32_t value) override;
    // The current image takes ownership of the palette.
    void SetPalette(HPALETTE value) override;
    void SetTransparent(bool value) override;

    // The clipboard holds the plain bitmap; alpha takes no part.
    void LoadFromClipboardFormat(uint16_t format, const TClipboardData& data, HPALETTE palette) override;
    void SaveToClipboardFormat(uint16_t& format, TClipboardData& data, HPALETTE& palette) override;

protected:
    // A bitmap is given the image in 32 bits with its alpha when the
    // picture has alpha.
    void AssignTo(TPersistent* dest) override;
    // Marks the palette modified and adopts the bitmap's transparent flag;
    // exactly one change is signalled.
    void AfterImageChange(TBitmap& bitmap);

private:
    void CopyResultsBack(const TTavPNGReadStream& decoder, bool withInterlace);
    void SetSharedEncoderParameters(TTavPNGWriteStream& encoder);
    void TakeAlphaOf(const TBitmap& bitmap);
};
