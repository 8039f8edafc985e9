#include "codec/PngFilterSearch.h"

#include <zlib.h>

#include <cstdlib>
#include <stdexcept>

namespace {

uint8_t Paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

// Row filtered with filter type `type` into out (without its filter byte).
void FilterRow(int type, const uint8_t* row, const uint8_t* prior, size_t n, uint32_t bpp, uint8_t* out) {
    for (size_t i = 0; i < n; ++i) {
        const int a = i >= bpp ? row[i - bpp] : 0;
        const int b = prior ? prior[i] : 0;
        const int c = (prior && i >= bpp) ? prior[i - bpp] : 0;
        int pred = 0;
        switch (type) {
            case 1: pred = a; break;
            case 2: pred = b; break;
            case 3: pred = (a + b) / 2; break;
            case 4: pred = Paeth(a, b, c); break;
            default: break;
        }
        out[i] = static_cast<uint8_t>(row[i] - pred);
    }
}

}  // namespace

// Reference search: the minimum sum of absolute differences per row, zlib
// at level 9.
std::vector<uint8_t> SearchImageData(std::span<const TPngRawPass> passes, uint32_t filterBytesPerPixel,
                                     int /*level*/) {
    const uint32_t bpp = filterBytesPerPixel == 0 ? 1 : filterBytesPerPixel;
    std::vector<uint8_t> filtered;
    std::vector<uint8_t> trial, best;
    for (const TPngRawPass& pass : passes) {
        if (pass.RowBytes == 0 || pass.Height == 0) continue;
        trial.resize(pass.RowBytes);
        best.resize(pass.RowBytes);
        for (uint32_t y = 0; y < pass.Height; ++y) {
            const uint8_t* row = pass.Rows + y * pass.RowBytes;
            const uint8_t* prior = y ? row - pass.RowBytes : nullptr;
            uint64_t bestSum = UINT64_MAX;
            int bestType = 0;
            for (int type = 0; type < 5; ++type) {
                FilterRow(type, row, prior, pass.RowBytes, bpp, trial.data());
                uint64_t sum = 0;
                for (uint8_t v : trial) sum += v < 128 ? v : 256 - v;
                if (sum < bestSum) {
                    bestSum = sum;
                    bestType = type;
                    best.swap(trial);
                }
            }
            filtered.push_back(static_cast<uint8_t>(bestType));
            filtered.insert(filtered.end(), best.begin(), best.end());
        }
    }
    uLongf size = compressBound(filtered.size());
    std::vector<uint8_t> out(size);
    if (compress2(out.data(), &size, filtered.data(), filtered.size(), 9) != Z_OK)
        throw std::runtime_error("Write PNG: compression failed");
    out.resize(size);
    return out;
}
