// Shift-JIS (code page 932) to and from Unicode. Used only at the edges:
// Qt drawing and entry, the error box, the tools, and the program's own
// Japanese literals (written as UTF-8 in the sources).
#pragma once

#include <string>
#include <string_view>

// Shift-JIS bytes to UTF-8. Invalid or incomplete sequences become U+FFFD.
std::string SjisToUtf8(std::string_view sjis);
// UTF-8 to Shift-JIS. Characters without a Shift-JIS form become '?'.
// Invalid UTF-8 bytes also become '?'.
std::string Utf8ToSjis(std::string_view utf8);

// UTF-16 forms, for Qt's QString without going through UTF-8.
std::u16string SjisToUtf16(std::string_view sjis);
std::string Utf16ToSjis(std::u16string_view utf16);

// Shorthand for the program's own literals: Sjis(u8"読み").
inline std::string Sjis(std::u8string_view utf8) {
    return Utf8ToSjis(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

// True for the bytes that open a double-byte character (0x81-0x9F, 0xE0-0xFC).
inline bool IsSjisLeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
