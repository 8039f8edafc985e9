#include "tools/pngconv/PngInfo.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "codec/PngMessages.h"
#include "codec/PngText.h"
#include "codec/TavPNGStream.h"
#include "platform/Streams.h"

namespace {


const uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
// As the reader: a file whose bytes 0 and 74 are both 0 starts with a
// 128-byte Macintosh header.
constexpr int64_t kMacHeaderSize = 128;
// Chunk bodies up to this size are kept for their values; larger ones
// (and all image data) are only passed through the CRC.
constexpr uint32_t kKeepLimit = 16u << 20;

uint32_t Be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
uint16_t Be16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

std::string Hex6(uint32_t color) {
    char text[16];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
    return text;
}

std::string ColorText(int64_t color) {
    if (color < 0)
        return "none";
    if ((uint32_t(color) & 0xFF000000u) == 0x01000000u)
        return "palette entry " + std::to_string(uint32_t(color) & 0xFFFFFFu);
    return Hex6(uint32_t(color));
}

// Line breaks, other control bytes and the backslash escaped, so that a
// value stays on its line; all other bytes pass as they are.
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

std::string Fixed5(uint32_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.5f", double(value) / 100000.0);
    return text;
}

struct TChunk {
    std::string Type;
    uint32_t Length = 0;
    bool CrcOk = true;
    bool Complete = true;  // the file holds all of its data and its CRC
};

struct THeader {
    uint32_t Width = 0, Height = 0;
    int Depth = 0;
    int ColorType = 0;  // as in the file: 0, 2, 3, 4 or 6
    int Interlace = 0;
};

// What the chunks say, gathered under the decoder's rules of which chunk
// counts where (a gAMA after PLTE is ignored, and so on).
struct TFacts {
    std::vector<TChunk> Chunks;
    std::vector<std::string> TextKeys;  // "key (type)"
    std::optional<THeader> Header;
    bool PaletteRead = false, ImageSeen = false;
    int PaletteCount = 0;
    std::optional<uint32_t> Gamma;
    std::vector<uint8_t> SignificantBits;
    int64_t Background = -1, Transparent = -1;
    bool PaletteAlpha = false;
    std::optional<std::vector<uint8_t>> Resolution, Time, Chromaticity;
    std::string Comment;
    std::string Failure;  // the decoder's message when the image data fail
};

struct TPass {
    int Row, RowStep, Col, ColStep;
};
constexpr TPass kAdam7[7] = {
    {0, 8, 0, 8}, {0, 8, 4, 8}, {4, 8, 0, 4}, {0, 4, 2, 4}, {2, 4, 0, 2}, {0, 2, 1, 2}, {1, 2, 0, 1},
};

// The bit depth checks that the decoder makes at the first image data.
void CheckDepth(const THeader& h) {
    const int d = h.Depth;
    switch (h.ColorType & 3) {
    case 0:
        if (d != 1 && d != 2 && d != 4 && d != 8 && d != 16)
            throw ETavPNG(kMsgGreyDepth);
        if ((h.ColorType & 4) && d < 8)
            throw ETavPNG(kMsgGreyAlpha);
        break;
    case 2:
        if (d != 8 && d != 16)
            throw ETavPNG(kMsgDepth);
        break;
    default:
        if (d != 1 && d != 2 && d != 4 && d != 8)
            throw ETavPNG(kMsgDepth);
    }
    // As the decoder, every row it would hold must fit an int32 with a
    // few bytes to spare: the PNG row, the bitmap row (24 bits a pixel for
    // truecolour, at most 8 else) and the alpha row.
    const bool rgb = (h.ColorType & 3) == 2;
    const int channels = (rgb ? 3 : 1) + ((h.ColorType & 4) ? 1 : 0);
    for (const int64_t bits : {int64_t(channels) * d, int64_t(rgb ? 24 : 8), int64_t(8)}) {
        const int64_t stride = ((int64_t(h.Width) * bits + 7) / 8 + 3) / 4 * 4;
        if (stride > INT32_MAX - 4)
            throw ETavPNG(kMsgImageSize);
    }
}

// A grey sample as the colour the decoder's grey palette gives it.
int64_t GreyColor(uint16_t v, int depth) {
    if (depth > 8)
        v = uint16_t(v >> 8);
    else if (depth == 1)
        v = uint16_t(v * 255);
    else if (depth == 2)
        v = uint16_t(v * 85);
    else if (depth == 4)
        v = uint16_t(v * 17);
    return int64_t(v & 0xFF) * 0x010101;
}

int64_t RgbColor(const uint8_t* p, int depth) {
    const int at = depth == 16 ? 0 : 1;
    return int64_t(p[at]) | int64_t(p[2 + at]) << 8 | int64_t(p[4 + at]) << 16;
}

// Every text chunk is listed with its value; a compressed text is
// inflated within the decoder's bound, and one that cannot be read is
// marked so instead of failing the report, as the decoder passes it over.
void TakeText(TFacts& f, const std::string& type, const std::vector<uint8_t>& data) {
    std::string key, body;
    const bool readable = ReadTextChunk(type, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                                        key, body);
    f.TextKeys.push_back(EscapedText(Latin1ToUtf8(key)) + " (" + type + ")" +
                         (readable ? ": " + EscapedText(body) : " unreadable"));
    if (key != "Comment" || !readable || body.empty())
        return;
    if (!f.Comment.empty())
        f.Comment += "\r\n";
    f.Comment += body;
}

void TakeChunk(TFacts& f, const std::string& type, const std::vector<uint8_t>& d) {
    const bool header = f.Header.has_value();
    const THeader h = header ? *f.Header : THeader{};
    const bool beforeImage = header && !f.ImageSeen;
    const bool beforePalette = beforeImage && !f.PaletteRead;
    const int base = h.ColorType & 3;
    const bool alphaChannel = (h.ColorType & 4) != 0;
    if (type == "PLTE" && beforePalette && (base == 2 || base == 3)) {
        f.PaletteRead = true;
        f.PaletteCount = int(std::min<size_t>(d.size() / 3, 256));
    } else if (type == "gAMA" && beforePalette && d.size() >= 4) {
        f.Gamma = Be32(d.data());
    } else if (type == "sBIT" && beforePalette && (base == 2 || base == 3)) {
        const size_t n = alphaChannel ? 4 : 3;
        if (d.size() >= n)
            f.SignificantBits.assign(d.begin(), d.begin() + long(n));
    } else if (type == "cHRM" && beforePalette && d.size() == 32) {
        f.Chromaticity = d;
    } else if (type == "pHYs" && beforeImage && d.size() >= 9) {
        f.Resolution = d;
    } else if (type == "tIME" && d.size() == 7) {
        f.Time = d;
    } else if (type == "tRNS" && beforeImage && !alphaChannel) {
        f.PaletteAlpha = false;
        f.Transparent = -1;
        if (base == 0 && d.size() >= 2) {
            f.Transparent = GreyColor(Be16(d.data()), h.Depth);
        } else if (base == 2 && d.size() >= 6) {
            f.Transparent = RgbColor(d.data(), h.Depth);
        } else if (base == 3) {
            // As the decoder resolves it: one fully transparent entry among
            // opaque ones is a transparent colour, anything else an alpha table.
            const size_t k = std::min<size_t>(d.size(), size_t(f.PaletteCount));
            int zeros = 0, zeroAt = -1;
            bool partial = false;
            for (size_t i = 0; i < k; ++i) {
                if (d[i] != 0 && d[i] != 255)
                    partial = true;
                if (d[i] == 0 && zeros++ == 0)
                    zeroAt = int(i);
            }
            if (!partial && zeros == 1)
                f.Transparent = 0x01000000 + zeroAt;
            else
                f.PaletteAlpha = true;
        }
    } else if (type == "bKGD" && header) {
        if (base == 0 && d.size() >= 2)
            f.Background = GreyColor(Be16(d.data()), h.Depth);
        else if (base == 2 && d.size() >= 6)
            f.Background = RgbColor(d.data(), h.Depth);
        else if (base == 3 && d.size() >= 1)
            f.Background = 0x01000000 + d[0];
    } else if (type == "tEXt" || type == "zTXt" || type == "iTXt") {
        TakeText(f, type, d);
    }
}

void TakeHeader(TFacts& f, const std::vector<uint8_t>& d) {
    if (f.Header)
        throw ETavPNG(kMsgTwoIHDR);
    if (d.size() < 13)
        throw ETavPNG(kMsgImageSize);
    THeader h;
    h.Width = Be32(d.data());
    h.Height = Be32(d.data() + 4);
    h.Depth = d[8];
    const int t = d[9] & 7;
    if (t == 1 || t == 5 || t == 7)
        throw ETavPNG(kMsgColorType);
    h.ColorType = t;
    if (d[10] > 1)
        throw ETavPNG(kMsgCompression);
    if (d[11] > 1)
        throw ETavPNG(kMsgFilter);
    if (d[12] > 1)
        throw ETavPNG(kMsgInterlace);
    h.Interlace = d[12];
    if (h.Width == 0 || h.Height == 0 || h.Width > uint32_t(INT32_MAX) || h.Height > uint32_t(INT32_MAX))
        throw ETavPNG(kMsgImageSize);
    f.Header = h;
}

// The image data as the decoder reads them, without keeping any pixels:
// the first run of IDAT chunks is inflated block by block, and every row's
// filter type is checked, until the rows that the header promises are
// complete. Data that end early, damaged data and an unknown filter type
// fail the load as they fail the decoder; data after the last row are
// passed over as the decoder leaves them unread.
class TImageDataCheck {
public:
    explicit TImageDataCheck(const THeader& h) {
        const int channels = (h.ColorType & 3) == 2 ? 3 : 1;
        BitsPerPixel = int64_t(channels + ((h.ColorType & 4) ? 1 : 0)) * h.Depth;
        const bool adam7 = h.Interlace != 0;
        for (int pass = 0; pass < (adam7 ? 7 : 1); ++pass) {
            const TPass p = adam7 ? kAdam7[pass] : TPass{0, 1, 0, 1};
            const int64_t width = Extent(h.Width, p.Col, p.ColStep), rows = Extent(h.Height, p.Row, p.RowStep);
            if (width > 0 && rows > 0)
                Passes.push_back({(width * BitsPerPixel + 7) / 8 + 1, rows});
        }
        if (inflateInit(&Z) != Z_OK)
            throw ETavPNG(kMsgZlib);
    }
    ~TImageDataCheck() { inflateEnd(&Z); }
    TImageDataCheck(const TImageDataCheck&) = delete;
    TImageDataCheck& operator=(const TImageDataCheck&) = delete;

