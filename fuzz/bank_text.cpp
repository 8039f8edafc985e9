// Fuzz target: any bytes through the bank text routines (SplitLines,
// SplitFields and so ParseDelimited, TrimBlanks, ReplaceAll), with their
// invariants checked (fuzz/BankTextChecks.h); a broken one aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/FuncUnit.h"
#include "fuzz/BankTextChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string failure = banktext::CheckBankText(data, size, SplitFields);
    if (!failure.empty()) {
        std::fprintf(stderr, "bank_text: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
