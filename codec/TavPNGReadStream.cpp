// The PNG decoder: signature, chunk loop, header and ancillary chunks, and
// the image data with its filters, Adam7 passes and pixel conversion.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

#include "codec/PngMessages.h"
#include "codec/PngText.h"
#include "codec/SFunc.h"
#include "codec/TavPNGStream.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace {

constexpr uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

constexpr uint32_t ChunkId(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
           uint32_t(uint8_t(s[3]));
}

uint32_t LoadBE32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

constexpr uint32_t kIHDR = ChunkId("IHDR");
constexpr uint32_t kPLTE = ChunkId("PLTE");
constexpr uint32_t kIDAT = ChunkId("IDAT");
constexpr uint32_t kIEND = ChunkId("IEND");
constexpr uint32_t kTRNS = ChunkId("tRNS");
constexpr uint32_t kBKGD = ChunkId("bKGD");
constexpr uint32_t kGAMA = ChunkId("gAMA");
constexpr uint32_t kSBIT = ChunkId("sBIT");
constexpr uint32_t kPHYS = ChunkId("pHYs");
constexpr uint32_t kCHRM = ChunkId("cHRM");
constexpr uint32_t kGIFG = ChunkId("gIFg");
constexpr uint32_t kTIME = ChunkId("tIME");
constexpr uint32_t kTEXT = ChunkId("tEXt");
constexpr uint32_t kITXT = ChunkId("iTXt");
constexpr uint32_t kZTXT = ChunkId("zTXt");
constexpr uint32_t kTPNG = ChunkId("tpNG");

// Marks that an indexed tRNS was read; resolved when the bitmap is prepared.
constexpr int32_t kPaletteAlphaPending = 0x01FFFFFF;


using TRowState = TTavPNGReadStream::TRowState;

// ---- ConvertRow steps: a pass row of PassWidth pixels, filter byte
// already dropped, into bitmap layout.

const uint8_t* ConvertNone(TRowState&, const uint8_t* src) { return src; }

// Four 2-bit pixels per byte become two bytes of 4-bit pixels.
const uint8_t* ConvertExpand2(TRowState& s, const uint8_t* src) {
    uint8_t* out = s.ConvertedRow;
    const int32_t n = (s.PassWidth + 3) / 4;
    for (int32_t i = 0; i < n; ++i) {
        const uint8_t b = src[i];
        out[2 * i] = uint8_t((b >> 6 & 3) << 4 | (b >> 4 & 3));
        out[2 * i + 1] = uint8_t((b >> 2 & 3) << 4 | (b & 3));
    }
    return out;
}

const uint8_t* ConvertGrey16(TRowState& s, const uint8_t* src) {
    uint8_t* out = s.ConvertedRow;
    int32_t i = 0;
#if defined(__SSE2__)
    // The high byte comes first: the low byte of each little-endian lane.
    const __m128i low = _mm_set1_epi16(0x00FF);
    for (; i + 16 <= s.PassWidth; i += 16) {
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * i + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_packus_epi16(_mm_and_si128(v0, low), _mm_and_si128(v1, low)));
    }
#endif
    for (; i < s.PassWidth; ++i) out[i] = src[2 * i];
    return out;
}

// Grey and alpha: Step bytes per pixel, alpha at byte AlphaAt.
template <int Step, int AlphaAt>
const uint8_t* ConvertGreyAlpha(TRowState& s, const uint8_t* src) {
    uint8_t* out = s.ConvertedRow;
    uint8_t* alpha = s.AlphaRow;
    for (int32_t i = 0; i < s.PassWidth; ++i, src += Step) {
        out[i] = src[0];
        alpha[i] = uint8_t(255 - src[AlphaAt]);
    }
    return s.ConvertedRow;
}

// R, G, B(, A) samples of Sample bytes each (the first is the high byte)
// into B, G, R.
template <int Sample, bool Alpha>
const uint8_t* ConvertRgb(TRowState& s, const uint8_t* src) {
    constexpr int step = Sample * (Alpha ? 4 : 3);
    uint8_t* out = s.ConvertedRow;
    uint8_t* alpha = s.AlphaRow;
    for (int32_t i = 0; i < s.PassWidth; ++i, src += step, out += 3) {
        out[0] = src[2 * Sample];
        out[1] = src[Sample];
        out[2] = src[0];
        if constexpr (Alpha) alpha[i] = uint8_t(255 - src[3 * Sample]);
    }
    return s.ConvertedRow;
}

#if defined(__x86_64__) || defined(__i386__)
// ConvertRgb<1, Alpha> with one byte shuffle per 5 pixels (4 with alpha).
// Each step stores 16 bytes of which the next step overwrites the excess,
// so the vector loop stops 6 pixels before the end of the row, where both
// the 16-byte loads and stores still lie inside it.
template <bool Alpha>
__attribute__((target("ssse3"))) const uint8_t* ConvertRgb8Ssse3(TRowState& s, const uint8_t* src) {
    constexpr int step = Alpha ? 4 : 3;
    constexpr int perVector = Alpha ? 4 : 5;
    uint8_t* out = s.ConvertedRow;
    uint8_t* alpha = s.AlphaRow;
    const __m128i toBgr = Alpha ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                                : _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, -1);
    const __m128i toAlpha = _mm_setr_epi8(3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    int32_t i = 0;
    for (; i + 6 <= s.PassWidth; i += perVector) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + step * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i), _mm_shuffle_epi8(v, toBgr));
        if constexpr (Alpha) {
            // 255 - a is the complement of a.
            const uint32_t a = ~uint32_t(_mm_cvtsi128_si32(_mm_shuffle_epi8(v, toAlpha)));
            std::memcpy(alpha + i, &a, 4);
        }
    }
    for (; i < s.PassWidth; ++i) {
        const uint8_t* p = src + step * i;
        out[3 * i] = p[2];
        out[3 * i + 1] = p[1];
        out[3 * i + 2] = p[0];
        if constexpr (Alpha) alpha[i] = uint8_t(255 - p[3]);
    }
    return s.ConvertedRow;
}

// ConvertRgb<2, Alpha>: two pixels per shuffle, taking the high byte of
// each sample. As above, each step stores 16 bytes and the vector loop
// stops 6 pixels before the end of the row.
template <bool Alpha>
__attribute__((target("ssse3"))) const uint8_t* ConvertRgb16Ssse3(TRowState& s, const uint8_t* src) {
    constexpr int step = Alpha ? 8 : 6;
    uint8_t* out = s.ConvertedRow;
    uint8_t* alpha = s.AlphaRow;
    const __m128i toBgr = Alpha ? _mm_setr_epi8(4, 2, 0, 12, 10, 8, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)
                                : _mm_setr_epi8(4, 2, 0, 10, 8, 6, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i toAlpha = _mm_setr_epi8(6, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    int32_t i = 0;
    for (; i + 6 <= s.PassWidth; i += 2) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + step * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * i), _mm_shuffle_epi8(v, toBgr));
        if constexpr (Alpha) {
            const uint16_t a = uint16_t(~uint32_t(_mm_cvtsi128_si32(_mm_shuffle_epi8(v, toAlpha))));
            std::memcpy(alpha + i, &a, 2);
        }
    }
    for (; i < s.PassWidth; ++i) {
        const uint8_t* p = src + step * i;
        out[3 * i] = p[4];
        out[3 * i + 1] = p[2];
        out[3 * i + 2] = p[0];
        if constexpr (Alpha) alpha[i] = uint8_t(255 - p[6]);
    }
    return s.ConvertedRow;
}

