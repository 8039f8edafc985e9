// Deflate side of the zlib wrappers, and the row filter choice that runs
// before each row is compressed.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "codec/TavZLIB.h"

#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
#include <libdeflate.h>

// libdeflate compresses whole buffers only, about twice as fast as zlib at
// a like size: the stream's bytes are gathered as they come and compressed
// by the finish, which hands the result out in buffers of OutBufferSize
// like zlib. A stream too big to hold whole goes through zlib instead.
struct TZWholeDeflate {
    std::vector<uint8_t> Gathered;
};
#endif

namespace {

constexpr int32_t kDefaultBufSize = 32768;
constexpr int32_t kBufSizeLimit = 0x40000;  // sizes from here up fall back

// zlib's allocations come from the program heap; items × size is checked
// so that an absurd request fails instead of wrapping.
voidpf HeapAlloc(voidpf, uInt items, uInt size) {
    const size_t total = size_t(items) * size_t(size);
    if (size != 0 && total / size != items) return Z_NULL;
    return std::malloc(total == 0 ? 1 : total);
}

void HeapFree(voidpf, voidpf address) {
    std::free(address);
}

void RewindOutput(TZDeflateRec& rec) {
    rec.Z.next_out = rec.OutBuffer;
    rec.Z.avail_out = uInt(rec.OutBufferSize);
}

inline int32_t FilledBytes(const TZDeflateRec& rec) {
    return rec.OutBufferSize - int32_t(rec.Z.avail_out);
}

// The standard's predictor: the neighbour nearest to left + up - upLeft,
// ties going to left, then up.
inline uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return uint8_t(a);
    if (pb <= pc) return uint8_t(b);
    return uint8_t(c);
}

// Writes filter `type` (1 Sub .. 4 Paeth) of cur against prev into out:
// out[0] is the type, out[1 .. count] the filtered bytes. Bytes left of
// the row start count as 0.
void ApplyFilter(int type, const uint8_t* cur, const uint8_t* prev, int32_t count, int32_t bpp, uint8_t* out) {
    out[0] = uint8_t(type);
    uint8_t* dst = out + 1;
    const int32_t head = bpp < count ? bpp : count;
    switch (type) {
    case 1:
        for (int32_t i = 0; i < head; ++i) dst[i] = cur[i];
        for (int32_t i = head; i < count; ++i) dst[i] = uint8_t(cur[i] - cur[i - bpp]);
        break;
    case 2:
        for (int32_t i = 0; i < count; ++i) dst[i] = uint8_t(cur[i] - prev[i]);
        break;
    case 3:
        for (int32_t i = 0; i < head; ++i) dst[i] = uint8_t(cur[i] - (prev[i] >> 1));
        for (int32_t i = head; i < count; ++i) dst[i] = uint8_t(cur[i] - ((cur[i - bpp] + prev[i]) >> 1));
        break;
    case 4:
        for (int32_t i = 0; i < head; ++i) dst[i] = uint8_t(cur[i] - Paeth(0, prev[i], 0));
        for (int32_t i = head; i < count; ++i)
            dst[i] = uint8_t(cur[i] - Paeth(cur[i - bpp], prev[i], prev[i - bpp]));
        break;
    default:
        std::memcpy(dst, cur, size_t(count));
        out[0] = 0;
        break;
    }
}

void CopyUnfiltered(TZDeflateRec& rec) {
    rec.BestRow[0] = 0;
    if (rec.RowSize > 1) std::memcpy(rec.BestRow + 1, rec.CurRow, size_t(rec.RowSize - 1));
}

// Compresses src through zlib, handing every full output buffer out.
int32_t ZlibWrite(TZDeflateRec& rec, const uint8_t* src, size_t count) {
    rec.Z.next_in = const_cast<Bytef*>(src);
    int32_t r = 0;
    while (count > 0) {
        // avail_in is 32 bits wide; a larger count goes in in pieces.
        const size_t piece = std::min(count, size_t(1) << 30);
        rec.Z.avail_in = uInt(piece);
        count -= piece;
        while (rec.Z.avail_in > 0) {
            r = deflate(&rec.Z, Z_NO_FLUSH);
            if (r < 0) return r;
            if (rec.Z.avail_out == 0) {
                r = rec.OnOutput(rec);
                if (r != 0) return r;
                RewindOutput(rec);
            }
        }
    }
    return r;
}

