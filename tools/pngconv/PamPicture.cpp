#include "tools/pngconv/PamPicture.h"

#include <cstring>
#include <utility>
#include <vector>

#include "codec/SFunc.h"
#include "codec/TavPNG.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace {

// Bounds that keep a hostile header from steering allocations: the header
// itself, and each side of the image (the data must also be in the file).
constexpr size_t kMaxHeaderBytes = 4096;
constexpr int64_t kMaxSide = 1 << 20;

[[noreturn]] void Fail(const char* message) { throw EInvalidGraphic(message); }

struct TPamHeader {
    int64_t Width = -1, Height = -1, Depth = -1, MaxVal = -1;
    std::string TupleType;
};

// Reads one header line (without its line feed). The stream's end before a
// line feed, or a line that would pass the header bound, fails.
std::string ReadHeaderLine(TStream& stream, size_t& headerBytes) {
    std::string line;
    for (;;) {
        char c = 0;
        if (stream.Read(&c, 1) != 1)
            Fail("PAM: header ends early");
        if (++headerBytes > kMaxHeaderBytes)
            Fail("PAM: header too long");
        if (c == '\n')
            return line;
        line.push_back(c);
    }
}

// A whole-token decimal number in 1..limit; anything else fails.
int64_t ParsePositive(const std::string& text, int64_t limit) {
    if (text.empty() || text.size() > 10)
        Fail("PAM: bad number in header");
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            Fail("PAM: bad number in header");
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > limit)
        Fail("PAM: header value out of range");
    return value;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

TPamHeader ReadHeader(TStream& stream) {
    size_t headerBytes = 0;
    if (Trim(ReadHeaderLine(stream, headerBytes)) != "P7")
        Fail("PAM: not a PAM file");
    TPamHeader h;
    for (;;) {
        const std::string line = Trim(ReadHeaderLine(stream, headerBytes));
        if (line.empty() || line[0] == '#')
            continue;
        if (line == "ENDHDR")
            break;
        size_t split = 0;
        while (split < line.size() && !IsBlank(line[split]))
            ++split;
        const std::string key = line.substr(0, split);
        const std::string value = Trim(line.substr(split));
        int64_t* field = key == "WIDTH" ? &h.Width
                         : key == "HEIGHT" ? &h.Height
                         : key == "DEPTH" ? &h.Depth
                         : key == "MAXVAL" ? &h.MaxVal
                         : nullptr;
        if (field) {
            if (*field != -1)
                Fail("PAM: repeated header field");
            *field = ParsePositive(value, kMaxSide);
        } else if (key == "TUPLTYPE") {
            if (!h.TupleType.empty())
                Fail("PAM: repeated header field");
            h.TupleType = value;
        } else {
            Fail("PAM: unknown header field");
        }
    }
    if (h.Width < 0 || h.Height < 0 || h.Depth < 0 || h.MaxVal < 0)
        Fail("PAM: WIDTH, HEIGHT, DEPTH or MAXVAL missing");
    if (h.MaxVal > 255)
        Fail("PAM: only MAXVAL 1 to 255 is supported");
    static const char* const kTypes[] = {"GRAYSCALE", "GRAYSCALE_ALPHA", "RGB", "RGB_ALPHA"};
    if (h.Depth > 4 || (!h.TupleType.empty() && h.TupleType != kTypes[h.Depth - 1]))
        Fail("PAM: unsupported DEPTH or TUPLTYPE");
    return h;
}

bool IsIndexed(TPixelFormat f) { return f == pf1bit || f == pf4bit || f == pf8bit; }

uint32_t RawIndex(const uint8_t* row, int32_t x, TPixelFormat f) {
    switch (f) {
        case pf1bit: return (row[x >> 3] >> (7 - (x & 7))) & 1u;
        case pf4bit: return (x & 1) ? (row[x >> 1] & 0x0Fu) : (row[x >> 1] >> 4);
        default: return row[x];
    }
}

