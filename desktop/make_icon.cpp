// Draws the drill's menu icon and writes it as PNG through the project's
// own encoder: the black screen of the drill with a green practice square
// (a box crossed by dotted guide lines, as in a kanji exercise book) and
// the red circle that marks a right answer.
//   make_icon OUTPUT.png SIZE
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "codec/TavPNG.h"
#include "platform/Bitmap.h"

namespace {

struct Rgb {
    uint8_t r, g, b;
};

void Put(TBitmap& bitmap, int32_t x, int32_t y, Rgb c) {
    uint8_t* p = bitmap.ScanLine(y) + 3 * x;  // rows of blue, green, red
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
}

void Draw(TBitmap& bitmap, int32_t size) {
    const Rgb black{0, 0, 0}, frame{40, 40, 40}, green{0, 255, 0}, dim{0, 120, 0}, red{255, 0, 0};
    const double s = size;
    const double box0 = 0.16 * s, box1 = 0.84 * s, line = std::max(1.0, s / 24);
    const double mid = s / 2, ringR = 0.27 * s, ringW = std::max(1.5, s / 14);
    for (int32_t y = 0; y < size; ++y) {
        for (int32_t x = 0; x < size; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            Rgb c = (x < size / 32 + 1 || y < size / 32 + 1 || x >= size - size / 32 - 1 || y >= size - size / 32 - 1)
                        ? frame
                        : black;
            const bool inBox = px >= box0 && px <= box1 && py >= box0 && py <= box1;
            const bool onEdge = inBox && (px < box0 + line || px > box1 - line || py < box0 + line || py > box1 - line);
            const bool dotted = (int32_t(px / line) % 3) == 0 || (int32_t(py / line) % 3) == 0;
            const bool onGuide = inBox && (std::fabs(px - mid) < line / 2 + 0.25 || std::fabs(py - mid) < line / 2 + 0.25) &&
                                 dotted;
            if (onGuide) c = dim;
            if (onEdge) c = green;
            const double r = std::hypot(px - mid, py - mid);
            if (std::fabs(r - ringR) < ringW / 2) c = red;
            Put(bitmap, x, y, c);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_icon OUTPUT.png SIZE\n");
        return 2;
    }
    const int32_t size = std::atoi(argv[2]);
    if (size < 16 || size > 1024) {
        std::fprintf(stderr, "make_icon: size must be 16 to 1024\n");
        return 2;
    }
    try {
        TBitmap bitmap;
        bitmap.SetPixelFormat(pf24bit);
        bitmap.SetSize(size, size);
        Draw(bitmap, size);
        TTavPNG png;
        png.CompressionLevel = 9;
        png.FilterMode = 0;
        png.Assign(&bitmap);
        png.SaveToFile(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_icon: %s\n", e.what());
        return 1;
    }
    return 0;
}
