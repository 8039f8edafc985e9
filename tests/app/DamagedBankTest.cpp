// Damaged question banks: binary bytes, broken Shift-JIS, lone lead bytes,
// lines of a megabyte, a million lines, and banks that vanish or cannot be
// read while a drill is open. Each shows its question or its error box,
// and the program goes on: Escape reaches the menu and the next key works.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>

#include "platform/Files.h"
#include "tests/app/AppTestSupport.h"

namespace apptest {
namespace {

namespace fs = std::filesystem;

constexpr TColor Blue = 0xFF0000;
constexpr TColor Red = 0x0000FF;

// Screen outcomes: no error, or the list-index error of the first answer
// that the shuffle hands out (field Order[0] + 2), or a field number.
constexpr int kNone = -1;
constexpr int kFirstAnswer = -2;

constexpr size_t kMegabyte = size_t(1) << 20;

// Timing bounds are for an optimised build; instrumented or unoptimised
// builds get more room.
#if defined(__SANITIZE_ADDRESS__) || !defined(NDEBUG)
constexpr double kSlowBuild = 6.0;
#else
constexpr double kSlowBuild = 1.0;
#endif

struct DrillInfo {
    const char* name;
    int menuLine;
    uint8_t mode;
    const char* file;
};
const DrillInfo kIdiom{"idiom", 0, 1, "four.dat"};
const DrillInfo kReading{"reading", 2, 2, "tanbun_yomi.dat"};
const DrillInfo kDrills[] = {kIdiom, kReading};

using Fields = std::vector<std::string>;

Fields CleanIdiom() {
    return {U(u8"□□多難"), U(u8"多事多難"), U(u8"多事"), U(u8"他事"), U(u8"多時"), U(u8"多字"), U(u8"たじたなん"),
            U(u8"事件や困難が多いこと。")};
}
Fields CleanReading() { return {U(u8"努力が[漸]く実を結んだ。"), U(u8"ようや")}; }
Fields Clean(const DrillInfo& d) { return d.mode == 1 ? CleanIdiom() : CleanReading(); }

std::string Join(const Fields& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + fields[i];
    return line;
}

// A bank of two lines: a clean record on line 0, the damaged line 1 and
// whatever follows it (its line break, or none, or trailing bytes). The
// drill opens on line 1 when started with QuestionIndex 0 and moves to the
// clean line 0 with the next question.
std::string TwoLines(const DrillInfo& d, const std::string& damaged, const std::string& tail = "\r\n") {
    return Join(Clean(d)) + "\r\n" + damaged + tail;
}

void WriteBytes(const fs::path& file, const std::string& bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << file;
}

std::string Repeat(const std::string& unit, size_t bytes) {
    std::string s;
    s.reserve(bytes + unit.size());
    while (s.size() < bytes) s += unit;
    return s;
}

// Bytes from a fixed seed; every value passes the filter.
std::string RandomBytes(uint32_t seed, size_t n, const std::function<bool(unsigned char)>& allowed) {
    std::mt19937 gen(seed);
    std::string s;
    while (s.size() < n) {
        const auto b = static_cast<unsigned char>(gen() & 0xFF);
        if (allowed(b)) s.push_back(char(b));
    }
    return s;
}

bool AnyByte(unsigned char) { return true; }

// Bytes that stay inside one field: no blank, comma, quote or zero byte.
bool FieldByte(unsigned char b) { return b > 0x20 && b != ',' && b != '"'; }

// A field of random bytes that ends in an ASCII letter, so that no lead
// byte can take the comma after it as its second byte.
std::string RandomField(uint32_t seed, size_t n) { return RandomBytes(seed, n, FieldByte) + "x"; }

Fields RandomFields(uint32_t seed, int count) {
    Fields f;
    for (int i = 0; i < count; ++i) f.push_back(RandomField(seed * 31 + uint32_t(i), 40));
    return f;
}

std::string ListIndexText(int n) { return U(u8"リストのインデックスが範囲を超えています (") + std::to_string(n) + ")"; }

std::string FileOpenText(const fs::path& file, int err) {
    return U(u8"ファイル \"") + file.string() + "\". " + OsErrorText(err) + U(u8" は開けません") + ".";
}

// True for the text of a list-index error of any line.
bool IsListIndexText(const std::string& text) {
    const std::string head = ListIndexText(0).substr(0, ListIndexText(0).size() - 2);
    if (text.size() < head.size() + 2 || text.compare(0, head.size(), head) != 0 || text.back() != ')') return false;
    const std::string number = text.substr(head.size(), text.size() - head.size() - 1);
    size_t start = number.size() > 1 && number[0] == '-' ? 1 : 0;
    return number.find_first_not_of("0123456789", start) == std::string::npos && start < number.size();
}

// What one drill makes of a damaged bank: the fields of line 1 and the
// list-index errors of its question and answer screens.
struct DrillCase {
    std::string bank;
    Fields fields;
    int questionError = kNone;
    int answerError = kNone;
    bool cleanNext = true;  // the next question is the clean line 0
};

struct DamagedCase {
    std::string name;
    DrillCase idiom;
    DrillCase reading;
};

std::vector<DamagedCase> DamagedBanks() {
    std::vector<DamagedCase> cases;
    const std::string garbage = RandomBytes(7, 4096, AnyByte);

    {
        // Nothing before the zero byte: an empty bank.
        DrillCase c{std::string(1, '\0') + garbage, {}, 0, 0, false};
        cases.push_back({"binary file starting with a zero byte", c, c});
    }
    {
        // Every byte value after the zero byte is ignored.
        DamagedCase k{"binary bytes after a zero byte", {}, {}};
        k.idiom = {TwoLines(kIdiom, Join(CleanIdiom()), std::string("\r\n\0", 3) + garbage), CleanIdiom()};
        k.reading = {TwoLines(kReading, Join(CleanReading()), std::string("\0", 1) + garbage), CleanReading()};
        cases.push_back(k);
    }
    {
        const Fields idiom = RandomFields(11, 8);
        const Fields reading = RandomFields(12, 2);
        cases.push_back({"binary fields of random bytes", {TwoLines(kIdiom, Join(idiom)), idiom},
                         {TwoLines(kReading, Join(reading)), reading}});
    }
    {
        // One long field: the idiom drill misses its first answer, the
        // reading drill its reading.
        const std::string line = RandomField(13, 3000);
        cases.push_back({"binary line without a comma", {TwoLines(kIdiom, line), {line}, kFirstAnswer, 6},
                         {TwoLines(kReading, line), {line}, kNone, 1}});
    }
    {
        // Bytes that are no character of code page 932 on their own.
        Fields idiom = CleanIdiom();
        idiom[0] = "\x80" + idiom[0] + "\xA0";
        idiom[2] += "\xFD";
        idiom[6] = "\xFE" + idiom[6];
        idiom[7] += "\xFF\x80\xA0";
        Fields reading = CleanReading();
        reading[0] = U(u8"努力が[") + "\x80" + U(u8"漸") + "\xFF]" + U(u8"く実を結んだ。") + "\xFD";
        reading[1] = U(u8"よう") + "\xFE" + U(u8"や");
        cases.push_back({"lone trail bytes and bytes 0xFD to 0xFF", {TwoLines(kIdiom, Join(idiom)), idiom},
                         {TwoLines(kReading, Join(reading)), reading}});
    }
    {
        // A lead byte with a second byte that cannot follow it.
        Fields idiom = CleanIdiom();
        idiom[0] += "\x81\x7F";
        idiom[3] = "\x9F\x3F" + idiom[3];
        Fields reading = CleanReading();
        reading[0] = "\x81\x7F" + reading[0];
        reading[1] += "\xE0\x3F";
        cases.push_back({"lead bytes with invalid second bytes", {TwoLines(kIdiom, Join(idiom)), idiom},
                         {TwoLines(kReading, Join(reading)), reading}});
    }
    {
        // Line breaks are found byte by byte: the lead byte stays alone at
        // the end of the last field.
        Fields idiom = CleanIdiom();
        idiom[7] += "\x82";
        Fields reading = CleanReading();
        reading[1] += "\x82";
        cases.push_back({"lone lead byte at the end of a line",
                         {TwoLines(kIdiom, Join(idiom)), idiom},
                         {TwoLines(kReading, Join(reading), "\n"), reading}});
    }
    {
        Fields idiom = CleanIdiom();
        idiom[7] += "\x9F";
        Fields reading = CleanReading();
        reading[1] += "\xFC";
        cases.push_back({"lone lead byte at the end of the file",
                         {TwoLines(kIdiom, Join(idiom), ""), idiom},
                         {TwoLines(kReading, Join(reading), ""), reading}});
    }
    {
        // A lead byte right before a comma takes the comma: one field less.
        Fields idiom = CleanIdiom();
        idiom[0] += "\x82";
        Fields merged = idiom;
        merged[0] = idiom[0] + "," + idiom[1];
        merged.erase(merged.begin() + 1);
        Fields reading = CleanReading();
        reading[0] += "\x82";
        cases.push_back({"lone lead byte before a comma",
                         {TwoLines(kIdiom, Join(idiom)), merged, kNone, 7},
                         {TwoLines(kReading, Join(reading)), {Join(reading)}, kNone, 1}});
    }
    {
        // A quote that never closes takes the rest of the line.
        Fields idiom = CleanIdiom();
        Fields reading = CleanReading();
        cases.push_back({"quote never closed",
                         {TwoLines(kIdiom, "\"" + Join(idiom)), {Join(idiom)}, kFirstAnswer, 6},
                         {TwoLines(kReading, "\"" + Join(reading)), {Join(reading)}, kNone, 1}});
    }
    {
        Fields idiom = CleanIdiom();
        idiom[0] = Repeat(U(u8"漢"), kMegabyte);
        Fields reading = CleanReading();
        reading[0] = U(u8"[漸]") + Repeat(U(u8"漢"), kMegabyte);
        cases.push_back({"line of a megabyte in field 0", {TwoLines(kIdiom, Join(idiom)), idiom},
                         {TwoLines(kReading, Join(reading)), reading}});
    }
    {
        Fields idiom = CleanIdiom();
        idiom[7] = Repeat(U(u8"字"), kMegabyte);
        Fields reading = CleanReading();
        reading[1] = Repeat(U(u8"よ"), kMegabyte);
        cases.push_back({"line of a megabyte in the last field", {TwoLines(kIdiom, Join(idiom)), idiom},
                         {TwoLines(kReading, Join(reading)), reading}});
    }
    return cases;
}

class DamagedBankTest : public FormTest {
protected:
    fs::path Bank(const DrillInfo& d) const { return folder / "Question" / d.file; }

