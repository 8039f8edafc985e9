// The drill's one window: the title menu, the key dispatch, the four-choice
// idiom drill and the reading drill with its answer box. The screen state
// lives in the unit-level variables below; every screen is drawn whole into
// Backbuffer, which the paint handler copies to the window.
#pragma once

#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Bitmap.h"
#include "platform/Object.h"
#include "platform/WindowStyle.h"
#include "platform/qt/ImeLineEdit.h"
#include "platform/qt/KeyCodes.h"
#include "text/TextList.h"

// The shuffled order of the four answers of an idiom question: entry s of
// Order is the answer on screen line s (answer 0 is the correct one).
class T4taku : public TObject {
public:
    std::string ClassName() const override { return "T4taku"; }
    std::array<int32_t, 4> Order{};
    int32_t ReadPos = 0;  // next line whose answer Next hands out
    // A fresh random permutation of 0 to 3 in Order; ReadPos back to 0.
    void Shuffle();
    // Entry ReadPos of Order; ReadPos advances, from 3 back to 0.
    int32_t Next();
};

// The answer box of the reading drill.
class TEdit1 : public TImeLineEdit {
    Q_OBJECT
public:
    explicit TEdit1(QWidget* parent);
    std::string ClassName() const override { return "TEdit"; }

protected:
    // The box is the window's only control: Tab keeps the focus here.
    bool focusNextPrevChild(bool) override { return false; }
};

class TForm1 : public QWidget, public TObject, public TWindowStyleTarget {
    Q_OBJECT
public:
    // Builds the window and runs FormCreate; the destructor runs
    // FormDestroy.
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;
    std::string ClassName() const override { return "TForm1"; }

    TEdit1* Edit1;

    void FormCreate(TObject* Sender);
    void FormDestroy(TObject* Sender);
    void FormPaint(TObject* Sender);
    void FormKeyDown(TObject* Sender, uint16_t& Key, TShiftState Shift);
    void Edit1Enter(TObject* Sender);
    void Edit1Exit(TObject* Sender);
    void Edit1KeyPress(TObject* Sender, char16_t& Key);

    void DrawMenu();
    // Draws the drill screen of ScreenMode: phase 0 a new question, 1 the
    // same question again, 2 its answer.
    void ShowQuestion(uint8_t phase);

    // The window's minimise and maximise boxes as style bits.
    uint32_t GetWindowStyle() const override;
    void SetWindowStyle(uint32_t style) override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    // FormKeyDown for the window and the answer box, errors to the box.
    void KeyDownHandler(TObject* sender, uint16_t& key, TShiftState shift);
    void ClearScreen();
    void ShowIdiomScreen(TStringList& bank, uint8_t phase);
    void ShowReadingScreen(TStringList& bank, uint8_t phase);
    void PrepareAnswerBox();
    void DetachAnswerBox();
    // Moves the frame just inside the screen's available area when part
    // of it lies outside. The window manager reports the frame late and
    // sometimes only through a paint, so this runs at every show, move and
    // paint until the first key press; after that the user has the window
    // where it suits them and it stays there.
    void KeepOnScreen();

    uint32_t OtherStyleBits_ = 0;
    bool PlacementSettled_ = false;
};

// The main window while it exists.
extern TForm1* Form1;

// Screen state of the whole run.
extern int32_t ScreenWidth;
extern int32_t ScreenHeight;
extern uint8_t ScreenMode;  // 0 menu, 1 idiom drill, 2 reading drill, 3 notice
extern int32_t MenuCursor;
extern int32_t ChoiceCursor;   // -1: no answer chosen
extern int32_t QuestionIndex;  // bank line of the current question, both drills
extern uint8_t Phase;
extern int32_t CorrectSlot;
extern std::array<std::string, 4> MenuLabels;
extern std::unique_ptr<TBitmap> Backbuffer;
extern std::unique_ptr<TStringList> FieldList;
extern std::unique_ptr<T4taku> ChoiceOrder;

// Set when "終了" asked the application to end.
extern bool Terminated;

// Bank paths, relative to the bank folder.
extern const char* const IdiomBankPath;
extern const char* const ReadingBankPath;

// The folder the banks are read from, with its trailing '/': the
// executable's folder unless another was set (tests point it at their own
// banks). An empty folder restores the default.
std::string BankFolder();
void SetBankFolder(const std::string& folder);

// Replaces list by the lines of the bank at relativePath.
void LoadBank(TStringList& list, const std::string& relativePath);
// Picks the next question of a bank into QuestionIndex: a line other than
// the current one. A one-line bank gives its line; an empty bank raises
// the list-index error for line 0.
void PickQuestion(const TStringList& list);
// Field n of the current record.
std::string Field(int32_t n);
