#include "app/FuncUnit.h"

int32_t SplitFields(const std::string& line, char delimiter, TStringList& list) {
    if (line.empty() || delimiter == '\0') return 0;
    list.Delimiter = delimiter;
    ParseDelimited(list, line);
    return list.Count();
}

void SetBorderIcons(TWindowStyleTarget& window, int flags) {
    uint32_t style = window.GetWindowStyle() & ~(WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
    if (flags & 1) style |= WS_MINIMIZEBOX;
    if (flags & 2) style |= WS_MAXIMIZEBOX;
    window.SetWindowStyle(style);
}
