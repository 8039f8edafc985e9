// The PNG encoder: colour type choice, chunk writing, row conversion and
// the compressed image data.
#include <stdexcept>

#include "codec/TavPNGStream.h"

#include <algorithm>
#include <climits>
#include <iterator>
#include <cstring>
#include <ctime>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

#include "codec/PngOptimizedWrite.h"
#include "codec/PngText.h"
#include "codec/SFunc.h"
#include "platform/Bitmap.h"
#include "platform/Palette.h"

namespace {

const char* const kWriteError = "Write Image (PNG): Write Error";
const char* const kIDATSizeError = "Write PNG Param: Err IDAT Size(min:256  max:100000)";
const char* const kNoPixelsError = "Write PNG: the bitmap has no pixels (width or height 0)";
const char* const kSoftware = "TavPNG ver 3.4";
const uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
constexpr size_t kMaxKeyword = 79;
constexpr int32_t kPaletteFlag = 0x01000000;
constexpr size_t kRowAlign = 32;
constexpr size_t kHistogramBytes = 256 * sizeof(int32_t);

struct TPass {
    int32_t Row, Col, RowStep, ColStep;
};
// Adam7: first row and column and their steps for passes 1 to 7.
constexpr TPass kAdam7[7] = {{0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4},
                             {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1}};
constexpr TPass kSinglePass = {0, 0, 1, 1};

inline void PutBE16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

inline void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline uint8_t Luma(uint32_t r, uint32_t g, uint32_t b) {
    return uint8_t((77 * r + 150 * g + 29 * b) >> 8);
}

inline uint8_t Expand5(uint32_t v) {
    return uint8_t((v << 3) | (v >> 2));
}

inline uint8_t Expand6(uint32_t v) {
    return uint8_t((v << 2) | (v >> 4));
}

// Pixels in a pass of `size` pixels starting at `start` with `step`.
inline int32_t PassCount(int32_t size, int32_t start, int32_t step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

// Progress total: every pass's rows from the height alone, so a pass left
// out for a narrow width still counts.
int32_t CountImageRows(int32_t interlace, int32_t h) {
    if (interlace != 1) return h;
    int32_t n = 2 * ((h + 7) >> 3);
    if (h >= 5) n += (h + 3) >> 3;
    n += (h + 3) >> 2;
    if (h >= 3) n += (h + 1) >> 2;
    n += (h + 1) >> 1;
    if (h >= 2) n += h >> 1;
    return n;
}

// ---- row conversion -------------------------------------------------------
// One source row (and mask row) of a pass into PNG sample order. Start and
// step are in pixels for 1-, 4- and 8-bit sources, in bytes otherwise; the
// mask is addressed in pixels.
struct TRowJob {
    const uint8_t* Source = nullptr;
    const uint8_t* Alpha = nullptr;
    uint8_t* Dest = nullptr;
    int32_t Width = 0;
    int32_t SourceStart = 0, SourceStep = 1;
    int32_t AlphaStart = 0, AlphaStep = 1;
    const uint8_t* GrayMap = nullptr;
};
using TConvertRowFn = void (*)(const TRowJob& job);

enum class TPackedGray { None, Invert, MapNibbles };

// 1- and 4-bit rows: copied whole when every pixel is taken, else packed
// afresh from the chosen pixels; then the gray rule on the packed bytes.
template <int Bits, TPackedGray Gray>
void ConvertPacked(const TRowJob& j) {
    const int32_t bytes = int32_t((int64_t(j.Width) * Bits + 7) >> 3);
    uint8_t* d = j.Dest;
    if (j.SourceStart == 0 && j.SourceStep == 1) {
        std::memcpy(d, j.Source, size_t(bytes));
    } else {
        std::memset(d, 0, size_t(bytes));
        int64_t x = j.SourceStart;
        for (int32_t k = 0; k < j.Width; ++k, x += j.SourceStep) {
            if constexpr (Bits == 1) {
                const uint32_t bit = (j.Source[x >> 3] >> (7 - (x & 7))) & 1u;
                d[k >> 3] |= uint8_t(bit << (7 - (k & 7)));
            } else {
                const uint8_t s = j.Source[x >> 1];
                const uint32_t nibble = (x & 1) ? (s & 15u) : (s >> 4);
                d[k >> 1] |= uint8_t((k & 1) ? nibble : nibble << 4);
            }
        }
    }
    if constexpr (Gray == TPackedGray::Invert) {
        for (int32_t i = 0; i < bytes; ++i) d[i] = uint8_t(~d[i]);
    } else if constexpr (Gray == TPackedGray::MapNibbles) {
        const uint8_t* m = j.GrayMap;
        for (int32_t i = 0; i < bytes; ++i) d[i] = uint8_t((m[d[i] >> 4] << 4) | m[d[i] & 15]);
    }
}

enum class TIndexRule { Copy, GrayMap };

// 8-bit rows: the index itself (palette or gray-index output) or its gray
// level, each followed by the alpha sample when there is one.
template <TIndexRule Rule, bool Alpha>
void ConvertIndexed(const TRowJob& j) {
    if (Rule == TIndexRule::Copy && !Alpha && j.SourceStart == 0 && j.SourceStep == 1) {
        std::memcpy(j.Dest, j.Source, size_t(j.Width));
        return;
    }
    const uint8_t* s = j.Source + j.SourceStart;
    const uint8_t* a = Alpha ? j.Alpha + j.AlphaStart : nullptr;
    uint8_t* d = j.Dest;
    for (int32_t k = 0; k < j.Width; ++k, s += j.SourceStep) {
        *d++ = Rule == TIndexRule::GrayMap ? j.GrayMap[*s] : *s;
        if constexpr (Alpha) {
            *d++ = uint8_t(255 - *a);
            a += j.AlphaStep;
        }
    }
}

// 15-, 16-, 24- and 32-bit rows: red, green, blue (or their gray level),
// then alpha.
template <int Bits, bool Gray, bool Alpha>
void ConvertDirect(const TRowJob& j) {
    const uint8_t* s = j.Source + j.SourceStart;
    const uint8_t* a = Alpha ? j.Alpha + j.AlphaStart : nullptr;
    uint8_t* d = j.Dest;
    for (int32_t k = 0; k < j.Width; ++k, s += j.SourceStep) {
        uint32_t r, g, b;
        if constexpr (Bits == 15) {
            const uint32_t w = s[0] | (uint32_t(s[1]) << 8);
            r = Expand5((w >> 10) & 31);
            g = Expand5((w >> 5) & 31);
            b = Expand5(w & 31);
        } else if constexpr (Bits == 16) {
            const uint32_t w = s[0] | (uint32_t(s[1]) << 8);
            r = Expand5((w >> 11) & 31);
            g = Expand6((w >> 5) & 63);
            b = Expand5(w & 31);
        } else {
            b = s[0];
            g = s[1];
            r = s[2];
        }
        if constexpr (Gray) {
            *d++ = Luma(r, g, b);
        } else {
            d[0] = uint8_t(r);
            d[1] = uint8_t(g);
            d[2] = uint8_t(b);
            d += 3;
        }
        if constexpr (Alpha) {
            *d++ = uint8_t(255 - *a);
            a += j.AlphaStep;
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)
// 24-bit rows taken whole (not an Adam7 pass) with one byte shuffle per 5
// pixels, or per 4 with the mask's alpha woven in. A step loads and stores
// 16 bytes, of which the next step overwrites the excess, so the vector
// loop stops 6 pixels before the row's end, where both stay inside it.
template <bool Alpha>
__attribute__((target("ssse3"))) void ConvertBgr24Ssse3(const TRowJob& j) {
    if (j.SourceStep != 3) {
        ConvertDirect<24, false, Alpha>(j);
        return;
    }
    const uint8_t* s = j.Source + j.SourceStart;
    const uint8_t* a = Alpha ? j.Alpha + j.AlphaStart : nullptr;
    uint8_t* d = j.Dest;
    constexpr int perVector = Alpha ? 4 : 5;
    constexpr int outStep = Alpha ? 4 : 3;
    const __m128i toRgb = Alpha ? _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1)
                                : _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, -1);
    const __m128i toAlpha = _mm_setr_epi8(-1, -1, -1, 0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, 3);
    const __m128i invert = _mm_setr_epi8(0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1);
    int32_t k = 0;
    if (Alpha ? j.AlphaStep == 1 : true) {
        for (; k + 6 <= j.Width; k += perVector) {
            __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 3 * k)), toRgb);
            if constexpr (Alpha) {
                uint32_t mask;
                std::memcpy(&mask, a + k, 4);
                // 255 - m is the complement of m.
                v = _mm_or_si128(v, _mm_xor_si128(_mm_shuffle_epi8(_mm_cvtsi32_si128(int(mask)), toAlpha), invert));
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + outStep * k), v);
        }
    }
    for (; k < j.Width; ++k) {
        const uint8_t* p = s + 3 * k;
        uint8_t* q = d + outStep * k;
        q[0] = p[2];
        q[1] = p[1];
        q[2] = p[0];
        if constexpr (Alpha) q[3] = uint8_t(255 - a[k * j.AlphaStep]);
    }
}

