// The optimising save: gathers the pixels a reader of the normal save's
// file would see, finds the smallest exact colour type and bit depth for
// them, and writes them with the filter and compressor search.
#include "codec/PngOptimizedWrite.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "codec/PngFilterSearch.h"
#include "codec/TavPNGStream.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"

namespace {

const char* const kWriteError = "Write Image (PNG): Write Error";
const uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};

// One pixel as red | green << 8 | blue << 16 | alpha << 24: its low 24
// bits are the codec's colour value.
using TRgba = uint32_t;

inline uint32_t Red(TRgba p) { return p & 255; }
inline uint32_t Green(TRgba p) { return (p >> 8) & 255; }
inline uint32_t Blue(TRgba p) { return (p >> 16) & 255; }
inline uint32_t Alpha(TRgba p) { return p >> 24; }
inline uint32_t ColourOf(TRgba p) { return p & 0xFFFFFFu; }
inline bool IsGrey(TRgba p) { return Red(p) == Green(p) && Green(p) == Blue(p); }
inline uint32_t Luma(uint32_t r, uint32_t g, uint32_t b) { return (77 * r + 150 * g + 29 * b) >> 8; }
inline uint32_t Expand5(uint32_t v) { return (v << 3) | (v >> 2); }
inline uint32_t Expand6(uint32_t v) { return (v << 2) | (v >> 4); }

void PutBE16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

void PutBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

struct TPass {
    int32_t Row, Col, RowStep, ColStep;
};
constexpr TPass kAdam7[7] = {{0, 0, 8, 8}, {0, 4, 8, 8}, {4, 0, 8, 4}, {0, 2, 4, 4},
                             {2, 0, 4, 2}, {0, 1, 2, 2}, {1, 0, 2, 1}};
constexpr TPass kSinglePass = {0, 0, 1, 1};

inline int32_t PassCount(int32_t size, int32_t start, int32_t step) {
    return size > start ? (size - start + step - 1) / step : 0;
}

inline uint32_t IndexAt(const uint8_t* row, int32_t bits, int32_t x) {
    if (bits == 1) return (row[x >> 3] >> (7 - (x & 7))) & 1u;
    if (bits == 4) return (x & 1) ? (row[x >> 1] & 15u) : (row[x >> 1] >> 4);
    return row[x];
}

// ---- the pixels -------------------------------------------------------------

// How the normal save turns the bitmap into the samples of its file.
struct TSourceRules {
    const TBitmap* Image = nullptr;
    const TBitmap* Mask = nullptr;  // alpha = 255 - mask byte
    int32_t Bits = 24;
    const uint8_t* Entries = nullptr;  // palette entries: blue, green, red, 0
    int32_t EntryCount = 0;
    // Grey output: the sample is GrayMap's level of an index (1-bit
    // sources: the bit, inverted on request) or the luma of a colour.
    bool Grey = false;
    const uint8_t* GrayMap = nullptr;
    bool Invert = false;
    // A tRNS that the normal save writes: pixels whose sample (index, grey
    // level or colour value) equals Key are fully transparent.
    bool HasKey = false;
    uint32_t Key = 0;
};

std::vector<TRgba> GatherPixels(const TSourceRules& s) {
    const int32_t w = s.Image->Width(), h = s.Image->Height();
    std::vector<TRgba> out(size_t(w) * size_t(h));
    TRgba* p = out.data();
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* row = s.Image->ScanLine(y);
        const uint8_t* mask = s.Mask ? s.Mask->ScanLine(y) : nullptr;
        for (int32_t x = 0; x < w; ++x) {
            uint32_t sample, colour;
            if (s.Bits <= 8) {
                const uint32_t index = IndexAt(row, s.Bits, x);
                if (s.Grey) {
                    // Scaled from the file's bit depth, as a reader does.
                    if (s.Bits == 1) {
                        sample = index ^ uint32_t(s.Invert);
                        colour = sample * 255;
                    } else {
                        sample = s.GrayMap[index];
                        colour = s.Bits == 4 ? sample * 17 : sample;
                    }
                    colour *= 0x010101u;
                } else {
                    sample = index;
                    // An index beyond the palette reads as black.
                    const uint8_t* e = s.Entries + 4 * index;
                    colour = int32_t(index) < s.EntryCount ? e[2] | e[1] << 8 | e[0] << 16 : 0;
                }
            } else {
                uint32_t r, g, b;
                if (s.Bits == 15 || s.Bits == 16) {
                    const uint32_t v = row[2 * x] | uint32_t(row[2 * x + 1]) << 8;
                    const bool six = s.Bits == 16;
                    r = Expand5((v >> (six ? 11 : 10)) & 31);
                    g = six ? Expand6((v >> 5) & 63) : Expand5((v >> 5) & 31);
                    b = Expand5(v & 31);
                } else {
                    const uint8_t* q = row + (s.Bits == 32 ? 4 : 3) * size_t(x);
                    b = q[0];
                    g = q[1];
                    r = q[2];
                }
                if (s.Grey) {
                    sample = Luma(r, g, b);
                    colour = sample * 0x010101u;
                } else {
                    colour = r | g << 8 | b << 16;
                    sample = colour;
                }
            }
            uint32_t alpha = mask ? 255u - mask[x] : 255u;
            if (s.HasKey && sample == s.Key) alpha = 0;
            *p++ = colour | alpha << 24;
        }
    }
    return out;
}