    // Back to the menu, then into the drill with QuestionIndex 0.
    void Start(const DrillInfo& d) {
        Escape();
        QuestionIndex = 0;
        MenuCursor = d.menuLine;
        Enter();
    }

    // The screen the last key drew: one new box with the list-index error
    // `error`, or no box and the record's fields in FieldList.
    void ExpectScreen(const char* screen, size_t boxesBefore, int error, const Fields& fields) {
        SCOPED_TRACE(screen);
        if (error == kNone) {
            ASSERT_EQ(boxes.size(), boxesBefore) << boxes.back().text.substr(0, 200);
            ASSERT_EQ(FieldList->Count(), int32_t(fields.size()));
            for (size_t i = 0; i < fields.size(); ++i) {
                SCOPED_TRACE(i);
                EXPECT_TRUE(ItemAt(*FieldList, int32_t(i)) == fields[i]);
            }
            EXPECT_GT(CountNotColor(*Backbuffer, TRect{0, 0, 640, 480}, clBlack), 0);
        } else {
            ASSERT_EQ(boxes.size(), boxesBefore + 1);
            const int expected = error == kFirstAnswer ? ChoiceOrder->Order[0] + 2 : error;
            EXPECT_EQ(boxes.back().text, ListIndexText(expected));
        }
    }