#endif

template <int Bits>
TConvertRowFn DirectConverter(bool gray, bool alpha) {
#if defined(__x86_64__) || defined(__i386__)
    if (Bits == 24 && !gray && CpuHasSsse3()) return alpha ? ConvertBgr24Ssse3<true> : ConvertBgr24Ssse3<false>;
#endif
    if (gray) return alpha ? ConvertDirect<Bits, true, true> : ConvertDirect<Bits, true, false>;
    return alpha ? ConvertDirect<Bits, false, true> : ConvertDirect<Bits, false, false>;
}

// Bound once per image, so the row loop makes no per-pixel decisions.
TConvertRowFn SelectConverter(int32_t sourceBits, bool grayOutput, bool grayIndex, bool alpha, bool invert) {
    const bool gray = grayOutput && !grayIndex;
    switch (sourceBits) {
    case 1:
        if (gray && invert) return ConvertPacked<1, TPackedGray::Invert>;
        return ConvertPacked<1, TPackedGray::None>;
    case 4:
        return gray ? ConvertPacked<4, TPackedGray::MapNibbles> : ConvertPacked<4, TPackedGray::None>;
    case 8:
        if (gray) return alpha ? ConvertIndexed<TIndexRule::GrayMap, true> : ConvertIndexed<TIndexRule::GrayMap, false>;
        return alpha ? ConvertIndexed<TIndexRule::Copy, true> : ConvertIndexed<TIndexRule::Copy, false>;
    case 15:
        return DirectConverter<15>(gray, alpha);
    case 16:
        return DirectConverter<16>(gray, alpha);
    case 32:
        return DirectConverter<32>(gray, alpha);
    default:
        return DirectConverter<24>(gray, alpha);
    }
}

