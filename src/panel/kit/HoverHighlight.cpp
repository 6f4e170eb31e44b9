#include "panel/kit/HoverHighlight.h"

#include <QEnterEvent>
#include <QEvent>
#include <QPainter>
#include <QPainterPath>

namespace tovrik::panel {

HoverHighlight::HoverHighlight(QWidget* target, Shape shape, double cornerRadius, double opacity)
    : QWidget(target), m_target(target), m_shape(shape), m_radius(cornerRadius), m_opacity(opacity)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setGeometry(target->rect());
    target->installEventFilter(this);
    target->setAttribute(Qt::WA_Hover);
    m_fade.setDuration(int(fadeDuration * 1000));
    m_fade.setEasingCurve(QEasingCurve::OutCubic);
    connect(&m_fade, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        m_progress = v.toDouble();
        update();
    });
    raise();
    if (target->underMouse())
        setHovered(true);
}

double HoverHighlight::washOpacity() const
{
    if (!m_target || !m_target->isEnabled())
        return 0;
    return m_opacity * m_progress;
}

void HoverHighlight::setHovered(bool hovered)
{
    if (hovered == m_hovered)
        return;
    m_hovered = hovered;
    m_fade.stop();
    m_fade.setStartValue(m_progress);
    m_fade.setEndValue(hovered ? 1.0 : 0.0);
    m_fade.start();
}

bool HoverHighlight::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_target) {
        switch (event->type()) {
        case QEvent::Enter:
        case QEvent::HoverEnter:
            setHovered(true);
            break;
        case QEvent::Leave:
        case QEvent::HoverLeave:
            setHovered(false);
            break;
        case QEvent::Resize:
            setGeometry(m_target->rect());
            break;
        case QEvent::Hide:
            // A control that leaves the screen (a page switch) forgets its
            // hover: hidden, it gets no leave when the pointer goes, and it
            // would come back lit.
            m_fade.stop();
            m_hovered = false;
            m_progress = 0;
            update();
            break;
        case QEvent::ChildAdded:
        case QEvent::Show:
            raise();
            break;
        case QEvent::EnabledChange:
            update();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

QPainterPath HoverHighlight::shapePath() const
{
    QPainterPath path;
    const QRectF r = rect();
    const double radius = m_shape == Shape::Capsule ? std::min(r.width(), r.height()) / 2 : m_radius;
    path.addRoundedRect(r, radius, radius);
    return path;
}

void HoverHighlight::paintEvent(QPaintEvent*)
{
    const double alpha = washOpacity();
    if (alpha <= 0)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(shapePath(), QColor::fromRgbF(1, 1, 1, float(alpha)));
}

HoverHighlight* roundedHoverHighlight(QWidget* target, double cornerRadius, double opacity)
{
    return new HoverHighlight(target, HoverHighlight::Shape::Rounded, cornerRadius, opacity);
}

HoverHighlight* capsuleHoverHighlight(QWidget* target, double opacity)
{
    return new HoverHighlight(target, HoverHighlight::Shape::Capsule, 0, opacity);
}

} // namespace tovrik::panel