#endif

// R, G, B(, A) into little-endian 5-6-5 words.
template <int Sample, bool Alpha>
const uint8_t* ConvertRgb565(TRowState& s, const uint8_t* src) {
    constexpr int step = Sample * (Alpha ? 4 : 3);
    uint8_t* out = s.ConvertedRow;
    uint8_t* alpha = s.AlphaRow;
    for (int32_t i = 0; i < s.PassWidth; ++i, src += step, out += 2) {
        const unsigned w = unsigned(src[0] >> 3) << 11 | unsigned(src[Sample] >> 2) << 5 | unsigned(src[2 * Sample] >> 3);
        out[0] = uint8_t(w);
        out[1] = uint8_t(w >> 8);
        if constexpr (Alpha) alpha[i] = uint8_t(255 - src[3 * Sample]);
    }
    return s.ConvertedRow;
}

// ---- WriteRow steps.

void WriteWholeRow(const TRowState& s, const uint8_t* src, uint8_t* dst) {
    std::memcpy(dst, src, size_t(s.RowStride));
}

void WriteAlphaWhole(const TRowState& s, const uint8_t* src, uint8_t* dst) {
    std::memcpy(dst, src, size_t(s.PassWidth));
}

void WriteAlphaPlaced(const TRowState& s, const uint8_t* src, uint8_t* dst) {
    uint8_t* p = dst + s.AlphaStart;
    for (int32_t i = 0; i < s.PassWidth; ++i, p += s.AlphaStep) *p = src[i];
}

void PlaceBits1(const TRowState& s, const uint8_t* src, uint8_t* dst) {
    int32_t p = s.PixelStart;
    for (int32_t i = 0; i < s.PassWidth; ++i, p += s.PixelStep) {
        const uint8_t mask = uint8_t(0x80 >> (p & 7));
        if (src[i >> 3] & (0x80 >> (i & 7)))
            dst[p >> 3] |= mask;
        else
            dst[p >> 3] &= uint8_t(~mask);
    }
}

void PlaceBits4(const TRowState& s, const uint8_t* src, uint8_t* dst) {
    int32_t p = s.PixelStart;
    for (int32_t i = 0; i < s.PassWidth; ++i, p += s.PixelStep) {
        const uint8_t v = (i & 1) ? (src[i >> 1] & 0x0F) : (src[i >> 1] >> 4);
        uint8_t& d = dst[p >> 1];
        d = (p & 1) ? uint8_t((d & 0xF0) | v) : uint8_t((d & 0x0F) | v << 4);
    }
}

// Whole bytes per pixel; PixelStart and PixelStep are byte offsets.
template <int Bytes>
void PlaceBytes(const TRowState& s, const uint8_t* src, uint8_t* dst) {
    uint8_t* p = dst + s.PixelStart;
    for (int32_t i = 0; i < s.PassWidth; ++i, p += s.PixelStep, src += Bytes) std::memcpy(p, src, Bytes);
}

// Image data is inflated this many bytes (whole rows, at least one) at a
// time: inflate's fast path needs room for a long match, so row-sized
// requests of narrow images would run it almost never.
constexpr size_t kInflateBatch = 65536;

size_t InflateBatchBytes(size_t pngRow) { return std::max(pngRow, kInflateBatch); }

// Image data of this many bytes or more is decoded on two threads; below
// it, the second thread costs about what it saves.
constexpr int64_t kTwoThreadMinBytes = int64_t(1) << 18;
// Rows pass between the two threads in batches of about this many bytes:
// two batches fit in a core's second-level cache beside the bitmap rows
// being written, and the hand-overs stay few (about eight per megabyte).
constexpr size_t kTwoThreadBatch = 131072;

// Image data whose filtered rows come to at most this many bytes may be
// inflated whole: the block they take beside the bitmap (committed only as
// far as inflate writes it) is then no more than the deflate side gathers.
constexpr int64_t kWholeInflateLimit = int64_t(80) << 20;
// Below this the block costs more in fresh small pages than the faster
// inflate saves (from here on it is mapped in huge pages).
constexpr int64_t kWholeInflateMin = int64_t(4) << 20;
// Whole-buffer inflate (libdeflate) outruns ISA-L's streaming where the
// data are mostly literals or mostly long matches; on data between, as on
// well-filtered photographs, ISA-L is the faster. The compressed share of
// the filtered bytes tells them apart. Measured on the benchmark's corpus
// (ms, libdeflate against ISA-L): unfiltered photo at 0.92 of its size,
// 28.7 against 36.4; 16-bit grey at 0.83, 19.9 against 25.7; screenshot at
// 0.03, 2.1 against 4.8; but photos at 0.47 to 0.51, 26.2 against 17.3.
constexpr double kWholeBelowShare = 0.25, kWholeAboveShare = 0.70;

// Reads the data of the IDAT chunk at `at` (length bytes) and of the IDAT
// chunks right behind it from file, in large reads, joined into data.
// False where the data run past the window's end (end) or would come to
// more than most bytes: the stream path then meets whatever is wrong. The
// buffer grows only by bytes actually read.
bool ReadImageDataAhead(TStream& file, int64_t at, int64_t end, int64_t length, int64_t most, std::vector<uint8_t>& data) {
    constexpr int64_t kStep = int64_t(1) << 20;
    if (file.Seek(at, TSeekOrigin::Beginning) != at) return false;
    data.clear();
    size_t cursor = 0, joined = 0;  // unparsed bytes from cursor; data before joined
    int64_t readAt = at;
    const auto more = [&] {
        data.erase(data.begin() + ptrdiff_t(joined), data.begin() + ptrdiff_t(cursor));
        cursor = joined;
        const int64_t n = std::min(kStep, end - readAt);
        if (n <= 0) return false;
        const size_t old = data.size();
        data.resize(old + size_t(n));
        if (file.Read(data.data() + old, n) != n) return false;
        readAt += n;
        return true;
    };
    for (bool header = false;;) {
        const size_t have = data.size() - cursor;
        if (!header) {
            if (length < 0 || int64_t(joined) + length > most) return false;
            if (have < size_t(length)) {
                if (!more()) return false;
                continue;
            }
            // An empty chunk may come before any byte is read.
            if (length > 0) std::memmove(data.data() + joined, data.data() + cursor, size_t(length));
            joined += size_t(length);
            cursor += size_t(length);
            header = true;
        } else {
            // CRC, then the next chunk's length and type.
            if (have < 12) {
                if (readAt >= end) break;
                if (!more()) return false;
                continue;
            }
            const uint8_t* h = data.data() + cursor;
            if (LoadBE32(h + 8) != kIDAT) break;
            length = LoadBE32(h + 4);
            cursor += 12;
            header = false;
        }
    }
    data.resize(joined);
    return true;
}

// The same, with the file's position put back on every path.
bool GatherFromFile(TStream& file, int64_t at, int64_t end, int64_t length, int64_t most, std::vector<uint8_t>& data) {
    const int64_t resume = file.Position();
    bool gathered;
    try {
        gathered = ReadImageDataAhead(file, at, end, length, most, data);
    } catch (...) {
        file.Seek(resume, TSeekOrigin::Beginning);
        throw;
    }
    file.Seek(resume, TSeekOrigin::Beginning);
    return gathered;
}