// Bytes per source pixel for direct formats; indexed sources count pixels.
int32_t SourceUnit(int32_t sourceBits) {
    switch (sourceBits) {
    case 15:
    case 16:
        return 2;
    case 24:
        return 3;
    case 32:
        return 4;
    default:
        return 1;
    }
}

// The highest palette index that a pixel of a 1-, 4- or 8-bit bitmap
// uses; the padding at the end of each row takes no part.
int32_t HighestIndexUsed(const TBitmap& image, int32_t bits) {
    const int32_t width = image.Width(), top = (1 << bits) - 1;
    const int32_t fullBytes = int32_t(int64_t(width) * bits / 8);
    const int32_t restPixels = width - fullBytes * 8 / bits;
    uint32_t highest = 0;
    for (int32_t y = 0; y < image.Height() && int32_t(highest) < top; ++y) {
        const uint8_t* row = image.ScanLine(y);
        if (bits == 8) {
            highest = std::max<uint32_t>(highest, *std::max_element(row, row + width));
            continue;
        }
        uint8_t any = 0, highNibble = 0;
        for (int32_t i = 0; i < fullBytes; ++i) {
            any |= row[i];
            highNibble = std::max(highNibble, uint8_t(std::max(row[i] >> 4, row[i] & 15)));
        }
        // The last byte's pixels that lie inside the row, from the top bit.
        const uint8_t last = restPixels > 0 ? uint8_t(row[fullBytes] & ~(0xFFu >> (restPixels * bits))) : 0;
        if (bits == 1) {
            highest |= (any | last) != 0 ? 1u : 0u;
        } else {
            highest = std::max<uint32_t>(highest, std::max<uint32_t>(highNibble, last >> 4));
        }
    }
    return int32_t(highest);
}

bool ValidTime(const TPNGTimeStamp& t) {
    return t.Year > 0 && t.Month >= 1 && t.Month <= 12 && t.Day >= 1 && t.Day <= 31 && t.Hour <= 23 &&
           t.Minute <= 59 && t.Second <= 60;
}

}  // namespace

int32_t ColorToGrayLevel(int32_t bits, int32_t color) {
    const uint32_t c = uint32_t(color);
    const int32_t level = Luma(c & 255, (c >> 8) & 255, (c >> 16) & 255);
    if (bits == 1) return level >= 128 ? 1 : 0;
    if (bits == 4) return level >> 4;
    return level;
}

// ---- construction and parameters ----------------------------------------

TTavPNGWriteStream::TTavPNGWriteStream() {
    Deflate.Owner = this;
    Deflate.OnOutput = &TTavPNGWriteStream::OutputChunk;
}

TTavPNGWriteStream::~TTavPNGWriteStream() {
    FreeRowBuffers();
    ZDeflateEnd(Deflate);
}

void TTavPNGWriteStream::SetIDATSize(int32_t value) {
    if (value < MinIDATSize || value > MaxIDATSize) throw ETavPNG(kIDATSizeError);
    IDATSize_ = value;
}

// ---- chunk framing --------------------------------------------------------

void TTavPNGWriteStream::BeginChunk(const char type[4], int32_t length) {
    WriteDWordBE(uint32_t(length));
    WriteBlock(type, 4);
    ChunkCrc_ = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(type), 4);
}

void TTavPNGWriteStream::ChunkData(const void* data, int32_t length) {
    // A zero-length block write would stop the writer: skip it.
    if (data == nullptr || length <= 0) return;
    WriteBlock(data, length);
    ChunkCrc_ = crc32(ChunkCrc_, static_cast<const Bytef*>(data), uInt(length));
}

