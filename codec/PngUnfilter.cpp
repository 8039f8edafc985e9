// Undoing the PNG row filters. Every filter but Up runs a chain through
// the left neighbour, byte by byte (or pixel by pixel in a vector
// register), so what counts is the latency of that chain: the left
// neighbour is carried in registers, never reloaded from the row just
// stored, and the per-pixel-size variant is chosen once per row.
#include "codec/PngUnfilter.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// Written as selections, not branches: on photographic rows the choice is
// close to random and mispredicted branches cost more than the arithmetic.
inline uint8_t Paeth(int a, int b, int c) {
    const int pa = std::abs(b - c);          // |p - a| with p = a + b - c
    const int pb = std::abs(a - c);          // |p - b|
    const int pc = std::abs(a + b - 2 * c);  // |p - c|
    const int bOrC = pb <= pc ? b : c;
    return uint8_t(pa <= pb && pa <= pc ? a : bOrC);
}

void UnfilterUp(uint8_t* x, const uint8_t* b, int32_t n) {
    for (int32_t i = 0; i < n; ++i) x[i] = uint8_t(x[i] + b[i]);
}

// x runs over row[0 .. n - 1]; the first bpp bytes have no left neighbour.
// For a fixed Bpp the left (a) and upper-left (c) bytes of every byte of a
// pixel stay in registers; they start at 0, which gives each filter its
// rule for the first pixel (Paeth with a = c = 0 predicts b). Rows that
// end inside a pixel finish byte by byte.
template <int Bpp>
void UnfilterSub(uint8_t* x, int32_t n, int32_t from) {
    uint8_t a[Bpp] = {};
    if (from > 0) std::memcpy(a, x + from - Bpp, Bpp);
    int32_t i = from;
    for (; i + Bpp <= n; i += Bpp)
        for (int j = 0; j < Bpp; ++j) x[i + j] = a[j] = uint8_t(x[i + j] + a[j]);
    for (int j = 0; i < n; ++i, ++j) x[i] = uint8_t(x[i] + a[j]);
}

template <int Bpp>
void UnfilterAverage(uint8_t* x, const uint8_t* b, int32_t n, int32_t from) {
    uint8_t a[Bpp] = {};
    if (from > 0) std::memcpy(a, x + from - Bpp, Bpp);
    int32_t i = from;
    for (; i + Bpp <= n; i += Bpp)
        for (int j = 0; j < Bpp; ++j) x[i + j] = a[j] = uint8_t(x[i + j] + ((unsigned(a[j]) + b[i + j]) >> 1));
    for (int j = 0; i < n; ++i, ++j) x[i] = uint8_t(x[i] + ((unsigned(a[j]) + b[i]) >> 1));
}

template <int Bpp>
void UnfilterPaeth(uint8_t* x, const uint8_t* b, int32_t n, int32_t from) {
    uint8_t a[Bpp] = {}, c[Bpp] = {};
    if (from > 0) {
        std::memcpy(a, x + from - Bpp, Bpp);
        std::memcpy(c, b + from - Bpp, Bpp);
    }
    int32_t i = from;
    for (; i + Bpp <= n; i += Bpp)
        for (int j = 0; j < Bpp; ++j) {
            const uint8_t up = b[i + j];
            x[i + j] = a[j] = uint8_t(x[i + j] + Paeth(a[j], up, c[j]));
            c[j] = up;
        }
    for (int j = 0; i < n; ++i, ++j) x[i] = uint8_t(x[i] + Paeth(a[j], b[i], c[j]));
}

// Any other pixel size, with the neighbours read back from the rows.
void UnfilterAny(uint8_t type, uint8_t* x, const uint8_t* b, int32_t n, int32_t bpp) {
    for (int32_t i = 0; i < n; ++i) {
        const bool left = i >= bpp;
        const int a = left ? x[i - bpp] : 0, c = left ? b[i - bpp] : 0;
        switch (type) {
        case 1: x[i] = uint8_t(x[i] + a); break;
        case 3: x[i] = uint8_t(x[i] + ((a + b[i]) >> 1)); break;
        default: x[i] = uint8_t(x[i] + Paeth(a, b[i], c)); break;
        }
    }
}

// Average rows are undone in pairs: one row's chain through the left
// neighbour leaves the processor mostly waiting, and the second row's chain
// runs beside it, this many pixels behind the first, so that the bytes it
// takes from above were stored long enough ago to be read back from the
// cache, not caught in flight (a read that spans two pending stores stalls).
constexpr int32_t kPairLead = 32;

#if defined(__SSE2__)
// Paeth on 2- to 4-byte pixels takes one whole pixel per step in a vector
// register: the chain through the left neighbour then runs once per pixel
// instead of once per byte. 3-byte loads take 4 bytes while a fourth byte
// still lies inside the row; stores write exactly Bpp bytes.

