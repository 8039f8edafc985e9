#include "tools/banktool/BankScreen.h"

#include <QFont>
#include <QFontInfo>
#include <QGuiApplication>
#include <QStringList>
#include <algorithm>
#include <cstdio>

#include "app/ScreenDraw.h"
#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/ShiftJis.h"
#include "platform/qt/QtSjis.h"
#include "platform/qt/QtStartup.h"
#include "text/TextList.h"

namespace {

constexpr int32_t kScreenWidth = 640;
constexpr int32_t kScreenHeight = 480;

std::string Mincho() { return Sjis(u8"ＭＳ Ｐ明朝"); }
std::string Gothic() { return Sjis(u8"ＭＳ Ｐゴシック"); }

std::string Quoted(const std::string& sjis) { return "\"" + SjisToUtf8(sjis) + "\""; }

std::string FontName(const std::string& face, int32_t size) { return Quoted(face) + " " + std::to_string(size); }

// A text drawn centred into a box of the screen.
struct BoxedText {
    const char* what;
    std::string text;
    std::string face;
    int32_t size;
    TRect box;
};

// The boxes of the idiom screens, as the drill draws into them.
const TRect kIdiomBox{50, 50, 590, 150};
const TRect kReadingBox{50, 10, 590, 45};
const TRect kMeaningBox{0, 170, 640, 200};

// Qt's notes about the session it runs in (no runtime folder, no display)
// concern a window system banktool never uses; only its real failures are
// worth the user's attention.
void QuietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "banktool: %s\n", message.toLocal8Bit().constData());
}

}  // namespace

struct BankScreen::Impl {
    // QGuiApplication keeps a reference to argc for its whole life.
    int argc = 1;
    char name[9] = "banktool";
    char* argv[2] = {name, nullptr};
    std::unique_ptr<QGuiApplication> application;
    TBitmap bitmap;

    Impl() {
        // Measuring never needs a display, and every run measures alike.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(QuietQtMessages);
        application = std::make_unique<QGuiApplication>(argc, argv);
        InitPlatformQt();
        bitmap.SetPixelFormat(pf32bit);
        bitmap.SetSize(kScreenWidth, kScreenHeight);
    }

    TCanvas& Canvas() { return bitmap.Canvas(); }

    TSize Extent(const std::string& face, int32_t size, const std::string& text) {
        ApplyFont(Canvas(), face, KeepColor, size);
        Canvas().Font.Style = 0;
        return Canvas().TextExtent(text);
    }

    int32_t Width(const std::string& face, int32_t size, const std::string& text) {
        return Extent(face, size, text).cx;
    }

    // The lowest row below box.Bottom that the text, drawn centred into
    // the box as the drill does, would ink if the box did not clip it; -1
    // when nothing falls below. Only a line taller than its box can.
    int32_t InkBelow(const std::string& face, int32_t size, const std::string& text, const TRect& box) {
        const int32_t height = Extent(face, size, text).cy;
        if (height <= box.Height()) return -1;
        // The cell bottom plus a margin for glyphs that reach under it.
        const int32_t bottom = std::min(kScreenHeight, box.Top + height + height / 4);
        TCanvas& c = Canvas();
        c.Brush.Color = clBlack;
        c.FillRect(TRect{0, 0, kScreenWidth, kScreenHeight});
        DrawTextInRect(c, text, TRect{box.Left, box.Top, box.Right, bottom}, face, clLime, size, DT_CENTER);
        for (int32_t y = bottom - 1; y >= box.Bottom; --y)
            for (int32_t x = std::max(0, box.Left); x < std::min(kScreenWidth, box.Right); ++x)
                if (bitmap.Pixel(x, y) != clBlack) return y;
        return -1;
    }

    // Where the widest of the numbered forms "n. text" (n = 1 to 4) ends
    // when drawn from x.
    int32_t NumberedEnd(int32_t x, const std::string& face, int32_t size, const std::string& text) {
        int32_t end = 0;
        for (int n = 1; n <= 4; ++n) end = std::max(end, x + Width(face, size, std::to_string(n) + ". " + text));
        return end;
    }
};

BankScreen::BankScreen() : impl_(std::make_unique<Impl>()) {}

BankScreen::~BankScreen() = default;

