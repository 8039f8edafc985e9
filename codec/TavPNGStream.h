// The PNG decoder TTavPNGReadStream and encoder TTavPNGWriteStream.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "codec/RowWorker.h"
#include "codec/TavStream.h"
#include "codec/TavZLIB.h"
#include "platform/Exceptions.h"
#include "platform/PixelMemory.h"

class TBitmap;

// Format errors of the PNG codec, with fixed English messages.
class ETavPNG : public EInvalidGraphic {
public:
    using EInvalidGraphic::EInvalidGraphic;
};

// Row events: transform Count bytes at Row in place with Key.
using TPNGRowEvent = std::function<void(TObject* sender, uint8_t* row, int32_t count, int32_t rowIndex,
                                        const std::string& key)>;
using TPNGKeyRequestEvent = std::function<void(TObject* sender, std::string& key)>;

// "Tav3" read as a big-endian number: the marker of the private chunk tpNG.
constexpr uint32_t TpngMarker = 0x54617633;

// ---- decoder ---------------------------------------------------------
// Records filled by address; declared with the encoder below.
struct TPNGTimeStamp;
struct TPNGChromaticity;
struct TPNGGIFControl;

// Decodes one PNG stream into a TBitmap (and optionally an 8-bit bitmap
// holding 255 - alpha). Set the options, then call ReadImage once: the
// chunk flags are not cleared between reads.
class TTavPNGReadStream : public TTavCustomGraphicReadStream {
public:
    // Geometry and buffers shared by the row steps of the current pass.
    struct TRowState {
        int32_t PassWidth = 0;
        int32_t RowStride = 0;
        int32_t PixelStart = 0, PixelStep = 1;  // bytes for 16 and 24 bits
        int32_t AlphaStart = 0, AlphaStep = 1;
        uint8_t* ConvertedRow = nullptr;
        uint8_t* AlphaRow = nullptr;
    };
    // Returns the row in bitmap layout: src itself or ConvertedRow.
    using TConvertStep = const uint8_t* (*)(TRowState& s, const uint8_t* src);
    using TWriteStep = void (*)(const TRowState& s, const uint8_t* src, uint8_t* dst);

    enum : uint8_t {
        cfHeader = 1, cfImageDone = 2, cfEnd = 4, cfPalette = 8, cfPrivate = 16,
    };

    TTavPNGReadStream();
    ~TTavPNGReadStream() override;
    TTavPNGReadStream(const TTavPNGReadStream&) = delete;
    TTavPNGReadStream& operator=(const TTavPNGReadStream&) = delete;
    std::string ClassName() const override { return "TTavPNGReadStream"; }

    // Options.
    bool CheckSignature = true;
    bool GrayIndexMode = false;
    bool Allow16BitOutput = false;
    std::string Key;
    TPNGKeyRequestEvent OnKeyRequest;
    TPNGRowEvent OnDecodeRow;
    TPNGTimeStamp* TimeStamp = nullptr;
    TPNGChromaticity* Chromaticity = nullptr;
    TPNGGIFControl* GIFControl = nullptr;
    TBitmap* AlphaBitmap = nullptr;  // borrowed
    // Large images are inflated on the calling thread while a second one
    // unfilters and converts the rows inflated before (events and stream
    // reads stay on the calling thread). Off by default: measured on two
    // cores it took 30 to 75 % more processor time for photos (the rows
    // travel between the cores' caches twice), for a wall-clock gain of 0
    // to 35 % that depends on the second core being free.
    bool UseSecondThread = false;

    // Results.
    bool HasAlpha = false;
    bool IsGrayscale = false;
    int32_t ColorType = -1;  // 0 grey, 2 truecolour, 3 indexed, without the alpha bit
    uint8_t InterlaceMethod = 0;
    double Gamma = 0.0;
    int32_t SignificantBits = 0;  // red | green << 8 | blue << 16 | alpha << 24
    int32_t BackgroundColor = -1;
    int32_t TransparentColor = -1;
    // The image data was inflated in one piece rather than streamed (only
    // where an engine for that is built in); the pixels are the same.
    bool InflatedWhole = false;

protected:
    void DecodeImage() override;
    void PrepareBitmap() override;

