// Inflate side of the zlib wrappers: the row reader of the PNG decoder and
// the routine that undoes a row filter.
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/TavZLIB.h"

#if defined(TOBELIN_INFLATE_ISAL)
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <vector>

// ISA-L inflates, and zlib stays in reserve: whenever ISA-L meets anything
// but a sound stream (damaged data, input that ends, a stream that ends
// short, a header zlib would refuse, a bad check value at the end), zlib
// takes the stream over from its first byte, catches up to the bytes the
// callers already have, and gives the rest of the read and every read after
// it. The failures, the bytes before them and the input read are then
// zlib's own. For that the compressed input is kept, piece by piece as it
// came, until zlib has taken it or the record ends.
struct TZFastInflate {
    inflate_state S{};
    std::vector<uint8_t> Saved;
    std::vector<uint32_t> Pieces;
    int64_t Delivered = 0;     // bytes of completed reads
    int32_t InputFailure = 0;  // a refusal of OnInput that zlib has yet to meet
    bool OnZlib = false;
    bool Replaying = false;  // zlib is being fed the kept pieces
    size_t ReplayPiece = 0, ReplayAt = 0;
};
#endif

namespace {

voidpf HeapAlloc(voidpf, uInt items, uInt size) {
    // calloc checks items * size for overflow itself.
    return std::calloc(items, size);
}

void HeapFree(voidpf, voidpf address) { std::free(address); }

// Written as selections, not branches: on photographic rows the choice is
// close to random and mispredicted branches cost more than the arithmetic.
inline uint8_t Paeth(int a, int b, int c) {
    const int pa = std::abs(b - c);          // |p - a| with p = a + b - c
    const int pb = std::abs(a - c);          // |p - b|
    const int pc = std::abs(a + b - 2 * c);  // |p - c|
    const int bOrC = pb <= pc ? b : c;
    return uint8_t(pa <= pb && pa <= pc ? a : bOrC);
}

// x runs over row[0 .. n - 1]; the first bpp bytes have no left neighbour.
// Bpp is a template argument for the common pixel sizes so that the
// compiler can unroll the inner dependency chain.
template <int Bpp>
void UnfilterSub(uint8_t* x, int32_t n, int32_t bppRuntime) {
    const int32_t bpp = Bpp > 0 ? Bpp : bppRuntime;
    for (int32_t i = bpp; i < n; ++i) x[i] = uint8_t(x[i] + x[i - bpp]);
}

void UnfilterUp(uint8_t* x, const uint8_t* b, int32_t n) {
    for (int32_t i = 0; i < n; ++i) x[i] = uint8_t(x[i] + b[i]);
}

template <int Bpp>
void UnfilterAverage(uint8_t* x, const uint8_t* b, int32_t n, int32_t bppRuntime) {
    const int32_t bpp = Bpp > 0 ? Bpp : bppRuntime;
    const int32_t head = bpp < n ? bpp : n;
    for (int32_t i = 0; i < head; ++i) x[i] = uint8_t(x[i] + (b[i] >> 1));
    for (int32_t i = bpp; i < n; ++i) x[i] = uint8_t(x[i] + ((unsigned(x[i - bpp]) + b[i]) >> 1));
}

template <int Bpp>
void UnfilterPaeth(uint8_t* x, const uint8_t* b, int32_t n, int32_t bppRuntime) {
    const int32_t bpp = Bpp > 0 ? Bpp : bppRuntime;
    const int32_t head = bpp < n ? bpp : n;
    // With a = c = 0 the predictor is b.
    for (int32_t i = 0; i < head; ++i) x[i] = uint8_t(x[i] + b[i]);
    for (int32_t i = bpp; i < n; ++i) x[i] = uint8_t(x[i] + Paeth(x[i - bpp], b[i], b[i - bpp]));
}

#if defined(__SSE2__)
// Average and Paeth on 3- and 4-byte pixels can take one whole pixel per step
// in a vector register: the chain through the left neighbour then runs
// once per pixel instead of once per byte. Loads take 4 bytes while a
// fourth byte still lies inside the row; stores write exactly Bpp bytes.

template <int Bpp>
inline __m128i LoadPixel(const uint8_t* p, bool whole4) {
    uint32_t v = 0;
    if (Bpp == 4 || whole4)
        std::memcpy(&v, p, 4);
    else
        std::memcpy(&v, p, 3);
    return _mm_cvtsi32_si128(int(v));
}

template <int Bpp>
inline void StorePixel(uint8_t* p, __m128i v) {
    const uint32_t bytes = uint32_t(_mm_cvtsi128_si32(v));
    std::memcpy(p, &bytes, Bpp);
}

// Bytes from `from` to n, one at a time, with the scalar predictors.
template <int Bpp>
void AverageTail(uint8_t* x, const uint8_t* b, int32_t from, int32_t n) {
    for (int32_t i = from; i < n; ++i)
        x[i] = uint8_t(x[i] + (((i >= Bpp ? unsigned(x[i - Bpp]) : 0u) + b[i]) >> 1));
}

template <int Bpp>
void PaethTail(uint8_t* x, const uint8_t* b, int32_t from, int32_t n) {
    for (int32_t i = from; i < n; ++i)
        x[i] = i >= Bpp ? uint8_t(x[i] + Paeth(x[i - Bpp], b[i], b[i - Bpp])) : uint8_t(x[i] + b[i]);
}

template <int Bpp>
void UnfilterAverageSimd(uint8_t* x, const uint8_t* b, int32_t n) {
    const __m128i one = _mm_set1_epi8(1);
    __m128i a = _mm_setzero_si128();
    int32_t i = 0;
    for (; i + Bpp <= n; i += Bpp) {
        const bool whole4 = i + 4 <= n;
        const __m128i up = LoadPixel<Bpp>(b + i, whole4);
        // avg_epu8 rounds up; the filter's mean rounds down.
        const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, up), _mm_and_si128(_mm_xor_si128(a, up), one));
        a = _mm_add_epi8(LoadPixel<Bpp>(x + i, whole4), mean);
        StorePixel<Bpp>(x + i, a);
    }
    AverageTail<Bpp>(x, b, i, n);
}

