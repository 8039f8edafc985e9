// Shift-JIS text in failure messages. GoogleTest prints a std::string as
// its raw bytes, which a UTF-8 terminal turns into noise; EXPECT_SJIS_EQ
// compares byte for byte, as the program does, and shows both sides
// converted to UTF-8 (with the escaped bytes as well when the conversion
// would hide a byte that is not valid Shift-JIS).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/ShiftJis.h"

namespace sjis_text {

inline std::string Shown(std::string_view sjis) {
    const std::string utf8 = SjisToUtf8(sjis);
    std::string shown = "\"" + utf8 + "\"";
    if (Utf8ToSjis(utf8) != sjis) shown += " (bytes " + testing::PrintToString(std::string(sjis)) + ")";
    return shown;
}

inline testing::AssertionResult Equal(const char* actualExpr, const char* expectedExpr,
                                      std::string_view actual, std::string_view expected) {
    if (actual == expected) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "Expected equality of these Shift-JIS texts (shown as UTF-8):\n  " << actualExpr
           << "\n    Which is: " << Shown(actual) << "\n  " << expectedExpr << "\n    Which is: " << Shown(expected);
}

}  // namespace sjis_text

#define EXPECT_SJIS_EQ(actual, expected) EXPECT_PRED_FORMAT2(::sjis_text::Equal, actual, expected)
#define ASSERT_SJIS_EQ(actual, expected) ASSERT_PRED_FORMAT2(::sjis_text::Equal, actual, expected)
