#pragma once

#include <QColor>
#include <QFont>

class QPainter;
class QRectF;

namespace tovrik::panel {

enum class FontWeight { Regular, Medium, Semibold, Bold, Heavy };

// The system font at a size in points (= Qt logical pixels) and a weight.
// Sizes are set through the screen's logical DPI so that 12 points come out
// 12 logical pixels tall whatever the DPI setting (setPointSize alone would
// be 4/3 too large at 96 DPI).
QFont panelFont(double points, FontWeight weight);

// Colour words of the panel.
inline QColor grey(int n) { return QColor(n, n, n); }
inline QColor whiteAt(double opacity) { return QColor::fromRgbF(1, 1, 1, float(opacity)); }
inline QColor blackAt(double opacity) { return QColor::fromRgbF(0, 0, 0, float(opacity)); }
inline QColor withOpacity(QColor c, double opacity)
{
    c.setAlphaF(float(opacity));
    return c;
}

// A rounded card: the painter is clipped to its shape, which is filled and
// outlined with a 1-point line.
void paintRoundedCard(QPainter& p, const QRectF& rect, double radius, const QColor& fill, const QColor& outline);

} // namespace tovrik::panel