// Per row of image: which pixels its transparent flag and colour leave out.
class TTransparentKey {
public:
    explicit TTransparentKey(const TBitmap& image) : Image_(image) {
        const TColor c = image.TransparentColor;
        if (!image.GetTransparent() || c == clNone)
            return;
        if ((uint32_t(c) & 0xFF000000u) == 0x01000000u) {
            // A palette entry: matches that index of an indexed image.
            if (IsIndexed(image.PixelFormat())) {
                Mode_ = kIndex;
                Index_ = uint32_t(c) & 0xFFu;
            }
        } else if ((uint32_t(c) & 0xFF000000u) == 0) {
            Mode_ = kColor;
            Color_ = c;
        }
    }
    bool Active() const { return Mode_ != kNone; }
    // rgbRow: the row converted to 24 bits (blue, green, red).
    bool Matches(int32_t x, int32_t y, const uint8_t* rgbRow) const {
        if (Mode_ == kIndex)
            return RawIndex(Image_.ScanLine(y), x, Image_.PixelFormat()) == Index_;
        const uint8_t* p = rgbRow + 3 * size_t(x);
        return Mode_ == kColor && RGB(p[2], p[1], p[0]) == Color_;
    }

private:
    enum { kNone, kIndex, kColor } Mode_ = kNone;
    const TBitmap& Image_;
    uint32_t Index_ = 0;
    TColor Color_ = 0;
};

bool MaskFits(const TBitmap& mask, const TBitmap& image) {
    return !mask.GetEmpty() && mask.Width() == image.Width() && mask.Height() == image.Height() &&
           mask.PixelFormat() == pf8bit;
}

}  // namespace

void MakeMaskBitmap(TBitmap& mask, int32_t width, int32_t height) {
    mask.Assign(nullptr);
    mask.SetTransparent(false);
    mask.SetPixelFormat(pf8bit);
    TPaletteEntry grey[256];
    for (int i = 0; i < 256; ++i)
        grey[i].peRed = grey[i].peGreen = grey[i].peBlue = uint8_t(i);
    mask.SetPalette(TPaletteHandle(CreatePalette(grey, 256)));
    mask.SetSize(width, height);
}

TPamPicture::TPamPicture() {
    Image = GuardAlloc([] { return std::make_unique<TBitmap>(); });
    Alpha = GuardAlloc([] { return std::make_unique<TBitmap>(); });
}

TPamPicture::~TPamPicture() = default;

void TPamPicture::LoadFromStream(TStream& stream) {
    const TPamHeader h = ReadHeader(stream);
    const int32_t width = int32_t(h.Width), height = int32_t(h.Height), depth = int32_t(h.Depth);
    size_t rowBytes = 0, total = 0;
    if (!CheckedMul(size_t(width), size_t(depth), rowBytes) || !CheckedMul(rowBytes, size_t(height), total))
        Fail("PAM: image size out of range");
    const int64_t left = stream.Size() - stream.Position();
    if (left < 0 || uint64_t(left) < total)
        Fail("PAM: image data truncated");

    // Built aside, so that a failure leaves the picture as it was, then
    // moved in. The mask's pages stay untouched where pixels are opaque
    // (its fresh rows already read 0), and the mask exists only for files
    // that carry alpha.
    const bool withAlpha = depth == 2 || depth == 4;
    auto image = GuardAlloc([] { return std::make_unique<TBitmap>(); });
    auto alpha = GuardAlloc([] { return std::make_unique<TBitmap>(); });
    image->SetPixelFormat(pf24bit);
    image->SetSize(width, height);
    if (withAlpha)
        MakeMaskBitmap(*alpha, width, height);
    std::vector<uint8_t> row = GuardAlloc([&] { return std::vector<uint8_t>(rowBytes); });
    const bool grey = depth <= 2;
    const uint32_t maxVal = uint32_t(h.MaxVal);
    bool anyAlpha = false;
    for (int32_t y = 0; y < height; ++y) {
        stream.ReadBuffer(row.data(), int64_t(rowBytes));
        uint8_t* dst = image->ScanLine(y);
        uint8_t* mask = withAlpha ? alpha->ScanLine(y) : nullptr;
        for (int32_t x = 0; x < width; ++x) {
            uint8_t s[4] = {};
            for (int32_t k = 0; k < depth; ++k) {
                const uint32_t v = row[size_t(x) * size_t(depth) + size_t(k)];
                if (v > maxVal)
                    Fail("PAM: sample above MAXVAL");
                s[k] = uint8_t((v * 255u + maxVal / 2) / maxVal);
            }
            const uint8_t r = s[0], g = grey ? s[0] : s[1], b = grey ? s[0] : s[2];
            dst[3 * x] = b;
            dst[3 * x + 1] = g;
            dst[3 * x + 2] = r;
            const uint8_t a = withAlpha ? s[depth - 1] : 255;
            if (a != 255) {
                mask[x] = uint8_t(255 - a);
                anyAlpha = true;
            }
        }
    }
    if (!anyAlpha)
        alpha->Assign(nullptr);
    Image = std::move(image);
    Alpha = std::move(alpha);
    HasAlpha = anyAlpha;
    Changed(this);
}