// ---- Adam7.

struct TPass {
    int32_t Row, RowStep, Col, ColStep;
};
constexpr TPass kAdam7[7] = {
    {0, 8, 0, 8}, {0, 8, 4, 8}, {4, 8, 0, 4}, {0, 4, 2, 4}, {2, 4, 0, 2}, {0, 2, 1, 2}, {1, 2, 0, 1},
};

// Pixels or rows of a pass over n: those of first + k * step below n.
inline int64_t PassExtent(int64_t n, int32_t first, int32_t step) {
    return n > first ? (n - first + step - 1) / step : 0;
}

int64_t CountImageRows(uint8_t interlace, int64_t height) {
    if (interlace == 0) return height;
    int64_t total = 0;
    for (const TPass& p : kAdam7) total += PassExtent(height, p.Row, p.RowStep);
    return total;
}

uint8_t ScaleGrey(uint16_t v, int32_t depth) {
    switch (depth) {
    case 1: return uint8_t(v * 255);
    case 2: return uint8_t(v * 85);
    case 4: return uint8_t(v * 17);
    default: return uint8_t(v);
    }
}

}  // namespace

TTavPNGReadStream::TTavPNGReadStream() {
    CheckSignature = true;
    Inflate.Owner = this;
    Inflate.OnInput = &TTavPNGReadStream::NextImageData;
    std::memset(AlphaTable, 255, sizeof AlphaTable);
}

TTavPNGReadStream::~TTavPNGReadStream() {
    ZInflateEnd(Inflate);
    FreeRows();
}

// ---- Chunks -------------------------------------------------------------

void TTavPNGReadStream::DecodeImage() {
    ProgressBegin();
    ProgressPhase(0, 0, 30);

    ActiveAlphaBitmap = nullptr;
    HasAlpha = IsGrayscale = GrayIndexActive = PaletteAlpha = false;
    InterlaceMethod = 0;
    ColorType = -1;
    ActiveKey.clear();
    BackgroundColor = TransparentColor = -1;
    SignificantBits = 0;
    Gamma = 0.0;
    std::memset(AlphaTable, 255, sizeof AlphaTable);
    if (TimeStamp) std::memset(static_cast<void*>(TimeStamp), 0, sizeof(TPNGTimeStamp));
    if (GIFControl) std::memset(static_cast<void*>(GIFControl), 0, sizeof(TPNGGIFControl));
    if (Chromaticity) std::memset(static_cast<void*>(Chromaticity), 0, sizeof(TPNGChromaticity));
    SourceBitCount = 0;
    // The other chunk flags stay, so that a second read on one decoder
    // fails at its header instead of passing for an empty image.
    ChunkFlags &= uint8_t(~cfEnd);

    if (CheckSignature) {
        uint8_t sig[8] = {};
        if (DataSize - Consumed < 8) throw ETavPNG(kMsgNotPng);
        ReadBlock(sig, 8);
        if (EndOfData || std::memcmp(sig, kSignature, 8) != 0) throw ETavPNG(kMsgNotPng);
    }

    struct Release {
        TTavPNGReadStream& self;
        ~Release() {
            ZInflateEnd(self.Inflate);
            self.FreeRows();
        }
    } release{*this};

    ReadChunks();
    ApplyTransparentColor();
    if (PaletteAlpha && ActiveAlphaBitmap) BuildPaletteAlpha();
    ProgressEnd();
}

void TTavPNGReadStream::ReadChunks() {
    while (!EndOfData && !Stopped && !(ChunkFlags & cfEnd)) {
        ChunkLeft = ReadDWordBE();
        ChunkType = ReadDWordBE();
        if (EndOfData) break;
        switch (ChunkType) {
        case kIHDR: ReadHeader(); break;
        case kPLTE: ReadPalette(); break;
        case kTRNS: ReadTransparency(); break;
        case kBKGD: ReadBackground(); break;
        case kGAMA: ReadGamma(); break;
        case kSBIT: ReadSignificantBits(); break;
        case kPHYS: ReadPhysicalSize(); break;
        case kCHRM: ReadChromaticity(); break;
        case kGIFG: ReadGIFControl(); break;
        case kTIME: ReadTime(); break;
        case kTEXT: ReadText("tEXt"); break;
        case kZTXT: ReadText("zTXt"); break;
        case kITXT: ReadText("iTXt"); break;
        case kTPNG: ReadPrivate(); break;
        case kIDAT: ReadImageData(); break;
        case kIEND: ChunkFlags |= cfEnd; break;
        default: break;
        }
        if (ChunkLeft > 0) Skip(ChunkLeft);
        ReadDWordBE();  // the CRC, not checked
    }
}

void TTavPNGReadStream::ReadHeader() {
    if (ChunkFlags & cfHeader) throw ETavPNG(kMsgTwoIHDR);
    const uint32_t width = ReadDWordBE();
    const uint32_t height = ReadDWordBE();
    SourceBitCount = ReadByte();

    const uint8_t t = ReadByte() & 7;
    if (t == 1 || t == 5 || t == 7) throw ETavPNG(kMsgColorType);
    if (t & 4) HasAlpha = true;
    const int32_t type = (t & 4) ? (t & 3) : t;
    if (type == 0) IsGrayscale = true;
    ColorType = type;

    if (ReadByte() > 1) throw ETavPNG(kMsgCompression);
    if (ReadByte() > 1) throw ETavPNG(kMsgFilter);
    const uint8_t interlace = ReadByte();
    if (interlace > 1) throw ETavPNG(kMsgInterlace);
    InterlaceMethod = interlace;

    // A header cut short by the end of the data ends the loop without an
    // image; a complete one must give sizes every later computation can
    // hold.
    if (!EndOfData && (width == 0 || height == 0 || width > uint32_t(INT32_MAX) || height > uint32_t(INT32_MAX)))
        throw ETavPNG(kMsgImageSize);
    Width = int32_t(width);
    Height = int32_t(height);

    ChunkFlags |= cfHeader;
    ProgressStep(0);
    ChunkLeft -= 13;
}

void TTavPNGReadStream::ReadPalette() {
    if (!(ChunkFlags & cfHeader) || (ChunkFlags & (cfImageDone | cfPalette))) return;
    const bool greyIndex = ColorType == 0 && HasAlpha && SourceBitCount == 8 && GrayIndexActive;
    if (!(ColorType == 2 || ColorType == 3 || greyIndex)) return;
    const int32_t n = int32_t(std::min<int64_t>(std::max<int64_t>(ChunkLeft, 0) / 3, 256));
    uint8_t* entries = GetPaletteBuffer();
    for (int32_t i = 0; i < n; ++i) {
        uint8_t rgb[3];
        ReadBlock(rgb, 3);
        entries[4 * i] = rgb[2];
        entries[4 * i + 1] = rgb[1];
        entries[4 * i + 2] = rgb[0];
        entries[4 * i + 3] = 0;
    }
    ChunkLeft -= 3 * n;
    PaletteCount = n;
    ChunkFlags |= cfPalette;
    ProgressStep(0);
}

int32_t TTavPNGReadStream::GreyColor(uint16_t sample) const {
    const uint8_t v = ScaleGrey(sample, SourceBitCount);
    return int32_t(v) | int32_t(v) << 8 | int32_t(v) << 16;
}

