#include "panel/kit/PanelFont.h"

#include <QPainter>
#include <QPainterPath>

#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>

namespace tovrik::panel {

QFont panelFont(double points, FontWeight weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    double dpi = 96.0;
    if (auto* screen = QGuiApplication::primaryScreen())
        dpi = screen->logicalDotsPerInchY();
    if (dpi <= 0)
        dpi = 96.0;
    font.setPointSizeF(points * 72.0 / dpi);
    switch (weight) {
    case FontWeight::Regular: font.setWeight(QFont::Normal); break;
    case FontWeight::Medium: font.setWeight(QFont::Medium); break;
    case FontWeight::Semibold: font.setWeight(QFont::DemiBold); break;
    case FontWeight::Bold: font.setWeight(QFont::Bold); break;
    case FontWeight::Heavy: font.setWeight(QFont::ExtraBold); break;
    }
    return font;
}

void paintRoundedCard(QPainter& p, const QRectF& rect, double radius, const QColor& fill, const QColor& outline)
{
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(rect, radius, radius);
    p.setClipPath(shape);
    p.fillPath(shape, fill);
    p.setPen(QPen(outline, 1));
    p.drawPath(shape);
}

} // namespace tovrik::panel