// The pixel that the normal save's tRNS makes transparent: its colour as
// a reader shows it, with alpha 0.
TRgba KeyPixel(const TSourceRules& s) {
    uint32_t colour;
    if (s.Grey) {
        const uint32_t scale = s.Bits == 1 ? 255 : s.Bits == 4 ? 17 : 1;
        colour = s.Key * scale * 0x010101u;
    } else if (s.Bits <= 8) {
        const uint8_t* e = s.Entries + 4 * s.Key;
        colour = e[2] | e[1] << 8 | e[0] << 16;
    } else {
        colour = s.Key;
    }
    return colour;
}

// A transparent colour that no pixel has still belongs to the picture: the
// normal save's tRNS names it, and a reader reports it. Every layout must
// name it as well.
struct TKey {
    bool Extra = false;  // set, and no pixel is it
    TRgba Pixel = 0;
    // Some pixel shows its colour, so a tRNS colour would make that pixel
    // transparent; only a palette entry of its own can name the key then.
    bool ColourShown = false;
};

TKey SurveyKey(const std::vector<TRgba>& pixels, bool has, TRgba keyPixel) {
    TKey key;
    if (!has) return key;
    key.Pixel = keyPixel;
    key.Extra = true;
    for (TRgba p : pixels) {
        if (p == keyPixel) return TKey{};
        if (ColourOf(p) == ColourOf(keyPixel)) key.ColourShown = true;
    }
    return key;
}

// What the layouts are chosen from.
struct TStats {
    bool Grey = true;
    bool Opaque = true;
    // Every pixel that is not opaque is the one fully transparent value,
    // and no opaque pixel has its colour: a tRNS colour can stand for it.
    bool Keyable = false;
    TRgba KeyPixel = 0;
    // Distinct values in the order of their first appearance, their counts
    // and each pixel's index among them; all empty past 256 values.
    std::vector<TRgba> Colours;
    std::vector<uint32_t> Counts;
    std::vector<uint8_t> Ids;
};

TStats Survey(const std::vector<TRgba>& pixels) {
    TStats st;
    std::unordered_map<TRgba, uint32_t> ids;
    bool many = false, anyTransparent = false, oneTransparent = true;
    st.Ids.resize(pixels.size());
    TRgba last = 0;
    uint32_t lastId = 0;
    for (size_t i = 0; i < pixels.size(); ++i) {
        const TRgba p = pixels[i];
        if (!IsGrey(p)) st.Grey = false;
        if (Alpha(p) != 255) {
            st.Opaque = false;
            if (Alpha(p) != 0 || (anyTransparent && p != st.KeyPixel)) oneTransparent = false;
            anyTransparent = true;
            st.KeyPixel = p;
        }
        if (many) continue;
        if (i == 0 || p != last) {
            const auto [it, added] = ids.try_emplace(p, uint32_t(st.Colours.size()));
            if (added) {
                if (st.Colours.size() == 256) {
                    many = true;
                    continue;
                }
                st.Colours.push_back(p);
                st.Counts.push_back(0);
            }
            last = p;
            lastId = it->second;
        }
        ++st.Counts[lastId];
        st.Ids[i] = uint8_t(lastId);
    }
    if (many) {
        st.Colours.clear();
        st.Counts.clear();
        std::vector<uint8_t>().swap(st.Ids);
    }
    st.Keyable = anyTransparent && oneTransparent;
    for (size_t i = 0; i < pixels.size() && st.Keyable; ++i)
        st.Keyable = !(Alpha(pixels[i]) == 255 && ColourOf(pixels[i]) == ColourOf(st.KeyPixel));
    return st;
}

