#include "platform/qt/QtStartup.h"

#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <cmath>

#include "platform/Canvas.h"

void InitPlatformQt() {
    // The drill names its faces as a Japanese system knows them; where they
    // are missing the nearest faces present take their place, in order.
    QFont::insertSubstitutions(QString::fromUtf16(u"ＭＳ Ｐゴシック"), {"MS PGothic", "IPAPGothic"});
    QFont::insertSubstitutions(QString::fromUtf16(u"ＭＳ Ｐ明朝"), {"MS PMincho", "IPAPMincho"});
    QFont::insertSubstitutions("MS Sans Serif", {"Microsoft Sans Serif", "DejaVu Sans", "Sans Serif"});

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const int dpi = int(std::lround(screen->logicalDotsPerInchY()));
        if (dpi > 0) ScreenPixelsPerInch = dpi;
    }
}
