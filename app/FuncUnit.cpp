#include "app/FuncUnit.h"

void SetBorderIcons(TWindowStyleTarget& window, int flags) {
    uint32_t style = window.GetWindowStyle() & ~(WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
    if (flags & 1) style |= WS_MINIMIZEBOX;
    if (flags & 2) style |= WS_MAXIMIZEBOX;
    window.SetWindowStyle(style);
}