// sBIT as the normal save would write it, per channel (1 to 8).
struct TSignificant {
    bool Write = false;
    uint8_t Red = 8, Green = 8, Blue = 8, Alpha = 8;
    uint8_t Grey() const { return std::max({Red, Green, Blue}); }
};

struct TBackground {
    bool Has = false;
    TRgba Colour = 0;
};

// ---- layouts ----------------------------------------------------------------

struct TLayout {
    uint8_t ColorType = 2, Depth = 8;
    uint32_t Channels = 3;
    std::vector<uint8_t> Values;  // Channels samples a pixel, one byte each, at Depth
    // Chunk bodies; empty: no chunk.
    std::vector<uint8_t> Palette, Transparency, Background, SignificantBits;

    size_t ChunkBytes() const {
        size_t n = 0;
        for (const auto* body : {&Palette, &Transparency, &Background, &SignificantBits})
            if (!body->empty()) n += 12 + body->size();
        return n;
    }
};

// Grey (type 0, depth 1 to 8, a tRNS level for one transparent value) or
// grey with alpha; false when a pixel or the background is not grey, or
// the key cannot be its tRNS level.
bool MakeGreyLayout(const std::vector<TRgba>& pixels, const TStats& st, const TBackground& bg, const TKey& key,
                    const TSignificant& sb, TLayout& out) {
    if (!st.Grey || (bg.Has && !IsGrey(bg.Colour))) return false;
    if (key.Extra && (!st.Opaque || key.ColourShown || !IsGrey(key.Pixel))) return false;
    const bool alpha = !st.Opaque && !st.Keyable;
    uint8_t depth = 8;
    if (!alpha) {
        bool used[256] = {};
        for (TRgba p : pixels) used[Red(p)] = true;
        if (bg.Has) used[Red(bg.Colour)] = true;
        if (key.Extra) used[Red(key.Pixel)] = true;
        // A level fits depth d when it is a whole multiple of 255 / (2^d - 1).
        for (uint8_t d : {1, 2, 4}) {
            const uint32_t step = 255u / ((1u << d) - 1);
            bool fits = true;
            for (uint32_t v = 0; v < 256 && fits; ++v) fits = !used[v] || v % step == 0;
            if (fits) {
                depth = d;
                break;
            }
        }
    }
    const uint32_t step = 255u / ((1u << depth) - 1);
    out.ColorType = alpha ? 4 : 0;
    out.Depth = depth;
    out.Channels = alpha ? 2 : 1;
    out.Values.resize(pixels.size() * out.Channels);
    uint8_t* v = out.Values.data();
    for (TRgba p : pixels) {
        *v++ = uint8_t(Red(p) / step);
        if (alpha) *v++ = uint8_t(Alpha(p));
    }
    if (!st.Opaque && !alpha) PutBE16(out.Transparency, Red(st.KeyPixel) / step);
    if (key.Extra) PutBE16(out.Transparency, Red(key.Pixel) / step);
    if (bg.Has) PutBE16(out.Background, Red(bg.Colour) / step);
    if (sb.Write) {
        out.SignificantBits.push_back(std::min(sb.Grey(), depth));
        if (alpha) out.SignificantBits.push_back(sb.Alpha);
    }
    return true;
}

