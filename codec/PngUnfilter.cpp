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
#endif

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
