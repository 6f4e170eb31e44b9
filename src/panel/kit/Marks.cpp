#include "panel/kit/Marks.h"

#include "panel/kit/PanelText.h"
#include "panel/kit/Symbols.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>

namespace tovrik::panel {

namespace {

class DesignMapper {
public:
    explicit DesignMapper(const QRectF& r) : m_r(r), m_sx(r.width() / 18.0), m_sy(r.height() / 18.0) {}
    QPointF operator()(double x, double y) const { return QPointF(m_r.left() + x * m_sx, m_r.top() + y * m_sy); }

private:
    QRectF m_r;
    double m_sx, m_sy;
};

} // namespace

QPainterPath GoogleBlueShape::path(const QRectF& rect)
{
    DesignMapper m(rect);
    QPainterPath p;
    p.moveTo(m(17.64, 9.2045));
    p.cubicTo(m(17.64, 8.5665), m(17.5827, 7.9527), m(17.4764, 7.3636));
    p.lineTo(m(9, 7.3636));
    p.lineTo(m(9, 10.8454));
    p.lineTo(m(13.8436, 10.8454));
    p.cubicTo(m(13.6349, 11.9704), m(13.0009, 12.9236), m(12.0468, 13.5609));
    p.lineTo(m(12.0468, 15.8191));
    p.lineTo(m(14.9554, 15.8191));
    p.cubicTo(m(16.6572, 14.2527), m(17.64, 11.945), m(17.64, 9.2045));
    p.closeSubpath();
    p.setFillRule(Qt::WindingFill);
    return p;
}

QPainterPath GoogleGreenShape::path(const QRectF& rect)
{
    DesignMapper m(rect);
    QPainterPath p;
    p.moveTo(m(9, 18));
    p.cubicTo(m(11.43, 18), m(13.4673, 17.1936), m(14.9564, 15.8195));
    p.lineTo(m(12.0478, 13.5613));
    p.cubicTo(m(11.2415, 14.1013), m(10.211, 14.4204), m(9, 14.4204));
    p.cubicTo(m(6.6559, 14.4204), m(4.6718, 12.8372), m(3.9627, 10.7099));
    p.lineTo(m(0.9573, 13.0417));
    p.cubicTo(m(2.4382, 15.9832), m(5.4818, 18), m(9, 18));
    p.closeSubpath();
    p.setFillRule(Qt::WindingFill);
    return p;
}

QPainterPath GoogleYellowShape::path(const QRectF& rect)
{
    DesignMapper m(rect);
    QPainterPath p;
    p.moveTo(m(3.9627, 10.7095));
    p.cubicTo(m(3.7827, 10.1695), m(3.6804, 9.5927), m(3.6804, 9));
    p.cubicTo(m(3.6804, 8.4073), m(3.7827, 7.8305), m(3.9627, 7.2905));
    p.lineTo(m(3.9627, 4.9582));
    p.lineTo(m(0.9573, 4.9582));
    p.cubicTo(m(0.3477, 6.1773), m(0, 7.5505), m(0, 9));
    p.cubicTo(m(0, 10.4495), m(0.3477, 11.8227), m(0.9573, 13.0418));
    p.lineTo(m(3.9627, 10.7095));
    p.closeSubpath();
    p.setFillRule(Qt::WindingFill);
    return p;
}

QPainterPath GoogleRedShape::path(const QRectF& rect)
{
    DesignMapper m(rect);
    QPainterPath p;
    p.moveTo(m(9, 3.5795));
    p.cubicTo(m(10.3214, 3.5795), m(11.5077, 4.0336), m(12.4405, 4.9254));
    p.lineTo(m(15.0219, 2.344));
    p.cubicTo(m(13.4591, 0.8918), m(11.4218, 0), m(9, 0));
    p.cubicTo(m(5.4818, 0), m(2.4382, 2.0168), m(0.9573, 4.9582));
    p.lineTo(m(3.9627, 7.2905));
    p.cubicTo(m(4.6718, 5.1627), m(6.6559, 3.5795), m(9, 3.5795));
    p.closeSubpath();
    p.setFillRule(Qt::WindingFill);
    return p;
}

GoogleMarkView::GoogleMarkView(QWidget* parent) : QWidget(parent)
{
    setFixedSize(18, 18);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void GoogleMarkView::paint(QPainter& painter, const QRectF& rect, QColor blue, QColor green, QColor yellow, QColor red)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillPath(GoogleBlueShape::path(rect), blue);
    painter.fillPath(GoogleGreenShape::path(rect), green);
    painter.fillPath(GoogleYellowShape::path(rect), yellow);
    painter.fillPath(GoogleRedShape::path(rect), red);
    painter.restore();
}

void GoogleMarkView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paint(p, QRectF(0, 0, 18, 18), blue, green, yellow, red);
}