// A palette whose entries are the distinct values in `order` (indices into
// st.Colours), plus an entry for a key that no pixel has and the
// background's colour when no entry has it; false when that makes more
// than 256 entries.
bool MakePaletteLayout(const TStats& st, const std::vector<uint32_t>& order, const TBackground& bg, const TKey& key,
                       const TSignificant& sb, TLayout& out) {
    std::vector<TRgba> entries;
    for (uint32_t id : order) entries.push_back(st.Colours[id]);
    // The key's entry goes before the first opaque one, where it keeps
    // the tRNS shortest.
    size_t keyAt = entries.size();
    if (key.Extra) {
        if (entries.size() == 256) return false;
        keyAt = size_t(std::find_if(entries.begin(), entries.end(), [](TRgba e) { return Alpha(e) == 255; }) -
                       entries.begin());
        entries.insert(entries.begin() + std::ptrdiff_t(keyAt), key.Pixel);
    }
    int32_t bgIndex = -1;
    if (bg.Has) {
        // bKGD names an entry's colour; an opaque entry is the natural one.
        for (size_t i = 0; i < entries.size() && bgIndex < 0; ++i)
            if (ColourOf(entries[i]) == ColourOf(bg.Colour) && Alpha(entries[i]) == 255) bgIndex = int32_t(i);
        for (size_t i = 0; i < entries.size() && bgIndex < 0; ++i)
            if (ColourOf(entries[i]) == ColourOf(bg.Colour)) bgIndex = int32_t(i);
        if (bgIndex < 0) {
            if (entries.size() == 256) return false;
            bgIndex = int32_t(entries.size());
            entries.push_back(ColourOf(bg.Colour) | 0xFF000000u);
        }
    }
    const size_t n = entries.size();
    out.ColorType = 3;
    out.Depth = n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
    out.Channels = 1;
    uint8_t rank[256] = {};
    for (size_t i = 0; i < order.size(); ++i) rank[order[i]] = uint8_t(i < keyAt ? i : i + 1);
    out.Values.resize(st.Ids.size());
    for (size_t i = 0; i < st.Ids.size(); ++i) out.Values[i] = rank[st.Ids[i]];
    size_t alphaCount = 0;
    for (size_t i = 0; i < n; ++i) {
        out.Palette.push_back(uint8_t(Red(entries[i])));
        out.Palette.push_back(uint8_t(Green(entries[i])));
        out.Palette.push_back(uint8_t(Blue(entries[i])));
        if (Alpha(entries[i]) != 255) alphaCount = i + 1;
    }
    for (size_t i = 0; i < alphaCount; ++i) out.Transparency.push_back(uint8_t(Alpha(entries[i])));
    if (bgIndex >= 0) out.Background.push_back(uint8_t(bgIndex));
    if (sb.Write) out.SignificantBits = {sb.Red, sb.Green, sb.Blue};
    return true;
}

// False when the key cannot be its tRNS colour.
bool MakeTruecolourLayout(const std::vector<TRgba>& pixels, const TStats& st, const TBackground& bg, const TKey& key,
                          const TSignificant& sb, TLayout& out) {
    if (key.Extra && (!st.Opaque || key.ColourShown)) return false;
    const bool alpha = !st.Opaque && !st.Keyable;
    out.ColorType = alpha ? 6 : 2;
    out.Depth = 8;
    out.Channels = alpha ? 4 : 3;
    out.Values.resize(pixels.size() * out.Channels);
    uint8_t* v = out.Values.data();
    for (TRgba p : pixels) {
        *v++ = uint8_t(Red(p));
        *v++ = uint8_t(Green(p));
        *v++ = uint8_t(Blue(p));
        if (alpha) *v++ = uint8_t(Alpha(p));
    }
    if (!st.Opaque && !alpha)
        for (uint32_t c : {Red(st.KeyPixel), Green(st.KeyPixel), Blue(st.KeyPixel)}) PutBE16(out.Transparency, c);
    if (key.Extra)
        for (uint32_t c : {Red(key.Pixel), Green(key.Pixel), Blue(key.Pixel)}) PutBE16(out.Transparency, c);
    if (bg.Has)
        for (uint32_t c : {Red(bg.Colour), Green(bg.Colour), Blue(bg.Colour)}) PutBE16(out.Background, c);
    if (sb.Write) {
        out.SignificantBits = {sb.Red, sb.Green, sb.Blue};
        if (alpha) out.SignificantBits.push_back(sb.Alpha);
    }
    return true;
}

// Palette orders to try: the source palette's own order when there is one
// (its author's, often the best), then, each with the entries that are not
// opaque first so that tRNS stops early, first appearance, frequency and
// luminance.
std::vector<std::vector<uint32_t>> PaletteOrders(const TStats& st, const std::vector<uint32_t>& sourceOrder) {
    std::vector<uint32_t> appearance(st.Colours.size());
    for (uint32_t i = 0; i < appearance.size(); ++i) appearance[i] = i;
    auto ordered = [&](auto before) {
        std::vector<uint32_t> order = appearance;
        std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
            const bool opaqueA = Alpha(st.Colours[a]) == 255, opaqueB = Alpha(st.Colours[b]) == 255;
            if (opaqueA != opaqueB) return opaqueB;
            return before(a, b);
        });
        return order;
    };
    auto luma = [&](uint32_t id) {
        const TRgba c = st.Colours[id];
        return Luma(Red(c), Green(c), Blue(c)) << 8 | Alpha(c);
    };
    std::vector<std::vector<uint32_t>> orders = {
        sourceOrder,
        ordered([](uint32_t, uint32_t) { return false; }),
        ordered([&](uint32_t a, uint32_t b) { return st.Counts[a] > st.Counts[b]; }),
        ordered([&](uint32_t a, uint32_t b) { return luma(a) < luma(b); }),
    };
    std::vector<std::vector<uint32_t>> distinct;
    for (auto& o : orders)
        if (!o.empty() && std::find(distinct.begin(), distinct.end(), o) == distinct.end()) distinct.push_back(std::move(o));
    return distinct;
}