// tRNS and bKGD carry their colour the same way: one grey sample (its high
// byte at 16 bits) or three truecolour samples (high bytes at 16 bits, low
// bytes at 8). Both readers only read when the chunk holds the samples: a
// short chunk is skipped whole instead of reading into the CRC and the
// chunks that follow.
bool TTavPNGReadStream::ReadGreySample(uint16_t& sample) {
    if (ChunkLeft < 2) return false;
    sample = ReadWordBE();
    ChunkLeft -= 2;
    if (SourceBitCount > 8) sample >>= 8;
    return true;
}

bool TTavPNGReadStream::ReadRgbSamples(int32_t& colour) {
    if (ChunkLeft < 6) return false;
    const uint16_t r = ReadWordBE(), g = ReadWordBE(), b = ReadWordBE();
    ChunkLeft -= 6;
    const int shift = SourceBitCount == 16 ? 8 : 0;
    colour = (r >> shift & 0xFF) | (g >> shift & 0xFF) << 8 | (b >> shift & 0xFF) << 16;
    return true;
}

void TTavPNGReadStream::ReadTransparency() {
    if (!(ChunkFlags & cfHeader) || (ChunkFlags & cfImageDone) || HasAlpha) return;
    switch (ColorType) {
    case 0: {
        uint16_t v;
        if (!ReadGreySample(v)) return;
        TransparentColor = GreyColor(v);
        break;
    }
    case 2:
        if (!ReadRgbSamples(TransparentColor)) return;
        break;
    case 3: {
        // Before any PLTE, or for an empty chunk, there is nothing to read.
        const int64_t k = std::min<int64_t>(ChunkLeft, PaletteCount);
        if (k <= 0) return;
        ReadBlock(AlphaTable, k);
        ChunkLeft -= k;
        TransparentColor = kPaletteAlphaPending;
        break;
    }
    default: return;
    }
    ProgressStep(0);
}

void TTavPNGReadStream::ReadBackground() {
    if (!(ChunkFlags & cfHeader)) return;
    switch (ColorType) {
    case 0: {
        uint16_t v;
        if (!ReadGreySample(v)) return;
        BackgroundColor = GrayIndexActive ? 0x01000000 + (v & 0xFF) : GreyColor(v);
        break;
    }
    case 2:
        if (!ReadRgbSamples(BackgroundColor)) return;
        break;
    case 3:
        if (ChunkLeft < 1) return;
        BackgroundColor = 0x01000000 + ReadByte();
        ChunkLeft -= 1;
        break;
    default: return;
    }
    ProgressStep(0);
}

void TTavPNGReadStream::ReadGamma() {
    if (!(ChunkFlags & cfHeader) || (ChunkFlags & (cfImageDone | cfPalette)) || ChunkLeft < 4) return;
    Gamma = double(ReadDWordBE()) / 100000.0;
    ChunkLeft -= 4;
    ProgressStep(0);
}

void TTavPNGReadStream::ReadSignificantBits() {
    if (!(ChunkFlags & cfHeader) || (ChunkFlags & (cfImageDone | cfPalette))) return;
    if (ColorType != 2 && ColorType != 3) return;
    const int32_t n = HasAlpha ? 4 : 3;
    if (ChunkLeft < n) return;
    uint32_t bits = 0;
    for (int32_t i = 0; i < n; ++i) bits |= uint32_t(ReadByte()) << (8 * i);
    SignificantBits = int32_t(bits);
    ChunkLeft -= n;
    ProgressStep(0);
}

void TTavPNGReadStream::ReadPhysicalSize() {
    if (!(ChunkFlags & cfHeader) || (ChunkFlags & cfImageDone) || ChunkLeft < 9) return;
    XResolution = int32_t(ReadDWordBE());
    YResolution = int32_t(ReadDWordBE());
    ResolutionUnit = ReadByte();
    ChunkLeft -= 9;
    ProgressStep(0);
}

void TTavPNGReadStream::ReadChromaticity() {
    if (!(ChunkFlags & cfHeader) || (ChunkFlags & (cfImageDone | cfPalette))) return;
    if (ChunkLeft != 32 || !Chromaticity) return;
    int32_t values[8];
    for (int32_t& v : values) v = int32_t(ReadDWordBE());
    std::memcpy(static_cast<void*>(Chromaticity), values, sizeof values);
    ChunkLeft -= 32;
    ProgressStep(0);
}

void TTavPNGReadStream::ReadGIFControl() {
    if (!(ChunkFlags & cfHeader) || (ChunkFlags & (cfImageDone | cfPalette))) return;
    if (ChunkLeft != 4 || !GIFControl) return;
    uint8_t data[4];
    ReadBlock(data, 4);
    std::memcpy(static_cast<void*>(GIFControl), data, 4);
    ChunkLeft -= 4;
    ProgressStep(0);
}

void TTavPNGReadStream::ReadTime() {
    if (ChunkLeft != 7 || !TimeStamp) return;
    TPNGTimeStamp t;
    t.Year = ReadWordBE();
    t.Month = ReadByte();
    t.Day = ReadByte();
    t.Hour = ReadByte();
    t.Minute = ReadByte();
    t.Second = ReadByte();
    std::memcpy(static_cast<void*>(TimeStamp), &t, sizeof t);
    ChunkLeft -= 7;
    ProgressStep(0);
}

void TTavPNGReadStream::ReadText(const char* type) {
    if (ChunkLeft <= 0) return;
    // A declared length that runs past the data allocates nothing: the
    // skip in the chunk loop then ends it at the end of the data.
    if (ChunkLeft > DataSize - Consumed) return;
    const size_t n = size_t(ChunkLeft);
    std::string text = GuardAlloc([&] { return std::string(n, '\0'); });
    ReadBlock(text.data(), ChunkLeft);
    ChunkLeft = 0;
    if (EndOfData || Stopped) return;
    // The comment is kept as UTF-8, from any of the three text chunks; a
    // text that cannot be read (damaged or oversized compressed data) is
    // passed over like any other unusable ancillary chunk.
    std::string key, body;
    if (ReadTextChunk(type, text, key, body) && key == "Comment" && !body.empty()) {
        // Several comments are one text, a line break between each two.
        if (!Comment.empty()) Comment += "\r\n";
        Comment += body;
    }
    ProgressStep(0);
}

void TTavPNGReadStream::ReadPrivate() {
    if (!(ChunkFlags & cfHeader) || (ChunkFlags & (cfPrivate | cfImageDone))) return;
    ChunkFlags |= cfPrivate;
    if (ChunkLeft < 4) return;
    const uint32_t marker = ReadDWordBE();
    ChunkLeft -= 4;
    if (ChunkLeft <= 0 || marker != TpngMarker) return;
    if (ReadByte() != 0) {
        ActiveKey = Key;
        if (OnKeyRequest) OnKeyRequest(this, ActiveKey);
    }
    ChunkLeft -= 1;
    if (ChunkLeft > 0) {
        if (ReadByte() == 1 && GrayIndexMode) GrayIndexActive = true;
        ChunkLeft -= 1;
    }
    ProgressStep(0);
}

// ---- Image data -----------------------------------------------------------

