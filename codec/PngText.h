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