void TTavPNGWriteStream::EndChunk() {
    WriteDWordBE(ChunkCrc_);
}

void TTavPNGWriteStream::WriteChunk(const char type[4], const void* data, int32_t length) {
    if (data == nullptr || length < 0) length = 0;
    BeginChunk(type, length);
    ChunkData(data, length);
    EndChunk();
}

int32_t TTavPNGWriteStream::OutputChunk(TZDeflateRec& rec) {
    auto& self = *static_cast<TTavPNGWriteStream*>(rec.Owner);
    self.WriteChunk("IDAT", rec.OutBuffer, rec.OutBufferSize - int32_t(rec.Z.avail_out));
    return 0;
}

// ---- the whole file -------------------------------------------------------

void TTavPNGWriteStream::EncodeImage() {
    ActiveAlphaBitmap = nullptr;
    HasAlpha = false;
    GrayOutput = false;
    GrayIndexActive = false;

    // The compressor and the row buffers go on every way out.
    struct TRelease {
        TTavPNGWriteStream& Self;
        ~TRelease() {
            ZDeflateEnd(Self.Deflate);
            Self.FreeRowBuffers();
        }
    } release{*this};

    TBitmap& bitmap = *Bitmap_;
    // IHDR allows no zero width or height: such a file would be invalid.
    if (bitmap.Width() <= 0 || bitmap.Height() <= 0) throw ETavPNG(kNoPixelsError);
    SourceBits = BitCountFromPixelFormat(bitmap.PixelFormat());
    ImageBits = (SourceBits == 15 || SourceBits == 16) ? 24 : SourceBits;

    TBitmap* mask = AlphaBitmap;
    if (mask != nullptr && mask != &bitmap && !mask->Empty() && mask->Width() == bitmap.Width() &&
        mask->Height() == bitmap.Height() && mask->PixelFormat() == pf8bit)
        ActiveAlphaBitmap = mask;
    GrayIndexActive = GrayIndexMode && SourceBits == 8 && ActiveAlphaBitmap != nullptr && !Grayscale;
    PaletteCount_ = ImageBits <= 8 ? GetPaletteEntriesRGB(bitmap.GetPalette(), PaletteEntries_) : 0;
    if (PaletteCount_ > 256) PaletteCount_ = 256;
    // Without a palette every pixel of an indexed bitmap reads as black
    // (TBitmap::Pixel): a PLTE of black entries keeps both the indices and
    // those colours, where a palette image without PLTE would be invalid.
    if (ImageBits <= 8 && PaletteCount_ <= 0 && !Grayscale && !GrayIndexActive) {
        PaletteCount_ = 1 << ImageBits;
        std::memset(PaletteEntries_, 0, sizeof PaletteEntries_);
    }
    // Indices past the palette read as black too; the PLTE then reaches the
    // highest index used, with black entries, since a palette image whose
    // pixels point beyond its PLTE is invalid. A palette that covers every
    // index keeps its length, so such files stay as they were.
    if (ImageBits <= 8 && PaletteCount_ < (1 << ImageBits) && !Grayscale && !GrayIndexActive) {
        const int32_t used = HighestIndexUsed(bitmap, ImageBits) + 1;
        if (used > PaletteCount_) {
            std::memset(PaletteEntries_ + 4 * PaletteCount_, 0, size_t(4 * (used - PaletteCount_)));
            PaletteCount_ = used;
        }
    }
    PaletteAlphaCount_ = 0;
    if (ImageBits <= 8 && !Grayscale && !GrayIndexActive && ActiveAlphaBitmap != nullptr)
        BuildPaletteAlpha();
    if (OptimizeLevel > 0) {
        WriteOptimizedImage(*this);
        return;
    }

    ProgressBegin();
    ProgressPhase(1, 10, 30);
    if (WriteSignature) WriteBlock(kSignature, sizeof kSignature);
    WriteHeaderChunks();
    ProgressStep(10);
    if (Stopped) return;

    WriteImageData();
    if (Stopped) return;
    WriteChunk("IEND", nullptr, 0);
    ProgressEnd();
}

void TTavPNGWriteStream::WriteHeaderChunks() {
    WriteIHDR();
    WriteDescriptiveChunks();
    WriteSignificantBits();
    WritePalette();
    WriteBackground();
    WriteTransparency();
    WritePhysicalSize();
}

void TTavPNGWriteStream::WriteDescriptiveChunks() {
    WriteTime();
    WriteComment();
    // The optimising save leaves out what says nothing about the picture:
    // the program's name, and a tpNG whose flags are all clear (a file
    // without one reads exactly so).
    const bool optimising = OptimizeLevel > 0;
    if (!optimising) WriteText("Software", kSoftware);
    if (!optimising || TpngFlagsSet()) WriteTpng();
    WriteGIFg();
    WriteGamma();
    WriteChromaticity();
}

