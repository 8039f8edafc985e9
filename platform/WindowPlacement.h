// Where a top-level window goes on a screen: at its design position when
// that keeps it wholly inside the screen's available area, else moved no
// more than needed to lie inside it.
#pragma once

#include "platform/Types.h"

// design: the wanted top-left corner of the window's frame; frame: the
// frame's size, decorations included; available: the screen's area that
// windows may use (Right and Bottom exclusive). A frame larger than the
// area keeps its top-left corner in the area, so that the caption and the
// window's left part stay reachable.
TPoint PlaceInside(TPoint design, TSize frame, const TRect& available);