void TTavPNGReadStream::SetupFormat() {
    const int32_t d = SourceBitCount;
    const bool placed = InterlaceMethod != 0;
    ConvertRow_ = ConvertNone;
    switch (ColorType) {
    case 0:
        if (d != 1 && d != 2 && d != 4 && d != 8 && d != 16) throw ETavPNG(kMsgGreyDepth);
        if (HasAlpha) {
            if (d < 8) throw ETavPNG(kMsgGreyAlpha);
            BitCount = 8;
            Inflate.BitsPerPixel = 2 * d;
            ConvertRow_ = d == 8 ? ConvertGreyAlpha<2, 1> : ConvertGreyAlpha<4, 2>;
        } else {
            BitCount = d == 2 ? 4 : d == 16 ? 8 : d;
            Inflate.BitsPerPixel = d;
            if (d == 2) ConvertRow_ = ConvertExpand2;
            if (d == 16) ConvertRow_ = ConvertGrey16;
        }
        break;
    case 2: {
        if (d != 8 && d != 16) throw ETavPNG(kMsgDepth);
        Inflate.BitsPerPixel = (HasAlpha ? 4 : 3) * d;
        const int32_t rgb = SignificantBits & 0xFFFFFF;
        const bool to565 = Allow16BitOutput && (rgb == 0x050505 || rgb == 0x050605);
        if (to565) {
            BitCount = 16;
            SourceBitCount = rgb == 0x050505 ? 15 : 16;
            if (d == 8)
                ConvertRow_ = HasAlpha ? ConvertRgb565<1, true> : ConvertRgb565<1, false>;
            else
                ConvertRow_ = HasAlpha ? ConvertRgb565<2, true> : ConvertRgb565<2, false>;
        } else {
            BitCount = 24;
            SourceBitCount = 3 * d;
            if (d == 8)
                ConvertRow_ = HasAlpha ? ConvertRgb<1, true> : ConvertRgb<1, false>;
            else
                ConvertRow_ = HasAlpha ? ConvertRgb<2, true> : ConvertRgb<2, false>;
#if defined(__x86_64__) || defined(__i386__)
            if (d == 8 && CpuHasSsse3()) ConvertRow_ = HasAlpha ? ConvertRgb8Ssse3<true> : ConvertRgb8Ssse3<false>;
            if (d == 16 && CpuHasSsse3()) ConvertRow_ = HasAlpha ? ConvertRgb16Ssse3<true> : ConvertRgb16Ssse3<false>;
#endif
        }
        break;
    }
    case 3:
        if (d != 1 && d != 2 && d != 4 && d != 8) throw ETavPNG(kMsgDepth);
        BitCount = d == 2 ? 4 : d;
        Inflate.BitsPerPixel = d;
        if (d == 2) ConvertRow_ = ConvertExpand2;
        break;
    default: return;
    }

    PassCount = placed ? 7 : 1;
    if (!placed) {
        WriteRow_ = WriteWholeRow;
        WriteAlphaRow_ = WriteAlphaWhole;
    } else {
        WriteAlphaRow_ = WriteAlphaPlaced;
        switch (BitCount) {
        case 1: WriteRow_ = PlaceBits1; break;
        case 4: WriteRow_ = PlaceBits4; break;
        case 8: WriteRow_ = PlaceBytes<1>; break;
        case 16: WriteRow_ = PlaceBytes<2>; break;
        default: WriteRow_ = PlaceBytes<3>; break;
        }
    }

    // Every row size below must fit: rows of the PNG data, of the bitmap
    // and of the alpha bitmap, each with the few bytes of slack the row
    // buffers add. A header whose rows cannot be is a bad header, not a
    // shortage of memory.
    try {
        for (const int32_t bits : {Inflate.BitsPerPixel, BitCount, int32_t(8)})
            if (RowStride(Width, bits) > INT32_MAX - 4) throw ETavPNG(kMsgImageSize);
    } catch (const EOutOfMemory&) {
        throw ETavPNG(kMsgImageSize);
    }
}

// The row buffers are fresh zeroed memory that is never cleared by hand:
// a header's width alone commits nothing, only the bytes that inflated
// rows reach do. Each buffer is only as large as its rows, and the
// converted and alpha rows exist only where the rows use them.
void TTavPNGReadStream::AllocateRows() {
    FreeRows();
    const size_t pngRow = size_t(RowStride(Width, Inflate.BitsPerPixel)) + 4;
    Rows.RowStride = RowStride(Width, BitCount);
    // Interlaced rows are built aside, then placed; plain rows are
    // converted straight into the bitmap.
    const bool aside = InterlaceMethod != 0 && ConvertRow_ != ConvertNone;
    const size_t convertedRow = aside ? size_t(Rows.RowStride) + 4 : 0;
    const size_t alphaRow = HasAlpha ? size_t(RowStride(Width, 8)) : 0;
    const size_t batch = InflateBatchBytes(pngRow);
    RowBlock_ = TPixelMemory(2 * pngRow + convertedRow + alphaRow + batch);
    uint8_t* p = RowBlock_.data();
    Inflate.CurRow = p;
    Inflate.PrevRow = p + pngRow;
    Rows.ConvertedRow = convertedRow ? p + 2 * pngRow : nullptr;
    Rows.AlphaRow = alphaRow ? p + 2 * pngRow + convertedRow : nullptr;
    Batch_ = p + 2 * pngRow + convertedRow + alphaRow;
    PrevRowDirty_ = 0;
}

void TTavPNGReadStream::FreeRows() {
    RowBlock_ = TPixelMemory();
    Batch_ = nullptr;
    Inflate.CurRow = Inflate.PrevRow = nullptr;
    Rows.ConvertedRow = Rows.AlphaRow = nullptr;
}

void TTavPNGReadStream::PrepareBitmap() {
    if (!GrayIndexActive && ColorType == 0 && BitCount <= 8) PaletteCount = MakeGrayPalette(GetPaletteBuffer(), SourceBitCount);

    if (TransparentColor == kPaletteAlphaPending) {
        int32_t zeros = 0, zeroAt = -1;
        bool partial = false;
        for (int32_t i = 0; i < 256; ++i) {
            if (AlphaTable[i] != 0 && AlphaTable[i] != 255) {
                partial = true;
                break;
            }
            if (AlphaTable[i] == 0 && zeros++ == 0) zeroAt = i;
        }
        if (!partial && zeros == 1) {
            TransparentColor = 0x01000000 + zeroAt;
        } else {
            TransparentColor = -1;
            PaletteAlpha = true;
        }
    }

    GuardAlloc([&] { TTavCustomGraphicReadStream::PrepareBitmap(); });

    // The alpha bitmap must not be the image itself: its 8-bit rows would
    // replace the image's.
    if ((HasAlpha || PaletteAlpha) && AlphaBitmap && AlphaBitmap != Bitmap_ && !NoBitmap) {
        uint8_t grey[1024];
        MakeGrayPalette(grey, 8);
        GuardAlloc([&] {
            AlphaBitmap->Assign(nullptr);
            AlphaBitmap->SetTransparent(false);
            AlphaBitmap->SetPixelFormat(pf8bit);
            AlphaBitmap->HandleType = TBitmapHandleType::bmDIB;
            AlphaBitmap->SetWidth(Width);
            AlphaBitmap->SetHeight(Height);
            AlphaBitmap->SetPalette(CreatePaletteFromEntries(grey, 256));
        });
        ActiveAlphaBitmap = AlphaBitmap;
    }
}