template <int Bpp>
inline __m128i LoadPixel(const uint8_t* p, bool whole4) {
    uint32_t v = 0;
    if (Bpp == 2)
        std::memcpy(&v, p, 2);
    else if (Bpp == 4 || whole4)
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

// Sub and Average on 3-, 4-, 6- and 8-byte pixels: 16 bytes of the row
// and of the row above are loaded at once and their P whole pixels taken
// one after the other from the registers, so that the chain through the
// left neighbour is only the vector arithmetic. Where P pixels fill less
// than 16 bytes, the bytes behind them are stored back as they were
// loaded; the next block, which starts there, is loaded before that store.
template <int Bpp, class Op>
int32_t UnfilterBlocks(uint8_t* x, const uint8_t* b, int32_t n) {
    constexpr int P = 16 / Bpp, S = P * Bpp;
    const __m128i pixel = _mm_srli_si128(_mm_set1_epi8(-1), 16 - Bpp);
    const __m128i keep = S < 16 ? _mm_slli_si128(_mm_set1_epi8(-1), S % 16) : _mm_setzero_si128();
    __m128i a = Op::Start();
    int32_t i = 0;
    if (n < S + 16) return 0;
    __m128i vx = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x));
    for (; i + S + 16 <= n; i += S) {
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + i + S));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        __m128i out = _mm_setzero_si128();
        [&]<int... K>(std::integer_sequence<int, K...>) {
            ((a = Op::Next(a, _mm_srli_si128(vx, K * Bpp), _mm_srli_si128(vb, K * Bpp)),
              out = _mm_or_si128(out, _mm_slli_si128(_mm_and_si128(a, pixel), K * Bpp))),
             ...);
        }(std::make_integer_sequence<int, P>{});
        out = _mm_or_si128(_mm_andnot_si128(keep, Op::Out(out)), _mm_and_si128(keep, vx));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(x + i), out);
        vx = next;
    }
    return i;
}

struct TSubOp {
    static __m128i Start() { return _mm_setzero_si128(); }
    static __m128i Next(__m128i a, __m128i filtered, __m128i) { return _mm_add_epi8(filtered, a); }
    static __m128i Out(__m128i v) { return v; }
};

// floor((a + b) / 2) is ~avg(~a, ~b) (avg_epu8 rounds up). Carrying ~a
// instead of a, the step is avg(~a, ~b) - x: two operations on the chain.
struct TAverageOp {
    static __m128i Start() { return _mm_set1_epi8(-1); }
    static __m128i Next(__m128i notA, __m128i filtered, __m128i up) {
        return _mm_sub_epi8(_mm_avg_epu8(notA, _mm_xor_si128(up, _mm_set1_epi8(-1))), filtered);
    }
    static __m128i Out(__m128i v) { return _mm_xor_si128(v, _mm_set1_epi8(-1)); }
};

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
    UnfilterPaeth<Bpp>(x, b, n, i);
}

// Two Average rows at once, x1 the row below x0 and b0 the row above x0.
// Loads and stores take 4 bytes where a pixel has 2 or 3; the bytes past
// the pixel are the next pixel's, loaded before the store and put back
// after the last one.

inline __m128i Load4(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(int(v));
}

inline void Store4(uint8_t* p, __m128i v) {
    const uint32_t bytes = uint32_t(_mm_cvtsi128_si32(v));
    std::memcpy(p, &bytes, 4);
}

// One Average step in the complement form of TAverageOp, then the store.
inline __m128i AverageStep(__m128i notA, uint8_t* x, const uint8_t* b, __m128i filtered) {
    const __m128i ones = _mm_set1_epi8(-1);
    notA = _mm_sub_epi8(_mm_avg_epu8(notA, _mm_xor_si128(Load4(b), ones)), filtered);
    Store4(x, _mm_xor_si128(notA, ones));
    return notA;
}

template <int Bpp>
void UnfilterAveragePair(uint8_t* x0, const uint8_t* b0, uint8_t* x1, int32_t n) {
    const int32_t last = n - Bpp - 4;  // the last pixel whose successor loads 4 bytes
    if (last < (kPairLead + 1) * Bpp) {
        UnfilterAverage<Bpp>(x0, b0, n, 0);
        UnfilterAverage<Bpp>(x1, x0, n, 0);
        return;
    }
    __m128i notA0 = _mm_set1_epi8(-1), notA1 = notA0;
    __m128i f0 = Load4(x0), f1 = Load4(x1);
    int32_t i0 = 0, i1 = 0;
    for (; i0 < kPairLead * Bpp; i0 += Bpp) {
        const __m128i next = Load4(x0 + i0 + Bpp);
        notA0 = AverageStep(notA0, x0 + i0, b0 + i0, f0);
        f0 = next;
    }
    for (; i0 <= last; i0 += Bpp, i1 += Bpp) {
        const __m128i next0 = Load4(x0 + i0 + Bpp), next1 = Load4(x1 + i1 + Bpp);
        notA0 = AverageStep(notA0, x0 + i0, b0 + i0, f0);
        notA1 = AverageStep(notA1, x1 + i1, x0 + i1, f1);
        f0 = next0;
        f1 = next1;
    }
    Store4(x0 + i0, f0);
    UnfilterAverage<Bpp>(x0, b0, n, i0);
    for (; i1 <= last; i1 += Bpp) {
        const __m128i next = Load4(x1 + i1 + Bpp);
        notA1 = AverageStep(notA1, x1 + i1, x0 + i1, f1);
        f1 = next;
    }
    Store4(x1 + i1, f1);
    UnfilterAverage<Bpp>(x1, x0, n, i1);
}
#endif

