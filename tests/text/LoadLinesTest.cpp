// Loading bank files: line endings on disk, backslash paths, and the
// open error with its exact message.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/ShiftJis.h"
#include "platform/Streams.h"
#include "text/TextList.h"
#include "tests/SjisText.h"

namespace {

using Lines = std::vector<std::string>;

class LoadLinesTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tobelin-lines-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(mkdir((dir_ + "/Question").c_str(), 0755), 0);
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd_ = cwd;
    }
    void TearDown() override {
        if (chdir(oldCwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << oldCwd_;
        const std::string cmd = "rm -rf '" + dir_ + "'";
        if (std::system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir_;
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string dir_;
    std::string oldCwd_;
};

TEST_F(LoadLinesTest, ReadsEveryLineEnding) {
    const std::string kanji = Sjis(u8"表示,ひょうじ");
    struct Case {
        const char* name;
        std::string bytes;
        Lines expected;
    };
    const std::vector<Case> cases = {
        {"crlf", "a,b\r\n" + kanji + "\r\n", {"a,b", kanji}},
        {"lf", "a,b\n" + kanji + "\n", {"a,b", kanji}},
        {"cr", "a,b\r" + kanji + "\r", {"a,b", kanji}},
        {"mixed with blank lines", "a\r\n\nb\r\rc", {"a", "", "b", "", "c"}},
        {"empty file", "", {}},
        {"zero byte", std::string("a\nb\0c\n", 6), {"a", "b"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TStringList list;
        list.Add("old");
        LoadLines(list, Write("bank.dat", c.bytes));
        EXPECT_EQ(list.Items(), c.expected);
    }
}

TEST_F(LoadLinesTest, AcceptsBackslashSeparators) {
    Write("Question/four.dat", "x\r\ny\r\n");
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    TStringList list;
    LoadLines(list, "Question\\four.dat");
    EXPECT_EQ(list.Items(), (Lines{"x", "y"}));
    LoadLines(list, dir_ + "\\Question\\.\\four.dat");
    EXPECT_EQ(list.Items(), (Lines{"x", "y"}));
}

TEST_F(LoadLinesTest, MissingFileRaisesTheOpenErrorAndKeepsTheList) {
    setenv("LC_ALL", "C.UTF-8", 1);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    TStringList list;
    list.Add("kept");
    try {
        LoadLines(list, "Question\\..\\Question\\none.dat");
        ADD_FAILURE() << "no error raised";
    } catch (const FileOpenError& e) {
        EXPECT_SJIS_EQ(e.message(), Sjis(u8"ファイル \"") + dir_ + "/Question/none.dat\". No such file or directory" +
                                   Sjis(u8" は開けません"));
    }
    EXPECT_EQ(list.Items(), (Lines{"kept"}));
}

TEST_F(LoadLinesTest, FolderAndMissingFolderRaise) {
    setenv("LC_ALL", "C.UTF-8", 1);
    struct Case {
        const char* name;
        std::string path;
        std::string osText;
    };
    const std::vector<Case> cases = {
        {"a folder", dir_ + "/Question", "Is a directory"},
        {"missing folder", dir_ + "/Nothing/four.dat", "No such file or directory"},
        {"file used as folder", Write("plain", "x") + "/four.dat", "Not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TStringList list;
        try {
            LoadLines(list, c.path);
            ADD_FAILURE() << "no error raised";
        } catch (const FileOpenError& e) {
            EXPECT_SJIS_EQ(e.message(), Sjis(u8"ファイル \"") + c.path + "\". " + c.osText + Sjis(u8" は開けません"));
        }
        EXPECT_EQ(list.Count(), 0);
    }
}

TEST_F(LoadLinesTest, FileOpenForWritingElsewhereIsRefused) {
    const std::string path = Write("busy.dat", "a\n");
    TStringList list;
    {
        TFileStream writer(path, TFileStream::fmOpenReadWrite);
        EXPECT_THROW(LoadLines(list, path), FileOpenError);
    }
    {
        // Readers share the file.
        TFileStream reader(path, TFileStream::fmOpenRead);
        LoadLines(list, path);
        EXPECT_EQ(list.Items(), (Lines{"a"}));
    }
}

TEST_F(LoadLinesTest, UnreadableFileRaises) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    const std::string path = Write("secret.dat", "a\n");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    TStringList list;
    EXPECT_THROW(LoadLines(list, path), FileOpenError);
}

}  // namespace