template <int Bpp>
void UnfilterPaethSimd(uint8_t* x, const uint8_t* b, int32_t n) {
    // 16-bit lanes: the differences need a sign and one more bit.
    const __m128i zero = _mm_setzero_si128();
    __m128i a = zero, c = zero;
    int32_t i = 0;
    for (; i + Bpp <= n; i += Bpp) {
        const bool whole4 = i + 4 <= n;
        const __m128i up = _mm_unpacklo_epi8(LoadPixel<Bpp>(b + i, whole4), zero);
        const __m128i filtered = _mm_unpacklo_epi8(LoadPixel<Bpp>(x + i, whole4), zero);
        // With p = a + b - c: p - a = b - c, p - b = a - c, p - c = both.
        const __m128i dA = _mm_sub_epi16(up, c);
        const __m128i dB = _mm_sub_epi16(a, c);
        const __m128i dC = _mm_add_epi16(dA, dB);
        const __m128i pa = _mm_max_epi16(dA, _mm_sub_epi16(zero, dA));
        const __m128i pb = _mm_max_epi16(dB, _mm_sub_epi16(zero, dB));
        const __m128i pc = _mm_max_epi16(dC, _mm_sub_epi16(zero, dC));
        const __m128i least = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
        // a on a tie with anything, then b before c.
        const __m128i takeB = _mm_cmpeq_epi16(pb, least);
        __m128i pred = _mm_or_si128(_mm_and_si128(takeB, up), _mm_andnot_si128(takeB, c));
        const __m128i takeA = _mm_cmpeq_epi16(pa, least);
        pred = _mm_or_si128(_mm_and_si128(takeA, a), _mm_andnot_si128(takeA, pred));
        a = _mm_and_si128(_mm_add_epi16(filtered, pred), _mm_set1_epi16(0xFF));
        StorePixel<Bpp>(x + i, _mm_packus_epi16(a, a));
        c = up;
    }
    PaethTail<Bpp>(x, b, i, n);
}
#endif

