#include "panel/PanelCardShadow.h"

#include "overlay/FloatingWindow.h"
#include "overlay/views/GaussianBlur.h"
#include "panel/kit/PanelFont.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <qdrawutil.h>

namespace tovrik::panel {

namespace {
int blurReach() { return int(overlay::blurMargin(PanelCardShadow::shadowRadius)); }
} // namespace

PanelCardShadow::PanelCardShadow(double cornerRadius)
    : QWidget(nullptr, overlay::floatingWindowFlags), m_cornerRadius(cornerRadius)
{
    overlay::prepareFloatingWindow(this, QStringLiteral("Tovrik panel shadow"));
}

QMargins PanelCardShadow::margins()
{
    const int reach = blurReach();
    const int offset = int(shadowOffsetY);
    return QMargins(reach, std::max(0, reach - offset), reach, reach + offset);
}

void PanelCardShadow::follow(const QRect& card, bool visible)
{
    if (!visible) {
        hide();
        return;
    }
    const QRect frame = card.marginsAdded(margins());
    if (geometry() != frame) {
        setGeometry(frame);
        update();
    }
    if (!isVisible())
        show();
}

void PanelCardShadow::paintEvent(QPaintEvent*)
{
    const double dpr = devicePixelRatioF();
    const int reach = blurReach();
    if (m_template.isNull() || !qFuzzyCompare(m_template.devicePixelRatio(), dpr)) {
        // A card large enough that its middle row and column are the
        // shadow's full strength: the corner radius plus the blur's reach
        // on each side, and one point to stretch.
        const double side = 2 * (m_cornerRadius + reach) + 1;
        QPainterPath card;
        card.addRoundedRect(QRectF(0, 0, side, side), m_cornerRadius, m_cornerRadius);
        m_template = QPixmap::fromImage(
            overlay::blurredShapeImage(card, blackAt(shadowOpacity), shadowRadius, dpr));
        m_template.setDevicePixelRatio(dpr);
        m_templateCorner = int(std::floor(side / 2.0)) + reach;
    }
    const QRect card = rect().marginsRemoved(margins());
    const QRect shadow = card.translated(0, int(shadowOffsetY)).adjusted(-reach, -reach, reach, reach);
    QPainter p(this);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), Qt::transparent);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    const int k = m_templateCorner;
    qDrawBorderPixmap(&p, shadow, QMargins(k, k, k, k), m_template);
    // The card covers its own shadow: clear where it lies.
    p.setRenderHint(QPainter::Antialiasing);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    QPainterPath cardShape;
    cardShape.addRoundedRect(QRectF(card), m_cornerRadius, m_cornerRadius);
    p.fillPath(cardShape, Qt::black);
}

} // namespace tovrik::panel