void TTavPNGWriteStream::WriteIHDR() {
    uint8_t depth, colorType;
    if (Grayscale || GrayIndexActive) {
        GrayOutput = true;
        if (ImageBits > 8) ImageBits = 8;
        depth = uint8_t(ImageBits);
        if (ActiveAlphaBitmap != nullptr && depth == 8) {
            HasAlpha = true;
            colorType = 4;
            RowBits = 16;
        } else {
            colorType = 0;
            RowBits = ImageBits;
        }
    } else if (ImageBits <= 8) {
        colorType = 3;
        depth = uint8_t(ImageBits);
        RowBits = ImageBits;
    } else {
        depth = 8;
        HasAlpha = ActiveAlphaBitmap != nullptr;
        colorType = HasAlpha ? 6 : 2;
        RowBits = HasAlpha ? 32 : 24;
    }
    const int32_t width = Bitmap_->Width();
    SourceStride = RowStride(width, TPixelFormat(Bitmap_->PixelFormat()));
    Deflate.BitsPerPixel = RowBits;
    Deflate.ImageBits = ImageBits;

    uint8_t body[13];
    PutBE32(body, uint32_t(width));
    PutBE32(body + 4, uint32_t(Bitmap_->Height()));
    body[8] = depth;
    body[9] = colorType;
    body[10] = 0;
    body[11] = 0;
    // Only the two defined methods are written; anything else is no interlace.
    body[12] = Interlace == 1 ? 1 : 0;
    WriteChunk("IHDR", body, sizeof body);
}

void TTavPNGWriteStream::WriteTime() {
    TPNGTimeStamp t;
    if (UseCurrentTime)
        t = CurrentUtcTimeStamp();
    else if (TimeStamp != nullptr)
        t = *TimeStamp;
    else
        return;
    if (!ValidTime(t)) return;
    uint8_t body[7];
    PutBE16(body, t.Year);
    body[2] = t.Month;
    body[3] = t.Day;
    body[4] = t.Hour;
    body[5] = t.Minute;
    body[6] = t.Second;
    WriteChunk("tIME", body, sizeof body);
}

void TTavPNGWriteStream::WriteText(const char* keyword, const std::string& text) {
    const size_t keyLength = std::strlen(keyword);
    if (text.empty() || keyLength > kMaxKeyword) return;
    // A chunk length is at most 2^31 - 1; a longer text cannot be framed.
    if (text.size() > size_t(INT32_MAX) - keyLength - 1) return;
    const uint8_t zero = 0;
    BeginChunk("tEXt", int32_t(keyLength + 1 + text.size()));
    ChunkData(keyword, int32_t(keyLength));
    ChunkData(&zero, 1);
    ChunkData(text.data(), int32_t(text.size()));
    EndChunk();
}

void TTavPNGWriteStream::WriteComment() {
    std::string latin1;
    if (Utf8ToLatin1(Comment, latin1)) {
        WriteText("Comment", latin1);
        return;
    }
    // Bytes that are not UTF-8 are stored as they are, as they always were.
    if (!IsValidUtf8(Comment)) {
        WriteText("Comment", Comment);
        return;
    }
    // Text beyond Latin-1: an uncompressed iTXt with no language tag and
    // no translated keyword.
    static const char kHead[] = "Comment\0\0\0\0\0";  // keyword end, flag, method, two empty fields
    const int32_t headLength = int32_t(sizeof kHead - 1);
    if (Comment.size() > size_t(INT32_MAX - headLength)) return;
    BeginChunk("iTXt", headLength + int32_t(Comment.size()));
    ChunkData(kHead, headLength);
    ChunkData(Comment.data(), int32_t(Comment.size()));
    EndChunk();
}

bool TTavPNGWriteStream::RowsTransformed() const { return !Key.empty() && OnEncodeRow; }

bool TTavPNGWriteStream::TpngFlagsSet() const { return RowsTransformed() || GrayIndexActive; }

void TTavPNGWriteStream::WriteTpng() {
    uint8_t body[8];
    PutBE32(body, TpngMarker);
    body[4] = RowsTransformed() ? 1 : 0;
    body[5] = GrayIndexActive ? 1 : 0;
    body[6] = 0;
    body[7] = 0;
    WriteChunk("tpNG", body, sizeof body);
}

void TTavPNGWriteStream::WriteGIFg() {
    if (GIFControl == nullptr) return;
    const uint8_t* b = GIFControl->Bytes;
    if ((b[0] | b[1] | b[2] | b[3]) == 0) return;
    WriteChunk("gIFg", b, 4);
}

void TTavPNGWriteStream::WriteGamma() {
    // Rounded to nearest, so that a value read from a file (divided by
    // 100000) is written back unchanged.
    const long double product = static_cast<long double>(Gamma) * 100000.0L + 0.5L;
    // Out-of-range gammas would not convert; they cannot be written anyway.
    if (!(product >= 1.0L) || product >= 4294967296.0L) return;
    uint8_t body[4];
    PutBE32(body, uint32_t(product));
    WriteChunk("gAMA", body, sizeof body);
}