    bool Done() const { return Pass == Passes.size(); }

    // Inflates one block of IDAT data; throws the decoder's message when
    // the data fail.
    void Feed(const uint8_t* data, size_t size) {
        Z.next_in = const_cast<uint8_t*>(data);
        Z.avail_in = uInt(size);
        while (!Done() && Z.avail_in > 0) {
            Z.next_out = Out;
            Z.avail_out = sizeof Out;
            const int r = inflate(&Z, Z_NO_FLUSH);
            if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR)
                throw ETavPNG(kMsgReadError);
            Walk(Out, sizeof Out - Z.avail_out);
            if (r == Z_STREAM_END && !Done())
                throw ETavPNG(kMsgReadError);  // the stream ended before the last row
            if (r == Z_STREAM_END || r == Z_BUF_ERROR)
                break;
        }
    }

private:
    struct TPassSize {
        int64_t RowBytes;  // the filter byte included
        int64_t Rows;
    };

    static int64_t Extent(int64_t n, int first, int step) { return n > first ? (n - first + step - 1) / step : 0; }

    void Walk(const uint8_t* p, size_t n) {
        while (n > 0 && !Done()) {
            const TPassSize& pass = Passes[Pass];
            if (AtRowByte == 0 && *p > 4)
                throw ETavPNG(kMsgReadError);
            const size_t step = size_t(std::min<int64_t>(int64_t(n), pass.RowBytes - AtRowByte));
            p += step;
            n -= step;
            AtRowByte += int64_t(step);
            if (AtRowByte == pass.RowBytes) {
                AtRowByte = 0;
                if (++Row == pass.Rows) {
                    Row = 0;
                    ++Pass;
                }
            }
        }
    }

