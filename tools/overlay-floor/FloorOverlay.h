#pragma once

// The floor every overlay that follows the pointer is measured against: a
// translucent, frameless, always-on-top window over one screen that draws a
// 64-pixel glyph beside the pointer, repainting only the glyph's old and new
// rectangles. The resident-memory floor (main.cpp) and the overlay CPU
// benchmark both use it.

#include <QPainter>
#include <QWidget>

class FloorOverlay : public QWidget {
public:
    explicit FloorOverlay(QRect screen) : m_screen(screen)
    {
        setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(m_screen);
        show();
    }
    void follow(QPointF global)
    {
        const QRect glyph(QPointF(global - m_screen.topLeft() + QPointF(3, 9)).toPoint(), QSize(64, 64));
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
