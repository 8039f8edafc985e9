// Text of PNG text chunks: tEXt holds Latin-1, iTXt UTF-8; the picture's
// comment is UTF-8.
#pragma once

#include <string>
#include <string_view>

// Every byte as the Latin-1 character it stands for.
std::string Latin1ToUtf8(std::string_view latin1);

// The Latin-1 bytes of a UTF-8 text; false when the text is not valid
// UTF-8 or holds a character beyond U+00FF.
bool Utf8ToLatin1(std::string_view utf8, std::string& latin1);

bool IsValidUtf8(std::string_view text);

// The compressed text of a zTXt or iTXt chunk (a zlib stream), inflated
// into text; false when the data are damaged, end early, or would inflate
// to more than limit bytes. Text chunks are ancillary: a reader passes
// over one it cannot take rather than failing the image.
bool InflateText(std::string_view compressed, size_t limit, std::string& text);

// Most bytes that a compressed text chunk may inflate to: far beyond any
// real comment, small enough that a crafted chunk costs nothing.
inline constexpr size_t kTextInflateLimit = size_t(1) << 20;

// The keyword and the text, as UTF-8, of the body of a tEXt, zTXt or iTXt
// chunk (type names which); false when the body is malformed or its
// compressed text cannot be inflated within kTextInflateLimit. The key
// is returned as stored (Latin-1), even when the text cannot be read.
bool ReadTextChunk(std::string_view type, std::string_view body, std::string& key, std::string& utf8);
