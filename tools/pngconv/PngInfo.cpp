#include "tools/pngconv/PngInfo.h"

#include <cstdio>

#include "codec/TavPNG.h"
#include "codec/TavStream.h"

namespace {

// The decoder reports three times the bit depth for truecolour images
// (alpha or not), or 15 / 16 for 5-5-5 and 5-6-5 output; for indexed and
// grey images it reports the depth itself.
bool IsTruecolor(const TTavPNG& png) { return !png.Grayscale && png.SourceBitCount >= 15; }

std::string Hex6(int32_t color) {
    char text[16];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", unsigned(color & 0xFF), unsigned((color >> 8) & 0xFF),
                  unsigned((color >> 16) & 0xFF));
    return text;
}

std::string ColorText(int32_t color) {
    if (color == -1)
        return "none";
    if ((uint32_t(color) & 0xFF000000u) == 0x01000000u)
        return "palette entry " + std::to_string(uint32_t(color) & 0xFFFFFFu);
    return Hex6(color);
}

std::string GammaText(double gamma) {
    if (gamma <= 0)
        return "none";
    char text[32];
    std::snprintf(text, sizeof text, "%.5f", gamma);
    return text;
}

std::string SignificantBitsText(int32_t bits) {
    if (bits == 0)
        return "none";
    const uint32_t b = uint32_t(bits);
    std::string text = std::to_string(b & 0xFF) + "," + std::to_string((b >> 8) & 0xFF) + "," +
                       std::to_string((b >> 16) & 0xFF);
    if (b >> 24)
        text += "," + std::to_string(b >> 24);
    return text;
}

std::string ResolutionText(const TTavPNG& png) {
    if (png.XResolution == 0 && png.YResolution == 0 && png.ResolutionUnit == 0)
        return "none";
    std::string text = std::to_string(png.XResolution) + " x " + std::to_string(png.YResolution);
    switch (png.ResolutionUnit) {
        case 0: return text + " (aspect ratio only)";
        case 1: return text + " pixels per metre";
        case 2: return text + " pixels per inch";
        default: return text + " (unit " + std::to_string(png.ResolutionUnit) + ")";
    }
}

std::string TimeText(const TPNGTimeStamp& t) {
    if (t.Year == 0 && t.Month == 0 && t.Day == 0 && t.Hour == 0 && t.Minute == 0 && t.Second == 0)
        return "none";
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", unsigned(t.Year), unsigned(t.Month),
                  unsigned(t.Day), unsigned(t.Hour), unsigned(t.Minute), unsigned(t.Second));
    return text;
}

// The comment's bytes on one line: line breaks, other control bytes and
// the backslash are escaped; all other bytes pass as they are.
std::string EscapedText(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", unsigned(c));
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out;
}

const char* ColorTypeName(int type) {
    switch (type) {
        case 0: return "grey";
        case 2: return "truecolour";
        case 3: return "indexed";
        case 4: return "grey with alpha";
        default: return "truecolour with alpha";
    }
}

}  // namespace

int PngColorType(const TTavPNG& png) {
    if (png.Grayscale)
        return png.HasAlpha ? 4 : 0;
    if (IsTruecolor(png))
        return png.HasAlpha ? 6 : 2;
    // An indexed image: HasAlpha here only means its tRNS table was
    // expanded into the alpha bitmap.
    return 3;
}

int PngBitDepth(const TTavPNG& png) {
    if (!IsTruecolor(png))
        return png.SourceBitCount;
    if (png.SourceBitCount == 15 || png.SourceBitCount == 16)
        return 8;  // 5-6-5 output of an 8-bit file
    return png.SourceBitCount / 3;
}

std::string DescribePng(const TTavPNG& png) {
    const TBitmap& image = *png.CurrentImage();
    const int type = PngColorType(png);
    std::string out;
    auto line = [&out](const char* key, const std::string& value) { out += std::string(key) + ": " + value + "\n"; };
    line("width", std::to_string(image.Width()));
    line("height", std::to_string(image.Height()));
    line("colour type", std::to_string(type) + " (" + ColorTypeName(type) + ")");
    line("bit depth", std::to_string(PngBitDepth(png)));
    line("source bit count", std::to_string(png.SourceBitCount));
    line("bitmap bit count", std::to_string(BitCountFromPixelFormat(image.PixelFormat())));
    line("interlace", png.Interlace ? "1 (Adam7)" : "0 (none)");
    line("has alpha", png.HasAlpha ? "yes" : "no");
    line("gamma", GammaText(png.Gamma));
    line("significant bits", SignificantBitsText(png.SignificantBits));
    line("background colour", ColorText(png.BackgroundColor));
    line("transparent colour", ColorText(png.TransparentColor));
    line("resolution", ResolutionText(png));
    line("time", TimeText(png.TimeStamp));
    line("comment", EscapedText(png.Comment));
    return out;
}