template <int Bpp>
int32_t Unfilter(uint8_t type, uint8_t* x, const uint8_t* b, int32_t n, int32_t bpp) {
    switch (type) {
    case 0: return 0;
    case 1: UnfilterSub<Bpp>(x, n, bpp); return 0;
    case 2: UnfilterUp(x, b, n); return 0;
    case 3:
#if defined(__SSE2__)
        // On 3-byte pixels the three byte chains of the plain loop overlap
        // well enough that the vector step is slower; it pays from 4 on.
        if constexpr (Bpp == 4) {
            UnfilterAverageSimd<Bpp>(x, b, n);
            return 0;
        }
#endif
        UnfilterAverage<Bpp>(x, b, n, bpp);
        return 0;
    case 4:
#if defined(__SSE2__)
        if constexpr (Bpp == 3 || Bpp == 4) {
            UnfilterPaethSimd<Bpp>(x, b, n);
            return 0;
        }
#endif
        UnfilterPaeth<Bpp>(x, b, n, bpp);
        return 0;
    default: return -1;
    }
}

}  // namespace

int32_t UnfilterRow(uint8_t* row, const uint8_t* prev, int32_t rowSize, int32_t bpp) {
    if (rowSize < 1) return -1;
    if (bpp < 1) bpp = 1;
    const uint8_t type = row[0];
    uint8_t* x = row + 1;
    const uint8_t* b = prev + 1;
    const int32_t n = rowSize - 1;
    switch (bpp) {
    case 1: return Unfilter<1>(type, x, b, n, bpp);
    case 2: return Unfilter<2>(type, x, b, n, bpp);
    case 3: return Unfilter<3>(type, x, b, n, bpp);
    case 4: return Unfilter<4>(type, x, b, n, bpp);
    case 6: return Unfilter<6>(type, x, b, n, bpp);
    case 8: return Unfilter<8>(type, x, b, n, bpp);
    default: return Unfilter<0>(type, x, b, n, bpp);
    }
}

