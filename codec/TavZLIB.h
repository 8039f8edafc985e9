// zlib behind two plain records made for row-by-row PNG image data, and
// the row filter routines: undoing a filter after inflate (decoder side,
// TavZLIBInflate.cpp) and choosing and applying one before deflate
// (encoder side, TavZLIBDeflate.cpp). The wrappers return status codes
// (0 success, negative failure) and never raise.
#pragma once

#include <cstddef>
#include <cstdint>

#include <zlib.h>

#include "codec/PngUnfilter.h"

struct TZInflateRec;
struct TZDeflateRec;
struct TZFastInflate;
struct TZWholeDeflate;

using TZInputEvent = int32_t (*)(TZInflateRec& rec);
using TZOutputEvent = int32_t (*)(TZDeflateRec& rec);

struct TZInflateRec {
    static constexpr int32_t InputSize = 32768;

    void* Owner = nullptr;
    z_stream Z{};
    bool ZActive = false;  // inflateInit succeeded and inflateEnd is due
    uint8_t* InBuffer = nullptr;
    int32_t InBufferSize = 0;
    TZInputEvent OnInput = nullptr;  // 0: input supplied; else stop with it
    // Set by OnInput: the bytes it just supplied stay readable where they
    // are until the record ends, so they need not be copied to be kept.
    bool InputStays = false;
    int32_t RowSize = 0;             // filtered row bytes, filter byte included
    uint8_t* CurRow = nullptr;       // byte 0 filter type, then the row
    uint8_t* PrevRow = nullptr;      // previous unfiltered row, same layout
    int32_t BitsPerPixel = 0;
    // Bytes the whole stream is to give, when the caller knows: the read
    // that completes them then also checks the stream's end as far as
    // the input at hand reaches. -1 checks after every read.
    int64_t ExpectedOut = -1;
    TZFastInflate* Fast = nullptr;  // the fast engine's state, when built in
};

// Inflate runs on the engine chosen at build time (ZInflateEngine names it).
// Every engine gives zlib's results: the same bytes, the same failures at
// the same output position, the same input read.
const char* ZInflateEngine();
int32_t ZInflateInit(TZInflateRec& rec);
// Inflates exactly count bytes into dest. 0, or 1 when the compressed data
// ended with the last byte asked for; negative on failure (also when the
// data ends before count bytes came out).
int32_t ZInflateRead(TZInflateRec& rec, uint8_t* dest, int32_t count);
int32_t ZInflateReadRow(TZInflateRec& rec);
void ZInflateReset(TZInflateRec& rec);
void ZInflateEnd(TZInflateRec& rec);

// A whole zlib stream inflated at once, on the engine built in for that
// (libdeflate beside ISA-L): true only when it is sound, check value
// included, and gives exactly size bytes. False in every other case and
// where no such engine is built in; the caller then streams the data as
// ever, and zlib's results stand.
bool ZInflateWhole(const uint8_t* in, size_t inSize, uint8_t* out, size_t size);


struct TZDeflateRec {
    void* Owner = nullptr;
    z_stream Z{};
    bool ZActive = false;  // deflateInit succeeded and deflateEnd is due
    uint8_t* OutBuffer = nullptr;
    int32_t OutBufferSize = 0;
    TZOutputEvent OnOutput = nullptr;  // takes the filled part of OutBuffer
    int32_t RowSize = 0;               // filtered row bytes, filter byte included
    uint8_t* CurRow = nullptr;         // raw row, RowSize - 1 bytes
    uint8_t* PrevRow = nullptr;        // previous raw row of the pass
    int32_t BitsPerPixel = 0;
    int32_t FilterMode = 1;            // low byte: 0 adaptive, 1 None .. 5 Paeth
    int32_t ImageBits = 0;
    uint8_t* BestRow = nullptr;        // filter byte + filtered row; compressed
    uint8_t* TrialRow = nullptr;
    int32_t* Histogram = nullptr;      // 256 counters
    // Bytes the whole stream is to take, when the caller knows (-1 when
    // not); set after ZDeflateInit, which clears it, and read by the first
    // write. At the default level with libdeflate built in, a known size is
    // gathered in one allocation, and a stream too big to gather whole goes
    // through zlib from its first byte.
    int64_t ExpectedIn = -1;
    // At the default level with libdeflate built in: the stream's bytes,
    // gathered until the finish compresses them at once.
    TZWholeDeflate* Whole = nullptr;
};

// The engine chosen at build time for the default level (zlib or
// libdeflate); every other level runs on zlib.
const char* ZDeflateEngine();

int32_t ZDeflateInit(TZDeflateRec& rec, int32_t level, int32_t bufSize);
int32_t ZDeflateWrite(TZDeflateRec& rec, const uint8_t* src, int32_t count);
int32_t ZDeflateWriteRow(TZDeflateRec& rec);
int32_t ZDeflateFinish(TZDeflateRec& rec);
void ZDeflateEnd(TZDeflateRec& rec);

// Fills BestRow with the filter type and the filtered CurRow, by FilterMode.
void ChooseFilter(TZDeflateRec& rec);
// Compressibility score of a filtered row of RowSize bytes; -1 is decisive.
int32_t ScoreRow(TZDeflateRec& rec, const uint8_t* row);
// The same score of a filtered row of n bytes (filter byte included), with
// the weights for pixels below one byte where belowByte; -1 is decisive.
// histogram is room for 256 counters, or null for room on the stack.
double FilteredRowScore(const uint8_t* row, size_t n, bool belowByte, int32_t* histogram);