int32_t TTavPNGReadStream::NextImageData(TZInflateRec& rec) {
    auto& self = *static_cast<TTavPNGReadStream*>(rec.Owner);
    // Empty IDAT chunks between the others are passed over.
    while (self.ChunkLeft <= 0) {
        self.Skip(4);
        self.ChunkLeft = self.ReadDWordBE();
        self.ChunkType = self.ReadDWordBE();
        if (self.EndOfData || self.Stopped || self.ChunkType != kIDAT) return -1;
    }
    const int32_t n = int32_t(std::min<int64_t>(self.ChunkLeft, rec.InBufferSize));
    if (n <= 0 || rec.InBuffer == nullptr) return -1;
    rec.Z.next_in = rec.InBuffer;
    rec.Z.avail_in = 0;
    rec.InputStays = false;
    if (self.Buffer_ == nullptr && self.ReadPtr_ != nullptr) {
        // A memory stream is read in place: inflate takes the bytes where
        // they lie. The same window test as a block read decides.
        const uint8_t* at = self.ReadPtr_;
        self.Skip(n);
        self.ChunkLeft -= n;
        if (self.EndOfData || self.Stopped) return -1;
        rec.Z.next_in = const_cast<uint8_t*>(at);
        // The memory stream outlives the decoding.
        rec.InputStays = true;
    } else {
        self.ReadBlock(rec.InBuffer, n);
        self.ChunkLeft -= n;
        if (self.EndOfData || self.Stopped) return -1;
    }
    rec.Z.avail_in = uInt(n);
    return 0;
}

void TTavPNGReadStream::ReadImageData() {
    if (ChunkFlags & cfImageDone) return;
    InflatedWhole = false;
    if (ColorType < 0) return;  // no header: nothing to decode into
    SetupFormat();
    if (NoBitmap) {
        ChunkFlags |= cfImageDone;
        return;
    }
    if (ZInflateInit(Inflate) != 0) throw ETavPNG(kMsgZlib);
    PrepareBitmap();
    // The bitmap's rows must be what the row writers assume.
    if (Bitmap_->Width() != Width || Bitmap_->Height() != Height || Bitmap_->ScanlineStride() != RowStride(Width, BitCount))
        throw ETavPNG(kMsgReadError);
    AllocateRows();

    struct Close {
        TTavPNGReadStream& self;
        ~Close() {
            ZInflateReset(self.Inflate);
            ZInflateEnd(self.Inflate);
            self.FreeRows();
            self.ProgressPhase(0, 0, 0);
        }
    } close{*this};

    DecodeRows();
    ChunkFlags |= cfImageDone;
}

void TTavPNGReadStream::DecodeRows() {
    const int32_t w = Width, h = Height;
    const int32_t bitsPerPixel = Inflate.BitsPerPixel;
    const int32_t bytesPerPixel = (bitsPerPixel + 7) / 8;
    const int32_t pixelScale = BitCount == 16 ? 2 : BitCount == 24 ? 3 : 1;
    const bool hook = !ActiveKey.empty() && bool(OnDecodeRow);
    const size_t pngRow = size_t(RowStride(Width, bitsPerPixel)) + 4;
    const size_t batchBytes = InflateBatchBytes(pngRow);
    int64_t n = 1;
    ProgressPhase(1, CountImageRows(InterlaceMethod, h), 98);
    Inflate.ExpectedOut = 0;
    for (int32_t pass = 0; pass < PassCount; ++pass) {
        const TPass g = PassCount == 1 ? TPass{0, 1, 0, 1} : kAdam7[pass];
        const int64_t pw = PassExtent(w, g.Col, g.ColStep), ph = PassExtent(h, g.Row, g.RowStep);
        if (pw > 0 && ph > 0) Inflate.ExpectedOut += ph * ((pw * bitsPerPixel + 7) / 8 + 1);
    }

    // Inflated whole, the rows are taken from there in the same batches.
    TPixelMemory allRows = InflateWhole();
    InflatedWhole = allRows.size() > 0;
    int64_t allRowsAt = 0;

    std::optional<TRowWorker> worker;
    if (UseSecondThread && !InflatedWhole && !hook && Inflate.ExpectedOut >= kTwoThreadMinBytes && std::thread::hardware_concurrency() > 1) {
        try {
            worker.emplace();
        } catch (const std::system_error&) {
            // No second thread: the rows are decoded on this one.
        }
    }

    for (int32_t pass = 0; pass < PassCount; ++pass) {
        const TPass geometry = PassCount == 1 ? TPass{0, 1, 0, 1} : kAdam7[pass];
        const int64_t passWidth = PassExtent(w, geometry.Col, geometry.ColStep);
        const int64_t passRows = PassExtent(h, geometry.Row, geometry.RowStep);
        if (passWidth == 0 || passRows == 0) continue;

        Rows.PassWidth = int32_t(passWidth);
        Rows.PixelStart = geometry.Col * pixelScale;
        Rows.PixelStep = geometry.ColStep * pixelScale;
        Rows.AlphaStart = geometry.Col;
        Rows.AlphaStep = geometry.ColStep;
        const int32_t rowSize = int32_t((passWidth * bitsPerPixel + 7) / 8 + 1);
        Inflate.RowSize = rowSize;
        // The row before a pass's first is zero. PrevRow starts zero; only
        // the part that earlier rows wrote is cleared again.
        std::memset(Inflate.PrevRow, 0, std::min(size_t(rowSize), PrevRowDirty_));
        if (worker) {
            if (!DecodePassOnTwoThreads(*worker, geometry.Row, geometry.RowStep, passRows, rowSize, n)) break;
            if (EndOfData || Stopped) break;
            continue;
        }
        const int64_t rowsPerBatch = int64_t(batchBytes / size_t(rowSize));
        TRowState work = Rows;

        // The previous unfiltered row: in the batch, or kept in PrevRow.
        const uint8_t* prev = Inflate.PrevRow;
        int32_t y = geometry.Row;
        bool stop = false;
        for (int64_t r = 0; r < passRows && !stop;) {
            const int64_t rows = std::min(rowsPerBatch, passRows - r);
            const int32_t asked = int32_t(rows * rowSize);
            uint8_t* batch = Batch_;
            int32_t got = 0;
            if (InflatedWhole) {
                batch = allRows.data() + allRowsAt;
                allRowsAt += asked;
            } else {
                got = ZInflateRead(Inflate, batch, asked);
            }
            // After a failure the rows that came out whole are still
            // decoded, as when the data is inflated row by row.
            const int64_t whole = got < 0 ? (asked - int32_t(Inflate.Z.avail_out)) / rowSize : rows;
            // Without a hook the rows are undone together, the rows before
            // one with an unknown filter type included.
            const int64_t sound = hook ? 0 : UnfilterRows(batch, prev, rowSize, bytesPerPixel, whole);
            for (int64_t k = 0; k < whole; ++k, ++r, y += geometry.RowStep) {
                uint8_t* cur = batch + k * rowSize;
                if (hook ? UnfilterRow(cur, prev, rowSize, bytesPerPixel) != 0 : k >= sound)
                    throw ETavPNG(kMsgReadError);
                if (hook) {
                    // The next row's filter needs this row as it came out of
                    // the filter, before the hook changes it.
                    std::memcpy(Inflate.PrevRow, cur, size_t(rowSize));
                    PrevRowDirty_ = std::max(PrevRowDirty_, size_t(rowSize));
                    OnDecodeRow(this, cur + 1, rowSize - 1, int32_t(n - 1), ActiveKey);
                    prev = Inflate.PrevRow;
                } else {
                    prev = cur;
                }
                PutRow(work, cur + 1, rowSize - 1, y);

                if ((n & 3) == 2 || h < 4) ProgressStep(n);
                ++n;
                if (Stopped) {
                    stop = true;
                    break;
                }
            }
            if (got < 0 && !stop) {
                // Compressed data that ends right at a row's end: the
                // row-by-row reader would have gone on to ask for the next
                // row before failing. Do the same, so that the input is
                // read exactly as far. (An ended stream fails without a
                // message; damaged data carries one.)
                const int32_t out = asked - int32_t(Inflate.Z.avail_out);
                if (got == Z_DATA_ERROR && Inflate.Z.msg == nullptr && whole > 0 && out % rowSize == 0)
                    ZInflateRead(Inflate, Inflate.CurRow, rowSize);
                throw ETavPNG(kMsgReadError);
            }
            // The batch is refilled next: keep its last row for the filter.
            if (!stop && prev != Inflate.PrevRow) {
                std::memcpy(Inflate.PrevRow, prev, size_t(rowSize));
                PrevRowDirty_ = std::max(PrevRowDirty_, size_t(rowSize));
                prev = Inflate.PrevRow;
            }
        }
        if (EndOfData || Stopped) break;
    }
}

