// Character stepping, character-aware searches, trimming, replacing,
// comparing, list access and the error box's full stop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/ShiftJis.h"
#include "text/TextList.h"
#include "tests/SjisText.h"

namespace {

TEST(NextChar, StepsByWholeCharacters) {
    struct Case {
        const char* name;
        std::string text;
        size_t from, to;
    };
    const std::vector<Case> cases = {
        {"single byte", "ab", 0, 1},
        {"lead byte", "\x82\xa0" "b", 0, 2},
        {"lead byte as last byte", "a\x82", 1, 2},
        {"at the end stays", "ab", 2, 2},
        {"empty text", "", 0, 0},
        {"half-width katakana is single", "\xb1\xb2", 0, 1},
        {"lead value 0xFC", "\xfc\x40", 0, 2},
        {"0xFD is single", "\xfd\x40", 0, 1},
        {"0x80 and 0xA0 are single", "\x80\xa0", 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NextChar(c.text, c.from), c.to);
    }
}

TEST(ByteKind, CountsLeadRunsFromTheStart) {
    struct Case {
        const char* name;
        std::string text;
        size_t s, i;
        TByteKind expected;
    };
    // 0x82 0x81 0x40: full-width a, then the ASCII byte 0x40.
    const std::string aThenAt = "\x82\x81\x40";
    const std::vector<Case> cases = {
        {"end of text", "ab", 0, 2, TByteKind::Single},
        {"start, ascii", "ab", 0, 0, TByteKind::Single},
        {"start, lead value", "\x82\xa0", 0, 0, TByteKind::Lead},
        {"start counts as a boundary even on a trail", "\x82\xa0", 1, 1, TByteKind::Single},
        {"trail after lead", "\x82\xa0", 0, 1, TByteKind::Trail},
        {"ascii-looking trail", "\x95\x5c", 0, 1, TByteKind::Trail},
        {"lead-valued trail", aThenAt, 0, 1, TByteKind::Trail},
        {"byte after a lead-valued trail", aThenAt, 0, 2, TByteKind::Single},
        {"lead after a full character", "\x82\xa0\x82\xa2", 0, 2, TByteKind::Lead},
        {"even run from a later start", "\x82\x82\x82\x40", 1, 3, TByteKind::Single},
        {"odd run from a later start", "\x82\x82\x82\x40", 0, 3, TByteKind::Trail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ByteKind(c.text, c.s, c.i), c.expected);
    }
}

TEST(FindByte, SkipsBytesInsideDoubleByteCharacters) {
    struct Case {
        const char* name;
        std::string text;
        size_t s;
        char b;
        size_t expected;
    };
    const std::vector<Case> cases = {
        {"plain", "abc", 0, 'c', 2},
        {"missing", "abc", 0, 'x', kNotFound},
        {"from the start position", "a,b,c", 2, ',', 3},
        {"trail 0x5C skipped", "\x95\x5c\\", 0, '\\', 2},
        {"only a trail 0x5C", "\x95\x5c", 0, '\\', kNotFound},
        {"trail quote skipped", "\x82\x22\"", 0, '"', 2},
        {"lead value found as lead is skipped", "\x82\x82\x81", 0, '\x82', kNotFound},
        {"lead-valued trail skipped", "\x82\x81\x40@", 0, '@', 2},
        {"start inside a character counts as a boundary", "\x95\x5c", 1, '\\', 1},
        {"start past the end", "ab", 5, 'a', kNotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindByte(c.text, c.s, c.b), c.expected);
    }
}

TEST(FindText, MatchesOnlyOnCharacterBoundaries) {
    struct Case {
        const char* name;
        std::string text;
        size_t s;
        std::string pattern;
        size_t expected;
    };
    const std::vector<Case> cases = {
        {"plain", "hello", 0, "ll", 2},
        {"empty pattern", "abc", 0, "", kNotFound},
        {"empty text", "", 0, "a", kNotFound},
        {"full-width space after full-width a is no match", "\x82\x81\x40", 0, "\x81\x40", kNotFound},
        {"second occurrence on a boundary", "\x82\x81\x40\x81\x40", 0, "\x81\x40", 3},
        {"case-sensitive", "ABC", 0, "b", kNotFound},
        {"pattern longer than text", "ab", 0, "abc", kNotFound},
        {"from a later start", "abab", 1, "ab", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindText(c.text, c.s, c.pattern), c.expected);
    }
}

TEST(ReplaceAll, ReplacesCharacterAlignedOccurrences) {
    const std::string zs = "\x81\x40";  // full-width space
    const std::string hiragana = Sjis(u8"ひらがな");
    struct Case {
        const char* name;
        std::string text, pattern, replacement, expected;
    };
    const std::vector<Case> cases = {
        {"full-width spaces to ascii", zs + hiragana + zs, zs, " ", " " + hiragana + " "},
        {"trail byte hides a full-width space", "\x82\x81\x40", zs, " ", "\x82\x81\x40"},
        {"empty text", "", zs, " ", ""},
        {"empty pattern", "abc", "", "x", "abc"},
        {"replacement is not searched again", "aa", "a", "aa", "aaaa"},
        {"removal", "a-b-c", "-", "", "abc"},
        {"adjacent occurrences", "xxxx", "xx", "y", "yy"},
        {"no occurrence", "abc", "d", "x", "abc"},
        {"case-sensitive", "aAa", "A", "b", "aba"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ReplaceAll(c.text, c.pattern, c.replacement), c.expected);
    }
}

TEST(TrimBlanks, RemovesLowBytesAtBothEnds) {
    struct Case {
        const char* name;
        std::string text, expected;
    };
    const std::vector<Case> cases = {
        {"tab space a cr", "\t a\r", "a"},
        {"spaces only", "   ", ""},
        {"empty", "", ""},
        {"inner blanks stay", " a b ", "a b"},
        {"zero bytes trimmed", std::string("\0a\0", 3), "a"},
        {"full-width space stays", "\x81\x40" "a\x81\x40", "\x81\x40" "a\x81\x40"},
        {"0x21 stays", "!a!", "!a!"},
        {"high bytes stay", "\xa0", "\xa0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TrimBlanks(c.text), c.expected);
    }
}

TEST(SameBytes, FoldsNothing) {
    EXPECT_TRUE(SameBytes("abc", "abc"));
    EXPECT_TRUE(SameBytes("", ""));
    EXPECT_FALSE(SameBytes("abc", "ABC"));
    EXPECT_FALSE(SameBytes(Sjis(u8"ＡＢＣ"), "ABC"));
    EXPECT_FALSE(SameBytes("abc", "abc "));
    EXPECT_FALSE(SameBytes(std::string("a\0", 2), "a"));
    EXPECT_FALSE(SameBytes("\x82\xa0", "\x82\xa1"));
}

TEST(ItemAt, CopiesOrRaisesWithTheIndex) {
    TStringList list;
    for (const char* s : {"a", "b", "c", "d", "e"}) list.Add(s);
    EXPECT_EQ(ItemAt(list, 0), "a");
    EXPECT_EQ(ItemAt(list, 4), "e");
    struct Case {
        int32_t index;
        std::string message;
    };
    const std::vector<Case> cases = {
        {5, Sjis(u8"リストのインデックスが範囲を超えています (5)")},
        {-1, Sjis(u8"リストのインデックスが範囲を超えています (-1)")},
        {INT32_MIN, Sjis(u8"リストのインデックスが範囲を超えています (-2147483648)")},
        {INT32_MAX, Sjis(u8"リストのインデックスが範囲を超えています (2147483647)")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        try {
            ItemAt(list, c.index);
            ADD_FAILURE() << "no error raised";
        } catch (const ListIndexError& e) {
            EXPECT_SJIS_EQ(e.message(), c.message);
        }
    }
    EXPECT_THROW(ItemAt(TStringList(), 0), ListIndexError);
}

TEST(ErrorBoxText, AppendsAFullStopAfterCharactersSortingAfterIt) {
    struct Case {
        const char* name;
        std::string message, shown;
    };
    const std::string openError = Sjis(u8"ファイル \"/x\". No such file or directory は開けません");
    const std::vector<Case> cases = {
        {"double-byte last character", openError, openError + "."},
        {"closing parenthesis", "(5)", "(5)"},
        {"already a full stop", "done.", "done."},
        {"letter", "abc", "abc."},
        {"digit", "x1", "x1."},
        {"slash sorts after", "a/", "a/."},
        {"hyphen sorts before", "a-", "a-"},
        {"empty", "", ""},
        {"half-width katakana", "\xb1", "\xb1."},
        {"double-byte whose trail has a lead value", "\x82\x81", "\x82\x81."},
        {"lone lead byte at the end", "a\x82", "a\x82."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorBoxText(c.message), c.shown);
    }
}

}  // namespace
