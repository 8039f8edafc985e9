#include "platform/qt/ImeLineEdit.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QProxyStyle>

namespace {

// The caret's width comes from the style at every paint: a hidden caret
// is one of width 0.
class TCaretStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        if (metric == PM_TextCursorWidth)
            if (const auto* box = qobject_cast<const TImeLineEdit*>(widget); box && !box->CaretShown()) return 0;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

QString ToQString(const std::u16string& s) {
    return QString(reinterpret_cast<const QChar*>(s.data()), qsizetype(s.size()));
}

}  // namespace

TImeLineEdit::TImeLineEdit(QWidget* parent) : QLineEdit(parent) {
    auto* style = new TCaretStyle;
    style->setParent(this);
    setStyle(style);
    // Text set from outside (or edited by Qt itself) no longer matches the
    // pending letters the converter remembers.
    connect(this, &QLineEdit::textChanged, this, [this] {
        if (!Converting_) DropPending();
    });
}

void TImeLineEdit::OpenIme() {
    DropPending();
    ImeOpen_ = true;
}

void TImeLineEdit::CloseIme() {
    DropPending();
    ImeOpen_ = false;
}

void TImeLineEdit::ShowCaret() {
    CaretShown_ = true;
    update();
}

void TImeLineEdit::HideCaret() {
    CaretShown_ = false;
    update();
}

void TImeLineEdit::DropPending() {
    Romaji_.Reset();
    PendingShown_ = 0;
}

void TImeLineEdit::ShowConverted(const QString& text) {
    Converting_ = true;
    const qsizetype shown = std::min(PendingShown_, qsizetype(cursorPosition()));
    if (shown > 0) {
        cursorBackward(true, int(shown));
        del();
    }
    if (!text.isEmpty()) insert(text);
    PendingShown_ = qsizetype(Romaji_.Pending().size());
    Converting_ = false;
}

QString TImeLineEdit::Filtered(const std::u16string& produced) {
    auto keyPress = OnKeyPress;
    QString kept;
    for (char16_t ch : produced) {
        if (keyPress) keyPress(this, ch);
        if (ch != 0) kept += QChar(ch);
    }
    return kept;
}

void TImeLineEdit::keyPressEvent(QKeyEvent* event) {
    const uint16_t code = VirtualKeyOf(*event);
    uint16_t key = code;
    const bool converting = ImeOpen_ && !isReadOnly();
    // Enter finishes the pending letters first, so that whoever handles
    // the key sees the whole answer.
    if (key == VK_RETURN && converting && !Romaji_.Pending().empty()) ShowConverted(Filtered(Romaji_.Finish()));
    // Copies of the handlers run, so that a handler may detach itself.
    if (auto keyDown = OnKeyDown) keyDown(this, key, ShiftStateOf(*event));
    // The handler may have hidden the box or made it read-only.
    const bool stillConverting = ImeOpen_ && !isReadOnly();
    if (code != 0 && key == 0) {
        event->accept();
        return;
    }
    if (key == VK_BACK && stillConverting && !Romaji_.Pending().empty()) {
        Romaji_.Backspace();
        ShowConverted(ToQString(Romaji_.Pending()));
        event->accept();
        return;
    }
    const QString text = event->text();
    if (text.size() == 1 && !(event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))) {
        const char16_t typed = text[0].unicode();
        auto keyPress = OnKeyPress;
        if (stillConverting && typed >= 0x20 && typed < 0x7F) {
            // The input method sees the key first; the character filter
            // sees what it produces, as typed characters.
            const QString done = Filtered(Romaji_.Feed(typed));  // before Pending() is read
            ShowConverted(done + ToQString(Romaji_.Pending()));
            event->accept();
            return;
        }
        char16_t ch = typed;
        if (keyPress) keyPress(this, ch);
        if (ch == 0) {
            event->accept();
            return;
        }
        if (ch != typed) {
            // The filter changed the character: insert its choice instead.
            if (!isReadOnly() && ch >= 0x20) insert(QString(QChar(ch)));
            event->accept();
            return;
        }
    } else if (!text.isEmpty() || key == VK_LEFT || key == VK_RIGHT || key == VK_HOME || key == VK_END) {
        // Moving the caret or editing otherwise leaves the letters as typed.
        DropPending();
    }
    QLineEdit::keyPressEvent(event);
    // Keys the box has no use for stay here rather than reaching the window
    // a second time.
    event->accept();
}

void TImeLineEdit::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    if (auto enter = OnEnter) enter(this);
}

void TImeLineEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (auto exit = OnExit) exit(this);
}

void TImeLineEdit::mousePressEvent(QMouseEvent* event) {
    DropPending();
    QLineEdit::mousePressEvent(event);
}
