#include "app/Unit1.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPalette>
#include <QScreen>
#include <algorithm>

#include "app/FuncUnit.h"
#include "app/ScreenDraw.h"
#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/ShiftJis.h"
#include "platform/WindowPlacement.h"
#include "platform/qt/BitmapImage.h"
#include "platform/qt/ErrorBox.h"
#include "platform/qt/QtSjis.h"
#include "text/Random.h"

TForm1* Form1 = nullptr;

int32_t ScreenWidth = 640;
int32_t ScreenHeight = 480;
uint8_t ScreenMode = 0;
int32_t MenuCursor = 0;
int32_t ChoiceCursor = -1;
int32_t QuestionIndex = 0;
uint8_t Phase = 0;
int32_t CorrectSlot = 0;
std::array<std::string, 4> MenuLabels;
std::unique_ptr<TBitmap> Backbuffer;
std::unique_ptr<TStringList> FieldList;
std::unique_ptr<T4taku> ChoiceOrder;
bool Terminated = false;

const char* const IdiomBankPath = "Question\\four.dat";
const char* const ReadingBankPath = "Question\\tanbun_yomi.dat";

namespace {

// Where the window was laid out to open: its frame's top-left corner.
constexpr int32_t DesignLeft = 417;
constexpr int32_t DesignTop = 196;
constexpr TColor Green = 0x00FF00;
constexpr TColor Blue = 0xFF0000;
constexpr TColor Red = 0x0000FF;
constexpr TColor UnderlineColor = 0x1111FF;

std::string& BankFolderStore() {
    static std::string folder;
    return folder;
}

std::string Gothic() { return Sjis(u8"ＭＳ Ｐゴシック"); }
std::string Mincho() { return Sjis(u8"ＭＳ Ｐ明朝"); }

// The run's objects; after a failed start-up one may be missing, which is
// an error for the handler rather than a crash.
template <class T>
T& Live(const std::unique_ptr<T>& object) {
    if (!object) throw Exception("The screen state was not set up");
    return *object;
}

TCanvas& Screen() { return Live(Backbuffer).Canvas(); }

// "n. text": an answer line with its number.
std::string Numbered(int32_t number, const std::string& text) { return std::to_string(number) + ". " + text; }

}  // namespace

// ---------------------------------------------------------------- banks

std::string BankFolder() {
    const std::string& folder = BankFolderStore();
    return folder.empty() ? ExecutableFolder() : folder;
}

void SetBankFolder(const std::string& folder) {
    std::string f = folder;
    if (!f.empty() && f.back() != '/' && f.back() != '\\') f.push_back('/');
    BankFolderStore() = f;
}

void LoadBank(TStringList& list, const std::string& relativePath) { LoadLines(list, BankFolder() + relativePath); }

void PickQuestion(const TStringList& list) {
    ReseedFromClock();
    const int32_t count = list.Count();
    // Drawing until the number differs would never end with fewer than two
    // lines: one line is always that line, no line is the missing line 0.
    if (count == 0) throw ListIndexError(0);
    if (count == 1) {
        QuestionIndex = 0;
        return;
    }
    int32_t n;
    do {
        n = int32_t(RandomBelow(uint32_t(count)));
    } while (n == QuestionIndex);
    QuestionIndex = n;
}

std::string Field(int32_t n) { return ItemAt(Live(FieldList), n); }

// ---------------------------------------------------------------- T4taku

void T4taku::Shuffle() {
    ReseedFromClock();
    Order.fill(-1);
    for (int32_t s = 0; s < 4; ++s) {
        int32_t n;
        do {
            n = int32_t(RandomBelow(4));
        } while (std::find(Order.begin(), Order.end(), n) != Order.end());
        Order[size_t(s)] = n;
    }
    ReadPos = 0;
}

int32_t T4taku::Next() {
    const int32_t answer = Order[size_t(ReadPos)];
    ReadPos = (ReadPos + 1) % 4;
    return answer;
}

// ---------------------------------------------------------------- Edit1

TEdit1::TEdit1(QWidget* parent) : TImeLineEdit(parent) {
    setObjectName("Edit1");
    setGeometry(196, 220, 221, 43);
    QPalette colours = palette();
    for (const auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        colours.setColor(group, QPalette::Base, Qt::black);
        colours.setColor(group, QPalette::Window, Qt::black);
        colours.setColor(group, QPalette::Text, QColor(0, 255, 0));
    }
    setPalette(colours);
    QFont font(QString::fromUtf16(u"ＭＳ Ｐゴシック"));
    font.setPixelSize(37);
    setFont(font);
    setFrame(false);
    setText("Edit1");
    hide();
}

