#include "panel/kit/Symbols.h"

#include <QHash>
#include <QPainter>
#include <QPainterPathStroker>
#include <QtMath>
#include <cmath>
#include <functional>

namespace tovrik::panel {

namespace {

// Every symbol is designed in a 20 x 20 box. Stroked parts are turned into
// filled outlines with a pen whose width follows the weight.
struct Design {
    QPainterPath stroked; // centre lines, stroked with the weight's pen
    QPainterPath filled;  // areas filled as they are
};

double strokeWidthFor(FontWeight weight)
{
    switch (weight) {
    case FontWeight::Regular: return 1.6;
    case FontWeight::Medium: return 1.9;
    case FontWeight::Semibold: return 2.2;
    case FontWeight::Bold: return 2.5;
    case FontWeight::Heavy: return 2.9;
    }
    return 2.0;
}

void chevron(QPainterPath& p, double angleDegrees)
{
    // A chevron pointing right, rotated.
    QPainterPath c;
    c.moveTo(7.5, 4);
    c.lineTo(13.5, 10);
    c.lineTo(7.5, 16);
    QTransform t;
    t.translate(10, 10);
    t.rotate(angleDegrees);
    t.translate(-10, -10);
    p.addPath(t.map(c));
}

void circularArrow(QPainterPath& p, bool clockwise)
{
    // An open circle with an arrow head at its end.
    QPainterPath arc;
    const QRectF r(3.5, 3.5, 13, 13);
    arc.arcMoveTo(r, 60);
    arc.arcTo(r, 60, 300);
    QPainterPath head;
    head.moveTo(11.5, 1.8);
    head.lineTo(15.2, 4.6);
    head.lineTo(11.2, 7.2);
    if (!clockwise) {
        QTransform m;
        m.translate(20, 0);
        m.scale(-1, 1);
        arc = m.map(arc);
        head = m.map(head);
    }
    p.addPath(arc);
    p.addPath(head);
}

const QHash<QString, std::function<Design()>>& designs()
{
    static const QHash<QString, std::function<Design()>> table = {
        {QStringLiteral("xmark"), [] {
             Design d;
             d.stroked.moveTo(5, 5);
             d.stroked.lineTo(15, 15);
             d.stroked.moveTo(15, 5);
             d.stroked.lineTo(5, 15);
             return d;
         }},
        {QStringLiteral("plus"), [] {
             Design d;
             d.stroked.moveTo(10, 3.5);
             d.stroked.lineTo(10, 16.5);
             d.stroked.moveTo(3.5, 10);
             d.stroked.lineTo(16.5, 10);
             return d;
         }},
        {QStringLiteral("minus"), [] {
             Design d;
             d.stroked.moveTo(3.5, 10);
             d.stroked.lineTo(16.5, 10);
             return d;
         }},
        {QStringLiteral("checkmark"), [] {
             Design d;
             d.stroked.moveTo(3.5, 10.5);
             d.stroked.lineTo(8, 15);
             d.stroked.lineTo(16.5, 5);
             return d;
         }},
        {QStringLiteral("chevron.right"), [] { Design d; chevron(d.stroked, 0); return d; }},
        {QStringLiteral("chevron.down"), [] { Design d; chevron(d.stroked, 90); return d; }},
        {QStringLiteral("chevron.left"), [] { Design d; chevron(d.stroked, 180); return d; }},
        {QStringLiteral("chevron.up"), [] { Design d; chevron(d.stroked, 270); return d; }},
        {QStringLiteral("arrow.up"), [] {
             Design d;
             d.stroked.moveTo(10, 16.5);
             d.stroked.lineTo(10, 3.8);
             d.stroked.moveTo(4.5, 9);
             d.stroked.lineTo(10, 3.5);
             d.stroked.lineTo(15.5, 9);
             return d;
         }},
        {QStringLiteral("arrow.clockwise"), [] { Design d; circularArrow(d.stroked, true); return d; }},
        {QStringLiteral("arrow.counterclockwise"), [] { Design d; circularArrow(d.stroked, false); return d; }},
        {QStringLiteral("gearshape"), [] {
             Design d;
             // Eight teeth around a ring with a hole.
             QPainterPath gear;
             const int teeth = 8;
             const double outer = 9.2, inner = 7.2;
             for (int i = 0; i < teeth * 4; ++i) {
                 const double a = (i / double(teeth * 4)) * 2 * M_PI;
                 const bool high = (i % 4) == 1 || (i % 4) == 2;
                 const double r = high ? outer : inner;
                 const QPointF pt(10 + r * std::cos(a), 10 + r * std::sin(a));
                 if (i == 0)
                     gear.moveTo(pt);
                 else
                     gear.lineTo(pt);
             }
             gear.closeSubpath();
             QPainterPath hole;
             hole.addEllipse(QPointF(10, 10), 3.2, 3.2);
             d.filled = gear.subtracted(hole);
             return d;
         }},
        {QStringLiteral("envelope.fill"), [] {
             Design d;
             QPainterPath body;
             body.addRoundedRect(QRectF(1.5, 4, 17, 12), 2.2, 2.2);
             QPainterPath flap;
             flap.moveTo(1.5, 5.2);
             flap.lineTo(10, 11.2);
             flap.lineTo(18.5, 5.2);
             QPainterPathStroker s;
             s.setWidth(1.3);
             s.setJoinStyle(Qt::RoundJoin);
             s.setCapStyle(Qt::RoundCap);
             d.filled = body.subtracted(s.createStroke(flap));
             return d;
         }},
        {QStringLiteral("mic.fill"), [] {
             Design d;
             d.filled.addRoundedRect(QRectF(7, 1.5, 6, 11), 3, 3);
             d.stroked.moveTo(4.2, 9.5);
             d.stroked.cubicTo(4.2, 16, 15.8, 16, 15.8, 9.5);
             d.stroked.moveTo(10, 15);
             d.stroked.lineTo(10, 18.2);
             return d;
         }},
        {QStringLiteral("figure.stand"), [] {
             Design d;
             d.filled.addEllipse(QPointF(10, 3.5), 2.3, 2.3);
             d.stroked.moveTo(10, 7);
             d.stroked.lineTo(10, 12.5);
             d.stroked.moveTo(5.5, 8.2);
             d.stroked.lineTo(14.5, 8.2);
             d.stroked.moveTo(10, 12.5);
             d.stroked.lineTo(7.2, 18);
             d.stroked.moveTo(10, 12.5);
             d.stroked.lineTo(12.8, 18);
             return d;
         }},
        {QStringLiteral("rectangle.on.rectangle"), [] {
             Design d;
             d.stroked.addRoundedRect(QRectF(6, 2.5, 12, 10), 1.8, 1.8);
             d.stroked.moveTo(14, 15);
             d.stroked.lineTo(14, 16);
             d.stroked.arcTo(QRectF(10.4, 13.9, 3.6, 3.6), 0, -90);
             d.stroked.lineTo(3.8, 17.5);
             d.stroked.arcTo(QRectF(2, 13.9, 3.6, 3.6), 270, -90);
             d.stroked.lineTo(2, 8.3);
             d.stroked.arcTo(QRectF(2, 6.5, 3.6, 3.6), 180, -90);
             d.stroked.lineTo(4.2, 6.5);
             return d;
         }},
        {QStringLiteral("power"), [] {
             Design d;
             QPainterPath arc;
             const QRectF r(3, 3.5, 14, 14);
             arc.arcMoveTo(r, 55);
             arc.arcTo(r, 55, -290);
             d.stroked.addPath(arc);
             d.stroked.moveTo(10, 2);
             d.stroked.lineTo(10, 9.5);
             return d;
         }},
        {QStringLiteral("speaker.wave.2.fill"), [] {
             Design d;
             QPainterPath sp;
             sp.moveTo(2, 7.5);
             sp.lineTo(5.5, 7.5);
             sp.lineTo(10, 3.5);
             sp.lineTo(10, 16.5);
             sp.lineTo(5.5, 12.5);
             sp.lineTo(2, 12.5);
             sp.closeSubpath();
             d.filled = sp;
             QPainterPath w1, w2;
             w1.arcMoveTo(QRectF(7.5, 6.5, 7, 7), 45);
             w1.arcTo(QRectF(7.5, 6.5, 7, 7), 45, -90);
             w2.arcMoveTo(QRectF(6, 3.5, 13, 13), 50);
             w2.arcTo(QRectF(6, 3.5, 13, 13), 50, -100);
             d.stroked.addPath(w1);
             d.stroked.addPath(w2);
             return d;
         }},
        {QStringLiteral("keyboard"), [] {
             Design d;
             d.stroked.addRoundedRect(QRectF(1.5, 4.5, 17, 11), 2, 2);
             for (int i = 0; i < 4; ++i)
                 d.filled.addRect(QRectF(4 + i * 3.4, 7.2, 1.6, 1.6));
             d.filled.addRect(QRectF(6, 11.6, 8, 1.4));
             return d;
         }},
        {QStringLiteral("slider.horizontal.3"), [] {
             Design d;
             for (int i = 0; i < 3; ++i) {
                 const double y = 4.5 + i * 5.5;
                 d.stroked.moveTo(2.5, y);
                 d.stroked.lineTo(17.5, y);
                 d.filled.addEllipse(QPointF(i == 1 ? 13 : 7, y), 2.3, 2.3);
             }
             return d;
         }},
        {QStringLiteral("person.crop.circle"), [] {
             Design d;
             d.stroked.addEllipse(QPointF(10, 10), 8, 8);
             d.filled.addEllipse(QPointF(10, 7.8), 3, 3);
             QPainterPath body;
             body.moveTo(4.6, 15.4);
             body.cubicTo(6, 11.5, 14, 11.5, 15.4, 15.4);
             d.stroked.addPath(body);
             return d;
         }},
    };
    return table;
}

} // namespace

bool hasSymbol(const QString& name) { return designs().contains(name); }

QStringList symbolNames()
{
    QStringList names = designs().keys();
    names.sort();
    return names;
}

QPainterPath symbolPath(const QString& name, double points, FontWeight weight)
{
    const auto it = designs().constFind(name);
    if (it == designs().constEnd())
        return {};
    const Design design = (*it)();
    QPainterPathStroker stroker;
    stroker.setWidth(strokeWidthFor(weight));
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    QPainterPath path = design.filled;
    path.setFillRule(Qt::WindingFill);
    if (!design.stroked.isEmpty())
        path = path.united(stroker.createStroke(design.stroked));
    const double extent = symbolExtent(points);
    QTransform t;
    t.scale(extent / 20.0, extent / 20.0);
    return t.map(path);
}

void paintSymbol(QPainter& painter, const QString& name, QRectF box, double points, FontWeight weight,
                 const QColor& color)
{
    const QPainterPath path = symbolPath(name, points, weight);
    if (path.isEmpty())
        return;
    const double extent = symbolExtent(points);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.translate(box.center().x() - extent / 2, box.center().y() - extent / 2);
    painter.fillPath(path, color);
    painter.restore();
}

SymbolView::SymbolView(QString name, double points, FontWeight weight, QColor color, QWidget* parent)
    : QWidget(parent), m_name(std::move(name)), m_points(points), m_weight(weight), m_color(color)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const int e = int(std::ceil(symbolExtent(points)));
    setFixedSize(e, e);
}

void SymbolView::setSymbol(const QString& name)
{
    if (name == m_name)
        return;
    m_name = name;
    update();
}

void SymbolView::setColor(const QColor& color)
{
    if (color == m_color)
        return;
    m_color = color;
    update();
}

QSize SymbolView::sizeHint() const
{
    const int e = int(std::ceil(symbolExtent(m_points)));
    return QSize(e, e);
}

void SymbolView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintSymbol(p, m_name, rect(), m_points, m_weight, m_color);
}

} // namespace tovrik::panel