// Data read in place from memory are looked over where they lie, data in
// a file are read ahead and the file's position put back: the reader's
// own state is untouched, so when the whole inflate declines or fails,
// the streaming path starts as if it had never run.
TPixelMemory TTavPNGReadStream::InflateWhole() const {
    const int64_t size = Inflate.ExpectedOut;
    if (size < kWholeInflateMin || size > kWholeInflateLimit) return {};
    const auto suits = [&](double compressed) {
        return compressed < kWholeBelowShare * double(size) || compressed > kWholeAboveShare * double(size);
    };
    // Memory the system refuses here only means streaming.
    try {
        TPixelMemory out;
        const auto inflate = [&](const uint8_t* in, size_t n) {
            out = TPixelMemory(size_t(size));
            if (!ZInflateWhole(in, n, out.data(), size_t(size))) out = TPixelMemory();
        };
        if (Buffer_ == nullptr && ReadPtr_ != nullptr) {
            // This chunk's data and that of the IDAT chunks right behind
            // it, all inside the window; a chunk that runs past it is left
            // to the stream.
            std::vector<std::pair<const uint8_t*, size_t>> pieces;
            const uint8_t* p = ReadPtr_;
            int64_t left = BufferLeft, length = ChunkLeft, total = 0;
            for (;;) {
                if (length < 0 || length > left) return {};
                pieces.emplace_back(p, size_t(length));
                total += length;
                p += length;
                left -= length;
                // CRC, then the next chunk's length and type.
                if (left < 12 || LoadBE32(p + 8) != kIDAT) break;
                length = LoadBE32(p + 4);
                p += 12;
                left -= 12;
            }
            if (!suits(double(total))) return {};
            if (pieces.size() == 1) {
                inflate(pieces.front().first, size_t(total));
            } else {
                TPixelMemory gathered{size_t(total)};
                uint8_t* at = gathered.data();
                for (const auto& [from, n] : pieces) {
                    if (n > 0) std::memcpy(at, from, n);
                    at += n;
                }
                inflate(gathered.data(), size_t(total));
            }
        } else if (auto* file = dynamic_cast<TFileStream*>(Stream_); file != nullptr) {
            // Before reading, the rest of the window stands for the data:
            // the most they can be. Files whose image data are followed by
            // much else may so be streamed where the whole inflate would
            // have been faster, never the other way round.
            if (!suits(double(DataSize - Consumed))) return {};
            // Compressed data above this would expand what they hold.
            const int64_t most = size + size / 64 + 4096;
            std::vector<uint8_t> data;
            if (!GatherFromFile(*file, StartPosition + Consumed, StartPosition + DataSize, ChunkLeft, most, data) ||
                !suits(double(data.size())))
                return {};
            inflate(data.data(), data.size());
        }
        return out;
    } catch (const EOutOfMemory&) {
    } catch (const std::bad_alloc&) {
    }
    return {};
}

// Writes an unfiltered row (bytes of it, without the filter byte) into
// bitmap row y and its alpha into the alpha bitmap's row. work is a copy
// of Rows made for the pass: the conversion steps write to its row
// pointers, which without interlacing are pointed at the bitmaps' own rows
// (fresh and zero, so the bytes past the pixels come out as from the
// zeroed buffers); interlaced rows are built in its buffers, then placed.
void TTavPNGReadStream::PutRow(TRowState& work, const uint8_t* src, int32_t bytes, int32_t y) const {
    uint8_t* target = Bitmap_->ScanLine(y);
    uint8_t* alphaTarget = ActiveAlphaBitmap ? ActiveAlphaBitmap->ScanLine(y) : nullptr;
    if (PassCount == 1 && ConvertRow_ == ConvertNone) {
        // Only the row's own bytes: the batch holds the next row behind
        // them, the bitmap row's padding stays clear.
        std::memcpy(target, src, size_t(bytes));
    } else if (PassCount == 1) {
        work.ConvertedRow = target;
        work.AlphaRow = alphaTarget ? alphaTarget : Rows.AlphaRow;
        ConvertRow_(work, src);
    } else {
        const uint8_t* row = ConvertRow_(work, src);
        WriteRow_(work, row, target);
        // Palette alpha is built from the indices once the image is done.
        if (alphaTarget && work.AlphaRow) WriteAlphaRow_(work, work.AlphaRow, alphaTarget);
    }
}

// Writes one byte of every page of [from, to) back as it is: the page
// faults of fresh memory are taken here rather than at the first real write.
static void Prefault(uint8_t* from, uint8_t* to) {
    constexpr uintptr_t kPage = 4096;
    volatile uint8_t* p = from;
    for (uint8_t* page = from; page < to;
         page = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(page) | (kPage - 1)) + 1))
        p[page - from] = p[page - from];
}

