#pragma once

#include "panel/kit/PanelFont.h"

#include <QPainterPath>
#include <QRectF>
#include <QString>
#include <QWidget>

class QPainter;

namespace tovrik::panel {

// The named symbols of the panel ("gearshape", "xmark", "arrow.clockwise",
// "mic.fill", "envelope.fill", "chevron.up", ...) drawn as our own vector
// outlines: no icon set can be assumed on a bare Linux desktop.
bool hasSymbol(const QString& name);
QStringList symbolNames();
// The filled outline of a symbol set at `points` with `weight`, fitted into
// a square of that size at the origin. Unknown names give an empty path.
QPainterPath symbolPath(const QString& name, double points, FontWeight weight);
// The size the symbol occupies at that font size (square).
inline double symbolExtent(double points) { return points * 1.1; }
void paintSymbol(QPainter& painter, const QString& name, QRectF box, double points, FontWeight weight,
                 const QColor& color);

// A widget that shows one symbol centred in its rectangle.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    SymbolView(QString name, double points, FontWeight weight, QColor color, QWidget* parent = nullptr);
    void setSymbol(const QString& name);
    void setColor(const QColor& color);
    const QString& symbol() const { return m_name; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString m_name;
    double m_points;
    FontWeight m_weight;
    QColor m_color;
};

} // namespace tovrik::panel