    z_stream Z{};
    uint8_t Out[65536];
    int64_t BitsPerPixel = 0;
    std::vector<TPassSize> Passes;
    size_t Pass = 0;
    int64_t Row = 0, AtRowByte = 0;
};

// A failure of the image data is the load's failure; the chunks after it
// are still listed.
void FeedImageData(TFacts& f, std::optional<TImageDataCheck>& check, const uint8_t* data, size_t size) {
    try {
        check->Feed(data, size);
        if (check->Done())
            check.reset();
    } catch (const ETavPNG& e) {
        f.Failure = e.message();
        check.reset();
    }
}

// The run of IDAT chunks is over: rows still missing fail the load.
void EndImageData(TFacts& f, std::optional<TImageDataCheck>& check) {
    if (!check->Done())
        f.Failure = kMsgReadError;
    check.reset();
}

// Walks the chunks from the signature on: every chunk is listed, its CRC
// checked, and the values of the small ones taken.
TFacts ReadFacts(TStream& stream) {
    TFacts f;
    const int64_t size = stream.Size();
    uint8_t head[kMacHeaderSize] = {};
    int64_t pos = 0;
    if (size > kMacHeaderSize) {
        stream.SetPosition(0);
        stream.ReadBuffer(head, 75);
        if (head[0] == 0 && head[74] == 0)
            pos = kMacHeaderSize;
    }
    uint8_t signature[8] = {};
    stream.SetPosition(pos);
    if (size - pos < 8 || stream.Read(signature, 8) != 8 || std::memcmp(signature, kSignature, 8) != 0)
        throw ETavPNG(kMsgNotPng);
    pos += 8;

    std::vector<uint8_t> block(65536);
    std::optional<TImageDataCheck> check;
    while (size - pos >= 8) {
        uint8_t frame[8];
        stream.ReadBuffer(frame, 8);
        TChunk c;
        c.Length = Be32(frame);
        c.Type.assign(reinterpret_cast<const char*>(frame + 4), 4);
        pos += 8;
        const bool image = c.Type == "IDAT";
        if (image && f.Header && !f.ImageSeen) {
            CheckDepth(*f.Header);
            check.emplace(*f.Header);
        } else if (!image && check) {
            EndImageData(f, check);
        }
        const bool keep = !image && c.Length <= kKeepLimit;
        std::vector<uint8_t> data;
        uLong crc = crc32(crc32(0L, Z_NULL, 0), frame + 4, 4);
        uint64_t left = c.Length;
        while (left > 0 && pos < size) {
            const int64_t n = int64_t(std::min<uint64_t>({left, block.size(), uint64_t(size - pos)}));
            stream.ReadBuffer(block.data(), n);
            crc = crc32(crc, block.data(), uInt(n));
            if (keep)
                data.insert(data.end(), block.begin(), block.begin() + n);
            if (image && check)
                FeedImageData(f, check, block.data(), size_t(n));
            left -= uint64_t(n);
            pos += n;
        }
        uint8_t stored[4];
        c.Complete = left == 0 && size - pos >= 4;
        if (c.Complete) {
            stream.ReadBuffer(stored, 4);
            pos += 4;
            c.CrcOk = Be32(stored) == uint32_t(crc);
        }
        f.Chunks.push_back(c);
        if (left > 0)
            break;
        if (c.Type == "IHDR")
            TakeHeader(f, data);
        else if (keep)
            TakeChunk(f, c.Type, data);
        if (image && f.Header)
            f.ImageSeen = true;
        if (c.Type == "IEND")
            break;
    }
    if (check)
        EndImageData(f, check);  // the file ended within the image data
    return f;
}