// This thread inflates batch k + 1 while the helper unfilters batch k and
// writes it into the bitmaps. Only this thread reads the stream, drives
// inflate and raises events, and it raises the events of a batch once the
// helper has finished it and before handing it the next: a handler sees
// every row it is told of, and no row is written while it runs. The helper
// touches only its batch, PrevRow, the conversion rows and the bitmap rows
// of its batch. Events, failures and the input read come out as in the
// one-thread loop of DecodeRows; rows the helper wrote past a stop are
// cleared again, as that loop would not have written them.
bool TTavPNGReadStream::DecodePassOnTwoThreads(TRowWorker& worker, int32_t firstRow, int32_t rowStep,
                                               int64_t passRows, int32_t rowSize, int64_t& counter) {
    const int64_t rowsPerBatch = std::max<int64_t>(1, int64_t(kTwoThreadBatch / size_t(rowSize)));
    const size_t slotBytes = size_t(std::min(rowsPerBatch, passRows)) * size_t(rowSize);
    // Two batches, then a zero row for clearing rows after a stop.
    const size_t zeroBytes = std::max(size_t(rowSize), size_t(Rows.RowStride));
    TPixelMemory block(2 * slotBytes + zeroBytes);
    std::memset(block.data() + 2 * slotBytes, 0, zeroBytes);
    const uint8_t* const zero = block.data() + 2 * slotBytes;
    const bool direct = PassCount == 1;

    struct TJob {
        TTavPNGReadStream* Self;
        uint8_t* Data;
        int32_t FirstY, RowStep, RowSize;
        int64_t Rows;
        int64_t Done;     // rows unfiltered and written
        bool BadFilter;   // the row after them has an unknown filter type
    } job{this, nullptr, 0, rowStep, rowSize, 0, 0, false};
    const auto run = [](void* context) {
        TJob& j = *static_cast<TJob*>(context);
        TTavPNGReadStream& self = *j.Self;
        TRowState rows = self.Rows;  // the conversion steps write its row pointers
        const int32_t bytesPerPixel = (self.Inflate.BitsPerPixel + 7) / 8;
        const uint8_t* prev = self.Inflate.PrevRow;
        // This thread's earlier copies may have left them in use.
        ClearUpperVectorHalves();
        j.Done = 0;
        const int64_t sound = UnfilterRows(j.Data, prev, j.RowSize, bytesPerPixel, j.Rows);
        j.BadFilter = sound < j.Rows;
        for (int64_t k = 0; k < sound; ++k) {
            uint8_t* cur = j.Data + k * j.RowSize;
            prev = cur;
            self.PutRow(rows, cur + 1, j.RowSize - 1, j.FirstY + int32_t(k) * j.RowStep);
            ++j.Done;
        }
        // The batch's place is refilled while the next batch is converted.
        if (j.Done > 0 && !j.BadFilter) std::memcpy(self.Inflate.PrevRow, prev, size_t(j.RowSize));
    };
    PrevRowDirty_ = std::max(PrevRowDirty_, size_t(rowSize));

    struct TInflated {
        int64_t Rows = 0, Whole = 0;
        int32_t Asked = 0, Got = 0, Out = 0;
        std::exception_ptr Error;
    };
    const auto inflate = [&](uint8_t* into, int64_t rows) {
        TInflated b;
        b.Rows = rows;
        b.Asked = int32_t(rows * rowSize);
        try {
            b.Got = ZInflateRead(Inflate, into, b.Asked);
            b.Out = b.Asked - int32_t(Inflate.Z.avail_out);
        } catch (...) {
            b.Error = std::current_exception();
        }
        b.Whole = b.Got < 0 ? b.Out / rowSize : rows;
        return b;
    };
    // Undoes the helper's rows from the index'th of the batch on.
    const auto clear = [&](int64_t from) {
        TRowState rows = Rows;
        for (int64_t k = from; k < job.Done; ++k) {
            const int32_t y = job.FirstY + int32_t(k) * rowStep;
            uint8_t* alphaTarget = ActiveAlphaBitmap ? ActiveAlphaBitmap->ScanLine(y) : nullptr;
            if (direct) {
                std::memset(Bitmap_->ScanLine(y), 0, size_t(Rows.RowStride));
                if (alphaTarget) std::memset(alphaTarget, 0, size_t(ActiveAlphaBitmap->ScanlineStride()));
            } else {
                WriteRow_(rows, zero, Bitmap_->ScanLine(y));
                if (alphaTarget && rows.AlphaRow) WriteAlphaRow_(rows, zero, alphaTarget);
            }
        }
    };

    // No job may run on once the batches are freed.
    struct TIdle {
        TRowWorker& Worker;
        ~TIdle() { Worker.Cancel(); }
    } idle{worker};
    const int32_t h = Height;
    int64_t done = 0;
    int slot = 0;
    TInflated batch = inflate(block.data(), std::min(rowsPerBatch, passRows));
    for (;;) {
        if (batch.Error) std::rethrow_exception(batch.Error);
        job.Data = block.data() + size_t(slot) * slotBytes;
        job.FirstY = firstRow + int32_t(done) * rowStep;
        job.Rows = batch.Whole;
        worker.Start(run, &job);
        const int64_t after = done + batch.Rows;
        const bool more = batch.Got >= 0 && after < passRows;
        TInflated next;
        if (more) next = inflate(block.data() + size_t(1 - slot) * slotBytes, std::min(rowsPerBatch, passRows - after));
        // While the helper is still at its rows, this thread takes the page
        // faults of the next batch's bitmap rows off it: where inflate is
        // quick (flat pictures) the helper's work, much of it the system
        // clearing fresh pages, would otherwise set the pace. Only the next
        // batch's rows are touched, which the helper is not writing.
        if (more && direct && worker.Busy()) {
            const int32_t first = job.FirstY + int32_t(batch.Rows), last = first + int32_t(next.Whole) - 1;
            if (next.Whole > 0) {
                Prefault(Bitmap_->ScanLine(first), Bitmap_->ScanLine(last) + Rows.RowStride);
                if (ActiveAlphaBitmap)
                    Prefault(ActiveAlphaBitmap->ScanLine(first),
                             ActiveAlphaBitmap->ScanLine(last) + ActiveAlphaBitmap->ScanlineStride());
            }
        }
        worker.Finish();

        for (int64_t k = 0; k < job.Done; ++k) {
            if ((counter & 3) == 2 || h < 4) ProgressStep(counter);
            ++counter;
            if (Stopped) {
                clear(k + 1);
                return false;
            }
        }
        if (job.BadFilter) throw ETavPNG(kMsgReadError);
        if (batch.Got < 0) {
            // As in the one-thread loop: data ending right at a row's end
            // is read as far as a request for the next row would read it.
            if (batch.Got == Z_DATA_ERROR && Inflate.Z.msg == nullptr && batch.Whole > 0 && batch.Out % rowSize == 0)
                ZInflateRead(Inflate, Inflate.CurRow, rowSize);
            throw ETavPNG(kMsgReadError);
        }
        done = after;
        if (!more) return true;
        batch = std::move(next);
        slot = 1 - slot;
    }
}

void TTavPNGReadStream::ApplyTransparentColor() {
    // Only an image that was actually prepared gets a transparent colour;
    // without IDAT the bitmap stays as it was.
    if (NoBitmap || !Bitmap_ || EndOfData || Stopped || HasAlpha || TransparentColor == -1) return;
    if (!(ChunkFlags & cfImageDone) || TransparentColor == kPaletteAlphaPending) return;
    Bitmap_->SetTransparent(true);
    Bitmap_->TransparentColor = TransparentColor;
}

void TTavPNGReadStream::BuildPaletteAlpha() {
    TBitmap& alpha = *ActiveAlphaBitmap;
    const int32_t w = std::min(Bitmap_->Width(), alpha.Width());
    const int32_t h = std::min(Bitmap_->Height(), alpha.Height());
    auto fill = [&](auto indexAt) {
        for (int32_t y = 0; y < h; ++y) {
            const uint8_t* src = Bitmap_->ScanLine(y);
            uint8_t* dst = alpha.ScanLine(y);
            for (int32_t x = 0; x < w; ++x) dst[x] = uint8_t(255 - AlphaTable[indexAt(src, x)]);
        }
    };
    switch (BitCount) {
    case 1: fill([](const uint8_t* s, int32_t x) { return (s[x >> 3] >> (7 - (x & 7))) & 1; }); break;
    case 4: fill([](const uint8_t* s, int32_t x) { return (x & 1) ? (s[x >> 1] & 0x0F) : (s[x >> 1] >> 4); }); break;
    default: fill([](const uint8_t* s, int32_t x) { return int(s[x]); }); break;
    }
    HasAlpha = true;
}