void TTavPNGWriteStream::WriteChromaticity() {
    if (Chromaticity == nullptr) return;
    const TPNGChromaticity& c = *Chromaticity;
    if (c.WhiteX == 0 || c.WhiteY == 0) return;
    const int32_t values[8] = {c.WhiteX, c.WhiteY, c.RedX, c.RedY, c.GreenX, c.GreenY, c.BlueX, c.BlueY};
    uint8_t body[32];
    for (int i = 0; i < 8; ++i) PutBE32(body + 4 * i, uint32_t(values[i]));
    WriteChunk("cHRM", body, sizeof body);
}

void TTavPNGWriteStream::WriteSignificantBits() {
    if (SourceBits == 15 || SourceBits == 16) {
        SignificantBits = SourceBits == 15 ? (5 | 5 << 8 | 5 << 16) : (5 | 6 << 8 | 5 << 16);
        if (HasAlpha) SignificantBits |= 0x08000000;
    }
    if (SignificantBits <= 0 || GrayOutput) return;
    // Every value lies in 1 to the sample depth written, which is 8 for
    // truecolour and palette images: a 16-bit source is written at 8 bits,
    // and an absent alpha value means all of its bits.
    const uint32_t v = uint32_t(SignificantBits);
    uint8_t body[4];
    for (int i = 0; i < 4; ++i) {
        const uint8_t bits = uint8_t(v >> (8 * i));
        body[i] = bits == 0 || bits > 8 ? 8 : bits;
    }
    WriteChunk("sBIT", body, HasAlpha ? 4 : 3);
}

void TTavPNGWriteStream::WritePalette() {
    if (ImageBits > 8 || (GrayOutput && !GrayIndexActive)) return;
    const int32_t count = PaletteCount_;
    if (count <= 0) return;
    uint8_t body[768];
    for (int32_t i = 0; i < count; ++i) {
        body[3 * i] = PaletteEntries_[4 * i + 2];
        body[3 * i + 1] = PaletteEntries_[4 * i + 1];
        body[3 * i + 2] = PaletteEntries_[4 * i];
    }
    WriteChunk("PLTE", body, 3 * count);
}

bool TTavPNGWriteStream::GrayLevelOf(int32_t color, uint16_t& level) const {
    if ((color & kPaletteFlag) != 0 && SourceBits <= 8) {
        color = GetPaletteColor(Bitmap_->GetPalette(), color & 255);
        if (color == -1) return false;  // no such entry: nothing to write
    }
    level = uint16_t(ColorToGrayLevel(SourceBits, color));
    return true;
}

int32_t TTavPNGWriteStream::PaletteIndexOf(int32_t color) const {
    if ((color & kPaletteFlag) != 0) return color & 255;
    return NearestPaletteIndex(Bitmap_->GetPalette(), color & 0xFFFFFF);
}

void TTavPNGWriteStream::WriteBackground() {
    if (BackgroundColor == -1) return;
    if (GrayOutput && !GrayIndexActive) {
        uint16_t level;
        if (!GrayLevelOf(BackgroundColor, level)) return;
        uint8_t body[2];
        PutBE16(body, level);
        WriteChunk("bKGD", body, sizeof body);
    } else if (SourceBits <= 8) {
        // An index beyond the palette names no colour.
        const int32_t index = PaletteIndexOf(BackgroundColor);
        if (index < 0 || index >= PaletteCount_) return;
        const uint8_t body = uint8_t(index);
        WriteChunk("bKGD", &body, 1);
    } else {
        const uint32_t c = uint32_t(BackgroundColor);
        uint8_t body[6];
        PutBE16(body, c & 255);
        PutBE16(body + 2, (c >> 8) & 255);
        PutBE16(body + 4, (c >> 16) & 255);
        WriteChunk("bKGD", body, sizeof body);
    }
}

void TTavPNGWriteStream::WriteTransparency() {
    if (HasAlpha) return;
    if (PaletteAlphaCount_ > 0) {
        WriteChunk("tRNS", PaletteAlpha_, PaletteAlphaCount_);
        return;
    }
    if (TransparentColor == -1) return;
    if (GrayOutput) {
        uint16_t level;
        if (!GrayLevelOf(TransparentColor, level)) return;
        uint8_t body[2];
        PutBE16(body, level);
        WriteChunk("tRNS", body, sizeof body);
    } else if (SourceBits <= 8) {
        // tRNS may not be longer than the palette.
        const int32_t index = PaletteIndexOf(TransparentColor);
        if (index < 0 || index >= PaletteCount_) return;
        uint8_t body[256];
        std::memset(body, 255, size_t(index));
        body[index] = 0;
        WriteChunk("tRNS", body, index + 1);
    } else {
        const uint32_t c = uint32_t(TransparentColor);
        uint8_t body[6];
        PutBE16(body, c & 255);
        PutBE16(body + 2, (c >> 8) & 255);
        PutBE16(body + 4, (c >> 16) & 255);
        WriteChunk("tRNS", body, sizeof body);
    }
}