#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
// The most bytes a stream gathers for one libdeflate call. The finish then
// holds them and libdeflate's output (about as many again), where zlib
// needs a few hundred KiB whatever the image: 80 MiB takes a 4096 x 4096
// RGBA image (64 MiB and its filter bytes) whole, at most 160 MiB beside
// the bitmaps; a bigger stream is compressed by zlib at its usual speed.
constexpr size_t kWholeLimit = size_t(80) << 20;

// The level libdeflate runs at follows how well a sample of the data
// compresses at its fastest level, so that the output stays within 0.5 %
// of zlib's default level at about half zlib's time. Measured on photos,
// grey and palette images, 1-bit images and screenshots (both with every
// row unfiltered and with the adaptive choice):
// - data that shrinks to 1 / 12 or less (flat areas, repeated widgets):
//   level 6 comes out 3.5 to 4 % larger than zlib, level 7 2.5 % smaller
//   at about twice level 6's time, which is about zlib's own;
// - data that shrinks at most to 1 / 2.5 (photos, grey ramps with noise):
//   level 5 gives level 6's size to within 0.01 % and runs about 5 %
//   faster; such data holds few matches for level 6's deeper search;
// - everything between (palette and 1-bit images): level 6, since level 5
//   comes out up to 0.56 % larger than zlib there.
constexpr size_t kSamplePiece = 32768;
constexpr int kSamplePieces = 4;  // one from the middle of each quarter

int ChooseWholeLevel(const std::vector<uint8_t>& data) {
    const size_t n = data.size();
    libdeflate_compressor* fast = libdeflate_alloc_compressor(1);
    if (fast == nullptr || n == 0) {
        libdeflate_free_compressor(fast);
        return 6;
    }
    uint8_t out[kSamplePiece + kSamplePiece / 8 + 1024];
    size_t raw = 0, packed = 0;
    const bool small = n <= kSamplePieces * kSamplePiece;
    for (int i = 0; i < (small ? 1 : kSamplePieces); ++i) {
        const size_t at = small ? 0 : size_t(i) * (n / kSamplePieces) + n / (2 * kSamplePieces) - kSamplePiece / 2;
        const size_t len = small ? std::min(n, kSamplePiece) : kSamplePiece;
        const size_t got = libdeflate_deflate_compress(fast, data.data() + at, len, out, sizeof out);
        raw += len;
        packed += got != 0 ? got : len;
    }
    libdeflate_free_compressor(fast);
    if (packed * 12 <= raw) return 7;
    if (packed * 5 >= raw * 2) return 5;
    return 6;
}

// Leaves the gathering for zlib: the bytes gathered so far go through
// zlib's stream first, and every later write follows them there.
int32_t LeaveWhole(TZDeflateRec& rec) {
    std::vector<uint8_t> gathered = std::move(rec.Whole->Gathered);
    delete rec.Whole;
    rec.Whole = nullptr;
    return gathered.empty() ? 0 : ZlibWrite(rec, gathered.data(), gathered.size());
}

// Compresses the gathered stream in one libdeflate call and hands it out,
// with the result in `result`; false when libdeflate could not run (the
// bytes are then still gathered).
bool FinishWhole(TZDeflateRec& rec, int32_t& result) {
    result = 0;
    std::vector<uint8_t>& in = rec.Whole->Gathered;
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(ChooseWholeLevel(in));
    if (compressor == nullptr) return false;
    std::vector<uint8_t> out;
    size_t n = 0;
    try {
        out.resize(libdeflate_zlib_compress_bound(compressor, in.size()));
        n = libdeflate_zlib_compress(compressor, in.data(), in.size(), out.data(), out.size());
    } catch (const std::bad_alloc&) {
    }
    libdeflate_free_compressor(compressor);
    if (n == 0) return false;
    // The stream's bytes are taken; a following stream starts empty.
    std::vector<uint8_t>().swap(in);
    for (size_t at = 0; at < n;) {
        const size_t piece = std::min(n - at, size_t(rec.OutBufferSize));
        std::memcpy(rec.OutBuffer, out.data() + at, piece);
        rec.Z.avail_out = uInt(size_t(rec.OutBufferSize) - piece);
        at += piece;
        result = rec.OnOutput(rec);
        if (result != 0) break;
    }
    RewindOutput(rec);
    return true;
}
#endif

}  // namespace

