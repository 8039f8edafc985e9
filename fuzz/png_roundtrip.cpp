// Fuzz target: bytes describe a bitmap, a mask and save settings; the
// picture is saved, loaded again and compared (fuzz/PngRoundTripCheck.h
// says what is compared); a mismatch aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/PngRoundTripCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string failure = pngroundtrip::CheckPngRoundTrip(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "png_roundtrip: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
