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
    EXPECT_EQ(r.err, "banktool: cannot open " + dir_ + "/x/../none.dat: No such file or directory\n");
}

TEST_F(BanktoolTest, BadCommandLinesShowUsage) {
    for (const std::string args : {"", "fields", "nonsense x", "fields a b", "fields --kind four x", "--bogus",
                                   "fields --"}) {
        SCOPED_TRACE(args);
        const ToolRun r = Tool(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: banktool"), std::string::npos);
    }
}

TEST_F(BanktoolTest, ConventionalOptions) {
    Write("-dash.dat", "a\n");
    Write("four.dat", "a\n");
    struct Case {
        const char* name;
        std::string args;
        int exitCode;
        std::string outStart, err;
    };
    const Case cases[] = {
        {"help", "--help", 0, "usage: banktool", ""},
        {"version", "--version", 0, "banktool ", ""},
        {"a leading dash after --", "fields -- '" + dir_ + "/-dash.dat'", 0, "[\"a\"]", ""},
        {"--opt=value after the file", "check '" + dir_ + "/four.dat' --kind=yomi -n", 1, dir_ + "/four.dat", ""},
        {"a guessed kind is said", "check -n '" + dir_ + "/four.dat'", 1, dir_ + "/four.dat",
         "banktool: " + dir_ + "/four.dat: checked as a four bank, guessed from its name (--kind says otherwise)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ToolRun r = Tool(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.out.rfind(c.outStart, 0), 0u) << r.out;
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(BanktoolTest, OutputThatCannotBeWrittenFails) {
    const std::string path = Write("four.dat", "a\n");
    const int status = std::system(("'" + kTool + "' fields '" + path + "' >/dev/full 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

}  // namespace
