// Starts the drill: the application, its title, the main window and the
// message loop. The PNG codec registers its picture format on its own
// before main runs.
#include <QApplication>

#include "app/Unit1.h"
#include "platform/qt/ErrorBox.h"
#include "platform/qt/QtStartup.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Tobelin");
    SetApplicationTitle("Tobelin");
    InitPlatformQt();
    TForm1 form;
    form.show();
    return application.exec();
}