std::vector<std::string> BankScreen::SetupProblems() {
    std::vector<std::string> problems;
    for (const std::string& face : {Mincho(), Gothic()}) {
        const QString wanted = SjisToQString(face);
        QFont font(wanted);
        font.setPixelSize(20);
        const QString got = QFontInfo(font).family();
        if (got.compare(wanted, Qt::CaseInsensitive) != 0 &&
            !QFont::substitutes(wanted).contains(got, Qt::CaseInsensitive)) {
            problems.push_back("face " + Quoted(face) + " is drawn with \"" + got.toStdString() +
                               "\", none of its stand-ins (" + QFont::substitutes(wanted).join(", ").toStdString() +
                               "): texts cannot be measured as the drill shows them");
        }
    }
    return problems;
}

std::vector<std::string> BankScreen::Check(BankKind kind, const std::vector<std::string>& f) {
    Impl& s = *impl_;
    std::vector<std::string> problems;
    if (kind == BankKind::Four) {
        const BoxedText boxed[] = {
            {"question", f[0], Mincho(), 72, kIdiomBox},
            {"idiom", f[1], Mincho(), 72, kIdiomBox},
            {"reading", f[6], Gothic(), 24, kReadingBox},
            {"meaning", "[" + f[7] + "]", Gothic(), 20, kMeaningBox},
        };
        for (const BoxedText& b : boxed) {
            const int32_t width = s.Width(b.face, b.size, b.text);
            if (width > b.box.Width())
                problems.push_back(std::string(b.what) + " " + Quoted(b.text) + " is " + std::to_string(width) +
                                   " px wide at " + FontName(b.face, b.size) + "; its box is " +
                                   std::to_string(b.box.Width()) + " px");
            const int32_t ink = s.InkBelow(b.face, b.size, b.text, b.box);
            if (ink >= 0)
                problems.push_back(std::string(b.what) + " " + Quoted(b.text) + " at " + FontName(b.face, b.size) +
                                   " is cut at the bottom of its box: it inks row " + std::to_string(ink) +
                                   ", the box ends above row " + std::to_string(b.box.Bottom));
        }
        // Answers stand from x 170 on the question screen, and from x 200
        // on the answer screen as the choice (24) or as the right one (32).
        for (size_t i = 2; i <= 5; ++i) {
            struct Place {
                int32_t x, size;
                const char* screen;
            };
            std::vector<Place> places = {{170, 28, "question screen"}, {200, 24, "answer screen as the choice"}};
            if (i == 2) places.push_back({200, 32, "answer screen as the right answer"});
            for (const Place& p : places) {
                const int32_t end = s.NumberedEnd(p.x, Gothic(), p.size, f[i]);
                if (end > kScreenWidth)
                    problems.push_back("answer " + Quoted(f[i]) + " ends at x " + std::to_string(end) + " at " +
                                       FontName(Gothic(), p.size) + " on the " + p.screen + "; the window ends at " +
                                       std::to_string(kScreenWidth));
            }
        }
        return problems;
    }

    // The sentence is drawn a character at a time, brackets left out, so
    // its width is the sum of the characters' widths.
    const std::string& sentence = f[0];
    int32_t end = 10;
    for (size_t i = 0; i < sentence.size();) {
        const size_t next = NextChar(sentence, i);
        const std::string c = sentence.substr(i, next - i);
        if (c != "[" && c != "]") end += s.Width(Mincho(), 30, c);
        i = next;
    }
    if (end > kScreenWidth)
        problems.push_back("sentence ends at x " + std::to_string(end) + " at " + FontName(Mincho(), 30) +
                           "; the window ends at " + std::to_string(kScreenWidth));

    // The reading is centred over the marked word exactly as the answer
    // screen places it: the drill's own sentence routine gives the centre.
    const int32_t centre =
        DrawMarkedSentence(s.Canvas(), sentence, 10, 100, Mincho(), clLime, 30, 3, TColor(0x1111FF));
    if (centre != -1) {
        s.Canvas().Font.Size = 20;
        const int32_t w = s.Canvas().TextWidth(f[1]);
        const int32_t left = centre - w / 2;
        if (left < 0 || left + w > kScreenWidth)
            problems.push_back("reading " + Quoted(f[1]) + " spans x " + std::to_string(left) + " to " +
                               std::to_string(left + w) + " at " + FontName(Mincho(), 20) + " over its word; the window is 0 to " +
                               std::to_string(kScreenWidth));
    }
    return problems;
}