// One-byte pixels: the same pairing on plain bytes.
void UnfilterAveragePair1(uint8_t* x0, const uint8_t* b0, uint8_t* x1, int32_t n) {
    if (n < 2 * kPairLead) {
        UnfilterAverage<1>(x0, b0, n, 0);
        UnfilterAverage<1>(x1, x0, n, 0);
        return;
    }
    unsigned a0 = 0, a1 = 0;
    int32_t i = 0;
    for (; i < kPairLead; ++i) x0[i] = uint8_t(a0 = uint8_t(x0[i] + ((a0 + b0[i]) >> 1)));
    for (; i < n; ++i) {
        x0[i] = uint8_t(a0 = uint8_t(x0[i] + ((a0 + b0[i]) >> 1)));
        const int32_t k = i - kPairLead;
        x1[k] = uint8_t(a1 = uint8_t(x1[k] + ((a1 + x0[k]) >> 1)));
    }
    for (int32_t k = n - kPairLead; k < n; ++k) x1[k] = uint8_t(a1 = uint8_t(x1[k] + ((a1 + x0[k]) >> 1)));
}

template <int Bpp>
int32_t Unfilter(uint8_t type, uint8_t* x, const uint8_t* b, int32_t n) {
    switch (type) {
    case 0: return 0;
    case 1:
#if defined(__SSE2__)
        if constexpr (Bpp >= 3) {
            UnfilterSub<Bpp>(x, n, UnfilterBlocks<Bpp, TSubOp>(x, b, n));
            return 0;
        }
#endif
        UnfilterSub<Bpp>(x, n, 0);
        return 0;
    case 2: UnfilterUp(x, b, n); return 0;
    case 3:
#if defined(__SSE2__)
        if constexpr (Bpp >= 3) {
            UnfilterAverage<Bpp>(x, b, n, UnfilterBlocks<Bpp, TAverageOp>(x, b, n));
            return 0;
        }
#endif
        UnfilterAverage<Bpp>(x, b, n, 0);
        return 0;
    case 4:
#if defined(__SSE2__)
        if constexpr (Bpp >= 2 && Bpp <= 4) {
            UnfilterPaethSimd<Bpp>(x, b, n);
            return 0;
        }
#endif
        UnfilterPaeth<Bpp>(x, b, n, 0);
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
    case 1: return Unfilter<1>(type, x, b, n);
    case 2: return Unfilter<2>(type, x, b, n);
    case 3: return Unfilter<3>(type, x, b, n);
    case 4: return Unfilter<4>(type, x, b, n);
    case 6: return Unfilter<6>(type, x, b, n);
    case 8: return Unfilter<8>(type, x, b, n);
    default:
        if (type > 4) return -1;
        if (type == 2) UnfilterUp(x, b, n);
        if (type == 1 || type >= 3) UnfilterAny(type, x, b, n, bpp);
        return 0;
    }
}

int64_t UnfilterRows(uint8_t* rows, const uint8_t* prev, int32_t rowSize, int32_t bpp, int64_t count) {
    const size_t step = size_t(rowSize);
    for (int64_t k = 0; k < count;) {
        uint8_t* row = rows + size_t(k) * step;
        // A pair needs both rows Average and a pixel size with a paired form.
        if (k + 1 < count && row[0] == 3 && row[step] == 3 && rowSize > 1) {
            uint8_t* below = row + step + 1;
            const int32_t n = rowSize - 1;
            bool paired = true;
            switch (bpp) {
            case 1: UnfilterAveragePair1(row + 1, prev + 1, below, n); break;
#if defined(__SSE2__)
            case 2: UnfilterAveragePair<2>(row + 1, prev + 1, below, n); break;
            case 3: UnfilterAveragePair<3>(row + 1, prev + 1, below, n); break;
            case 4: UnfilterAveragePair<4>(row + 1, prev + 1, below, n); break;
#endif
            default: paired = false; break;
            }
            if (paired) {
                prev = row + step;
                k += 2;
                continue;
            }
        }
        if (UnfilterRow(row, prev, rowSize, bpp) != 0) return k;
        prev = row;
        ++k;
    }
    return count;
}

#if defined(__x86_64__) || defined(__i386__)
namespace {
__attribute__((target("avx"))) void ClearUpperHalvesAvx() { _mm256_zeroupper(); }
}  // namespace

void ClearUpperVectorHalves() {
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx) ClearUpperHalvesAvx();
}
#else
void ClearUpperVectorHalves() {}
#endif
