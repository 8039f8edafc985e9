// String lists and the text rules of the question banks: lines, delimited
// fields with quoting, character-aware searching, trimming, replacing and
// comparing. Every text is Shift-JIS bytes; double-byte characters are
// never split by the character-aware operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// An ordered, unsorted list of texts numbered from 0, with the delimiter
// and quote bytes that ParseDelimited uses.
class TStringList {
public:
    char Delimiter = ',';
    char QuoteChar = '"';

    int32_t Count() const { return int32_t(items_.size()); }
    const std::vector<std::string>& Items() const { return items_; }
    void Add(std::string item);
    void Clear() { items_.clear(); }
    // Replaces all items at once.
    void SetItems(std::vector<std::string> items);

private:
    std::vector<std::string> items_;
};

// Position meaning "not found" for the searches.
constexpr size_t kNotFound = std::string_view::npos;

enum class TByteKind { Single, Lead, Trail };

// The position of the next character after p: p itself at the end, p + 2
// at a lead byte that is not the last byte, p + 1 otherwise.
size_t NextChar(std::string_view text, size_t p);

// What the byte at i is, counting character boundaries from s (s <= i).
TByteKind ByteKind(std::string_view text, size_t s, size_t i);

// The first position from s on holding byte b as a character of its own,
// or kNotFound.
size_t FindByte(std::string_view text, size_t s, char b);

// The first position from s on where pattern starts on a character
// boundary (counted from s), or kNotFound; an empty text or pattern is
// never found.
size_t FindText(std::string_view text, size_t s, std::string_view pattern);

// The lines of a text: CR LF, CR and LF each end one line, a final break
// adds no empty line, and a zero byte ends the text.
std::vector<std::string> SplitLines(std::string_view text);

// Replaces the items of list by the lines of the file at path (folders
// may be separated by '\'). Raises FileOpenError, leaving list unchanged,
// when the file cannot be opened.
void LoadLines(TStringList& list, const std::string& path);

// Reads the quoted field whose opening quote is at pos; a doubled quote
// stands for one. Leaves pos after the closing quote; without one the
// field runs to the end of the text.
std::string ReadQuoted(std::string_view text, size_t& pos, char quote);

// Replaces the items of list by the fields of text, split at the list's
// delimiter byte and at blanks outside quotes. A zero byte ends the text.
void ParseDelimited(TStringList& list, std::string_view text);

// A copy of item n; raises ListIndexError when n is outside the list.
std::string ItemAt(const TStringList& list, int32_t n);

// The text without its leading and trailing bytes 0x00 to 0x20.
std::string TrimBlanks(std::string_view text);

// The text with every character-aligned occurrence of pattern replaced;
// the replacement is never searched again.
std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement);

// Byte-exact equality: no folding of case, width or anything else.
bool SameBytes(std::string_view a, std::string_view b);

// The message as the error box shows it: with "." appended when its last
// character sorts after "." byte by byte.
std::string ErrorBoxText(const std::string& message);