void TTavPNGWriteStream::WritePhysicalSize() {
    // Units above 2 have no meaning in the file; nothing is written for them.
    if (XResolution <= 0 || YResolution <= 0 || ResolutionUnit > 2) return;
    uint32_t x = uint32_t(XResolution), y = uint32_t(YResolution);
    uint8_t unit = ResolutionUnit;
    if (unit == 2) {
        x = uint32_t(double(XResolution) * 100 / 254 * 100);
        y = uint32_t(double(YResolution) * 100 / 254 * 100);
        unit = 1;
    }
    uint8_t body[9];
    PutBE32(body, x);
    PutBE32(body + 4, y);
    body[8] = unit;
    WriteChunk("pHYs", body, sizeof body);
}

void TTavPNGWriteStream::BuildPaletteAlpha() {
    // Each palette entry's alpha, when every pixel of that entry has the
    // same mask value; a mask that gives one entry two values cannot be
    // a tRNS and is left out, as any mask of a palette image was.
    int16_t seen[256];
    std::fill(std::begin(seen), std::end(seen), int16_t(-1));
    const TBitmap& image = *Bitmap_;
    const int32_t width = image.Width(), height = image.Height();
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = image.ScanLine(y);
        const uint8_t* mask = ActiveAlphaBitmap->ScanLine(y);
        for (int32_t x = 0; x < width; ++x) {
            uint32_t index;
            if (SourceBits == 1) index = (row[x >> 3] >> (7 - (x & 7))) & 1u;
            else if (SourceBits == 4) index = (x & 1) ? (row[x >> 1] & 15u) : (row[x >> 1] >> 4);
            else index = row[x];
            const int16_t alpha = int16_t(255 - mask[x]);
            if (seen[index] == -1) seen[index] = alpha;
            else if (seen[index] != alpha) return;
        }
    }
    // Every index used has an entry by now (EncodeImage), so each one's
    // alpha has its place in the table.
    int32_t count = 0;
    for (int32_t i = 0; i < PaletteCount_; ++i) {
        PaletteAlpha_[i] = seen[i] == -1 ? 255 : uint8_t(seen[i]);
        if (PaletteAlpha_[i] != 255) count = i + 1;
    }
    PaletteAlphaCount_ = count;
}

// ---- image data -----------------------------------------------------------

void TTavPNGWriteStream::AllocRowBuffers() {
    FreeRowBuffers();
    const int32_t stride = RowStride(Bitmap_->Width(), RowBits);
    size_t rowBytes = 0, block = 0;
    if (!CheckedAdd(size_t(stride), 8 + kRowAlign - 1, rowBytes)) throw EOutOfMemory();
    rowBytes &= ~(kRowAlign - 1);
    if (!CheckedMul(rowBytes, 4, block) || !CheckedAdd(block, kHistogramBytes + kRowAlign + 8, block))
        throw EOutOfMemory();
    RowBlock_ = GuardAlloc([block] { return new uint8_t[block]; });
    const uintptr_t base = reinterpret_cast<uintptr_t>(RowBlock_);
    uint8_t* aligned = RowBlock_ + ((kRowAlign - base % kRowAlign) % kRowAlign);
    Deflate.CurRow = aligned;
    Deflate.PrevRow = aligned + rowBytes;
    Deflate.BestRow = aligned + 2 * rowBytes;
    Deflate.TrialRow = aligned + 3 * rowBytes;
    Deflate.Histogram = reinterpret_cast<int32_t*>(aligned + 4 * rowBytes);
}

void TTavPNGWriteStream::FreeRowBuffers() {
    delete[] RowBlock_;
    RowBlock_ = nullptr;
    Deflate.CurRow = Deflate.PrevRow = Deflate.BestRow = Deflate.TrialRow = nullptr;
    Deflate.Histogram = nullptr;
}

void TTavPNGWriteStream::BuildGrayMap() {
    uint8_t entries[1024] = {};
    const int32_t count = GetPaletteEntriesRGB(Bitmap_->GetPalette(), entries);
    if (count <= 0) {
        for (int32_t i = 0; i < (1 << SourceBits) && i < 256; ++i) GrayMap[i] = uint8_t(i);
        return;
    }
    auto level = [&entries](int32_t e) {
        return 77 * entries[4 * e + 2] + 150 * entries[4 * e + 1] + 29 * entries[4 * e];
    };
    if (SourceBits == 1) {
        GrayMap[0] = (level(0) >> 8) > (level(1) >> 8) ? 255 : 0;
    } else {
        const int shift = SourceBits == 4 ? 12 : 8;
        for (int32_t e = 0; e < count && e < 256; ++e) GrayMap[e] = uint8_t(level(e) >> shift);
    }
}