// ---------------------------------------------------------------- form

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
    setWindowTitle("Tobelin Ver0.21");
    // A click on the window leaves the focus in the answer box.
    setFocusPolicy(Qt::TabFocus);
    // The bitmap covers the whole client area at every paint.
    setAttribute(Qt::WA_OpaquePaintEvent);
    move(DesignLeft, DesignTop);

    Edit1 = new TEdit1(this);
    Edit1->OnEnter = [this](TObject* sender) { RunHandler([&] { Edit1Enter(sender); }); };
    Edit1->OnExit = [this](TObject* sender) { RunHandler([&] { Edit1Exit(sender); }); };
    Edit1->OnKeyPress = [this](TObject* sender, char16_t& key) { RunHandler([&] { Edit1KeyPress(sender, key); }); };

    Form1 = this;
    RunHandler([this] { FormCreate(this); });
}

TForm1::~TForm1() {
    // The box outlives this object by a moment (Qt deletes children later):
    // it must not call back into a window that is going.
    Edit1->OnEnter = nullptr;
    Edit1->OnExit = nullptr;
    Edit1->OnKeyPress = nullptr;
    Edit1->OnKeyDown = nullptr;
    RunHandler([this] { FormDestroy(this); });
    if (Form1 == this) Form1 = nullptr;
}

void TForm1::FormCreate(TObject*) {
    SetBorderIcons(*this, 1);
    // Paint through the backing store: each paint is composed off-screen
    // and shown in one piece.
    setAttribute(Qt::WA_PaintOnScreen, false);
    MenuLabels = {Sjis(u8"四字熟語"), Sjis(u8"部首判別"), Sjis(u8"読み"), Sjis(u8"終了")};
    setFixedSize(ScreenWidth, ScreenHeight);
    Backbuffer = std::make_unique<TBitmap>();
    Backbuffer->SetPixelFormat(pfDevice);
    Backbuffer->SetWidth(ScreenWidth);
    Backbuffer->SetHeight(ScreenHeight);
    DrawMenu();
    FieldList = std::make_unique<TStringList>();
    ChoiceOrder = std::make_unique<T4taku>();
}

void TForm1::FormDestroy(TObject*) {
    ChoiceOrder.reset();
    Backbuffer.reset();
    FieldList.reset();
}

void TForm1::FormPaint(TObject*) {
    if (!Backbuffer) return;
    const QImage image = ImageOverBitmap(*Backbuffer);
    if (image.isNull()) return;
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), image);
}

void TForm1::paintEvent(QPaintEvent*) {
    KeepOnScreen();
    RunHandler([this] { FormPaint(this); });
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    KeepOnScreen();
}

void TForm1::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    KeepOnScreen();
}

void TForm1::KeepOnScreen() {
    if (PlacementSettled_ || !isVisible()) return;
    const QScreen* display = screen();
    if (!display) return;
    // A move made before the window manager has told the frame's size
    // puts the client area, not the frame, at the point asked for.
    const QRect frame = frameGeometry();
    if (frame.size() == size() && QGuiApplication::platformName() == "xcb") return;
    const QRect area = display->availableGeometry();
    const TPoint place = PlaceInside({frame.x(), frame.y()}, {frame.width(), frame.height()},
                                     {area.left(), area.top(), area.left() + area.width(), area.top() + area.height()});
    if (place.X != frame.x() || place.Y != frame.y()) move(place.X, place.Y);
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    PlacementSettled_ = true;
    uint16_t key = VirtualKeyOf(*event);
    const TShiftState shift = ShiftStateOf(*event);
    KeyDownHandler(this, key, shift);
    event->accept();
}

void TForm1::KeyDownHandler(TObject* sender, uint16_t& key, TShiftState shift) {
    // A failed screen is not invalidated by its routine; once the error box
    // is gone the window shows whatever the bitmap holds.
    if (!RunHandler([&] { FormKeyDown(sender, key, shift); })) update();
}

uint32_t TForm1::GetWindowStyle() const {
    const Qt::WindowFlags flags = windowFlags();
    uint32_t style = OtherStyleBits_;
    if (flags & Qt::WindowMinimizeButtonHint) style |= WS_MINIMIZEBOX;
    if (flags & Qt::WindowMaximizeButtonHint) style |= WS_MAXIMIZEBOX;
    return style;
}