void TPamPicture::SaveToStream(TStream& stream) {
    if (Image->GetEmpty())
        Fail("PAM: cannot write an empty picture");
    const int32_t width = Image->Width(), height = Image->Height();
    // Rows are read as 24 bits: a 24-bit image as it is, any other through
    // a converted copy.
    TBitmap converted;
    if (Image->PixelFormat() != pf24bit) {
        converted.Assign(Image.get());
        converted.SetPixelFormat(pf24bit);
    }
    const TBitmap& rgb = Image->PixelFormat() == pf24bit ? *Image : converted;
    const TTransparentKey key(*Image);
    const bool useMask = HasAlpha && MaskFits(*Alpha, *Image);

    const std::string header = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) +
                               "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    stream.WriteBuffer(header.data(), int64_t(header.size()));
    std::vector<uint8_t> out = GuardAlloc([&] { return std::vector<uint8_t>(size_t(width) * 4); });
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* src = rgb.ScanLine(y);
        const uint8_t* mask = useMask ? Alpha->ScanLine(y) : nullptr;
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* p = out.data() + 4 * size_t(x);
            p[0] = src[3 * x + 2];
            p[1] = src[3 * x + 1];
            p[2] = src[3 * x];
            p[3] = mask ? uint8_t(255 - mask[x]) : 255;
            if (key.Active() && key.Matches(x, y, src))
                p[3] = 0;
        }
        stream.WriteBuffer(out.data(), int64_t(out.size()));
    }
}

void TPamPicture::Assign(TPersistent* source) {
    if (source == this)
        return;
    if (auto* pam = dynamic_cast<TPamPicture*>(source)) {
        Image->Assign(pam->Image.get());
        Alpha->Assign(pam->Alpha.get());
        HasAlpha = pam->HasAlpha;
        Changed(this);
        return;
    }
    if (auto* png = dynamic_cast<TTavPNG*>(source)) {
        Image->Assign(png->CurrentImage());
        const bool fits = png->HasAlpha && MaskFits(*png->CurrentAlpha(), *png->CurrentImage());
        if (fits)
            Alpha->Assign(png->CurrentAlpha());
        else
            Alpha->Assign(nullptr);
        HasAlpha = fits;
        Changed(this);
        return;
    }
    if (auto* graphic = dynamic_cast<TGraphic*>(source)) {
        Image->Assign(graphic);
        Alpha->Assign(nullptr);
        HasAlpha = false;
        Changed(this);
        return;
    }
    TGraphic::Assign(source);
}

void TPamPicture::TakeFrom(TTavPNG& png) {
    if (png.ImageOverride || png.AlphaOverride) {
        Assign(&png);
        return;
    }
    const bool fits = png.HasAlpha && MaskFits(*png.AlphaBitmap, *png.ImageBitmap);
    auto emptyImage = GuardAlloc([] { return std::make_unique<TBitmap>(); });
    auto emptyAlpha = GuardAlloc([] { return std::make_unique<TBitmap>(); });
    Image = std::exchange(png.ImageBitmap, std::move(emptyImage));
    Alpha = std::exchange(png.AlphaBitmap, std::move(emptyAlpha));
    if (!fits)
        Alpha->Assign(nullptr);
    HasAlpha = fits;
    png.HasAlpha = false;
    Changed(this);
}

void TPamPicture::AssignTo(TPersistent* dest) {
    if (auto* graphic = dynamic_cast<TGraphic*>(dest)) {
        graphic->Assign(Image.get());
        return;
    }
    TGraphic::AssignTo(dest);
}

void TPamPicture::Draw(TCanvas& canvas, const TRect& rect) { canvas.StretchDraw(rect, *Image); }

void TPamPicture::SetWidth(int32_t value) {
    Image->SetWidth(value);
    if (!Alpha->GetEmpty())
        Alpha->SetWidth(value);
    Changed(this);
}

void TPamPicture::SetHeight(int32_t value) {
    Image->SetHeight(value);
    if (!Alpha->GetEmpty())
        Alpha->SetHeight(value);
    Changed(this);
}

void TPamPicture::LoadFromClipboardFormat(uint16_t format, const TClipboardData& data, HPALETTE palette) {
    Image->LoadFromClipboardFormat(format, data, palette);
    Alpha->Assign(nullptr);
    HasAlpha = false;
    Changed(this);
}

void TPamPicture::SaveToClipboardFormat(uint16_t& format, TClipboardData& data, HPALETTE& palette) {
    Image->SaveToClipboardFormat(format, data, palette);
}