    // Escape reaches the menu, the cursor keys move it, and no box comes.
    void ExpectMenuWorks(const DrillInfo& d) {
        const size_t before = boxes.size();
        Escape();
        EXPECT_EQ(ScreenMode, 0);
        EXPECT_EQ(Phase, 0);
        EXPECT_FALSE(form->Edit1->isVisible());
        MenuCursor = d.menuLine;
        Down();
        EXPECT_EQ(MenuCursor, d.menuLine + 1);
        Up();
        EXPECT_EQ(MenuCursor, d.menuLine);
        EXPECT_EQ(boxes.size(), before);
    }

    void Play(const DrillInfo& d, const DrillCase& c) {
        SCOPED_TRACE(d.name);
        WriteBytes(Bank(d), c.bank);
        boxes.clear();
        Start(d);
        EXPECT_EQ(ScreenMode, d.mode);
        ExpectScreen("question", 0, c.questionError, c.fields);
        if (c.questionError == kNone) {
            EXPECT_EQ(QuestionIndex, 1);
        }

        // The answer screen, with a typed answer in the reading drill.
        if (d.mode == 2 && c.questionError == kNone) Type("youya");
        size_t before = boxes.size();
        Enter();
        EXPECT_EQ(Phase, 2);
        ExpectScreen("answer", before, c.answerError, c.fields);
        if (d.mode == 2 && c.answerError == kNone && c.questionError == kNone) {
            // Judged byte by byte against the damaged reading.
            const bool right = c.fields[1] == U(u8"ようや");
            EXPECT_EQ(CountColor(*Backbuffer, TRect{420, 190, 640, 320}, Red) > 200, right);
            EXPECT_EQ(CountColor(*Backbuffer, TRect{420, 170, 640, 330}, Blue) > 200, !right);
        }

        // The next question.
        before = boxes.size();
        Enter();
        EXPECT_EQ(Phase, 0);
        if (c.cleanNext) {
            ExpectScreen("next question", before, kNone, Clean(d));
            EXPECT_EQ(QuestionIndex, 0);
        } else {
            ExpectScreen("next question", before, c.questionError, c.fields);
        }
        ExpectMenuWorks(d);
    }