void TTavPNGWriteStream::WriteImageData() {
    AllocRowBuffers();
    if (GrayOutput && !GrayIndexActive && SourceBits <= 8) BuildGrayMap();
    const int32_t level = (CompressionLevel >= 0 && CompressionLevel <= 9) ? CompressionLevel : -1;
    // A compressor that fails to start fails the first row, or the finish.
    ZDeflateInit(Deflate, level, IDATSize_);
    Deflate.FilterMode = FilterMode;

    const int32_t width = Bitmap_->Width();
    const int32_t height = Bitmap_->Height();
    ProgressPhase(1, CountImageRows(Interlace, height), 0);

    // An 8-bit gray palette in order maps every index to itself: its rows
    // are then copied like gray-index rows, which give the same bytes.
    bool identityMap = SourceBits == 8 && GrayOutput && !GrayIndexActive;
    for (int32_t i = 0; i < 256 && identityMap; ++i) identityMap = GrayMap[i] == i;
    const TConvertRowFn convert =
        SelectConverter(SourceBits, GrayOutput, GrayIndexActive || identityMap, HasAlpha, GrayMap[0] == 255);
    const int32_t unit = SourceUnit(SourceBits);
    const bool interlaced = Interlace == 1;
    const bool callHook = !Key.empty() && bool(OnEncodeRow);
    // Every filtered row of every pass, filter bytes included: the size of
    // the stream the compressor will take.
    Deflate.ExpectedIn = 0;
    for (int p = 0; p < (interlaced ? 7 : 1); ++p) {
        const TPass& pass = interlaced ? kAdam7[p] : kSinglePass;
        const int64_t passWidth = PassCount(width, pass.Col, pass.ColStep);
        const int64_t rows = PassCount(height, pass.Row, pass.RowStep);
        if (passWidth > 0) Deflate.ExpectedIn += rows * (((passWidth * RowBits + 7) >> 3) + 1);
    }

    try {
        int32_t r = 1;
        for (int p = 0; p < (interlaced ? 7 : 1) && !Stopped; ++p) {
            const TPass& pass = interlaced ? kAdam7[p] : kSinglePass;
            const int32_t passWidth = PassCount(width, pass.Col, pass.ColStep);
            const int32_t rows = PassCount(height, pass.Row, pass.RowStep);
            if (passWidth == 0 || rows == 0) continue;
            Deflate.RowSize = int32_t(((int64_t(passWidth) * RowBits + 7) >> 3) + 1);
            std::memset(Deflate.PrevRow, 0, size_t(Deflate.RowSize));

            TRowJob job;
            job.Width = passWidth;
            job.SourceStart = pass.Col * unit;
            job.SourceStep = pass.ColStep * unit;
            job.AlphaStart = pass.Col;
            job.AlphaStep = pass.ColStep;
            job.GrayMap = GrayMap;
            for (int32_t k = 0; k < rows; ++k) {
                const int32_t y = pass.Row + k * pass.RowStep;
                job.Source = Bitmap_->ScanLine(y);
                job.Alpha = HasAlpha ? ActiveAlphaBitmap->ScanLine(y) : nullptr;
                job.Dest = Deflate.CurRow;
                convert(job);
                if (callHook) OnEncodeRow(this, Deflate.CurRow, Deflate.RowSize - 1, r - 1, Key);
                if (ZDeflateWriteRow(Deflate) < 0) throw ETavPNG(kWriteError);
                std::swap(Deflate.CurRow, Deflate.PrevRow);
                if (r % 4 == 2 || height < 4) ProgressStep(r);
                ++r;
                if (Stopped) break;
            }
        }
    } catch (...) {
        // Finish the stream as far as it goes, but the first error is the
        // one that is reported.
        try {
            ZDeflateFinish(Deflate);
        } catch (...) {
        }
        ZDeflateEnd(Deflate);
        FreeRowBuffers();
        throw;
    }
    const int32_t finished = ZDeflateFinish(Deflate);
    ZDeflateEnd(Deflate);
    FreeRowBuffers();
    // An unfinished stream would leave a file that looks saved but is cut.
    if (finished != 0) throw ETavPNG(kWriteError);
}

TPNGTimeStamp CurrentUtcTimeStamp() {
    TPNGTimeStamp t;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (now == std::time_t(-1) || gmtime_r(&now, &utc) == nullptr) return t;  // year 0: no tIME
    t.Year = uint16_t(utc.tm_year + 1900);
    t.Month = uint8_t(utc.tm_mon + 1);
    t.Day = uint8_t(utc.tm_mday);
    t.Hour = uint8_t(utc.tm_hour);
    t.Minute = uint8_t(utc.tm_min);
    t.Second = uint8_t(utc.tm_sec);
    return t;
}