GooglePrimaryLabel::GooglePrimaryLabel(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(new GoogleMarkView(this), 0, Qt::AlignVCenter);
    m_text = new PanelText(tr("Sign in with Google"));
    m_text->setPanelFont(13, FontWeight::Bold);
    m_text->setMaxLines(1);
    layout->addWidget(m_text, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

EmailPrimaryLabel::EmailPrimaryLabel(bool isExpanded, QWidget* parent) : QWidget(parent), m_expanded(isExpanded)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    m_envelope = new SymbolView(QStringLiteral("envelope.fill"), 13, FontWeight::Semibold,
                                palette().color(QPalette::WindowText), this);
    layout->addWidget(m_envelope, 0, Qt::AlignVCenter);
    m_text = new PanelText(tr("Sign in with email"));
    m_text->setPanelFont(13, FontWeight::Bold);
    m_text->setMaxLines(1);
    layout->addWidget(m_text, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    m_chevron = new SymbolView(chevronSymbol(), 11, FontWeight::Heavy, whiteAt(0.48), this);
    layout->addWidget(m_chevron, 0, Qt::AlignVCenter);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

QString EmailPrimaryLabel::chevronSymbol() const
{
    return m_expanded ? QStringLiteral("chevron.up") : QStringLiteral("chevron.down");
}

void EmailPrimaryLabel::setExpanded(bool isExpanded)
{
    m_expanded = isExpanded;
    m_chevron->setSymbol(chevronSymbol());
}

GoogleContinueLabel::GoogleContinueLabel(QWidget* parent) : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    m_mark = new GoogleMarkView(this);
    layout->addWidget(m_mark, 0, Qt::AlignVCenter);
    m_text = new PanelText(tr("Continue with Google"));
    m_text->setPanelFont(12, FontWeight::Semibold);
    m_text->setMaxLines(1);
    layout->addWidget(m_text, 0, Qt::AlignVCenter);
    layout->addStretch(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void EmailPrimaryLabel::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        m_envelope->setColor(palette().color(QPalette::WindowText));
    QWidget::changeEvent(event);
}

} // namespace tovrik::panel

#include "overlay/views/CursorShapes.h"
#include "overlay/views/GaussianBlur.h"

#include <QLinearGradient>
#include <cmath>
#include <functional>

namespace tovrik::panel {

namespace {

QImage emptyImage(QSize pixels, double dpr)
{
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    return image;
}

QSize pixelSize(QSizeF size, double dpr)
{
    return QSize(std::max(1, int(std::ceil(size.width() * dpr))), std::max(1, int(std::ceil(size.height() * dpr))));
}

// What `draw` paints, in its own image, blurred by `radius` points.
QImage blurredLayer(QSize pixels, double dpr, const std::function<void(QPainter&)>& draw, double radius)
{
    QImage layer = emptyImage(pixels, dpr);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        draw(p);
    }
    QImage blurred = overlay::gaussianBlurred(layer, overlay::blurSigma(radius, dpr));
    blurred.setDevicePixelRatio(dpr);
    return blurred;
}

// The mark's dark body: grey 25, 11 and 1 from unit point (0.15, 0.10) to
// (0.90, 0.95) of the frame.
QLinearGradient markBodyGradient(const QRectF& frame)
{
    QLinearGradient gradient(QPointF(frame.left() + 0.15 * frame.width(), frame.top() + 0.10 * frame.height()),
                             QPointF(frame.left() + 0.90 * frame.width(), frame.top() + 0.95 * frame.height()));
    gradient.setColorAt(0.0, QColor(25, 25, 25));
    gradient.setColorAt(0.52, QColor(11, 11, 11));
    gradient.setColorAt(1.0, QColor(1, 1, 1));
    return gradient;
}

const QColor markShadowBlue = QColor::fromRgbF(42 / 255.0f, 145 / 255.0f, 1.0f, 0.82f);

} // namespace

RenderedImageView::RenderedImageView(Renderer render, QWidget* parent) : QWidget(parent), m_render(render)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void RenderedImageView::resizeEvent(QResizeEvent*) { m_cache = QImage(); }

void RenderedImageView::paintEvent(QPaintEvent*)
{
    const double dpr = devicePixelRatioF();
    if (m_cache.isNull() || !qFuzzyCompare(m_cache.devicePixelRatio(), dpr))
        m_cache = m_render(size(), dpr);
    QPainter p(this);
    p.drawImage(QPointF(0, 0), m_cache);
}

TovrikMarkView::TovrikMarkView(QWidget* parent) : RenderedImageView(&TovrikMarkView::render, parent) {}

QImage TovrikMarkView::render(QSizeF size, double dpr)
{
    const QSize pixels = pixelSize(size, dpr);
    QImage out = emptyImage(pixels, dpr);
    const QRectF frame(QPointF(0, 0), size);
    const QPainterPath shape = overlay::TovrikMorphingCursorShape::path(frame, 0);

    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    // 1. Glow: the outline stroked in (40, 146, 255) at 163/255, blurred 3.9,
    //    then the whole layer at 0.82.
    const QImage glow = blurredLayer(
        pixels, dpr,
        [&](QPainter& p) {
            QPen pen(QColor(40, 146, 255, 163), 3.38, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
            p.strokePath(shape, pen);
        },
        3.9);
    painter.setOpacity(0.82);
    painter.drawImage(QPointF(0, 0), glow);
    painter.setOpacity(1.0);

    // 2. Body: a blue shadow (radius 2.1, no offset) under the gradient fill
    //    and the white outline.
    const QPen outline(QColor(255, 255, 255, 247), 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    const QImage shadow = blurredLayer(
        pixels, dpr,
        [&](QPainter& p) {
            p.fillPath(shape, markShadowBlue);
            p.strokePath(shape, QPen(markShadowBlue, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        },
        2.1);
    painter.drawImage(QPointF(0, 0), shadow);
    painter.fillPath(shape, markBodyGradient(frame));
    painter.strokePath(shape, outline);
    return out;
}

// ---- FloatingCornerPointerView ----

namespace {
// Where the pointer sits in its frame: inset so that the shadow below and the
// glow around it stay inside the image.
constexpr double floatingPointerInset = 4;
constexpr QPointF floatingPointerShadowOffset(0, 2);
} // namespace

FloatingCornerPointerView::FloatingCornerPointerView(QWidget* parent)
    : RenderedImageView(&FloatingCornerPointerView::render, parent)
{
}

// The composition follows the product mark, whose choices it reuses where
// the drawing leaves them open: the same pointer outline (the companion
// cursor's glyph at progress 0), the body's gradient, a glow of the accent
// colour at 0.82 blurred 2.1 with no offset under the body (as the mark's
// body shadow), and, further below, the black at 0.36 as a drop shadow
// blurred 2.1 and moved 2 down, which lifts the pointer off what lies behind.
QImage FloatingCornerPointerView::render(QSizeF size, double dpr)
{
    const QSize pixels = pixelSize(size, dpr);
    QImage out = emptyImage(pixels, dpr);
    const QRectF frame = QRectF(QPointF(0, 0), size)
                             .adjusted(floatingPointerInset, floatingPointerInset, -floatingPointerInset,
                                       -floatingPointerInset);
    if (frame.width() <= 0 || frame.height() <= 0)
        return out;
    const QPainterPath shape = overlay::TovrikMorphingCursorShape::path(frame, 0);
    QPainter painter(&out);
    painter.setRenderHint(QPainter::Antialiasing);
    const QImage drop = blurredLayer(
        pixels, dpr, [&](QPainter& p) { p.fillPath(shape.translated(floatingPointerShadowOffset), blackAt(0.36)); }, 2.1);
    painter.drawImage(QPointF(0, 0), drop);
    const QImage glow = blurredLayer(
        pixels, dpr,
        [&](QPainter& p) {
            p.fillPath(shape, markShadowBlue);
            p.strokePath(shape, QPen(markShadowBlue, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        },
        2.1);
    painter.drawImage(QPointF(0, 0), glow);
    painter.fillPath(shape, markBodyGradient(frame));
    painter.strokePath(shape, QPen(QColor(255, 255, 255, 247), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    return out;
}

} // namespace tovrik::panel
