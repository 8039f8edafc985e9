// The Qt side of the framework: key codes, the error box, the start-up
// font substitutions, and the entry box with its romaji input method.
#include <QFontInfo>
#include <QInputMethodEvent>
#include <QStyle>
#include <stdexcept>

#include "platform/Exceptions.h"
#include "platform/qt/ImeLineEdit.h"
#include "platform/qt/KeyCodes.h"
#include "tests/app/AppTestSupport.h"

namespace apptest {
namespace {

TEST(KeyCodes, QtKeysBecomePlatformCodes) {
    const struct {
        const char* name;
        int key;
        Qt::KeyboardModifiers mods;
        uint16_t code;
    } cases[] = {
        {"return", Qt::Key_Return, Qt::NoModifier, 13},
        {"keypad enter", Qt::Key_Enter, Qt::KeypadModifier, 13},
        {"escape", Qt::Key_Escape, Qt::NoModifier, 27},
        {"up", Qt::Key_Up, Qt::NoModifier, 38},
        {"down", Qt::Key_Down, Qt::NoModifier, 40},
        {"left", Qt::Key_Left, Qt::NoModifier, 37},
        {"digit 1", Qt::Key_1, Qt::NoModifier, 49},
        {"digit 4", Qt::Key_4, Qt::NoModifier, 52},
        {"digit 1 with shift held", Qt::Key_1, Qt::ShiftModifier, 49},
        {"keypad 1", Qt::Key_1, Qt::KeypadModifier, 97},
        {"keypad 4", Qt::Key_4, Qt::KeypadModifier, 100},
        {"letter a", Qt::Key_A, Qt::NoModifier, 65},
        {"backspace", Qt::Key_Backspace, Qt::NoModifier, 8},
        {"space", Qt::Key_Space, Qt::NoModifier, 32},
        {"F1", Qt::Key_F1, Qt::NoModifier, 112},
        {"a key without a code", Qt::Key_VolumeUp, Qt::NoModifier, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QKeyEvent e(QEvent::KeyPress, c.key, c.mods);
        EXPECT_EQ(VirtualKeyOf(e), c.code);
    }
    const QKeyEvent shifted(QEvent::KeyPress, Qt::Key_A, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(ShiftStateOf(shifted), ssShift | ssCtrl);
}

class ErrorBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        SetApplicationTitle("Tobelin");
        previous = SetErrorBoxFunc([this](const std::string& text, const std::string& caption) {
            shown.push_back({text, caption});
        });
    }
    void TearDown() override { SetErrorBoxFunc(previous); }
    std::vector<ErrorBoxRecord> shown;
    TErrorBoxFunc previous;
};

TEST_F(ErrorBoxTest, FullStopRuleAndCaption) {
    const struct {
        const char* name;
        std::string message;
        std::string text;
    } cases[] = {
        {"ends in a double-byte character", U(u8"は開けません"), U(u8"は開けません.")},
        {"ends in a parenthesis", U(u8"範囲 (0)"), U(u8"範囲 (0)")},
        {"ends in a letter", "bad", "bad."},
        {"ends in a full stop", "done.", "done."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        shown.clear();
        ShowErrorBox(c.message);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_SJIS_EQ(shown[0].text, c.text);
        EXPECT_EQ(shown[0].caption, "Tobelin");
    }
}

TEST_F(ErrorBoxTest, HandlersReportWhatEscapesThem) {
    EXPECT_TRUE(RunHandler([] {}));
    EXPECT_TRUE(shown.empty());
    EXPECT_FALSE(RunHandler([] { throw ListIndexError(4); }));
    EXPECT_FALSE(RunHandler([] { throw std::runtime_error("broken"); }));
    EXPECT_FALSE(RunHandler([] { throw std::bad_alloc(); }));
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_SJIS_EQ(shown[0].text, U(u8"リストのインデックスが範囲を超えています (4)"));
    EXPECT_EQ(shown[1].text, "broken.");
    EXPECT_EQ(shown[2].text, EOutOfMemory().message() + ".");
}

TEST_F(ErrorBoxTest, ReplacingReturnsThePreviousFunction) {
    int calls = 0;
    TErrorBoxFunc mine = SetErrorBoxFunc([&](const std::string&, const std::string&) { ++calls; });
    ShowErrorBox("x");
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(shown.empty());
    SetErrorBoxFunc(mine);
    ShowErrorBox("y");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(shown.size(), 1u);
}

TEST(QtStartup, FacesAreSubstitutedAndResolutionSet) {
    App();
    EXPECT_EQ(ScreenPixelsPerInch, 96);
    const struct {
        const char16_t* asked;
        const char* expected;
    } cases[] = {{u"ＭＳ Ｐゴシック", "IPAPGothic"}, {u"ＭＳ Ｐ明朝", "IPAPMincho"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        QFont font(QString::fromUtf16(c.asked));
        font.setPixelSize(24);
        EXPECT_EQ(QFontInfo(font).family(), QString(c.expected));
    }
    EXPECT_TRUE(QFont::substitutes("MS Sans Serif").contains("DejaVu Sans", Qt::CaseInsensitive));
    EXPECT_EQ(QFontInfo(QFont("MS Sans Serif")).family(), QString("DejaVu Sans"));
}

class ImeLineEditTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        box = std::make_unique<TImeLineEdit>();
        box->OnKeyDown = [this](TObject*, uint16_t& key, TShiftState) {
            keys.push_back(key);
            textAtKeyDown.push_back(box->text());
        };
        box->OnKeyPress = [this](TObject*, char16_t& ch) {
            pressed.push_back(ch);
            if (ch == 13 || ch == 27 || ch == 32) ch = 0;
        };
        box->OpenIme();
    }
    void Key(int key, const QString& text = {}) {
        QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(box.get(), &e);
    }
    void Type(const std::string& ascii) {
        for (char ch : ascii) {
            int key = 0;
            if (ch >= 'a' && ch <= 'z') key = Qt::Key_A + (ch - 'a');
            else if (ch == ' ') key = Qt::Key_Space;
            else if (ch == '-') key = Qt::Key_Minus;
            Key(key, QString(QChar(ch)));
        }
    }
    std::unique_ptr<TImeLineEdit> box;
    std::vector<uint16_t> keys;
    std::vector<QString> textAtKeyDown;
    std::u16string pressed;
};

TEST_F(ImeLineEditTest, RomajiBecomesHiragana) {
    const struct {
        const char* typed;
        const char16_t* shown;
    } cases[] = {
        {"kyouhaii", u"きょうはいい"},
        {"shinbun", u"しんぶn"},
        {"kitte", u"きって"},
        {"ra-men", u"らーめn"},
        {"a b", u"あ　b"},
        {"k", u"k"},
        {"ky", u"ky"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        box->setText("");
        Type(c.typed);
        EXPECT_EQ(box->text(), QString::fromUtf16(c.shown));
    }
}

TEST_F(ImeLineEditTest, BackspaceTakesPendingLettersFirst) {
    Type("kak");
    EXPECT_EQ(box->text(), QString::fromUtf16(u"かk"));
    Key(Qt::Key_Backspace, "\b");
    EXPECT_EQ(box->text(), QString::fromUtf16(u"か"));
    EXPECT_TRUE(box->PendingRomaji().empty());
    Key(Qt::Key_Backspace, "\b");
    EXPECT_TRUE(box->text().isEmpty());
    Type("ki");
    EXPECT_EQ(box->text(), QString::fromUtf16(u"き"));
}

TEST_F(ImeLineEditTest, EnterFinishesPendingNBeforeTheKeyHandlerRuns) {
    Type("hon");
    Key(Qt::Key_Return, "\r");
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys.back(), VK_RETURN);
    EXPECT_EQ(textAtKeyDown.back(), QString::fromUtf16(u"ほん"));
    EXPECT_EQ(box->text(), QString::fromUtf16(u"ほん"));
    EXPECT_EQ(pressed, std::u16string(u"ほん\r")) << "the filter saw the kana, then Enter, and kept Enter out";
}

TEST_F(ImeLineEditTest, FilterSeesWhatTheInputMethodProduces) {
    Type("a a");
    // The filter saw the kana and the full-width space, never the raw keys.
    EXPECT_EQ(pressed, std::u16string(u"あ　あ"));
    EXPECT_EQ(box->text(), QString::fromUtf16(u"あ　あ"));
}

TEST_F(ImeLineEditTest, ClosedInputMethodPassesPlainCharactersThroughTheFilter) {
    box->CloseIme();
    Type("ab c");
    EXPECT_EQ(box->text(), QString("abc")) << "the filter dropped the space";
    EXPECT_EQ(pressed, std::u16string(u"ab c"));
}

TEST_F(ImeLineEditTest, ReadOnlyBoxTakesNoTyping) {
    box->setText(QString::fromUtf16(u"つつし"));
    box->setReadOnly(true);
    Type("abc");
    Key(Qt::Key_Backspace, "\b");
    EXPECT_EQ(box->text(), QString::fromUtf16(u"つつし"));
    EXPECT_EQ(keys.size(), 4u) << "key-down still runs";
}

TEST_F(ImeLineEditTest, KeyHandlerCanStopAKeyAndDetachItself) {
    box->OnKeyDown = [this](TObject*, uint16_t& key, TShiftState) {
        if (key == 'X') key = 0;
        if (key == VK_ESCAPE) box->OnKeyDown = nullptr;
    };
    Type("x");
    EXPECT_TRUE(box->text().isEmpty());
    Key(Qt::Key_Escape, "\x1b");
    EXPECT_FALSE(box->OnKeyDown);
    Type("a");
    EXPECT_EQ(box->text(), QString::fromUtf16(u"あ"));
}

TEST_F(ImeLineEditTest, TextSetFromOutsideDropsPendingLetters) {
    Type("k");
    box->setText("");
    EXPECT_TRUE(box->PendingRomaji().empty());
    Type("a");
    EXPECT_EQ(box->text(), QString::fromUtf16(u"あ")) << "not か: the k was dropped";
}

TEST_F(ImeLineEditTest, SystemInputMethodCommitsReachTheBoxUnchanged) {
    Type("a");
    QInputMethodEvent commit;
    commit.setCommitString(QString::fromUtf16(u"漸く 1"));
    QCoreApplication::sendEvent(box.get(), &commit);
    EXPECT_EQ(box->text(), QString::fromUtf16(u"あ漸く 1"));
}

TEST_F(ImeLineEditTest, CaretWidthFollowsShowAndHide) {
    box->HideCaret();
    EXPECT_FALSE(box->CaretShown());
    EXPECT_EQ(box->style()->pixelMetric(QStyle::PM_TextCursorWidth, nullptr, box.get()), 0);
    box->ShowCaret();
    EXPECT_TRUE(box->CaretShown());
    EXPECT_GT(box->style()->pixelMetric(QStyle::PM_TextCursorWidth, nullptr, box.get()), 0);
}

class AnswerBoxFilterTest : public FormTest {};

TEST_F(AnswerBoxFilterTest, EnterEscapeAndSpaceAreNeverInserted) {
    const struct {
        char16_t in;
        char16_t out;
    } cases[] = {{13, 0}, {27, 0}, {32, 0}, {u'a', u'a'}, {0x3000, 0x3000}, {8, 8}, {u'あ', u'あ'}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.in));
        char16_t key = c.in;
        form->Edit1KeyPress(form->Edit1, key);
        EXPECT_EQ(key, c.out);
    }
}

}  // namespace
}  // namespace apptest
