// The framework's error messages, byte for byte, and object assignment.
#include <gtest/gtest.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Object.h"
#include "platform/ShiftJis.h"
#include "tests/SjisText.h"

namespace {

TEST(Exceptions, FixedMessages) {
    struct Case {
        const char* name;
        std::string message, expected;
    };
    const std::vector<Case> cases = {
        {"read", EReadError().message(), Sjis(u8"ストリームからの読み込みエラー")},
        {"write", EWriteError().message(), Sjis(u8"ストリームへの書き込みエラー")},
        {"memory", EOutOfMemory().message(), Sjis(u8"メモリが不足しています")},
        {"index", ListIndexError(12).message(), Sjis(u8"リストのインデックスが範囲を超えています (12)")},
        {"assign", EConvertError::Assign("TBitmap", "TTavPNG").message(),
         "TBitmap" + Sjis(u8" を ") + "TTavPNG" + Sjis(u8" に代入できません")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.message, c.expected);
    }
    // The message bytes, not a copy, are what what() shows.
    const ListIndexError e(-3);
    EXPECT_STREQ(e.what(), e.message().c_str());
}

TEST(Exceptions, FileOpenErrorMessageShape) {
    setenv("LC_ALL", "C.UTF-8", 1);
    const FileOpenError e("/tmp/a\\..\\Question\\four.dat", ENOENT);
    // "ファイル "/tmp/Question/four.dat". No such file or directory は開けません"
    const std::string expected = "\x83\x74\x83\x40\x83\x43\x83\x8b \"/tmp/Question/four.dat\". "
                                 "No such file or directory \x82\xcd\x8a\x4a\x82\xaf\x82\xdc\x82\xb9\x82\xf1";
    EXPECT_SJIS_EQ(e.message(), expected);
    // A name Shift-JIS cannot write shows a stand-in.
    EXPECT_EQ(FileOpenError("/tmp/caf\xc3\xa9", ENOENT).message().substr(0, 22), "\x83\x74\x83\x40\x83\x43\x83\x8b \"/tmp/caf?\". ");
}

TEST(GuardAlloc, TurnsAllocationFailuresIntoOutOfMemory) {
    EXPECT_THROW(GuardAlloc([]() -> int { throw std::bad_alloc(); }), EOutOfMemory);
    EXPECT_THROW(GuardAlloc([] {
                     std::string s;
                     s.resize(s.max_size() + 1);  // length_error before any allocation
                     return s.size();
                 }),
                 EOutOfMemory);
    EXPECT_EQ(GuardAlloc([] { return 7; }), 7);
}

class TNamed : public TPersistent {
public:
    explicit TNamed(std::string name) : name_(std::move(name)) {}
    std::string ClassName() const override { return name_; }
    std::string value;

protected:
    // Only a TSource knows how to fill another TNamed.
    void AssignTo(TPersistent* dest) override {
        if (auto* named = dynamic_cast<TNamed*>(dest); named && ClassName() == "TSource") {
            named->value = value;
            return;
        }
        TPersistent::AssignTo(dest);
    }

private:
    std::string name_;
};

TEST(Persistent, AssignAsksTheSourceAndReportsBothNames) {
    TNamed source("TSource");
    source.value = "payload";
    TNamed target("TTarget");
    target.Assign(&source);
    EXPECT_EQ(target.value, "payload");

    TNamed other("TOther");
    try {
        target.Assign(&other);
        ADD_FAILURE() << "no error raised";
    } catch (const EConvertError& e) {
        EXPECT_SJIS_EQ(e.message(), "TOther" + Sjis(u8" を ") + "TTarget" + Sjis(u8" に代入できません"));
    }
    try {
        target.Assign(nullptr);
        ADD_FAILURE() << "no error raised";
    } catch (const EConvertError& e) {
        EXPECT_SJIS_EQ(e.message(), "nil" + Sjis(u8" を ") + "TTarget" + Sjis(u8" に代入できません"));
    }
}

}  // namespace
