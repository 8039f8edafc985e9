// SplitFields and the border-icon switch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/FuncUnit.h"
#include "platform/ShiftJis.h"

namespace {

using Fields = std::vector<std::string>;

TEST(SplitFields, SplitsBankLines) {
    const std::string kanji = Sjis(u8"一石二鳥");
    struct Case {
        const char* name;
        std::string line;
        Fields expected;
    };
    const std::vector<Case> cases = {
        {"four-choice record", kanji + "," + Sjis(u8"いっせきにちょう") + ",a,b",
         {kanji, Sjis(u8"いっせきにちょう"), "a", "b"}},
        {"quoted comma", "\"a,b\",c", {"a,b", "c"}},
        {"lead byte takes the comma", "\x82\x2c\x41", {"\x82\x2c\x41"}},
        {"trailing comma", "x,", {"x", ""}},
        {"blank-only line", "   ", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TStringList list;
        EXPECT_EQ(SplitFields(c.line, ',', list), int32_t(c.expected.size()));
        EXPECT_EQ(list.Items(), c.expected);
        EXPECT_EQ(list.Delimiter, ',');
    }
}

TEST(SplitFields, EmptyLineOrZeroDelimiterLeavesTheListAlone) {
    TStringList list;
    list.Delimiter = ';';
    ASSERT_EQ(SplitFields("a;b", ';', list), 2);
    EXPECT_EQ(SplitFields("", ',', list), 0);
    EXPECT_EQ(list.Items(), (Fields{"a", "b"}));
    EXPECT_EQ(list.Delimiter, ';');
    EXPECT_EQ(SplitFields("c,d", '\0', list), 0);
    EXPECT_EQ(list.Items(), (Fields{"a", "b"}));
    EXPECT_EQ(list.Delimiter, ';');
}

TEST(SplitFields, SetsTheDelimiterItIsGiven) {
    TStringList list;
    EXPECT_EQ(SplitFields("a,b;c", ';', list), 2);
    EXPECT_EQ(list.Items(), (Fields{"a,b", "c"}));
    EXPECT_EQ(list.Delimiter, ';');
}

class FakeWindow : public TWindowStyleTarget {
public:
    explicit FakeWindow(uint32_t style) : style_(style) {}
    uint32_t GetWindowStyle() const override { return style_; }
    void SetWindowStyle(uint32_t style) override {
        style_ = style;
        ++writes;
    }
    int writes = 0;

private:
    uint32_t style_;
};

TEST(SetBorderIcons, MapsTheTwoBitsAndKeepsTheRest) {
    constexpr uint32_t other = 0x00C00000 | 0x00080000;  // caption, system menu
    struct Case {
        const char* name;
        uint32_t before;
        int flags;
        uint32_t after;
    };
    const std::vector<Case> cases = {
        {"none from both", other | WS_MINIMIZEBOX | WS_MAXIMIZEBOX, 0, other},
        {"minimise only", other | WS_MAXIMIZEBOX, 1, other | WS_MINIMIZEBOX},
        {"maximise only", other | WS_MINIMIZEBOX, 2, other | WS_MAXIMIZEBOX},
        {"both from none", other, 3, other | WS_MINIMIZEBOX | WS_MAXIMIZEBOX},
        {"higher flag bits ignored", other, 4 | 8, other},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeWindow w(c.before);
        SetBorderIcons(w, c.flags);
        EXPECT_EQ(w.GetWindowStyle(), c.after);
        EXPECT_EQ(w.writes, 1);
    }
}

}  // namespace