namespace {

// Where zlib gets its next input: the kept pieces first while it catches
// up, then the caller's event.
int32_t NextInput(TZInflateRec& rec) {
#if defined(TOBELIN_INFLATE_ISAL)
    if (rec.Fast != nullptr && rec.Fast->Replaying) {
        TZFastInflate& f = *rec.Fast;
        if (f.ReplayPiece < f.Pieces.size()) {
            rec.Z.next_in = f.Saved.data() + f.ReplayAt;
            rec.Z.avail_in = f.Pieces[f.ReplayPiece];
            f.ReplayAt += f.Pieces[f.ReplayPiece++];
            return 0;
        }
        f.Replaying = false;
        // zlib has taken the last kept piece; it no longer needs them.
        rec.Z.next_in = rec.InBuffer;
        rec.Z.avail_in = 0;
        f.Saved = {};
        f.Pieces = {};
        if (const int32_t refused = f.InputFailure; refused != 0) {
            // The refusal ISA-L met is the one zlib meets now, in its place.
            f.InputFailure = 0;
            return refused;
        }
    }
#endif
    return rec.OnInput ? rec.OnInput(rec) : -1;
}

int32_t ZlibRead(TZInflateRec& rec, uint8_t* dest, int32_t count) {
    rec.Z.next_out = dest;
    rec.Z.avail_out = count > 0 ? uInt(count) : 0;
    int32_t result = 0;
    while (rec.Z.avail_out > 0) {
        if (rec.Z.avail_in == 0) {
            result = NextInput(rec);
            if (result != 0) return result;
        }
        result = inflate(&rec.Z, Z_NO_FLUSH);
        if (result < 0) return result;
        // A stream that wants a preset dictionary makes no progress; PNG
        // data never has one, so treat it as corrupt instead of looping.
        if (result == Z_NEED_DICT) return Z_DATA_ERROR;
        if (result == Z_STREAM_END && rec.Z.avail_out > 0) return Z_DATA_ERROR;
    }
    return result == Z_STREAM_END ? 1 : 0;
}

#if defined(TOBELIN_INFLATE_ISAL)
// zlib's own test of the two header bytes, window size included; ISA-L is
// more lenient there, and a header zlib refuses must give no rows.
bool ZlibAcceptsHeader(const uint8_t* p, uint32_t n) {
    if (n < 2) return false;  // too short to judge: let zlib judge it
    const unsigned cmf = p[0], flg = p[1];
    return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0 && !(flg & 0x20);
}

int32_t TakeOver(TZInflateRec& rec, uint8_t* dest, int32_t count) {
    TZFastInflate& f = *rec.Fast;
    f.OnZlib = true;
    f.Replaying = true;
    f.ReplayPiece = f.ReplayAt = 0;
    inflateReset(&rec.Z);
    rec.Z.next_in = rec.InBuffer;
    rec.Z.avail_in = 0;
    // Catch up with the callers. zlib stops inside the stream where the
    // output stops, whatever the sizes of the reads, so one run of reads
    // of any size leaves it as the callers' reads would have.
    if (f.Delivered > 0) {
        std::vector<uint8_t> scratch(size_t(std::min<int64_t>(f.Delivered, 65536)));
        for (int64_t left = f.Delivered; left > 0;) {
            const int32_t n = int32_t(std::min<int64_t>(left, int64_t(scratch.size())));
            const int32_t r = ZlibRead(rec, scratch.data(), n);
            if (r < 0) {
                // zlib refuses data ISA-L passed: the callers already hold
                // rows that zlib would not have given. Nothing more comes.
                rec.Z.avail_out = uInt(count > 0 ? count : 0);
                return r;
            }
            left -= n;
        }
    }
    return ZlibRead(rec, dest, count);
}

int32_t FastRead(TZInflateRec& rec, uint8_t* dest, int32_t count) {
    TZFastInflate& f = *rec.Fast;
    if (f.OnZlib) return ZlibRead(rec, dest, count);
    inflate_state& s = f.S;
    s.next_out = dest;
    s.avail_out = count > 0 ? uint32_t(count) : 0;
    for (;;) {
        const uint32_t inBefore = s.avail_in, outBefore = s.avail_out;
        const int rc = isal_inflate(&s);
        if (rc < 0 || rc == ISAL_NEED_DICT) return TakeOver(rec, dest, count);
        if (s.avail_out == 0) break;
        if (s.block_state == ISAL_BLOCK_FINISH) return TakeOver(rec, dest, count);  // ended short
        if (s.avail_in > 0) {
            if (s.avail_in == inBefore && s.avail_out == outBefore) return TakeOver(rec, dest, count);
            continue;
        }
        const int32_t r = rec.OnInput ? rec.OnInput(rec) : -1;
        if (r != 0) {
            f.InputFailure = r;
            return TakeOver(rec, dest, count);
        }
        const uint32_t n = rec.Z.avail_in;
        if (f.Pieces.empty() && !ZlibAcceptsHeader(rec.Z.next_in, n)) {
            f.Saved.assign(rec.Z.next_in, rec.Z.next_in + n);
            f.Pieces.push_back(n);
            rec.Z.avail_in = 0;
            return TakeOver(rec, dest, count);
        }
        f.Saved.insert(f.Saved.end(), rec.Z.next_in, rec.Z.next_in + n);
        f.Pieces.push_back(n);
        s.next_in = rec.Z.next_in;
        s.avail_in = n;
        rec.Z.avail_in = 0;
    }
    // zlib goes on past the last byte asked for as far as it can without
    // writing: through the end of the stream and its check value if the
    // input at hand holds them. At the stream's last read ISA-L is made to
    // look as far (its output beyond the request waits in its own buffer);
    // a bad check value there is then left to zlib to report or not.
    if (s.block_state != ISAL_BLOCK_FINISH && (rec.ExpectedOut < 0 || f.Delivered + count >= rec.ExpectedOut)) {
        const int rc = isal_inflate(&s);
        if (rc < 0 || rc == ISAL_NEED_DICT) return TakeOver(rec, dest, count);
    }
    f.Delivered += count > 0 ? count : 0;
    rec.Z.avail_out = 0;
    return s.block_state == ISAL_BLOCK_FINISH ? 1 : 0;
}
#endif

}  // namespace

