// Writes the benchmark corpus: nine 2048 x 2048 PNG files, the same bytes
// on every run. The pixels come from a fixed pseudo-random generator and
// smooth functions; the files are written by libpng at zlib's
// default level, so that the corpus does not depend on the codec under test.
//
//   make_corpus OUTPUT_DIR [SIZE]
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// splitmix64: small, fast and the same on every platform.
class TRandom {
public:
    explicit TRandom(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [-amplitude, amplitude].
    int Noise(int amplitude) { return int(Next() % uint64_t(2 * amplitude + 1)) - amplitude; }
    int Below(int n) { return int(Next() % uint64_t(n)); }

private:
    uint64_t state_;
};

int Clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

struct TImage {
    int Width = 0, Height = 0;
    int ColorType = PNG_COLOR_TYPE_RGB;
    int Depth = 8;
    int Interlace = PNG_INTERLACE_NONE;
    int Filters = -1;  // -1: libpng's choice for the format
    std::vector<png_color> Palette;
    std::vector<std::vector<uint8_t>> Rows;
};

// Smooth value in 0..1 of channel c at (x, y): a few broad waves and a
// radial bump, as in a defocused photograph.
double Smooth(int x, int y, int c, int size) {
    const double u = double(x) / size, v = double(y) / size;
    const double wave = std::sin(6.1 * u + 2.3 * c + 1.7 * v) * 0.25 + std::cos(4.3 * v - 1.1 * c + 2.9 * u * v) * 0.2;
    const double dx = u - 0.35 - 0.1 * c, dy = v - 0.55;
    const double bump = 0.3 * std::exp(-(dx * dx + dy * dy) * 9.0);
    return Clamp(int((0.45 + wave + bump) * 1000.0), 0, 1000) / 1000.0;
}

// The photo's three channels, 0..255, noise included.
void PhotoPixel(int x, int y, int size, TRandom& rng, int rgb[3]) {
    for (int c = 0; c < 3; ++c) rgb[c] = Clamp(int(Smooth(x, y, c, size) * 255.0) + rng.Noise(5), 0, 255);
}

TImage Photo(int size, bool alpha, bool interlace, bool noFilter) {
    TImage img;
    img.Width = img.Height = size;
    img.ColorType = alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    img.Interlace = interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
    if (noFilter) img.Filters = PNG_FILTER_NONE;
    TRandom rng(1);
    const int channels = alpha ? 4 : 3;
    for (int y = 0; y < size; ++y) {
        std::vector<uint8_t> row(size_t(size) * channels);
        for (int x = 0; x < size; ++x) {
            int rgb[3];
            PhotoPixel(x, y, size, rng, rgb);
            uint8_t* p = &row[size_t(x) * channels];
            p[0] = uint8_t(rgb[0]);
            p[1] = uint8_t(rgb[1]);
            p[2] = uint8_t(rgb[2]);
            if (alpha) {
                const double u = double(x) / size, v = double(y) / size;
                p[3] = uint8_t(Clamp(int(128 + 127 * std::sin(9.0 * u * v + 3.0 * u)), 0, 255));
            }
        }
        img.Rows.push_back(std::move(row));
    }
    return img;
}

TImage Grey(int size, int depth) {
    TImage img;
    img.Width = img.Height = size;
    img.ColorType = PNG_COLOR_TYPE_GRAY;
    img.Depth = depth;
    TRandom rng(2);
    for (int y = 0; y < size; ++y) {
        std::vector<uint8_t> row(size_t(size) * (depth / 8));
        for (int x = 0; x < size; ++x) {
            const double g = 0.3 * Smooth(x, y, 0, size) + 0.6 * Smooth(x, y, 1, size) + 0.1 * Smooth(x, y, 2, size);
            if (depth == 8) {
                row[size_t(x)] = uint8_t(Clamp(int(g * 255.0) + rng.Noise(4), 0, 255));
            } else {
                const int v = Clamp(int(g * 65535.0) + rng.Noise(900), 0, 65535);
                row[2 * size_t(x)] = uint8_t(v >> 8);
                row[2 * size_t(x) + 1] = uint8_t(v);
            }
        }
        img.Rows.push_back(std::move(row));
    }
    return img;
}

// 3-3-2 colour cube: the photo quantised to 256 colours, with its noise.
TImage Palette(int size) {
    TImage img;
    img.Width = img.Height = size;
    img.ColorType = PNG_COLOR_TYPE_PALETTE;
    for (int i = 0; i < 256; ++i) {
        png_color c;
        c.red = png_byte(((i >> 5) & 7) * 255 / 7);
        c.green = png_byte(((i >> 2) & 7) * 255 / 7);
        c.blue = png_byte((i & 3) * 255 / 3);
        img.Palette.push_back(c);
    }
    TRandom rng(3);
    for (int y = 0; y < size; ++y) {
        std::vector<uint8_t> row(static_cast<size_t>(size));
        for (int x = 0; x < size; ++x) {
            int rgb[3];
            PhotoPixel(x, y, size, rng, rgb);
            row[size_t(x)] = uint8_t((rgb[0] >> 5) << 5 | (rgb[1] >> 5) << 2 | (rgb[2] >> 6));
        }
        img.Rows.push_back(std::move(row));
    }
    return img;
}

// 1-bit grey: the noisy grey photo through a 4 x 4 ordered dither.
TImage Bilevel(int size) {
    static const int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
    TImage img;
    img.Width = img.Height = size;
    img.ColorType = PNG_COLOR_TYPE_GRAY;
    img.Depth = 1;
    TRandom rng(5);
    for (int y = 0; y < size; ++y) {
        std::vector<uint8_t> row(size_t((size + 7) / 8), 0);
        for (int x = 0; x < size; ++x) {
            const double g = Smooth(x, y, 1, size) + rng.Noise(12) / 255.0;
            if (g * 16.0 > kBayer[y & 3][x & 3] + 0.5) row[size_t(x) >> 3] |= uint8_t(0x80 >> (x & 7));
        }
        img.Rows.push_back(std::move(row));
    }
    return img;
}

// A desktop: flat background, windows with title bars, borders and lines
// of text-like marks on flat fills.
TImage Screenshot(int size) {
    TImage img;
    img.Width = img.Height = size;
    TRandom rng(4);
    std::vector<uint8_t> pixels(size_t(size) * size * 3);
    auto fill = [&](int x0, int y0, int x1, int y1, int r, int g, int b) {
        for (int y = std::max(0, y0); y < std::min(size, y1); ++y)
            for (int x = std::max(0, x0); x < std::min(size, x1); ++x) {
                uint8_t* p = &pixels[(size_t(y) * size + x) * 3];
                p[0] = uint8_t(r), p[1] = uint8_t(g), p[2] = uint8_t(b);
            }
    };
    fill(0, 0, size, size, 58, 110, 165);
    for (int w = 0; w < 12; ++w) {
        const int x0 = rng.Below(size * 3 / 4), y0 = rng.Below(size * 3 / 4);
        const int x1 = x0 + 300 + rng.Below(size / 2), y1 = y0 + 200 + rng.Below(size / 2);
        fill(x0 - 1, y0 - 1, x1 + 1, y1 + 1, 90, 90, 90);
        fill(x0, y0, x1, y1, 240, 240, 240);
        fill(x0, y0, x1, y0 + 24, 30, 60 + 10 * w, 130);
        for (int line = y0 + 36; line + 12 < y1; line += 18) {
            int x = x0 + 8;
            while (x + 8 < x1 - 8) {
                const int word = 3 + rng.Below(9);
                for (int k = 0; k < word && x + 8 < x1 - 8; ++k, x += 8) {
                    // A glyph: a few dark strokes in an 8 x 12 cell.
                    const uint64_t bits = rng.Next();
                    for (int gy = 0; gy < 12; ++gy)
                        for (int gx = 0; gx < 6; ++gx)
                            if (bits >> ((gy * 6 + gx) % 64) & 1 && (gy + gx) % 3 != 0)
                                fill(x + gx, line + gy, x + gx + 1, line + gy + 1, 20, 20, 20);
                }
                x += 8;
            }
        }
    }
    for (int y = 0; y < size; ++y)
        img.Rows.emplace_back(pixels.begin() + ptrdiff_t(size_t(y) * size * 3),
                              pixels.begin() + ptrdiff_t(size_t(y + 1) * size * 3));
    return img;
}

bool Write(const TImage& img, const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(f);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, png_uint_32(img.Width), png_uint_32(img.Height), img.Depth, img.ColorType, img.Interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!img.Palette.empty()) png_set_PLTE(png, info, img.Palette.data(), int(img.Palette.size()));
    if (img.Filters >= 0) png_set_filter(png, PNG_FILTER_TYPE_BASE, img.Filters);
    png_write_info(png, info);
    std::vector<png_bytep> rows;
    for (const auto& r : img.Rows) rows.push_back(const_cast<png_bytep>(r.data()));
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_corpus OUTPUT_DIR [SIZE]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int size = argc > 2 ? std::atoi(argv[2]) : 2048;
    if (size < 16 || size > 16384) {
        std::fprintf(stderr, "make_corpus: size out of range\n");
        return 2;
    }
    struct TEntry {
        const char* Name;
        TImage (*Make)(int);
    };
    const TEntry entries[] = {
        {"photo", [](int s) { return Photo(s, false, false, false); }},
        {"photo-alpha", [](int s) { return Photo(s, true, false, false); }},
        {"grey8", [](int s) { return Grey(s, 8); }},
        {"grey16", [](int s) { return Grey(s, 16); }},
        {"palette", Palette},
        {"bilevel", Bilevel},
        {"photo-adam7", [](int s) { return Photo(s, false, true, false); }},
        {"screenshot", Screenshot},
        {"photo-nofilter", [](int s) { return Photo(s, false, false, true); }},
    };
    for (const TEntry& e : entries) {
        const std::string path = dir + "/" + e.Name + ".png";
        if (!Write(e.Make(size), path)) {
            std::fprintf(stderr, "make_corpus: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s\n", path.c_str());
    }
    return 0;
}