// The distinct values ordered by the lowest palette index that shows each,
// for an indexed source whose indices are the pixels; empty otherwise.
std::vector<uint32_t> SourcePaletteOrder(const TSourceRules& s, const TStats& st) {
    if (s.Bits > 8 || s.Grey || st.Colours.empty()) return {};
    std::vector<uint32_t> lowest(st.Colours.size(), 256);
    const int32_t w = s.Image->Width();
    size_t i = 0;
    for (int32_t y = 0; y < s.Image->Height(); ++y) {
        const uint8_t* row = s.Image->ScanLine(y);
        for (int32_t x = 0; x < w; ++x, ++i) {
            uint32_t& low = lowest[st.Ids[i]];
            low = std::min(low, IndexAt(row, s.Bits, x));
        }
    }
    std::vector<uint32_t> order(st.Colours.size());
    for (uint32_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return lowest[a] < lowest[b]; });
    return order;
}

// ---- rows and the choice -----------------------------------------------------

// The unfiltered rows of every non-empty pass, one after the other.
struct TRawImage {
    std::vector<uint8_t> Bytes;
    std::vector<TPngRawPass> Passes;
    uint32_t FilterBytes = 1;
};

TRawImage PackRows(const TLayout& l, int32_t w, int32_t h, bool adam7) {
    struct TPlan {
        TPass Pass;
        int32_t Width, Rows;
        size_t RowBytes, Offset;
    };
    const uint32_t bits = l.Channels * l.Depth;
    std::vector<TPlan> plans;
    size_t total = 0;
    for (int p = 0; p < (adam7 ? 7 : 1); ++p) {
        const TPass& pass = adam7 ? kAdam7[p] : kSinglePass;
        const int32_t pw = PassCount(w, pass.Col, pass.ColStep), ph = PassCount(h, pass.Row, pass.RowStep);
        if (pw == 0 || ph == 0) continue;
        const size_t rowBytes = (size_t(pw) * bits + 7) / 8;
        plans.push_back({pass, pw, ph, rowBytes, total});
        total += rowBytes * size_t(ph);
    }
    TRawImage raw;
    raw.Bytes.assign(total, 0);
    raw.FilterBytes = std::max(1u, bits / 8);
    const size_t pixelBytes = l.Channels;
    for (const TPlan& plan : plans) {
        for (int32_t k = 0; k < plan.Rows; ++k) {
            const int32_t y = plan.Pass.Row + k * plan.Pass.RowStep;
            const uint8_t* src = l.Values.data() + size_t(y) * size_t(w) * pixelBytes;
            uint8_t* dst = raw.Bytes.data() + plan.Offset + size_t(k) * plan.RowBytes;
            if (l.Depth == 8 && plan.Pass.ColStep == 1) {
                std::memcpy(dst, src, plan.RowBytes);
            } else if (l.Depth == 8) {
                for (int32_t j = 0; j < plan.Width; ++j)
                    std::memcpy(dst + size_t(j) * pixelBytes,
                                src + size_t(plan.Pass.Col + j * plan.Pass.ColStep) * pixelBytes, pixelBytes);
            } else {
                for (int32_t j = 0; j < plan.Width; ++j) {
                    const uint32_t bit = uint32_t(j) * l.Depth;
                    dst[bit >> 3] |= uint8_t(src[plan.Pass.Col + j * plan.Pass.ColStep] << (8 - l.Depth - (bit & 7)));
                }
            }
        }
        raw.Passes.push_back({raw.Bytes.data() + plan.Offset, plan.RowBytes, uint32_t(plan.Rows)});
    }
    return raw;
}