std::string Report(const std::string& path, const TFacts& f) {
    std::string out;
    auto line = [&out](const char* key, const std::string& value) { out += std::string(key) + ": " + value + "\n"; };
    line("file", path);
    for (const TChunk& c : f.Chunks) {
        std::string text = EscapedText(c.Type) + " " + std::to_string(c.Length);
        if (!c.Complete)
            text += " (cut short by the end of the file)";
        else if (!c.CrcOk)
            text += " (CRC mismatch)";
        line("chunk", text);
    }
    if (!f.Header) {
        line("header", "none");
        return out;
    }
    const THeader& h = *f.Header;
    const int base = h.ColorType & 3;
    // The decoder's view: source bits as it reports them, and the bitmap
    // it would fill.
    const int sourceBits = base == 2 ? 3 * h.Depth : h.Depth;
    int bitmapBits = 24;
    if (base == 0)
        bitmapBits = (h.ColorType & 4) || h.Depth == 16 ? 8 : h.Depth == 2 ? 4 : h.Depth;
    else if (base == 3)
        bitmapBits = h.Depth == 2 ? 4 : h.Depth;
    line("width", std::to_string(h.Width));
    line("height", std::to_string(h.Height));
    line("colour type", std::to_string(h.ColorType) + " (" + ColorTypeName(h.ColorType) + ")");
    line("bit depth", std::to_string(h.Depth));
    line("source bit count", std::to_string(sourceBits));
    line("bitmap bit count", std::to_string(bitmapBits));
    line("interlace", h.Interlace ? "1 (Adam7)" : "0 (none)");
    line("palette entries", std::to_string(f.PaletteCount));
    line("has alpha", (h.ColorType & 4) || f.PaletteAlpha ? "yes" : "no");
    line("gamma", f.Gamma && *f.Gamma > 0 ? Fixed5(*f.Gamma) : "none");
    std::string sbit;
    for (uint8_t b : f.SignificantBits)
        sbit += (sbit.empty() ? "" : ",") + std::to_string(b);
    line("significant bits", sbit.empty() ? "none" : sbit);
    line("background colour", ColorText(f.Background));
    line("transparent colour", ColorText(f.Transparent));
    std::string resolution = "none";
    if (f.Resolution) {
        const uint8_t* p = f.Resolution->data();
        resolution = std::to_string(Be32(p)) + " x " + std::to_string(Be32(p + 4));
        resolution += p[8] == 0 ? " (aspect ratio only)"
                      : p[8] == 1 ? " pixels per metre"
                                  : " (unit " + std::to_string(p[8]) + ")";
    }
    line("resolution", resolution);
    std::string time = "none";
    if (f.Time) {
        const uint8_t* p = f.Time->data();
        char text[48];
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", unsigned(Be16(p)), p[2], p[3], p[4],
                      p[5], p[6]);
        time = text;
    }
    line("time", time);
    std::string chromaticity = "none";
    if (f.Chromaticity) {
        const uint8_t* p = f.Chromaticity->data();
        const char* names[4] = {"white", "red", "green", "blue"};
        chromaticity.clear();
        for (int i = 0; i < 4; ++i)
            chromaticity += std::string(i ? ", " : "") + names[i] + " " + Fixed5(Be32(p + 8 * i)) + " " +
                            Fixed5(Be32(p + 8 * i + 4));
    }
    line("chromaticity", chromaticity);
    for (const std::string& key : f.TextKeys)
        line("text", key);
    line("comment", EscapedText(f.Comment));
    return out;
}

}  // namespace

TPngFileReport DescribePngFile(const std::string& path) {
    TFileStream stream(path, TFileStream::fmOpenRead);
    const TFacts facts = ReadFacts(stream);
    return {Report(path, facts), facts.Failure};
}
