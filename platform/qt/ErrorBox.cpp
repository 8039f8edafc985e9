#include "platform/qt/ErrorBox.h"

#include <QApplication>
#include <QMessageBox>
#include <exception>

#include "platform/Exceptions.h"
#include "platform/qt/QtSjis.h"
#include "text/TextList.h"

namespace {

std::string& TitleStore() {
    static std::string title;
    return title;
}

// The modal box: application title as caption, one OK button, the stop
// icon; every window of the program is disabled while it is up.
void ShowModalBox(const std::string& text, const std::string& caption) {
    QMessageBox box(QMessageBox::Critical, SjisToQString(caption), SjisToQString(text), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

TErrorBoxFunc& BoxFunc() {
    static TErrorBoxFunc func = ShowModalBox;
    return func;
}

}  // namespace

TErrorBoxFunc SetErrorBoxFunc(TErrorBoxFunc func) {
    TErrorBoxFunc previous = BoxFunc();
    BoxFunc() = func ? std::move(func) : TErrorBoxFunc(ShowModalBox);
    return previous;
}

void SetApplicationTitle(const std::string& title) { TitleStore() = title; }

const std::string& ApplicationTitle() { return TitleStore(); }

void ShowErrorBox(const std::string& message) { BoxFunc()(ErrorBoxText(message), ApplicationTitle()); }

bool RunHandler(const std::function<void()>& handler) {
    try {
        handler();
        return true;
    } catch (const Exception& e) {
        ShowErrorBox(e.message());
    } catch (const std::bad_alloc&) {
        ShowErrorBox(EOutOfMemory().message());
    } catch (const std::exception& e) {
        // Errors from the standard library carry ASCII text.
        ShowErrorBox(e.what());
    }
    return false;
}