std::vector<uint8_t> CompressedRows(const TRawImage& raw, int level) {
    try {
        return SearchImageData(raw.Passes, raw.FilterBytes, level);
    } catch (const std::runtime_error&) {
        throw ETavPNG(kWriteError);
    }
}

// The candidate layouts, the smallest by the search's fast estimate of the
// image data plus the chunks that differ between them. Truecolour competes
// with a palette of more than 16 colours (smooth gradients filter better as
// samples than as indices); with fewer it never wins. Only the layouts
// that name the key compete, unless none can (an alpha channel beside it,
// or no palette entry left for it): the pixels are then kept without it.
TLayout ChooseLayout(const std::vector<TRgba>& pixels, const TStats& st, const std::vector<uint32_t>& sourceOrder,
                     const TBackground& bg, const TKey& key, const TSignificant& sb, int32_t w, int32_t h,
                     bool adam7) {
    auto gather = [&](const TKey& k) {
        std::vector<TLayout> out;
        TLayout grey;
        if (MakeGreyLayout(pixels, st, bg, k, sb, grey)) out.push_back(std::move(grey));
        if (!st.Colours.empty()) {
            for (const auto& order : PaletteOrders(st, sourceOrder)) {
                TLayout palette;
                if (!MakePaletteLayout(st, order, bg, k, sb, palette)) break;
                out.push_back(std::move(palette));
            }
        }
        if (out.empty() || (!st.Grey && st.Colours.size() > 16)) {
            TLayout truecolour;
            if (MakeTruecolourLayout(pixels, st, bg, k, sb, truecolour)) out.push_back(std::move(truecolour));
        }
        return out;
    };
    std::vector<TLayout> candidates = gather(key);
    if (candidates.empty()) candidates = gather(TKey{});
    size_t best = 0, bestSize = SIZE_MAX;
    for (size_t i = 0; i < candidates.size() && candidates.size() > 1; ++i) {
        const size_t size = CompressedRows(PackRows(candidates[i], w, h, adam7), kPngSearchEstimate).size() +
                            candidates[i].ChunkBytes();
        if (size < bestSize) {
            bestSize = size;
            best = i;
        }
    }
    return std::move(candidates[best]);
}

}  // namespace