void TForm1::SetWindowStyle(uint32_t style) {
    OtherStyleBits_ = style & ~(WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                            Qt::WindowCloseButtonHint;
    if (style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
    if (style & WS_MAXIMIZEBOX) flags |= Qt::WindowMaximizeButtonHint;
    if (flags == windowFlags()) return;
    // New flags hide a shown window (Qt recreates it): show it again.
    const bool shown = isVisible();
    setWindowFlags(flags);
    if (shown) show();
}

// ---------------------------------------------------------------- screens

void TForm1::ClearScreen() {
    Screen().Brush.Color = clBlack;
    Screen().FillRect(TRect{0, 0, ScreenWidth, ScreenHeight});
}

void TForm1::DrawMenu() {
    TCanvas& c = Screen();
    ClearScreen();
    // No face is set: the menu keeps the face the last screen left.
    c.Font.Size = 32;
    c.Font.Color = Green;
    c.TextOut(50, 50, QStringToSjis(windowTitle()));
    c.Font.Size = 16;
    c.TextOut(400, 100, "2004/10/30");
    c.Font.Size = 24;
    for (int32_t i = 0; i < 4; ++i) {
        if (i == MenuCursor) {
            c.Font.Color = Blue;
            c.TextOut(50, 200 + 40 * i, Sjis(u8"→"));
        } else {
            c.Font.Color = Green;
        }
        c.TextOut(100, 200 + 40 * i, MenuLabels[size_t(i)]);
    }
    update();
}

void TForm1::ShowQuestion(uint8_t phase) {
    Phase = phase;
    TStringList bank;  // this screen's lines, gone when it ends, on failure too
    ClearScreen();
    Screen().Font.Color = Green;
    switch (ScreenMode) {
    case 1: ShowIdiomScreen(bank, phase); break;
    case 2: ShowReadingScreen(bank, phase); break;
    default:
        Screen().Font.Size = 24;
        Screen().TextOut(50, 200, Sjis(u8"まだ出来てません。ESCで戻れます。"));
        break;
    }
    update();
}

void TForm1::ShowIdiomScreen(TStringList& bank, uint8_t phase) {
    TCanvas& c = Screen();
    LoadBank(bank, IdiomBankPath);
    if (phase == 0) {
        PickQuestion(bank);
        ChoiceCursor = -1;
        T4taku& order = Live(ChoiceOrder);
        order.Shuffle();
        CorrectSlot = int32_t(std::find(order.Order.begin(), order.Order.end(), 0) - order.Order.begin());
    }
    SplitFields(ItemAt(bank, QuestionIndex), ',', Live(FieldList));

    if (phase != 2) {
        DrawTextInRect(c, Field(0), TRect{50, 50, 590, 150}, Mincho(), Green, 72, DT_CENTER);
        c.Font.Name = Gothic();
        c.Font.Size = 28;
        for (int32_t i = 0; i < 4; ++i) {
            if (i == ChoiceCursor) {
                c.Font.Color = Blue;
                c.TextOut(70, 220 + 50 * i, Sjis(u8"→"));
            } else {
                c.Font.Color = Green;
            }
            // Next runs exactly four times per screen, so a redraw shows the
            // same order.
            c.TextOut(170, 220 + 50 * i, Numbered(i + 1, Field(Live(ChoiceOrder).Next() + 2)));
        }
        return;
    }

    DrawTextInRect(c, Field(6), TRect{50, 10, 590, 45}, Gothic(), Green, 24, DT_CENTER);
    DrawTextInRect(c, Field(1), TRect{50, 50, 590, 150}, Mincho(), Green, 72, DT_CENTER);
    DrawTextInRect(c, "[" + Field(7) + "]", TRect{0, 170, 640, 200}, Gothic(), Green, 20, DT_CENTER);
    c.Font.Size = 24;
    if (ChoiceCursor == -1) {
        DrawTextAt(c, Sjis(u8"未選択"), 50, 240, "", KeepColor, 24, DT_LEFT);
    } else {
        DrawTextAt(c, Sjis(u8"選択は"), 50, 240, "", KeepColor, 24, DT_LEFT);
        DrawTextAt(c, Numbered(ChoiceCursor + 1, Field(Live(ChoiceOrder).Order[size_t(ChoiceCursor)] + 2)), 200, 240, "",
                   KeepColor, KeepSize, DT_LEFT);
    }
    DrawTextAt(c, Sjis(u8"正解は"), 50, 290, "", KeepColor, KeepSize, DT_LEFT);
    DrawTextAt(c, Numbered(CorrectSlot + 1, Field(2)), 200, 282, "", KeepColor, 32, DT_LEFT);
    if (ChoiceCursor != -1) {
        BoldOn(c);
        if (CorrectSlot == ChoiceCursor)
            DrawTextAt(c, Sjis(u8"○"), 400, 230, "", Red, 84, DT_LEFT);
        else
            DrawTextAt(c, Sjis(u8"×"), 400, 210, "", Blue, 108, DT_LEFT);
        BoldOff(c);
    }
}

void TForm1::PrepareAnswerBox() {
    Edit1->setText("");
    Edit1->ShowCaret();
    Edit1->show();
    Edit1->setReadOnly(false);
    Edit1->setFocus();
    Edit1->OnKeyDown = [this](TObject* sender, uint16_t& key, TShiftState shift) { KeyDownHandler(sender, key, shift); };
}

void TForm1::DetachAnswerBox() {
    const bool hadFocus = Edit1->hasFocus();
    Edit1->hide();
    Edit1->OnKeyDown = nullptr;
    // The window takes the keys again.
    if (hadFocus) setFocus();
}

void TForm1::ShowReadingScreen(TStringList& bank, uint8_t phase) {
    TCanvas& c = Screen();
    if (phase == 2) {
        Edit1->setReadOnly(true);
        Edit1->HideCaret();
    } else if (phase == 0) {
        PrepareAnswerBox();
    }
    LoadBank(bank, ReadingBankPath);
    if (phase == 0) PickQuestion(bank);
    SplitFields(ItemAt(bank, QuestionIndex), ',', Live(FieldList));

    const int32_t centre = DrawMarkedSentence(c, Field(0), 10, 100, Mincho(), Green, 30, 3, UnderlineColor);
    if (phase != 2) {
        DrawTextAt(c, Sjis(u8"読み:"), 100, 228, Gothic(), KeepColor, 20, DT_LEFT);
        return;
    }

    c.Font.Size = 20;
    const std::string expected = Field(1);
    const int32_t w = c.TextWidth(expected);
    DrawTextAt(c, expected, centre - w / 2, 70, "", KeepColor, KeepSize, DT_SINGLELINE);
    c.Font.Name = Gothic();
    DrawTextAt(c, Sjis(u8"読み:"), 100, 228, "", KeepColor, 20, DT_LEFT);
    const QString typed = Edit1->text();
    if (!typed.isEmpty()) {
        BoldOn(c);
        const std::string answer = TrimBlanks(ReplaceAll(QStringToSjis(typed), Sjis(u8"　"), " "));
        if (SameBytes(answer, expected))
            DrawTextAt(c, Sjis(u8"○"), 420, 190, "", Red, 84, DT_LEFT);
        else
            DrawTextAt(c, Sjis(u8"×"), 420, 170, "", Blue, 108, DT_LEFT);
        BoldOff(c);
    }
}

// ---------------------------------------------------------------- keys

void TForm1::FormKeyDown(TObject*, uint16_t& Key, TShiftState) {
    switch (ScreenMode) {
    case 0:
        if (Key == VK_DOWN || Key == VK_UP) {
            if (Key == VK_DOWN && MenuCursor < 3) ++MenuCursor;
            if (Key == VK_UP && MenuCursor > 0) --MenuCursor;
            DrawMenu();
        } else if (Key == VK_RETURN) {
            switch (MenuCursor) {
            case 0: ScreenMode = 1; break;
            case 1: ScreenMode = 3; break;
            case 2: ScreenMode = 2; break;
            default:
                Terminated = true;
                QCoreApplication::exit(0);
                return;
            }
            ShowQuestion(0);
        }
        break;
    case 1:
        if (Key == VK_RETURN) {
            ShowQuestion(Phase == 2 ? 0 : 2);
        } else if (Key >= '1' && Key <= '4') {
            ChoiceCursor = Key - '1';
            if (Phase != 2) ShowQuestion(2);
        } else if ((Key == VK_DOWN || Key == VK_UP) && Phase != 2) {
            if (Key == VK_DOWN)
                ChoiceCursor = ChoiceCursor >= 3 ? 0 : ChoiceCursor + 1;
            else
                ChoiceCursor = ChoiceCursor <= 0 ? 3 : ChoiceCursor - 1;
            ShowQuestion(1);
        }
        break;
    case 2:
        if (Key == VK_RETURN) ShowQuestion(Phase == 2 ? 0 : 2);
        break;
    default: break;
    }

    if (Key == VK_ESCAPE) {
        ScreenMode = 0;
        Phase = 0;
        DetachAnswerBox();
        DrawMenu();
    }
}

// ---------------------------------------------------------------- answer box

void TForm1::Edit1Enter(TObject*) {
    // Hiragana, full width: the answers are typed as kana.
    Edit1->OpenIme();
}

void TForm1::Edit1Exit(TObject*) { Edit1->CloseIme(); }

void TForm1::Edit1KeyPress(TObject*, char16_t& Key) {
    // Never inserted, never a beep: Enter and Escape belong to FormKeyDown,
    // and a blank can only be typed as a full-width space.
    if (Key == 13 || Key == 27 || Key == 32) Key = 0;
}
