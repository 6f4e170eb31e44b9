#pragma once

#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

namespace tovrik::panel {

// The faint white wash that lights a control up while the pointer rests on
// it. It lies above the control's content (it lightens the label too), never
// receives clicks, fades in and out over 0.12 s (ease-out) on every change of
// the hover state, and stays invisible while the control is disabled; when a
// hovered control becomes enabled the wash shows at once.
class HoverHighlight : public QWidget {
    Q_OBJECT
public:
    enum class Shape { Rounded, Capsule };
    // Installs itself over `target` (as its child, kept on top and sized to it).
    HoverHighlight(QWidget* target, Shape shape, double cornerRadius, double opacity);

    bool isHovered() const { return m_hovered; }
    // The wash's current opacity (0 when hidden).
    double washOpacity() const;
    double opacity() const { return m_opacity; }
    // Fade duration in seconds (0.12).
    static constexpr double fadeDuration = 0.12;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent*) override;

private:
    void setHovered(bool hovered);
    QPainterPath shapePath() const;
    QPointer<QWidget> m_target;
    Shape m_shape;
    double m_radius;
    double m_opacity;
    bool m_hovered = false;
    double m_progress = 0; // 0 = not hovered, 1 = hovered; animated
    QVariantAnimation m_fade;
};

// Wraps `target` in a rounded hover highlight (radius, opacity).
HoverHighlight* roundedHoverHighlight(QWidget* target, double cornerRadius, double opacity);
HoverHighlight* capsuleHoverHighlight(QWidget* target, double opacity);

} // namespace tovrik::panel