const char* ZDeflateEngine() {
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
    return "libdeflate";
#else
    return "zlib";
#endif
}

int32_t ZDeflateInit(TZDeflateRec& rec, int32_t level, int32_t bufSize) {
    if (bufSize <= 0 || bufSize >= kBufSizeLimit) bufSize = kDefaultBufSize;
    if (rec.OutBuffer != nullptr || rec.ZActive) ZDeflateEnd(rec);
    rec.ExpectedIn = -1;  // a size declared for an earlier stream is void
    rec.OutBuffer = static_cast<uint8_t*>(std::malloc(size_t(bufSize)));
    if (rec.OutBuffer == nullptr) return -1;
    rec.OutBufferSize = bufSize;
    rec.Z = z_stream{};
    RewindOutput(rec);
    rec.Z.zalloc = HeapAlloc;
    rec.Z.zfree = HeapFree;
    rec.Z.opaque = Z_NULL;
    if (deflateInit2(&rec.Z, level, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return -1;
    rec.ZActive = true;
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
    if (level == Z_DEFAULT_COMPRESSION) {
        rec.Whole = new (std::nothrow) TZWholeDeflate;
        if (rec.Whole == nullptr) {
            ZDeflateEnd(rec);
            return -1;
        }
    }
#endif
    return 0;
}

int32_t ZDeflateWrite(TZDeflateRec& rec, const uint8_t* src, int32_t count) {
    if (!rec.ZActive || rec.OutBuffer == nullptr) return Z_STREAM_ERROR;
    if (count <= 0) return 0;
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
    if (rec.Whole != nullptr) {
        std::vector<uint8_t>& gathered = rec.Whole->Gathered;
        if (rec.ExpectedIn <= int64_t(kWholeLimit) && gathered.size() + size_t(count) <= kWholeLimit) {
            try {
                // A declared size is taken in one allocation, without the
                // copies and the spare capacity of a growing buffer.
                if (gathered.capacity() == 0 && rec.ExpectedIn > 0) gathered.reserve(size_t(rec.ExpectedIn));
                gathered.insert(gathered.end(), src, src + count);
                return 0;
            } catch (const std::bad_alloc&) {
            }
        }
        const int32_t r = LeaveWhole(rec);
        if (r != 0) return r;
    }
#endif
    return ZlibWrite(rec, src, size_t(count));
}

int32_t ZDeflateWriteRow(TZDeflateRec& rec) {
    if (!rec.ZActive) return Z_STREAM_ERROR;
    const int32_t mode = rec.FilterMode & 255;
    if ((mode == 1 || mode > 5) && rec.RowSize > 1) {
        // Unfiltered rows go to the compressor from where they lie, after
        // their filter byte; it sees the same bytes as from BestRow.
        static const uint8_t kNoFilter = 0;
        const int32_t r = ZDeflateWrite(rec, &kNoFilter, 1);
        if (r < 0) return r;
        return ZDeflateWrite(rec, rec.CurRow, rec.RowSize - 1);
    }
    ChooseFilter(rec);
    return ZDeflateWrite(rec, rec.BestRow, rec.RowSize);
}

int32_t ZDeflateFinish(TZDeflateRec& rec) {
    if (!rec.ZActive || rec.OutBuffer == nullptr) return -1;
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
    if (rec.Whole != nullptr) {
        int32_t e = 0;
        if (FinishWhole(rec, e)) return e;
        // libdeflate could not run: zlib compresses the gathered bytes.
        const int32_t r = LeaveWhole(rec);
        if (r != 0) return r < 0 ? -1 : r;
    }
#endif
    int r;
    do {
        const uLong before = rec.Z.total_out;
        r = deflate(&rec.Z, Z_FINISH);
        if (r < 0) return -1;
        if (r != Z_STREAM_END) {
            if (rec.Z.avail_out == 0) {
                const int32_t e = rec.OnOutput(rec);
                if (e != 0) return e;
                RewindOutput(rec);
            } else if (rec.Z.total_out == before) {
                return -1;  // no room was missing, yet nothing came out
            }
        }
    } while (r != Z_STREAM_END);
    int32_t e = 0;
    if (FilledBytes(rec) > 0) e = rec.OnOutput(rec);
    deflateReset(&rec.Z);
    // The bytes are handed over; a following stream must not send them again.
    RewindOutput(rec);
    return e;
}

void ZDeflateEnd(TZDeflateRec& rec) {
    std::free(rec.OutBuffer);
    rec.OutBuffer = nullptr;
    rec.OutBufferSize = 0;
    if (rec.ZActive) deflateEnd(&rec.Z);
    rec.ZActive = false;
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
    delete rec.Whole;
#endif
    rec.Whole = nullptr;
    rec.Z.next_out = Z_NULL;
    rec.Z.avail_out = 0;
}

void ChooseFilter(TZDeflateRec& rec) {
    const int32_t mode = rec.FilterMode & 255;
    const int32_t count = rec.RowSize - 1;
    const int32_t bpp = rec.BitsPerPixel > 0 ? (rec.BitsPerPixel + 7) / 8 : 1;
    if (mode == 1 || mode > 5) {
        CopyUnfiltered(rec);
        return;
    }
    if (mode >= 2) {
        ApplyFilter(mode - 1, rec.CurRow, rec.PrevRow, count, bpp, rec.TrialRow);
        std::swap(rec.BestRow, rec.TrialRow);
        return;
    }
    CopyUnfiltered(rec);
    int32_t best = ScoreRow(rec, rec.BestRow);
    if (best == -1 || rec.ImageBits == 4) return;
    if (rec.ImageBits == 1 || rec.ImageBits == 8) best *= 2;
    for (int type = 1; type <= 4; ++type) {
        ApplyFilter(type, rec.CurRow, rec.PrevRow, count, bpp, rec.TrialRow);
        const int32_t s = ScoreRow(rec, rec.TrialRow);
        if (s == -1) {
            std::swap(rec.BestRow, rec.TrialRow);
            return;
        }
        if (s > best) {
            std::swap(rec.BestRow, rec.TrialRow);
            best = s;
        }
    }
}

double FilteredRowScore(const uint8_t* row, size_t n, bool belowByte, int32_t* histogram) {
    int32_t local[256];
    int32_t* hist = histogram != nullptr ? histogram : local;
    std::memset(hist, 0, 256 * sizeof(int32_t));
    for (size_t i = 0; i < n; ++i) ++hist[row[i]];

    int64_t distinct = 0, top1 = 0, top2 = 0, top3 = 0;
    for (int v = 0; v < 256; ++v) {
        const int64_t k = hist[v];
        if (k <= 0) continue;
        ++distinct;
        if (k >= top1) {
            top3 = top2;
            top2 = top1;
            top1 = k;
        } else if (k >= top2) {
            top3 = top2;
            top2 = k;
        } else if (k >= top3) {
            top3 = k;
        }
    }
    // Few values, or one value dominating, compress well whatever else the
    // row holds: such a row settles the choice.
    if (distinct <= 8 || top1 * 100 >= 90 * int64_t(n)) return -1;

    const double size = double(n);
    if (belowByte) return size / 1.5 / double(distinct) * 1500 + double(top1 + top2) / size * 1000;
    return size / 1.5 / double(distinct) * 1000 + double(top1 + top2 + top3) / size * 1000;
}

int32_t ScoreRow(TZDeflateRec& rec, const uint8_t* row) {
    return int32_t(FilteredRowScore(row, size_t(rec.RowSize), rec.BitsPerPixel < 8, rec.Histogram));
}