    // State of the current read.
    int64_t ChunkLeft = 0;
    uint32_t ChunkType = 0;
    uint8_t ChunkFlags = 0;
    bool PaletteAlpha = false;
    bool GrayIndexActive = false;
    std::string ActiveKey;
    uint8_t AlphaTable[256] = {};
    TBitmap* ActiveAlphaBitmap = nullptr;
    int32_t PassCount = 1;
    TRowState Rows;
    TZInflateRec Inflate;

private:
    void ReadChunks();
    void ReadHeader();
    void ReadPalette();
    void ReadTransparency();
    void ReadBackground();
    void ReadGamma();
    void ReadSignificantBits();
    void ReadPhysicalSize();
    void ReadChromaticity();
    void ReadGIFControl();
    void ReadTime();
    // A tEXt, zTXt or iTXt chunk (type names which); only "Comment" is used.
    void ReadText(const char* type);
    void ReadPrivate();
    void ReadImageData();
    void DecodeRows();
    // The image data inflated in one piece, where that is sound and faster
    // than streaming it; empty otherwise. Reads nothing from the stream.
    TPixelMemory InflateWhole() const;
    void PutRow(TRowState& work, const uint8_t* src, int32_t bytes, int32_t y) const;
    // One pass on two threads; false when stopped.
    bool DecodePassOnTwoThreads(TRowWorker& worker, int32_t firstRow, int32_t rowStep, int64_t passRows,
                                int32_t rowSize, int64_t& counter);
    void SetupFormat();
    void AllocateRows();
    void FreeRows();
    void ApplyTransparentColor();
    void BuildPaletteAlpha();
    // Colour value of a grey sample at the image's bit depth.
    int32_t GreyColor(uint16_t sample) const;
    bool ReadGreySample(uint16_t& sample);
    bool ReadRgbSamples(int32_t& colour);
    static int32_t NextImageData(TZInflateRec& rec);

    TConvertStep ConvertRow_ = nullptr;
    TWriteStep WriteRow_ = nullptr;
    TWriteStep WriteAlphaRow_ = nullptr;
    TPixelMemory RowBlock_;  // the row buffers and the inflate batch live inside
    uint8_t* Batch_ = nullptr;
    size_t PrevRowDirty_ = 0;  // leading bytes of PrevRow ever written
};

// ---- encoder ---------------------------------------------------------
// Caller-owned records the encoder reads (and the decoder fills) by address.
// Time of a tIME chunk in UTC: year in host byte order, then one byte each.
struct __attribute__((packed)) TPNGTimeStamp {
    uint16_t Year = 0;
    uint8_t Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
};
static_assert(sizeof(TPNGTimeStamp) == 7, "the time record is 7 bytes");

// The system clock's date and time in UTC, to the second; year 0 (a stamp
// that saves no tIME) when the clock cannot be read.
TPNGTimeStamp CurrentUtcTimeStamp();

// cHRM values in chunk order, each the chromaticity times 100000.
struct TPNGChromaticity {
    int32_t WhiteX = 0, WhiteY = 0, RedX = 0, RedY = 0, GreenX = 0, GreenY = 0, BlueX = 0, BlueY = 0;
};
static_assert(sizeof(TPNGChromaticity) == 32, "the chromaticity record is 8 x 32 bits");

// The four bytes of a gIFg chunk as they stand in the file: disposal
// method, user input flag, delay time (big-endian 16 bits).
struct TPNGGIFControl {
    uint8_t Bytes[4] = {0, 0, 0, 0};
};
static_assert(sizeof(TPNGGIFControl) == 4, "the GIF control record is 4 bytes");

// Writes one bitmap (with an optional 8-bit mask holding 255 - alpha) as a
// PNG file. Set the parameters, then call WriteImage once.
class TTavPNGWriteStream : public TTavCustomGraphicWriteStream {
public:
    static constexpr int32_t MinIDATSize = 256;
    static constexpr int32_t MaxIDATSize = 100000;

    TTavPNGWriteStream();
    ~TTavPNGWriteStream() override;
    std::string ClassName() const override { return "TTavPNGWriteStream"; }

    // Data bytes in every IDAT chunk but the last. Outside 256..100000
    // raises ETavPNG and keeps the old value.
    int32_t IDATSize() const { return IDATSize_; }
    void SetIDATSize(int32_t value);

