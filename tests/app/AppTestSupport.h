// Shared pieces of the drill's tests: the application object, a window
// with its own bank folder and a recorder for error boxes, key presses
// sent as real Qt key events, and pixel checks on bitmaps.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/ScreenDraw.h"
#include "app/Unit1.h"
#include "platform/Bitmap.h"
#include "platform/ShiftJis.h"
#include "platform/qt/ErrorBox.h"
#include "platform/qt/QtStartup.h"
#include "tests/SjisText.h"

namespace apptest {

inline QApplication& App() {
    static int argc = 1;
    static char name[] = "app_tests";
    static char* argv[] = {name, nullptr};
    // Lives to the end of the process: Qt objects of the tests may outlive
    // any scope that could own it.
    static QApplication* app = [] {
        auto* a = new QApplication(argc, argv);
        InitPlatformQt();
        return a;
    }();
    return *app;
}

inline std::string U(const char8_t* utf8) { return Sjis(utf8); }

// Pixel helpers over a bitmap, colours 0x00BBGGRR.
inline int CountColor(const TBitmap& bmp, const TRect& r, TColor color) {
    int n = 0;
    for (int32_t y = std::max(0, r.Top); y < std::min(bmp.GetHeight(), r.Bottom); ++y)
        for (int32_t x = std::max(0, r.Left); x < std::min(bmp.GetWidth(), r.Right); ++x)
            if ((bmp.Pixel(x, y) & 0xFFFFFF) == color) ++n;
    return n;
}

inline int CountNotColor(const TBitmap& bmp, const TRect& r, TColor color) {
    return std::max(0, r.Width()) * std::max(0, r.Height()) - CountColor(bmp, r, color);
}

// True when the rectangles of a (at ax, ay) and b (at bx, by), both of
// the given size, hold the same pixels.
inline bool SamePixels(const TBitmap& a, int32_t ax, int32_t ay, const TBitmap& b, int32_t bx, int32_t by, int32_t w,
                       int32_t h) {
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            if ((a.Pixel(ax + x, ay + y) & 0xFFFFFF) != (b.Pixel(bx + x, by + y) & 0xFFFFFF)) return false;
    return true;
}

inline std::unique_ptr<TBitmap> BlackBitmap(int32_t w = 640, int32_t h = 480) {
    auto bmp = std::make_unique<TBitmap>();
    bmp->SetPixelFormat(pf32bit);
    bmp->SetSize(w, h);
    bmp->Canvas().Brush.Color = clBlack;
    bmp->Canvas().FillRect(TRect{0, 0, w, h});
    return bmp;
}

// A 640 x 480 black screen with one text drawn as the drill draws it:
// opaque, top-left at (x, y), in the given face, colour and size.
inline std::unique_ptr<TBitmap> Reference(const std::string& text, int32_t x, int32_t y, const std::string& face,
                                          TColor color, int32_t size, bool bold = false) {
    auto bmp = BlackBitmap();
    TCanvas& c = bmp->Canvas();
    c.Font.Name = face;
    c.Font.Color = color;
    c.Font.Size = size;
    c.Font.Style = bold ? uint8_t(fsBold) : uint8_t(0);
    c.TextOut(x, y, text);
    return bmp;
}

inline TSize Extent(const std::string& text, const std::string& face, int32_t size, bool bold = false) {
    auto bmp = BlackBitmap(1, 1);
    TCanvas& c = bmp->Canvas();
    c.Font.Name = face;
    c.Font.Size = size;
    c.Font.Style = bold ? uint8_t(fsBold) : uint8_t(0);
    return c.TextExtent(text);
}

// Writes a bank file: lines in Shift-JIS joined by CR LF.
inline void WriteBank(const std::filesystem::path& file, const std::vector<std::string>& lines) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << "\r\n";
}

struct ErrorBoxRecord {
    std::string text;
    std::string caption;
};

// A window on its own bank folder, with the screen state as at start-up
// and every error box recorded instead of shown.
class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ScreenMode = 0;
        MenuCursor = 0;
        ChoiceCursor = -1;
        QuestionIndex = 0;
        Phase = 0;
        CorrectSlot = 0;
        Terminated = false;
        static int counter = 0;
        folder = std::filesystem::temp_directory_path() /
                 ("tobelin_app_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        std::filesystem::create_directories(folder / "Question");
        SetBankFolder(folder.string() + "/");
        SetApplicationTitle("Tobelin");
        previousBox = SetErrorBoxFunc([this](const std::string& text, const std::string& caption) {
            boxes.push_back({text, caption});
        });
        form = std::make_unique<TForm1>();
        form->show();
        form->activateWindow();
        QApplication::processEvents();
    }

    void TearDown() override {
        form.reset();
        QApplication::processEvents();
        SetErrorBoxFunc(previousBox);
        SetBankFolder("");
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::filesystem::path IdiomBank() const { return folder / "Question" / "four.dat"; }
    std::filesystem::path ReadingBank() const { return folder / "Question" / "tanbun_yomi.dat"; }

    // Where the key goes: the widget with the focus inside the window, or
    // the window itself.
    QWidget* KeyTarget() const {
        QWidget* w = form->focusWidget();
        return (w && w->isVisible()) ? w : form.get();
    }

    void Press(int key, const QString& text = QString(), Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent press(QEvent::KeyPress, key, mods, text);
        QCoreApplication::sendEvent(KeyTarget(), &press);
        QKeyEvent release(QEvent::KeyRelease, key, mods, text);
        QCoreApplication::sendEvent(KeyTarget(), &release);
    }
    void Enter() { Press(Qt::Key_Return, "\r"); }
    void Escape() { Press(Qt::Key_Escape, "\x1b"); }
    void Up() { Press(Qt::Key_Up); }
    void Down() { Press(Qt::Key_Down); }
    void Digit(int d) { Press(Qt::Key_0 + d, QString::number(d)); }
    // Typed characters, one key event each (letters, digits, space, '-').
    void Type(const std::string& ascii) {
        for (char ch : ascii) {
            int key = 0;
            if (ch >= 'a' && ch <= 'z') key = Qt::Key_A + (ch - 'a');
            else if (ch >= '0' && ch <= '9') key = Qt::Key_0 + (ch - '0');
            else if (ch == ' ') key = Qt::Key_Space;
            else if (ch == '-') key = Qt::Key_Minus;
            else if (ch == '\'') key = Qt::Key_Apostrophe;
            Press(key, QString(QChar(ch)));
        }
    }

    // Marks a pixel so that a later check can tell whether the screen was
    // drawn again.
    void Scribble() { *reinterpret_cast<uint32_t*>(Backbuffer->ScanLine(479) + 639 * 4) = 0x00ABCDEF; }
    bool Scribbled() const { return (Backbuffer->Pixel(639, 479) & 0xFFFFFF) != 0; }

    std::filesystem::path folder;
    std::unique_ptr<TForm1> form;
    std::vector<ErrorBoxRecord> boxes;
    TErrorBoxFunc previousBox;
};

}  // namespace apptest
