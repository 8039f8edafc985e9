// Undoing a PNG row filter once the row has been inflated.
#pragma once

#include <cstdint>

// Undoes filter row[0] on row[1 .. rowSize - 1] against prev[1 ..];
// bpp is bytes per complete pixel (at least 1). 0, or -1 for a type
// above 4 (the row is then unchanged).
int32_t UnfilterRow(uint8_t* row, const uint8_t* prev, int32_t rowSize, int32_t bpp);

// Clears the upper halves of the vector registers after wide-vector code
// (the fast inflate, the C library's copies). Until they are cleared,
// every SSE instruction of the row filters and converters carries a merge
// with them: measured, that made undoing the filters about twice as slow.
void ClearUpperVectorHalves();