    // Starts the drill on a clean bank, damages it, and checks that the
    // next keys report the file-open error until the bank is back.
    void PlayVanishing(const DrillInfo& d, const std::function<void(const fs::path&)>& damage, int err) {
        SCOPED_TRACE(d.name);
        fs::remove_all(Bank(d));
        WriteBytes(Bank(d), TwoLines(d, Join(Clean(d))));
        boxes.clear();
        Start(d);
        ASSERT_TRUE(boxes.empty());
        ASSERT_EQ(ScreenMode, d.mode);

        damage(Bank(d));
        Enter();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, FileOpenText(Bank(d), err));
        EXPECT_EQ(boxes[0].caption, "Tobelin");
        EXPECT_EQ(ScreenMode, d.mode) << "the drill stays open";
        // The next key in the drill reads the bank again and fails again.
        Enter();
        ASSERT_EQ(boxes.size(), 2u);
        EXPECT_EQ(boxes[1].text, FileOpenText(Bank(d), err));
        ExpectMenuWorks(d);

        // With the bank back, the drill serves again.
        std::error_code ignored;
        fs::permissions(Bank(d), fs::perms::owner_read | fs::perms::owner_write, ignored);
        fs::remove_all(Bank(d), ignored);
        WriteBytes(Bank(d), TwoLines(d, Join(Clean(d))));
        Enter();
        EXPECT_EQ(ScreenMode, d.mode);
        EXPECT_EQ(boxes.size(), 2u);
        EXPECT_SJIS_EQ(ItemAt(*FieldList, 0), Clean(d)[0]);
        Escape();
    }
};

TEST_F(DamagedBankTest, EachDamagedBankShowsItsQuestionOrItsError) {
    for (const DamagedCase& c : DamagedBanks()) {
        SCOPED_TRACE(c.name);
        Play(kIdiom, c.idiom);
        Play(kReading, c.reading);
    }
}

TEST_F(DamagedBankTest, RandomBytesNeverStopTheDrill) {
    // Whole files of random bytes, and texts in the wrong encoding: whatever
    // a screen shows, its only possible error is a missing field or line.
    std::vector<std::pair<std::string, std::string>> banks;
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        const size_t size = seed % 3 == 0 ? 65536 : 37 * seed;
        banks.push_back({"random bytes, seed " + std::to_string(seed), RandomBytes(seed, size, AnyByte)});
        banks.push_back({"random bytes without zero, seed " + std::to_string(seed),
                         RandomBytes(seed, size, [](unsigned char b) { return b != 0; })});
    }
    const std::string utf8 = "\xEF\xBB\xBF" "□□多難,多事多難,多事,他事,多時,多字,たじたなん,事件や困難が多いこと。\r\n"
                             "努力が[漸]く実を結んだ。,ようや\r\n";
    banks.push_back({"text saved as UTF-8", utf8});
    std::string utf16 = "\xFF\xFE";
    for (char ch : std::string("a,b,c,d,e,f,g,h\r\nq,r\r\n")) utf16 += std::string{ch, '\0'};
    banks.push_back({"text saved as UTF-16", utf16});

    const auto expectAtMostOneListError = [&](const char* key, size_t before) {
        SCOPED_TRACE(key);
        ASSERT_LE(boxes.size(), before + 1);
        if (boxes.size() > before) {
            EXPECT_TRUE(IsListIndexText(boxes.back().text)) << boxes.back().text;
        }
    };
    for (const auto& [name, bytes] : banks) {
        SCOPED_TRACE(name);
        for (const DrillInfo& d : kDrills) {
            SCOPED_TRACE(d.name);
            WriteBytes(Bank(d), bytes);
            boxes.clear();
            Start(d);
            expectAtMostOneListError("start", 0);
            EXPECT_EQ(ScreenMode, d.mode);
            const std::vector<std::pair<const char*, std::function<void()>>> keys = {
                {"down", [&] { Down(); }},   {"digit 2", [&] { Digit(2); }}, {"enter", [&] { Enter(); }},
                {"enter", [&] { Enter(); }}, {"up", [&] { Up(); }},         {"enter", [&] { Enter(); }}};
            for (const auto& [key, press] : keys) {
                const size_t before = boxes.size();
                press();
                expectAtMostOneListError(key, before);
            }
            ExpectMenuWorks(d);
        }
    }
}

