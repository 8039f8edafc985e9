#include "platform/WindowPlacement.h"

#include <algorithm>

namespace {

// One axis: the far edge is pulled in first, then the near edge wins.
int32_t PlaceOnAxis(int32_t design, int32_t extent, int32_t low, int32_t high) {
    return std::max(low, std::min(design, high - extent));
}

}  // namespace

TPoint PlaceInside(TPoint design, TSize frame, const TRect& available) {
    return {PlaceOnAxis(design.X, frame.cx, available.Left, available.Right),
            PlaceOnAxis(design.Y, frame.cy, available.Top, available.Bottom)};
}
