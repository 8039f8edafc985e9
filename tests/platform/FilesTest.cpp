// Paths, the executable's folder, the system's error text and whole-file
// reading.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/ShiftJis.h"

namespace {

std::string Cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

TEST(NativePath, TurnsSingleByteBackslashesIntoSlashes) {
    struct Case {
        const char* name;
        std::string path, expected;
    };
    const std::vector<Case> cases = {
        {"bank path", "Question\\four.dat", "Question/four.dat"},
        {"slashes stay", "a/b\\c", "a/b/c"},
        {"UTF-8 kanji folder unchanged", "\xe5\x86\x99\\a", "\xe5\x86\x99/a"},  // 写\a
        {"accent and emoji unchanged", "caf\xc3\xa9/\xf0\x9f\x90\xb1", "caf\xc3\xa9/\xf0\x9f\x90\xb1"},
        {"bytes that are no UTF-8 unchanged", "\x95\xff", "\x95\xff"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(NativePath(c.path), c.expected);
    }
}

TEST(AbsolutePath, ResolvesAgainstTheCurrentFolder) {
    const std::string cwd = Cwd();
    ASSERT_FALSE(cwd.empty());
    const std::string base = cwd == "/" ? "" : cwd;
    struct Case {
        const char* name;
        std::string path, expected;
    };
    const std::vector<Case> cases = {
        {"relative", "a\\b.dat", base + "/a/b.dat"},
        {"dot segments", "./a/./b", base + "/a/b"},
        {"absolute with dot-dot", "/x/y/../z", "/x/z"},
        {"dot-dot above the root", "/../../a", "/a"},
        {"doubled separators", "/a//b\\\\c", "/a/b/c"},
        {"trailing separator kept", "/a/b/", "/a/b/"},
        {"root", "/", "/"},
        {"UTF-8 names kept byte for byte", "/caf\xc3\xa9/\xf0\x9f\x90\xb1", "/caf\xc3\xa9/\xf0\x9f\x90\xb1"},
        {"backslash root", "\\tmp\\x", "/tmp/x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AbsolutePath(c.path), c.expected);
    }
}

TEST(DisplayPath, ShowsAStandInForWhatShiftJisLacks) {
    struct Case {
        const char* name;
        std::string path, expected;
    };
    const std::vector<Case> cases = {
        {"ascii", "/tmp/a b", "/tmp/a b"},
        {"kanji converted", "/\xe5\x86\x99.png", "/\x8e\xca.png"},  // 写
        {"accent lacking", "/caf\xc3\xa9", "/caf?"},
        {"emoji lacking", "/\xf0\x9f\x90\xb1.png", "/?.png"},
        {"invalid UTF-8 byte", "/a\xff" "b", "/a?b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DisplayPath(c.path), c.expected);
    }
}

TEST(ExecutableFolder, EndsWithASeparatorAndHoldsTheTestProgram) {
    const std::string folder = ExecutableFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.front(), '/');
    EXPECT_EQ(folder.back(), '/');
    EXPECT_EQ(access((folder + "platform_tests").c_str(), X_OK), 0) << folder;
}

TEST(OsErrorText, TextOfTheCLibraryTrimmed) {
    setenv("LC_ALL", "C.UTF-8", 1);
    EXPECT_EQ(OsErrorText(ENOENT), "No such file or directory");
    EXPECT_EQ(OsErrorText(EACCES), "Permission denied");
    const std::string unknown = OsErrorText(99999);
    ASSERT_FALSE(unknown.empty());
    EXPECT_GT(static_cast<unsigned char>(unknown.back()), 0x20);
    EXPECT_NE(unknown.back(), '.');
}

TEST(OsErrorText, UnknownLocaleFallsBack) {
    setenv("LC_ALL", "xx_NOWHERE.UTF-8", 1);
    EXPECT_EQ(OsErrorText(ENOENT), "No such file or directory");
    setenv("LC_ALL", "C.UTF-8", 1);
}

TEST(ReadWholeFile, ReadsEveryByte) {
    char tmpl[] = "/tmp/tobelin-files-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i % 253);
    std::ofstream(dir + "/big.bin", std::ios::binary) << data;
    std::ofstream(dir + "/empty.bin", std::ios::binary);
    EXPECT_EQ(ReadWholeFile(dir + "/big.bin"), data);
    EXPECT_EQ(ReadWholeFile(dir + "\\empty.bin"), "");
    EXPECT_THROW(ReadWholeFile(dir + "/none.bin"), FileOpenError);
    EXPECT_THROW(ReadWholeFile(dir), FileOpenError);
    EXPECT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(Clock, MonotonicAndTicksAdvance) {
    const uint64_t a = MonotonicNanoseconds();
    const uint32_t t0 = TickCountMilliseconds();
    usleep(3000);
    const uint64_t b = MonotonicNanoseconds();
    const uint32_t t1 = TickCountMilliseconds();
    EXPECT_NE(a, 0u);
    EXPECT_GE(b - a, 3000000u);
    EXPECT_GE(uint32_t(t1 - t0), 2u);
    EXPECT_LT(uint32_t(t1 - t0), 10000u);
}

}  // namespace
