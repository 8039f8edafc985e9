// The optimising save: gathers the pixels a reader of the normal save's
// file would see, finds the smallest exact colour type and bit depth for
// them, and writes them with the filter and compressor search.
#include "codec/PngOptimizedWrite.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "codec/PngFilterSearch.h"
#include "codec/TavPNGStream.h"
#include "codec/TavZLIB.h"
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

// Row y's pixels, Width values at p.
void GatherRow(const TSourceRules& s, int32_t y, TRgba* p) {
    const int32_t w = s.Image->Width();
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

std::vector<TRgba> GatherPixels(const TSourceRules& s) {
    const int32_t w = s.Image->Width(), h = s.Image->Height();
    std::vector<TRgba> out(size_t(w) * size_t(h));
    for (int32_t y = 0; y < h; ++y) GatherRow(s, y, out.data() + size_t(y) * size_t(w));
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

// The key as the picture's settings give it; SurveyKey then drops it
// when a pixel turns out to be it.
TKey StartKey(bool has, TRgba keyPixel) {
    TKey key;
    if (!has) return key;
    key.Pixel = keyPixel;
    key.Extra = true;
    return key;
}

void SurveyKey(TKey& key, const TRgba* pixels, size_t n) {
    for (size_t i = 0; i < n && key.Extra; ++i) {
        if (pixels[i] == key.Pixel) {
            key = TKey{};
            return;
        }
        if (ColourOf(pixels[i]) == ColourOf(key.Pixel)) key.ColourShown = true;
    }
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
    // and each value's index among them; all empty past 256 values.
    std::vector<TRgba> Colours;
    std::vector<uint32_t> Counts;
    std::unordered_map<TRgba, uint32_t> Index;
    // Each pixel's index among Colours, for the pixels at hand: all of them
    // in the whole search, the sampled rows in the banded one.
    std::vector<uint8_t> Ids;
    // The grey levels (red samples) that occur.
    std::array<bool, 256> Levels{};
};

// Surveys the pixels piece after piece in their order. Whether a tRNS
// colour can stand for the transparent pixels is known only once the key
// pixel is: Close, then a second look at every pixel with CheckKey.
class TSurveyor {
public:
    // ids: where each pixel's index among the values goes, or nullptr.
    void Add(const TRgba* pixels, size_t n, uint8_t* ids) {
        for (size_t i = 0; i < n; ++i) {
            const TRgba p = pixels[i];
            St.Levels[Red(p)] = true;
            if (!IsGrey(p)) St.Grey = false;
            if (Alpha(p) != 255) {
                St.Opaque = false;
                if (Alpha(p) != 0 || (AnyTransparent_ && p != St.KeyPixel)) OneTransparent_ = false;
                AnyTransparent_ = true;
                St.KeyPixel = p;
            }
            if (Many_) continue;
            if (!Started_ || p != Last_) {
                const auto [it, added] = St.Index.try_emplace(p, uint32_t(St.Colours.size()));
                if (added) {
                    if (St.Colours.size() == 256) {
                        Many_ = true;
                        continue;
                    }
                    St.Colours.push_back(p);
                    St.Counts.push_back(0);
                }
                Started_ = true;
                Last_ = p;
                LastId_ = it->second;
            }
            ++St.Counts[LastId_];
            if (ids != nullptr) ids[i] = uint8_t(LastId_);
        }
    }
    void Close() {
        if (Many_) {
            St.Colours.clear();
            St.Counts.clear();
            St.Index.clear();
            std::vector<uint8_t>().swap(St.Ids);
        }
        St.Keyable = AnyTransparent_ && OneTransparent_;
    }
    void CheckKey(const TRgba* pixels, size_t n) {
        for (size_t i = 0; i < n && St.Keyable; ++i)
            St.Keyable = !(Alpha(pixels[i]) == 255 && ColourOf(pixels[i]) == ColourOf(St.KeyPixel));
    }

    TStats St;

private:
    bool Many_ = false, AnyTransparent_ = false, OneTransparent_ = true, Started_ = false;
    TRgba Last_ = 0;
    uint32_t LastId_ = 0;
};

TStats Survey(const std::vector<TRgba>& pixels) {
    TSurveyor survey;
    survey.St.Ids.resize(pixels.size());
    survey.Add(pixels.data(), pixels.size(), survey.St.Ids.data());
    survey.Close();
    survey.CheckKey(pixels.data(), pixels.size());
    return std::move(survey.St);
}

// Each pixel's index among the surveyed values (which hold them all).
void IdsOf(const TStats& st, const TRgba* pixels, size_t n, uint8_t* ids) {
    TRgba last = 0;
    uint32_t lastId = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i == 0 || pixels[i] != last) {
            last = pixels[i];
            lastId = st.Index.at(last);
        }
        ids[i] = uint8_t(lastId);
    }
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
    // Palette layouts: the entry of each of TStats::Colours.
    std::array<uint8_t, 256> Rank{};
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
bool MakeGreyLayout(const TStats& st, const TBackground& bg, const TKey& key, const TSignificant& sb, TLayout& out) {
    if (!st.Grey || (bg.Has && !IsGrey(bg.Colour))) return false;
    if (key.Extra && (!st.Opaque || key.ColourShown || !IsGrey(key.Pixel))) return false;
    const bool alpha = !st.Opaque && !st.Keyable;
    uint8_t depth = 8;
    if (!alpha) {
        std::array<bool, 256> used = st.Levels;
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
    for (size_t i = 0; i < order.size(); ++i) out.Rank[order[i]] = uint8_t(i < keyAt ? i : i + 1);
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
bool MakeTruecolourLayout(const TStats& st, const TBackground& bg, const TKey& key, const TSignificant& sb,
                          TLayout& out) {
    if (key.Extra && (!st.Opaque || key.ColourShown)) return false;
    const bool alpha = !st.Opaque && !st.Keyable;
    out.ColorType = alpha ? 6 : 2;
    out.Depth = 8;
    out.Channels = alpha ? 4 : 3;
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

// The layout's samples of n pixels, Channels bytes a pixel, each a value
// at Depth; ids are the pixels' indices among TStats::Colours (palette
// layouts only).
void FillValues(const TLayout& l, const TRgba* pixels, const uint8_t* ids, size_t n, uint8_t* v) {
    switch (l.ColorType) {
    case 0:
    case 4: {
        const uint32_t step = 255u / ((1u << l.Depth) - 1);
        const bool alpha = l.ColorType == 4;
        for (size_t i = 0; i < n; ++i) {
            *v++ = uint8_t(Red(pixels[i]) / step);
            if (alpha) *v++ = uint8_t(Alpha(pixels[i]));
        }
        break;
    }
    case 3:
        for (size_t i = 0; i < n; ++i) v[i] = l.Rank[ids[i]];
        break;
    default: {
        const bool alpha = l.ColorType == 6;
        for (size_t i = 0; i < n; ++i) {
            *v++ = uint8_t(Red(pixels[i]));
            *v++ = uint8_t(Green(pixels[i]));
            *v++ = uint8_t(Blue(pixels[i]));
            if (alpha) *v++ = uint8_t(Alpha(pixels[i]));
        }
        break;
    }
    }
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
// idsOfRow(y) gives row y's indices among the values.
template <class IdsOfRow>
std::vector<uint32_t> SourcePaletteOrder(const TSourceRules& s, const TStats& st, const IdsOfRow& idsOfRow) {
    if (s.Bits > 8 || s.Grey || st.Colours.empty()) return {};
    std::vector<uint32_t> lowest(st.Colours.size(), 256);
    const int32_t w = s.Image->Width();
    for (int32_t y = 0; y < s.Image->Height(); ++y) {
        const uint8_t* row = s.Image->ScanLine(y);
        const uint8_t* ids = idsOfRow(y);
        for (int32_t x = 0; x < w; ++x) {
            uint32_t& low = lowest[ids[x]];
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

// Packs the layout's values of one image row (src, a pixel every Channels
// bytes) at the pass's columns into the pass row dst of rowBytes.
void PackRow(const TLayout& l, const uint8_t* src, const TPass& pass, int32_t passWidth, size_t rowBytes,
             uint8_t* dst) {
    const size_t pixelBytes = l.Channels;
    if (l.Depth == 8 && pass.ColStep == 1) {
        std::memcpy(dst, src, rowBytes);
    } else if (l.Depth == 8) {
        for (int32_t j = 0; j < passWidth; ++j)
            std::memcpy(dst + size_t(j) * pixelBytes, src + size_t(pass.Col + j * pass.ColStep) * pixelBytes,
                        pixelBytes);
    } else {
        std::memset(dst, 0, rowBytes);
        for (int32_t j = 0; j < passWidth; ++j) {
            const uint32_t bit = uint32_t(j) * l.Depth;
            dst[bit >> 3] |= uint8_t(src[pass.Col + j * pass.ColStep] << (8 - l.Depth - (bit & 7)));
        }
    }
}

inline size_t PassRowBytes(const TLayout& l, int32_t passWidth) {
    return (size_t(passWidth) * l.Channels * l.Depth + 7) / 8;
}

inline uint32_t FilterBytesOf(const TLayout& l) { return std::max(1u, l.Channels * l.Depth / 8); }

// values: the layout's values of the w x h pixels, row after row.
TRawImage PackRows(const TLayout& l, const uint8_t* values, int32_t w, int32_t h, bool adam7) {
    struct TPlan {
        TPass Pass;
        int32_t Width, Rows;
        size_t RowBytes, Offset;
    };
    std::vector<TPlan> plans;
    size_t total = 0;
    for (int p = 0; p < (adam7 ? 7 : 1); ++p) {
        const TPass& pass = adam7 ? kAdam7[p] : kSinglePass;
        const int32_t pw = PassCount(w, pass.Col, pass.ColStep), ph = PassCount(h, pass.Row, pass.RowStep);
        if (pw == 0 || ph == 0) continue;
        const size_t rowBytes = PassRowBytes(l, pw);
        plans.push_back({pass, pw, ph, rowBytes, total});
        total += rowBytes * size_t(ph);
    }
    TRawImage raw;
    raw.Bytes.resize(total);
    raw.FilterBytes = FilterBytesOf(l);
    const size_t rowValues = size_t(w) * l.Channels;
    for (const TPlan& plan : plans) {
        for (int32_t k = 0; k < plan.Rows; ++k) {
            const int32_t y = plan.Pass.Row + k * plan.Pass.RowStep;
            PackRow(l, values + size_t(y) * rowValues, plan.Pass, plan.Width, plan.RowBytes,
                    raw.Bytes.data() + plan.Offset + size_t(k) * plan.RowBytes);
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
// image data plus the chunks that differ between them; raw gets the
// winner's rows. Truecolour competes with a palette of more than 16
// colours (smooth gradients filter better as samples than as indices);
// with fewer it never wins. Only the layouts that name the key compete,
// unless none can (an alpha channel beside it, or no palette entry left
// for it): the pixels are then kept without it. The values and rows of one
// candidate at a time are made, beside the best one's rows.
TLayout ChooseLayout(const std::vector<TRgba>& pixels, const TStats& st, const std::vector<uint32_t>& sourceOrder,
                     const TBackground& bg, const TKey& key, const TSignificant& sb, int32_t w, int32_t h, bool adam7,
                     TRawImage& raw) {
    auto gather = [&](const TKey& k) {
        std::vector<TLayout> out;
        TLayout grey;
        if (MakeGreyLayout(st, bg, k, sb, grey)) out.push_back(std::move(grey));
        if (!st.Colours.empty()) {
            for (const auto& order : PaletteOrders(st, sourceOrder)) {
                TLayout palette;
                if (!MakePaletteLayout(st, order, bg, k, sb, palette)) break;
                out.push_back(std::move(palette));
            }
        }
        if (out.empty() || (!st.Grey && st.Colours.size() > 16)) {
            TLayout truecolour;
            if (MakeTruecolourLayout(st, bg, k, sb, truecolour)) out.push_back(std::move(truecolour));
        }
        return out;
    };
    std::vector<TLayout> candidates = gather(key);
    if (candidates.empty()) candidates = gather(TKey{});
    auto pack = [&](const TLayout& l) {
        std::vector<uint8_t> values(pixels.size() * l.Channels);
        FillValues(l, pixels.data(), st.Ids.data(), pixels.size(), values.data());
        return PackRows(l, values.data(), w, h, adam7);
    };
    if (candidates.size() == 1) {
        raw = pack(candidates[0]);
        return std::move(candidates[0]);
    }
    size_t best = 0, bestSize = SIZE_MAX;
    for (size_t i = 0; i < candidates.size(); ++i) {
        TRawImage rows = pack(candidates[i]);
        const size_t size = CompressedRows(rows, kPngSearchEstimate).size() + candidates[i].ChunkBytes();
        if (size < bestSize) {
            bestSize = size;
            best = i;
            raw = std::move(rows);
        }
    }
    return std::move(candidates[best]);
}

// ---- pictures beyond the whole search ---------------------------------------

// The sample: kSampleBands bands of rows, one from the middle of each
// stretch of the picture, of kSamplePixels pixels together.
constexpr int32_t kSampleBands = 4;
constexpr uint64_t kSamplePixels = uint64_t(1) << 20;
// Pixels of one band of the image data.
constexpr uint64_t kBandPixels = uint64_t(1) << 18;

// The survey of every row, and of the key with it.
TStats SurveyRows(const TSourceRules& s, TKey& key) {
    const int32_t w = s.Image->Width(), h = s.Image->Height();
    std::vector<TRgba> row(static_cast<size_t>(w));
    TSurveyor survey;
    for (int32_t y = 0; y < h; ++y) {
        GatherRow(s, y, row.data());
        survey.Add(row.data(), row.size(), nullptr);
        SurveyKey(key, row.data(), row.size());
    }
    survey.Close();
    for (int32_t y = 0; y < h && survey.St.Keyable; ++y) {
        GatherRow(s, y, row.data());
        survey.CheckKey(row.data(), row.size());
    }
    return std::move(survey.St);
}

// The sampled rows, stacked as one picture of `rows` rows; st.Ids gets
// their indices among the values.
std::vector<TRgba> SampleRows(const TSourceRules& s, TStats& st, int32_t& rows) {
    const int64_t w = s.Image->Width(), h = s.Image->Height();
    const int64_t bands = std::min<int64_t>(kSampleBands, h);
    const int64_t perBand = std::max<int64_t>(1, std::min<int64_t>(h / bands, int64_t(kSamplePixels) / bands / w));
    rows = int32_t(bands * perBand);
    std::vector<TRgba> pixels(size_t(rows) * size_t(w));
    if (!st.Colours.empty()) st.Ids.resize(pixels.size());
    for (int64_t b = 0, at = 0; b < bands; ++b) {
        const int64_t first = std::clamp<int64_t>((2 * b + 1) * h / (2 * bands) - perBand / 2, 0, h - perBand);
        for (int64_t k = 0; k < perBand; ++k, at += w) {
            GatherRow(s, int32_t(first + k), pixels.data() + at);
            if (!st.Ids.empty()) IdsOf(st, pixels.data() + at, size_t(w), st.Ids.data() + at);
        }
    }
    return pixels;
}

// Makes the image data band by band in the layout, filtered with strategy.
// hook(row, bytes, index) sees each unfiltered row of the file, numbered
// across the passes, before it is filtered; sink(filtered) takes the
// filtered bands in order and answers whether to go on.
template <class Hook, class Sink>
void FilterBands(const TSourceRules& s, const TStats& st, const TLayout& l, bool adam7,
                 TPngFilterStrategy strategy, const Hook& hook, const Sink& sink) {
    const int32_t w = s.Image->Width(), h = s.Image->Height();
    std::vector<TRgba> pixels(static_cast<size_t>(w));
    std::vector<uint8_t> ids(l.ColorType == 3 ? size_t(w) : 0), values(size_t(w) * l.Channels), band, prior;
    int32_t index = 0;
    for (int p = 0; p < (adam7 ? 7 : 1); ++p) {
        const TPass& pass = adam7 ? kAdam7[p] : kSinglePass;
        const int32_t pw = PassCount(w, pass.Col, pass.ColStep), ph = PassCount(h, pass.Row, pass.RowStep);
        if (pw == 0 || ph == 0) continue;
        const size_t rowBytes = PassRowBytes(l, pw);
        const int32_t bandRows = int32_t(std::clamp<uint64_t>(kBandPixels / uint64_t(pw), 1, uint64_t(ph)));
        band.resize(rowBytes * size_t(bandRows));
        prior.clear();
        for (int32_t k0 = 0; k0 < ph; k0 += bandRows) {
            const int32_t n = std::min(bandRows, ph - k0);
            for (int32_t k = 0; k < n; ++k) {
                GatherRow(s, pass.Row + (k0 + k) * pass.RowStep, pixels.data());
                if (!ids.empty()) IdsOf(st, pixels.data(), pixels.size(), ids.data());
                FillValues(l, pixels.data(), ids.data(), pixels.size(), values.data());
                uint8_t* row = band.data() + size_t(k) * rowBytes;
                PackRow(l, values.data(), pass, pw, rowBytes, row);
                hook(row, rowBytes, index++);
            }
            const TPngRawPass piece{band.data(), rowBytes, uint32_t(n), prior.empty() ? nullptr : prior.data()};
            if (!sink(FilterImageData({&piece, 1}, FilterBytesOf(l), strategy))) return;
            prior.assign(band.data() + size_t(n - 1) * rowBytes, band.data() + size_t(n) * rowBytes);
        }
    }
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
    const bool banded = uint64_t(w) * uint64_t(h) > kOptimizeWholePixels;
    TLayout layout;
    TRawImage raw;  // the whole search's rows
    TStats bandedStats;
    TPngFilterStrategy strategy = TPngFilterStrategy::Adaptive;
    GuardAlloc([&] {
        if (banded) {
            TKey key = StartKey(rules.HasKey, rules.HasKey ? KeyPixel(rules) : 0);
            bandedStats = SurveyRows(rules, key);
            std::vector<TRgba> row(static_cast<size_t>(w));
            std::vector<uint8_t> ids(static_cast<size_t>(w));
            const std::vector<uint32_t> sourceOrder = SourcePaletteOrder(rules, bandedStats, [&](int32_t y) {
                GatherRow(rules, y, row.data());
                IdsOf(bandedStats, row.data(), row.size(), ids.data());
                return ids.data();
            });
            TStats sampled = bandedStats;
            int32_t sampleRows = 0;
            const std::vector<TRgba> sample = SampleRows(rules, sampled, sampleRows);
            TRawImage sampleRaw;
            layout = ChooseLayout(sample, sampled, sourceOrder, bg, key, sb, w, sampleRows, adam7, sampleRaw);
            strategy = ChooseBandStrategy(sampleRaw.Passes, sampleRaw.FilterBytes,
                                          thorough ? kPngSearchThorough : kPngSearchQuick);
            return;
        }
        const std::vector<TRgba> pixels = GatherPixels(rules);
        const TStats st = Survey(pixels);
        TKey key = StartKey(rules.HasKey, rules.HasKey ? KeyPixel(rules) : 0);
        SurveyKey(key, pixels.data(), pixels.size());
        layout = ChooseLayout(pixels, st,
                              SourcePaletteOrder(rules, st, [&](int32_t y) { return st.Ids.data() + size_t(y) * size_t(w); }),
                              bg, key, sb, w, h, adam7, raw);
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
    const bool callHook = !e.Key.empty() && bool(e.OnEncodeRow);
    if (banded) {
        // One zlib stream at level 9, written out in IDAT chunks as it
        // grows; the compressor is ended on every way out by the encoder.
        if (ZDeflateInit(e.Deflate, 9, e.IDATSize()) != 0) throw ETavPNG(kWriteError);
        auto hook = [&](uint8_t* row, size_t bytes, int32_t index) {
            if (callHook) e.OnEncodeRow(&e, row, int32_t(bytes), index, e.Key);
        };
        auto sink = [&](const std::vector<uint8_t>& filtered) {
            // Pieces that a 32-bit count takes, for rows past 1 GiB.
            constexpr size_t kPiece = size_t(1) << 30;
            for (size_t at = 0; at < filtered.size(); at += kPiece) {
                const int32_t n = int32_t(std::min(kPiece, filtered.size() - at));
                if (ZDeflateWrite(e.Deflate, filtered.data() + at, n) < 0) throw ETavPNG(kWriteError);
            }
            return !e.Stopped;
        };
        GuardAlloc([&] { FilterBands(rules, bandedStats, layout, adam7, strategy, hook, sink); });
        if (e.Stopped) return;
        // An unfinished stream would leave a file that looks saved but is cut.
        if (ZDeflateFinish(e.Deflate) != 0) throw ETavPNG(kWriteError);
        e.ProgressStep(2);
    } else {
        if (callHook) {
            int32_t index = 0;
            for (const TPngRawPass& pass : raw.Passes) {
                uint8_t* rows = raw.Bytes.data() + (pass.Rows - raw.Bytes.data());
                for (uint32_t k = 0; k < pass.Height; ++k)
                    e.OnEncodeRow(&e, rows + size_t(k) * pass.RowBytes, int32_t(pass.RowBytes), index++, e.Key);
            }
        }
        const std::vector<uint8_t> data =
            GuardAlloc([&] { return CompressedRows(raw, thorough ? kPngSearchThorough : kPngSearchQuick); });
        raw = TRawImage();
        e.ProgressStep(2);
        const size_t piece = size_t(e.IDATSize());
        for (size_t at = 0; at < data.size() && !e.Stopped; at += piece)
            e.WriteChunk("IDAT", data.data() + at, int32_t(std::min(piece, data.size() - at)));
    }
    if (e.Stopped) return;
    e.WriteChunk("IEND", nullptr, 0);
    e.ProgressEnd();
}