void WriteOptimizedImage(TTavPNGWriteStream& e) {
    TBitmap& bitmap = *e.Bitmap_;
    const int32_t w = bitmap.Width(), h = bitmap.Height();
    const bool adam7 = e.Interlace == 1;
    // The normal save's decisions, which fix what its file shows.
    const bool greyOutput = e.Grayscale || e.GrayIndexActive;
    const bool mask = e.ActiveAlphaBitmap != nullptr;
    const bool normalAlpha = mask && (greyOutput ? e.SourceBits >= 8 : e.ImageBits > 8);

    e.ProgressBegin();
    e.ProgressPhase(1, 3, 0);

    TSourceRules rules;
    rules.Image = &bitmap;
    rules.Mask = e.ActiveAlphaBitmap;
    switch (e.SourceBits) {
    case 1: case 4: case 8: case 15: case 16: case 32: rules.Bits = e.SourceBits; break;
    default: rules.Bits = 24; break;
    }
    rules.Entries = e.PaletteEntries_;
    rules.EntryCount = e.PaletteCount_;
    rules.Grey = e.Grayscale;
    if (rules.Grey && rules.Bits <= 8) {
        e.BuildGrayMap();
        rules.GrayMap = e.GrayMap;
        rules.Invert = rules.Bits == 1 && e.GrayMap[0] == 255;
    }
    if (e.TransparentColor != -1 && !normalAlpha && e.PaletteAlphaCount_ == 0) {
        if (greyOutput) {
            uint16_t level;
            rules.HasKey = e.GrayLevelOf(e.TransparentColor, level);
            rules.Key = level;
        } else if (rules.Bits <= 8) {
            const int32_t index = e.PaletteIndexOf(e.TransparentColor);
            rules.HasKey = index >= 0 && index < e.PaletteCount_;
            rules.Key = uint32_t(index);
        } else {
            rules.HasKey = true;
            rules.Key = uint32_t(e.TransparentColor) & 0xFFFFFFu;
        }
    }

    TBackground bg;
    if (e.BackgroundColor != -1) {
        if (greyOutput && !e.GrayIndexActive) {
            uint16_t level;
            if (e.GrayLevelOf(e.BackgroundColor, level)) {
                const uint32_t scale = e.SourceBits == 1 ? 255 : e.SourceBits == 4 ? 17 : 1;
                bg = {true, std::min(255u, level * scale) * 0x010101u};
            }
        } else if (e.SourceBits <= 8) {
            const int32_t index = e.PaletteIndexOf(e.BackgroundColor);
            if (index >= 0 && index < e.PaletteCount_) {
                const uint8_t* entry = e.PaletteEntries_ + 4 * index;
                bg = {true, uint32_t(entry[2] | entry[1] << 8 | entry[0] << 16)};
            }
        } else {
            bg = {true, uint32_t(e.BackgroundColor) & 0xFFFFFFu};
        }
    }

    // The normal save's sBIT: set for 15- and 16-bit sources (the parameter
    // keeps it, as there), none for grey output.
    if (e.SourceBits == 15 || e.SourceBits == 16) {
        e.SignificantBits = e.SourceBits == 15 ? (5 | 5 << 8 | 5 << 16) : (5 | 6 << 8 | 5 << 16);
        if (normalAlpha) e.SignificantBits |= 0x08000000;
    }
    TSignificant sb;
    sb.Write = e.SignificantBits > 0 && !greyOutput;
    uint8_t* channels[4] = {&sb.Red, &sb.Green, &sb.Blue, &sb.Alpha};
    for (int i = 0; i < 4; ++i) {
        const uint8_t bits = uint8_t(uint32_t(e.SignificantBits) >> (8 * i));
        *channels[i] = bits == 0 || bits > 8 ? 8 : bits;
    }

    const bool thorough = e.OptimizeLevel >= 2;
    TLayout layout;
    TRawImage raw;
    GuardAlloc([&] {
        const std::vector<TRgba> pixels = GatherPixels(rules);
        const TStats st = Survey(pixels);
        const TKey key = SurveyKey(pixels, rules.HasKey, rules.HasKey ? KeyPixel(rules) : 0);
        layout = ChooseLayout(pixels, st, SourcePaletteOrder(rules, st), bg, key, sb, w, h, adam7);
        raw = PackRows(layout, w, h, adam7);
    });
    e.ProgressStep(1);

    // No gray-index layout is written, so tpNG says none.
    e.GrayIndexActive = false;
    if (e.WriteSignature) e.WriteBlock(kSignature, sizeof kSignature);
    uint8_t ihdr[13];
    PutBE32(ihdr, uint32_t(w));
    PutBE32(ihdr + 4, uint32_t(h));
    ihdr[8] = layout.Depth;
    ihdr[9] = layout.ColorType;
    ihdr[10] = 0;
    ihdr[11] = 0;
    ihdr[12] = adam7 ? 1 : 0;
    e.WriteChunk("IHDR", ihdr, sizeof ihdr);
    e.WriteDescriptiveChunks();
    auto writeBody = [&e](const char* type, const std::vector<uint8_t>& body) {
        if (!body.empty()) e.WriteChunk(type, body.data(), int32_t(body.size()));
    };
    writeBody("sBIT", layout.SignificantBits);
    writeBody("PLTE", layout.Palette);
    writeBody("bKGD", layout.Background);
    writeBody("tRNS", layout.Transparency);
    e.WritePhysicalSize();
    if (e.Stopped) return;

    // The row hook sees the rows in the file's layout, numbered across the
    // passes, before they are filtered, as in the normal save.
    if (!e.Key.empty() && e.OnEncodeRow) {
        int32_t index = 0;
        for (const TPngRawPass& pass : raw.Passes) {
            uint8_t* rows = raw.Bytes.data() + (pass.Rows - raw.Bytes.data());
            for (uint32_t k = 0; k < pass.Height; ++k)
                e.OnEncodeRow(&e, rows + size_t(k) * pass.RowBytes, int32_t(pass.RowBytes), index++, e.Key);
        }
    }
    const std::vector<uint8_t> data =
        GuardAlloc([&] { return CompressedRows(raw, thorough ? kPngSearchThorough : kPngSearchQuick); });
    e.ProgressStep(2);
    const size_t piece = size_t(e.IDATSize());
    for (size_t at = 0; at < data.size() && !e.Stopped; at += piece)
        e.WriteChunk("IDAT", data.data() + at, int32_t(std::min(piece, data.size() - at)));
    if (e.Stopped) return;
    e.WriteChunk("IEND", nullptr, 0);
    e.ProgressEnd();
}
