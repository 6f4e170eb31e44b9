// A bare Qt program with one translucent, frameless, always-on-top window
// over every screen, each polling the pointer every 16 ms and drawing a
// 64-pixel glyph beside it: the least any overlay that follows the pointer
// must hold and do. scripts/measure-rss.sh measures its resident memory
// beside Tovrik's.

#include <QApplication>
#include <QCursor>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

namespace {

class FloorOverlay : public QWidget {
public:
    explicit FloorOverlay(QScreen* screen) : m_screen(screen->geometry())
    {
        setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(m_screen);
        show();
    }
    void follow(QPoint global)
    {
        const QRect glyph(global - m_screen.topLeft() + QPoint(3, 9), QSize(64, 64));
        if (glyph == m_glyph)
            return;
        update(m_glyph);
        update(glyph);
        m_glyph = glyph;
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(40, 120, 255, 200));
        p.setPen(Qt::NoPen);
        p.drawEllipse(m_glyph);
    }

private:
    QRect m_screen;
    QRect m_glyph;
};

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    std::vector<std::unique_ptr<FloorOverlay>> windows;
    for (QScreen* screen : QGuiApplication::screens())
        windows.push_back(std::make_unique<FloorOverlay>(screen));
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const QPoint p = QCursor::pos();
        for (auto& w : windows)
            w->follow(p);
    });
    poll.start(16);
    return app.exec();
}
