#include "tools/pngconv/NetpbmPicture.h"

#include <cstring>
#include <vector>

#include "codec/SFunc.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace {

// The same bound on each side as for PAM: a header alone steers no
// allocation (the data must also be in the file).
constexpr int64_t kMaxSide = 1 << 20;

[[noreturn]] void Fail(const char* message) { throw EInvalidGraphic(message); }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

char Next(TStream& stream) {
    char c = 0;
    if (stream.Read(&c, 1) != 1) Fail("netpbm: header ends early");
    return c;
}

// One decimal header number in 1..limit, after blanks and '#' comments;
// the single blank that ends it is consumed.
int64_t ReadNumber(TStream& stream, int64_t limit) {
    char c = Next(stream);
    for (;;) {
        if (c == '#') {
            while (c != '\n' && c != '\r') c = Next(stream);
        } else if (!IsSpace(c)) {
            break;
        }
        c = Next(stream);
    }
    int64_t value = 0;
    int digits = 0;
    while (c >= '0' && c <= '9') {
        if (++digits > 10) Fail("netpbm: bad number in header");
        value = value * 10 + (c - '0');
        c = Next(stream);
    }
    if (digits == 0 || !IsSpace(c)) Fail("netpbm: bad number in header");
    if (value < 1 || value > limit) Fail("netpbm: header value out of range");
    return value;
}

}  // namespace

void TNetpbmPicture::LoadFromStream(TStream& stream) {
    const int64_t start = stream.Position();
    char magic[2] = {};
    if (stream.Read(magic, 2) != 2 || magic[0] != 'P' || (magic[1] != '5' && magic[1] != '6' && magic[1] != '7'))
        Fail("netpbm: not a P5, P6 or PAM file");
    if (magic[1] == '7') {
        stream.SetPosition(start);
        TPamPicture::LoadFromStream(stream);
        return;
    }
    const int32_t channels = magic[1] == '5' ? 1 : 3;
    const int32_t width = int32_t(ReadNumber(stream, kMaxSide));
    const int32_t height = int32_t(ReadNumber(stream, kMaxSide));
    const uint32_t maxVal = uint32_t(ReadNumber(stream, 65535));
    const size_t sampleBytes = maxVal > 255 ? 2 : 1;
    size_t rowBytes = 0, total = 0;
    if (!CheckedMul(size_t(width), size_t(channels) * sampleBytes, rowBytes) ||
        !CheckedMul(rowBytes, size_t(height), total))
        Fail("netpbm: image size out of range");
    const int64_t left = stream.Size() - stream.Position();
    if (left < 0 || uint64_t(left) < total) Fail("netpbm: image data truncated");

    // Built aside, so that a failure leaves the picture as it was.
    TBitmap image;
    image.SetPixelFormat(pf24bit);
    image.SetSize(width, height);
    std::vector<uint8_t> row = GuardAlloc([&] { return std::vector<uint8_t>(rowBytes); });
    for (int32_t y = 0; y < height; ++y) {
        stream.ReadBuffer(row.data(), int64_t(rowBytes));
        uint8_t* dst = image.ScanLine(y);
        for (int32_t x = 0; x < width; ++x) {
            uint8_t s[3] = {};
            for (int32_t k = 0; k < channels; ++k) {
                const uint8_t* p = row.data() + (size_t(x) * size_t(channels) + size_t(k)) * sampleBytes;
                const uint32_t v = sampleBytes == 2 ? uint32_t(p[0]) << 8 | p[1] : p[0];
                if (v > maxVal) Fail("netpbm: sample above MAXVAL");
                s[k] = uint8_t((v * 255u + maxVal / 2) / maxVal);
            }
            const bool grey = channels == 1;
            dst[3 * x] = grey ? s[0] : s[2];
            dst[3 * x + 1] = grey ? s[0] : s[1];
            dst[3 * x + 2] = s[0];
        }
    }
    Image->Assign(&image);
    Alpha->Assign(nullptr);
    HasAlpha = false;
    Changed(this);
}

void TNetpbmPicture::SaveToStream(TStream& stream) {
    if (Image->GetEmpty()) Fail("netpbm: cannot write an empty picture");
    const int32_t width = Image->Width(), height = Image->Height();
    TBitmap rgb;
    rgb.Assign(Image.get());
    rgb.SetPixelFormat(pf24bit);
    const int32_t channels = Grey() ? 1 : 3;
    const std::string header =
        std::string(Grey() ? "P5\n" : "P6\n") + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    stream.WriteBuffer(header.data(), int64_t(header.size()));
    std::vector<uint8_t> out = GuardAlloc([&] { return std::vector<uint8_t>(size_t(width) * size_t(channels)); });
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* src = rgb.ScanLine(y);
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t b = src[3 * x], g = src[3 * x + 1], r = src[3 * x + 2];
            if (Grey()) {
                // ITU-R BT.601 luma, as netpbm's own tools weigh the colours.
                out[size_t(x)] = uint8_t((r * 299 + g * 587 + b * 114 + 500) / 1000);
            } else {
                out[3 * size_t(x)] = uint8_t(r);
                out[3 * size_t(x) + 1] = uint8_t(g);
                out[3 * size_t(x) + 2] = uint8_t(b);
            }
        }
        stream.WriteBuffer(out.data(), int64_t(out.size()));
    }
}
