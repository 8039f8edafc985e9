// Fuzz target: any bytes through the PNG decoder (fuzz/PngLoadCheck.h says
// how the first byte chooses the stream, the options and the checks); a
// failed check aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/PngLoadCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string failure = pngload::CheckPngLoad(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "png_load: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
