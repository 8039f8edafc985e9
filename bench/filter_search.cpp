// Sizes and times of the optimising save's filter strategies and
// compressors, per PNG file given, to choose which of them each search
// level keeps. Rows are read with libpng in the file's own colour type
// and depth, without interlace.
//   filter_search [--levels] [--strongest] FILE...
// prints per file and strategy the fast, strong and zlib stream sizes and
// the times (with --strongest also the optimal parse's), then each search
// level's size and time, and the totals. --levels prints the levels only.
#include <png.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "codec/PngFilterSearch.h"

namespace {

struct TImage {
    std::vector<uint8_t> Rows;
    size_t RowBytes = 0;
    uint32_t Height = 0;
    uint32_t BytesPerPixel = 1;
};

bool ReadRaw(const char* path, TImage& image) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    image.Height = png_get_image_height(png, info);
    image.RowBytes = png_get_rowbytes(png, info);
    const unsigned bits = png_get_bit_depth(png, info) * png_get_channels(png, info);
    image.BytesPerPixel = bits < 8 ? 1 : bits / 8;
    image.Rows.resize(image.RowBytes * image.Height);
    std::vector<png_bytep> rows(image.Height);
    for (uint32_t y = 0; y < image.Height; ++y) rows[y] = image.Rows.data() + y * image.RowBytes;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return true;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    bool strongest = false, levelsOnly = false;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "--strongest") == 0) {
            strongest = true;
        } else if (std::strcmp(argv[first], "--levels") == 0) {
            levelsOnly = true;
        } else {
            break;
        }
    }
    if (first >= argc || argv[first][0] == '-') {
        std::fprintf(stderr, "usage: filter_search [--levels] [--strongest] FILE...\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::map<std::string, std::pair<double, double>> totals;  // key -> bytes, seconds
    auto add = [&](const std::string& key, size_t bytes, double seconds) {
        totals[key].first += double(bytes);
        totals[key].second += seconds;
    };
    for (int a = first; a < argc; ++a) {
        TImage image;
        if (!ReadRaw(argv[a], image)) {
            std::fprintf(stderr, "%s: not readable\n", argv[a]);
            return 1;
        }
        const TPngRawPass pass{image.Rows.data(), image.RowBytes, image.Height};
        std::printf("%s (%zu x %u bytes, %u per pixel)\n", argv[a], image.RowBytes, image.Height,
                    image.BytesPerPixel);
        if (!levelsOnly) {
            std::printf("  %-9s %10s %8s %10s %8s %10s %8s", "strategy", "fast", "s", "strong", "s", "zlib9", "s");
            if (strongest) std::printf(" %10s %8s %10s %8s", "strongest", "s", "optimal", "s");
            std::printf("\n");
        }
        for (int s = 0; s < (levelsOnly ? 0 : kPngFilterStrategyCount); ++s) {
            const auto strategy = static_cast<TPngFilterStrategy>(s);
            auto t = std::chrono::steady_clock::now();
            const std::vector<uint8_t> filtered = FilterImageData({&pass, 1}, image.BytesPerPixel, strategy);
            const double filterTime = Seconds(t);
            std::printf("  %-9s", PngFilterStrategyName(strategy));
            for (TPngCompressor c : {TPngCompressor::Fast, TPngCompressor::Strong, TPngCompressor::Zlib9,
                                     TPngCompressor::Strongest, TPngCompressor::Optimal}) {
                if ((c == TPngCompressor::Strongest || c == TPngCompressor::Optimal) && !strongest) continue;
                t = std::chrono::steady_clock::now();
                const size_t size = CompressImageData(filtered, c).size();
                const double time = Seconds(t) + filterTime;
                std::printf(" %10zu %8.3f", size, time);
                add(std::string(PngFilterStrategyName(strategy)) + "+" + PngCompressorName(c), size, time);
            }
            std::printf("\n");
        }
        for (int level = kPngSearchEstimate; level <= kPngSearchThorough; ++level) {
            if (level == kPngSearchThorough && !strongest) continue;
            const auto t = std::chrono::steady_clock::now();
            const size_t size = SearchImageData({&pass, 1}, image.BytesPerPixel, level).size();
            const double time = Seconds(t);
            std::printf("  level %d %11zu %8.3f\n", level, size, time);
            add("level " + std::to_string(level), size, time);
        }
    }
    std::printf("totals\n");
    for (const auto& [key, value] : totals)
        std::printf("  %-22s %12.0f %9.3f\n", key.c_str(), value.first, value.second);
    return 0;
}
