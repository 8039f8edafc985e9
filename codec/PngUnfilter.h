// Undoing a PNG row filter once the row has been inflated.
#pragma once

#include <cstdint>

// Undoes filter row[0] on row[1 .. rowSize - 1] against prev[1 ..];
// bpp is bytes per complete pixel (at least 1). 0, or -1 for a type
// above 4 (the row is then unchanged).
int32_t UnfilterRow(uint8_t* row, const uint8_t* prev, int32_t rowSize, int32_t bpp);

// Undoes the filters of count consecutive rows of rowSize bytes from rows
// on, prev being the row above the first. The rows undone before the
// first with a type above 4, which is left unchanged: count when none is.
// The same bytes as UnfilterRow row by row, in less time: runs of Average
// rows are undone two at a time.
int64_t UnfilterRows(uint8_t* rows, const uint8_t* prev, int32_t rowSize, int32_t bpp, int64_t count);

// Clears the upper halves of the vector registers after wide-vector code
// (the fast inflate, the C library's copies). Until they are cleared,
// every SSE instruction of the row filters and converters carries a merge
// with them: measured, that made undoing the filters about twice as slow.
void ClearUpperVectorHalves();