const char* ZInflateEngine() {
#if defined(TOBELIN_INFLATE_ISAL)
    return "isal";
#else
    return "zlib";
#endif
}

int32_t ZInflateInit(TZInflateRec& rec) {
    if (rec.InBuffer != nullptr || rec.ZActive) ZInflateEnd(rec);
    rec.InBuffer = new (std::nothrow) uint8_t[TZInflateRec::InputSize];
    if (rec.InBuffer == nullptr) return -1;
    rec.Z = z_stream{};
    rec.Z.next_in = rec.InBuffer;
    rec.Z.avail_in = 0;
    rec.Z.zalloc = HeapAlloc;
    rec.Z.zfree = HeapFree;
    rec.Z.opaque = nullptr;
    rec.InBufferSize = TZInflateRec::InputSize;
    if (inflateInit(&rec.Z) != Z_OK) {
        // Release the buffer too: the record is then as before the call.
        delete[] rec.InBuffer;
        rec.InBuffer = nullptr;
        rec.InBufferSize = 0;
        return -1;
    }
    rec.ZActive = true;
#if defined(TOBELIN_INFLATE_ISAL)
    rec.Fast = new (std::nothrow) TZFastInflate;
    if (rec.Fast == nullptr) {
        ZInflateEnd(rec);
        return -1;
    }
    isal_inflate_init(&rec.Fast->S);
    rec.Fast->S.crc_flag = ISAL_ZLIB;
#endif
    return 0;
}

int32_t ZInflateRead(TZInflateRec& rec, uint8_t* dest, int32_t count) {
    if (!rec.ZActive) return Z_STREAM_ERROR;
#if defined(TOBELIN_INFLATE_ISAL)
    if (rec.Fast != nullptr) return FastRead(rec, dest, count);
#endif
    return ZlibRead(rec, dest, count);
}

int32_t ZInflateReadRow(TZInflateRec& rec) {
    const int32_t r = ZInflateRead(rec, rec.CurRow, rec.RowSize);
    if (r < 0) return r;
    if (UnfilterRow(rec.CurRow, rec.PrevRow, rec.RowSize, (rec.BitsPerPixel + 7) / 8) != 0) return -1;
    return r;
}

void ZInflateReset(TZInflateRec& rec) {
    if (rec.ZActive) inflateReset(&rec.Z);
#if defined(TOBELIN_INFLATE_ISAL)
    if (rec.Fast != nullptr) {
        TZFastInflate& f = *rec.Fast;
        f.Saved = {};
        f.Pieces = {};
        f.Delivered = 0;
        f.InputFailure = 0;
        f.OnZlib = f.Replaying = false;
        f.ReplayPiece = f.ReplayAt = 0;
        isal_inflate_reset(&f.S);
        f.S.crc_flag = ISAL_ZLIB;
        f.S.avail_in = 0;
    }
#endif
    rec.Z.next_in = rec.InBuffer;
    rec.Z.avail_in = 0;
}

void ZInflateEnd(TZInflateRec& rec) {
    delete[] rec.InBuffer;
    rec.InBuffer = nullptr;
    rec.InBufferSize = 0;
    if (rec.ZActive) inflateEnd(&rec.Z);
    rec.ZActive = false;
#if defined(TOBELIN_INFLATE_ISAL)
    delete rec.Fast;
#endif
    rec.Fast = nullptr;
    rec.Z.next_in = nullptr;
    rec.Z.avail_in = 0;
}
