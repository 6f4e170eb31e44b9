// A bare Qt program with one translucent, frameless, always-on-top window
// over every screen, each polling the pointer every 16 ms and drawing a
// 64-pixel glyph beside it: the least any overlay that follows the pointer
// must hold and do. scripts/measure-rss.sh measures its resident memory
// beside Tovrik's. With --still nothing polls (the windows stay as first
// painted): the idle floor of scripts/measure-idle.sh.

#include "FloorOverlay.h"

#include <QApplication>
#include <QCursor>
#include <QScreen>
#include <QTimer>
#include <memory>
#include <vector>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    const bool still = QCoreApplication::arguments().contains(QStringLiteral("--still"));
    std::vector<std::unique_ptr<FloorOverlay>> windows;
    for (QScreen* screen : QGuiApplication::screens())
        windows.push_back(std::make_unique<FloorOverlay>(screen->geometry()));
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const QPoint p = QCursor::pos();
        for (auto& w : windows)
            w->follow(p);
    });
    if (!still)
        poll.start(16);
    return app.exec();
}
