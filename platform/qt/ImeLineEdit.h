// A single-line entry box with key events in the platform's key codes and
// the program's own romaji input method: while it is open, typed letters
// become hiragana in the box, and letters that do not yet form kana are
// shown at the caret until they do. Text committed by a system input
// method is inserted unchanged.
#pragma once

#include <QLineEdit>
#include <functional>

#include "platform/Object.h"
#include "platform/RomajiInput.h"
#include "platform/qt/KeyCodes.h"

class TImeLineEdit : public QLineEdit, public TObject {
    Q_OBJECT
public:
    explicit TImeLineEdit(QWidget* parent = nullptr);
    std::string ClassName() const override { return "TImeLineEdit"; }

    // Key-down: runs first for every key press; clearing key stops it.
    std::function<void(TObject* sender, uint16_t& key, TShiftState shift)> OnKeyDown;
    // Character filter: setting key to 0 drops the character.
    std::function<void(TObject* sender, char16_t& key)> OnKeyPress;
    // Focus gained and lost.
    std::function<void(TObject* sender)> OnEnter;
    std::function<void(TObject* sender)> OnExit;

    // The input method in hiragana, full-width mode.
    void OpenIme();
    // Closes it; pending letters stay in the box as typed.
    void CloseIme();
    bool ImeOpen() const { return ImeOpen_; }
    // Letters typed but not yet kana (shown at the caret).
    const std::u16string& PendingRomaji() const { return Romaji_.Pending(); }

    // The caret (drawn by Qt only in a writable box) can be hidden.
    void ShowCaret();
    void HideCaret();
    bool CaretShown() const { return CaretShown_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    // Replaces the pending letters shown before the caret by text (final
    // text followed by the new pending letters).
    void ShowConverted(const QString& text);
    // What the input method produced, through the character filter.
    QString Filtered(const std::u16string& produced);
    // Leaves the pending letters in the box as plain text.
    void DropPending();

    TRomajiInput Romaji_;
    bool ImeOpen_ = false;
    bool CaretShown_ = true;
    bool Converting_ = false;       // the box's text is being changed by the converter
    qsizetype PendingShown_ = 0;    // pending letters standing right before the caret
};