    // One chunk: length, type, data, CRC over type and data.
    void WriteChunk(const char type[4], const void* data, int32_t length);

    int32_t CompressionLevel = -1;  // 0..9, anything else: zlib's default
    int32_t FilterMode = 1;         // low byte: 0 adaptive, 1 None .. 5 Paeth
    int32_t Interlace = 0;          // 1: Adam7
    bool Grayscale = false;
    int32_t BackgroundColor = -1;   // colour value, 0x01000000 | i for entry i
    int32_t TransparentColor = -1;
    std::string Comment;
    double Gamma = 0.0;
    int32_t SignificantBits = 0;    // red | green << 8 | blue << 16 | alpha << 24
    uint8_t ResolutionUnit = 0;     // 0 aspect only, 1 per metre, 2 per inch
    int32_t XResolution = 0;
    int32_t YResolution = 0;
    bool UseCurrentTime = true;
    const TPNGTimeStamp* TimeStamp = nullptr;
    const TPNGChromaticity* Chromaticity = nullptr;
    const TPNGGIFControl* GIFControl = nullptr;
    std::string Key;
    TPNGRowEvent OnEncodeRow;
    TBitmap* AlphaBitmap = nullptr;  // borrowed; byte per pixel = 255 - alpha
    bool WriteSignature = true;
    bool GrayIndexMode = false;
    // Non-zero: search for the smallest file that keeps every pixel and
    // chunk (1 quick, 2 or more thorough) instead of the layout and filter
    // chosen by the settings above; 0 or less: the normal save.
    int32_t OptimizeLevel = 0;

protected:
    void EncodeImage() override;

    // Working state of the image being written.
    int32_t SourceBits = 0;
    int32_t ImageBits = 0;
    TBitmap* ActiveAlphaBitmap = nullptr;
    bool GrayIndexActive = false;
    bool GrayOutput = false;
    bool HasAlpha = false;
    int32_t RowBits = 0;
    int32_t SourceStride = 0;
    uint8_t GrayMap[256] = {};
    TZDeflateRec Deflate;
    uint8_t PaletteEntries_[1024] = {};  // the bitmap's palette, blue, green, red, 0
    int32_t PaletteCount_ = 0;
    uint8_t PaletteAlpha_[256] = {};     // tRNS of a palette image with a mask
    int32_t PaletteAlphaCount_ = 0;      // its length; 0 writes none from the mask

private:
    // The optimising save shares the chunk writers and the working state.
    friend void WriteOptimizedImage(TTavPNGWriteStream& encoder);

    void WriteHeaderChunks();
    // tIME, the texts, tpNG, gIFg, gAMA and cHRM: the chunks between IHDR
    // and sBIT, which do not depend on the colour type.
    void WriteDescriptiveChunks();
    void WriteIHDR();
    void WriteTime();
    void WriteText(const char* keyword, const std::string& text);
    // Latin-1 text as tEXt, other UTF-8 text as iTXt.
    void WriteComment();
    void WriteTpng();
    bool RowsTransformed() const;
    bool TpngFlagsSet() const;
    void WriteGIFg();
    void WriteGamma();
    void WriteChromaticity();
    void WriteSignificantBits();
    void WritePalette();
    void WriteBackground();
    void WriteTransparency();
    void WritePhysicalSize();
    // Colour value to the 2-byte gray of a gray image; false for none.
    bool GrayLevelOf(int32_t color, uint16_t& level) const;
    // Colour value to a palette index; -1 when none is found.
    int32_t PaletteIndexOf(int32_t color) const;
    void BuildPaletteAlpha();

    void BeginChunk(const char type[4], int32_t length);
    void ChunkData(const void* data, int32_t length);
    void EndChunk();

    void WriteImageData();
    void AllocRowBuffers();
    void FreeRowBuffers();
    void BuildGrayMap();
    static int32_t OutputChunk(TZDeflateRec& rec);

    int32_t IDATSize_ = 32768;
    uint32_t ChunkCrc_ = 0;
    uint8_t* RowBlock_ = nullptr;  // owned; CurRow .. Histogram live inside
};

// Gray level of a colour for a gray image of the given source bits.
int32_t ColorToGrayLevel(int32_t bits, int32_t color);
