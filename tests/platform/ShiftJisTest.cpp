// Code page 932 both ways: round trips, the '?' and U+FFFD rules, and the
// UTF-16 forms used at the Qt boundary.
#include <gtest/gtest.h>
#include <gtest/gtest-spi.h>

#include <string>
#include <vector>

#include "platform/ShiftJis.h"
#include "tests/SjisText.h"

namespace {

struct Pair {
    const char* name;
    std::string sjis;
    std::string utf8;
};

TEST(ShiftJis, KnownCharactersBothWays) {
    const std::vector<Pair> cases = {
        {"ascii", "abc ,\"", "abc ,\""},
        {"backslash and tilde stay ascii", "\\~", "\\~"},
        {"hiragana", "\x82\xa0\x82\xa2", "\xe3\x81\x82\xe3\x81\x84"},
        {"full-width space", "\x81\x40", "\xe3\x80\x80"},
        {"trail byte 0x5C", "\x95\x5c\x83\x5c", "\xe8\xa1\xa8\xe3\x82\xbd"},  // 表ソ
        {"half-width katakana", "\xb1\xdf", "\xef\xbd\xb1\xef\xbe\x9f"},
        {"circle and cross", "\x81\x9b\x81\x7e", "\xe2\x97\x8b\xc3\x97"},
        {"nec row 13", "\x87\x40", "\xe2\x91\xa0"},   // circled 1
        {"ibm extension", "\xfa\x40", "\xe2\x85\xb0"}, // small roman 1
        {"empty", "", ""},
        {"zero byte", std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Pair& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SjisToUtf8(c.sjis), c.utf8);
        EXPECT_EQ(Utf8ToSjis(c.utf8), c.sjis);
    }
}

TEST(ShiftJis, EveryValidPairRoundTripsThroughUtf16) {
    // Decoding then encoding gives the same bytes back, except for the
    // duplicates that code page 932 folds onto one preferred form.
    int checked = 0, folded = 0;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (!IsSjisLeadByte(lead)) continue;
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F) continue;
            const std::string sjis{char(lead), char(trail)};
            const std::u16string u = SjisToUtf16(sjis);
            ASSERT_EQ(u.size(), 1u);
            if (u[0] == 0xFFFD) continue;
            ++checked;
            const std::string back = Utf16ToSjis(u);
            ASSERT_EQ(back.size(), 2u) << std::hex << lead << " " << trail;
            if (back != sjis) {
                ++folded;
                EXPECT_EQ(SjisToUtf16(back), u) << std::hex << lead << " " << trail;
            }
        }
    }
    EXPECT_GT(checked, 7000);
    EXPECT_LT(folded, 500);
}

TEST(ShiftJis, InvalidBytesBecomeReplacementCharacters) {
    const std::string fffd = "\xef\xbf\xbd";
    const std::vector<Pair> cases = {
        {"lone lead at the end", "a\x82", "a" + fffd},
        {"lead before a non-trail byte keeps that byte", "\x82\x20" "b", fffd + " b"},
        {"lead before a control byte", "\x82\x0a", fffd + "\n"},
        {"unassigned pair", "\x85\x40", fffd},
        {"byte 0x80", "\x80", fffd},
        {"byte 0xA0", "\xa0", fffd},
        {"bytes 0xFD to 0xFF", "\xfd\xfe\xff", fffd + fffd + fffd},
        {"lead before 0x7F", "\x82\x7f", fffd + "\x7f"},
    };
    for (const Pair& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SjisToUtf8(c.sjis), c.utf8);
    }
}

TEST(ShiftJis, CharactersWithoutAFormBecomeQuestionMarks) {
    const std::vector<Pair> cases = {
        {"emoji outside the basic plane", "a?b", "a\xf0\x9f\x98\x80" "b"},
        {"hangul", "?", "\xea\xb0\x80"},
        {"latin e acute", "?", "\xc3\xa9"},
        {"invalid utf-8 lead", "?x", "\xff" "x"},
        {"truncated sequence", "a??", "a\xe3\x81"},
        {"overlong slash", "??", "\xc0\xaf"},
        {"encoded surrogate", "???", "\xed\xa0\x80"},
        {"stray continuation", "?", "\x80"},
    };
    for (const Pair& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Utf8ToSjis(c.utf8), c.sjis);
    }
}

TEST(ShiftJis, Utf16Forms) {
    EXPECT_EQ(SjisToUtf16("\x95\x5c" "a"), u"表a");
    EXPECT_EQ(Utf16ToSjis(u"表a"), "\x95\x5c" "a");
    EXPECT_EQ(Utf16ToSjis(u"\U0001F600x"), "?x");   // a pair gives one '?'
    EXPECT_EQ(Utf16ToSjis(std::u16string{char16_t(0xD800), u'a'}), "?a");
    EXPECT_EQ(Utf16ToSjis(std::u16string{char16_t(0xDC00)}), "?");
    EXPECT_EQ(SjisToUtf16("\x82"), u"\uFFFD");
}

TEST(ShiftJis, ProgramLiterals) {
    EXPECT_EQ(Sjis(u8"読み"), "\x93\xc7\x82\xdd");
    EXPECT_EQ(Sjis(u8"四字熟語"), "\x8e\x6c\x8e\x9a\x8f\x6e\x8c\xea");
}

}  // namespace

// A failed comparison of Shift-JIS texts shows them as UTF-8, and shows the
// bytes too when a byte is not Shift-JIS and would vanish in the conversion.
TEST(SjisTextFailure, ShowsBothSidesReadably) {
    EXPECT_NONFATAL_FAILURE(EXPECT_SJIS_EQ(Sjis(u8"読み"), Sjis(u8"四字熟語")), "\"読み\"");
    EXPECT_NONFATAL_FAILURE(EXPECT_SJIS_EQ(Sjis(u8"読み"), Sjis(u8"四字熟語")), "\"四字熟語\"");
    EXPECT_NONFATAL_FAILURE(EXPECT_SJIS_EQ(std::string("a\x82"), std::string("a")), "(bytes \"a\\x82\")");
}
