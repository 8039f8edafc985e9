// Runs the built banktool on bank files written by hand.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/BanktoolRunner.h"

namespace {

class BanktoolTest : public BanktoolRunner {};

TEST_F(BanktoolTest, FieldsOfEveryLineEnding) {
    // 一石二鳥,いっせきにちょう and a line whose kanji ends in trail byte 0x5C (表).
    const std::string record = "\x88\xea\x90\xce\x93\xf1\x92\xb9,\x82\xa2\x82\xc1\x82\xb9\x82\xab";
    const std::string lines[] = {record, "\"a, b\",\x95\x5c,  c ", "x,"};
    const std::string expected =
        "[\"一石二鳥\",\"いっせき\"]\n"
        "[\"a, b\",\"表\",\"c\"]\n"
        "[\"x\",\"\"]\n";
    struct Case {
        const char* name;
        const char* eol;
    };
    for (const Case& c : {Case{"crlf", "\r\n"}, Case{"lf", "\n"}, Case{"cr", "\r"}}) {
        SCOPED_TRACE(c.name);
        const std::string path = Write(std::string(c.name) + ".dat", lines[0] + c.eol + lines[1] + c.eol + lines[2] + c.eol);
        const ToolRun r = Tool("fields '" + path + "'");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(BanktoolTest, EmptyLinesRepeatThePreviousFields) {
    const std::string path = Write("gaps.dat", "\r\na,b\r\n\r\nc\r\n   \r\n");
    const ToolRun r = Tool("fields '" + path + "'");
    EXPECT_EQ(r.exitCode, 0);
    // An empty line keeps the fields; a line of blanks has none.
    EXPECT_EQ(r.out, "[]\n[\"a\",\"b\"]\n[\"a\",\"b\"]\n[\"c\"]\n[]\n");
}

TEST_F(BanktoolTest, EscapesJsonAndReplacesInvalidBytes) {
    const std::string path = Write("odd.dat", "\"q\"\"\\\",\x01x,\x82\r\n");
    const ToolRun r = Tool("fields '" + path + "'");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "[\"q\\\"\\\\\",\"x\",\"\xef\xbf\xbd\"]\n");
}

TEST_F(BanktoolTest, BackslashPathsWork) {
    Write("four.dat", "a\n");
    const ToolRun r = Tool("fields '" + dir_ + "\\four.dat'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "[\"a\"]\n");
}

TEST_F(BanktoolTest, MissingFilePrintsTheOpenError) {
    const ToolRun r = Tool("fields '" + dir_ + "/x/../none.dat'");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ファイル \"" + dir_ + "/none.dat\". No such file or directory は開けません\n");
}

TEST_F(BanktoolTest, BadCommandLinesShowUsage) {
    for (const std::string args : {"", "fields", "nonsense x", "fields a b"}) {
        SCOPED_TRACE(args);
        const ToolRun r = Tool(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: banktool"), std::string::npos);
    }
}

}  // namespace