TEST_F(DamagedBankTest, MillionLineBankShowsTheNextQuestionPromptly) {
    constexpr int kLines = 1000000;
    const auto line = [](const DrillInfo& d, int i) {
        const std::string n = std::to_string(i);
        return d.mode == 1 ? "q" + n + ",w" + n + ",a,b,c,d,h,m" : "[q]" + n + ",r" + n;
    };
    for (const DrillInfo& d : kDrills) {
        SCOPED_TRACE(d.name);
        std::string bytes;
        bytes.reserve(size_t(kLines) * 32);
        for (int i = 0; i < kLines; ++i) bytes += line(d, i) + "\r\n";
        WriteBytes(Bank(d), bytes);
        bytes = std::string();
        boxes.clear();
        Start(d);
        ASSERT_TRUE(boxes.empty());
        ASSERT_GE(QuestionIndex, 1);
        ASSERT_LT(QuestionIndex, kLines);
        EXPECT_SJIS_EQ(Join(FieldList->Items()), line(d, QuestionIndex));

        // One new question, timed: the whole bank is read and split again.
        const int32_t previous = QuestionIndex;
        const auto t0 = std::chrono::steady_clock::now();
        form->ShowQuestion(0);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("[ measure  ] %s drill, %d lines: ShowQuestion(0) took %.3f s\n", d.name, kLines, seconds);
        RecordProperty(std::string(d.name) + "_million_line_seconds", std::to_string(seconds));
        EXPECT_LT(seconds, 2.0 * kSlowBuild);
        EXPECT_TRUE(boxes.empty());
        EXPECT_NE(QuestionIndex, previous);
        EXPECT_SJIS_EQ(Join(FieldList->Items()), line(d, QuestionIndex));

        // And through the keys: the answer screen, then the next question.
        Enter();
        Enter();
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(Phase, 0);
        EXPECT_SJIS_EQ(Join(FieldList->Items()), line(d, QuestionIndex));
        ExpectMenuWorks(d);
        fs::remove(Bank(d));
    }
}

TEST_F(DamagedBankTest, LineOfAMegabyteIsDrawnPromptly) {
    // Both lines hold the megabyte, so every screen draws it.
    Fields idiom = CleanIdiom();
    idiom[0] = Repeat(U(u8"漢"), kMegabyte);
    idiom[7] = Repeat("a", kMegabyte);
    Fields reading = CleanReading();
    reading[0] = U(u8"[漸]") + Repeat(U(u8"漢"), kMegabyte);
    reading[1] = Repeat(U(u8"よ"), kMegabyte);
    WriteBytes(Bank(kIdiom), Join(idiom) + "\r\n" + Join(idiom));
    WriteBytes(Bank(kReading), Join(reading) + "\r\n" + Join(reading));
    for (const DrillInfo& d : kDrills) {
        SCOPED_TRACE(d.name);
        Escape();
        MenuCursor = d.menuLine;
        for (const char* screen : {"question", "answer", "next question"}) {
            const auto t0 = std::chrono::steady_clock::now();
            Enter();
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            std::printf("[ measure  ] %s drill, megabyte line, %s screen: %.3f s\n", d.name, screen, seconds);
            EXPECT_LT(seconds, 2.0 * kSlowBuild) << screen;
            EXPECT_EQ(ItemAt(*FieldList, 0).size(), d.mode == 1 ? idiom[0].size() : reading[0].size()) << screen;
        }
        EXPECT_TRUE(boxes.empty());
        ExpectMenuWorks(d);
    }
}

TEST_F(DamagedBankTest, BankVanishingWhileTheDrillIsOpenReportsTheFile) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> damage;
        int err;
    } cases[] = {
        {"deleted", [](const fs::path& p) { fs::remove(p); }, ENOENT},
        {"replaced by a folder",
         [](const fs::path& p) {
             fs::remove(p);
             fs::create_directory(p);
         },
         EISDIR},
        {"its folder deleted", [](const fs::path& p) { fs::remove_all(p.parent_path()); }, ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const DrillInfo& d : kDrills) PlayVanishing(d, c.damage, c.err);
    }
}

TEST_F(DamagedBankTest, BankMadeUnreadableWhileTheDrillIsOpenReportsTheFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "permission bits do not bind the superuser";
    for (const DrillInfo& d : kDrills) {
        PlayVanishing(d, [](const fs::path& p) { fs::permissions(p, fs::perms::none); }, EACCES);
    }
}

}  // namespace
}  // namespace apptest
