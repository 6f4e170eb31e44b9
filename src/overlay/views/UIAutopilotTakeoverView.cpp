#include "overlay/views/UIAutopilotTakeoverView.h"

#include "overlay/views/GaussianBlur.h"

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHash>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace tovrik::overlay {

namespace {

const QString kBullet = QStringLiteral("\u2022");

QFont bannerFont(QFont::Weight weight)
{
    QFont f = QGuiApplication::font();
    f.setPixelSize(13);
    f.setWeight(weight);
    return f;
}

struct BannerLayout {
    double titleWidth = 0;
    double bulletWidth = 0;
    double hintWidth = 0;
    double lineHeight = 0;
    double ascent = 0;
};

BannerLayout bannerLayout()
{
    const QFontMetricsF bold(bannerFont(QFont::DemiBold));
    const QFontMetricsF regular(bannerFont(QFont::Normal));
    BannerLayout l;
    l.titleWidth = bold.horizontalAdvance(UIAutopilotTakeoverView::titleText());
    l.hintWidth = bold.horizontalAdvance(UIAutopilotTakeoverView::hintText());
    l.bulletWidth = regular.horizontalAdvance(kBullet);
    l.lineHeight = std::max(bold.height(), regular.height());
    l.ascent = bold.ascent();
    return l;
}

QPainterPath roundedRect(const QRectF& r, double radius)
{
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    return path;
}

// The banner (glow, fill, outline, dot and texts) drawn once into an image
// with the glow's margin around it.
QImage renderBanner(double dpr)
{
    using V = UIAutopilotTakeoverView;
    const BannerLayout l = bannerLayout();
    const QSizeF size = V::bannerSize();
    const double margin = blurMargin(V::bannerGlowBlur);
    QImage image(QSizeF((size.width() + 2 * margin) * dpr, (size.height() + 2 * margin) * dpr).toSize(),
                 QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const QRectF rect(QPointF(margin, margin), size);
    const QPainterPath background = roundedRect(rect, V::bannerRadius);
    // The background's glow: the outline reaches half a point past the fill.
    p.setOpacity(0.62);
    p.drawImage(QPointF(0, 0) - QPointF(0.5, 0.5),
                blurredShapeImage(roundedRect(rect.adjusted(-0.5, -0.5, 0.5, 0.5), V::bannerRadius + 0.5),
                                  QColor(22, 139, 255), V::bannerGlowBlur, dpr));
    p.setOpacity(1);
    p.fillPath(background, V::bannerFillColor());
    p.setPen(QPen(V::bannerOutlineColor(), 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(background);

    const double rowTop = rect.top() + 9;
    const double rowMid = rowTop + l.lineHeight / 2;
    double x = rect.left() + 15;
    const QRectF dot(x, rowMid - V::dotDiameter / 2, V::dotDiameter, V::dotDiameter);
    QPainterPath dotPath;
    dotPath.addEllipse(dot);
    const double dotGlow = 6;
    p.setOpacity(0.8);
    p.drawImage(dot.topLeft() - QPointF(blurMargin(dotGlow), blurMargin(dotGlow)),
                blurredShapeImage(dotPath, Qt::white, dotGlow, dpr));
    p.setOpacity(1);
    p.fillPath(dotPath, QColor(234, 246, 255));
    x += V::dotDiameter + V::itemSpacing;
    const double baseline = rowTop + l.ascent;
    p.setFont(bannerFont(QFont::DemiBold));
    p.setPen(Qt::white);
    p.drawText(QPointF(x, baseline), V::titleText());
    x += l.titleWidth + V::itemSpacing;
    p.setFont(bannerFont(QFont::Normal));
    p.setPen(QColor(189, 229, 255));
    p.drawText(QPointF(x, baseline), kBullet);
    x += l.bulletWidth + V::itemSpacing;
    p.setFont(bannerFont(QFont::DemiBold));
    p.setPen(Qt::white);
    p.drawText(QPointF(x, baseline), V::hintText());
    return image;
}

const QImage& bannerImage(double dpr)
{
    static QHash<double, QImage> cache;
    auto it = cache.find(dpr);
    if (it == cache.end())
        it = cache.insert(dpr, renderBanner(dpr));
    return *it;
}

QTransform transitionTransform(QSizeF windowSize, double progress)
{
    const double scale = UIAutopilotTakeoverView::hiddenScale + (1 - UIAutopilotTakeoverView::hiddenScale) * progress;
    const double cx = windowSize.width() / 2;
    QTransform t;
    t.translate(cx, 0);
    t.scale(scale, scale);
    t.translate(-cx, 0);
    return t;
}

QRect outward(const QRectF& r) { return r.toAlignedRect().adjusted(-1, -1, 1, 1); }

} // namespace

QLinearGradient takeoverEdgeGradient(QPointF start, QPointF end)
{
    QLinearGradient g(start, end);
    g.setCoordinateMode(QGradient::ObjectMode);
    QColor c = UIAutopilotTakeoverView::edgeGlowColor();
    const std::pair<double, int> stops[] = {{0.0, 77}, {0.24, 28}, {0.56, 7}, {0.84, 0}, {1.0, 0}};
    for (const auto& [at, alpha] : stops) {
        c.setAlpha(alpha);
        g.setColorAt(at, c);
    }
    g.setSpread(QGradient::PadSpread);
    return g;
}

QString UIAutopilotTakeoverView::titleText()
{
    return QCoreApplication::translate("UIAutopilotTakeoverView", "Tovrik is using your computer");
}

QString UIAutopilotTakeoverView::hintText()
{
    return QCoreApplication::translate("UIAutopilotTakeoverView", "Esc to stop");
}

QSizeF UIAutopilotTakeoverView::bannerSize()
{
    const BannerLayout l = bannerLayout();
    const double content = dotDiameter + l.titleWidth + l.bulletWidth + l.hintWidth + 3 * itemSpacing;
    return QSizeF(content + 15 + 15, std::max(l.lineHeight, dotDiameter) + 9 + 10);
}

QRectF UIAutopilotTakeoverView::bannerRect(QSizeF windowSize)
{
    const QSizeF size = bannerSize();
    return QRectF(QPointF((windowSize.width() - size.width()) / 2, bannerTop), size);
}

void UIAutopilotTakeoverView::paint(QPainter& painter, QSizeF windowSize, double progress)
{
    progress = std::clamp(progress, 0.0, 1.0);
    if (!(progress > 0))
        return;
    const double w = windowSize.width(), h = windowSize.height();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(painter.opacity() * progress);
    painter.setTransform(transitionTransform(windowSize, progress), true);
    const double b = bandThickness;
    painter.fillRect(QRectF(0, 0, w, b), takeoverEdgeGradient(QPointF(0, 0), QPointF(0, 1)));
    painter.fillRect(QRectF(0, h - b, w, b), takeoverEdgeGradient(QPointF(0, 1), QPointF(0, 0)));
    painter.fillRect(QRectF(0, 0, b, h), takeoverEdgeGradient(QPointF(0, 0), QPointF(1, 0)));
    painter.fillRect(QRectF(w - b, 0, b, h), takeoverEdgeGradient(QPointF(1, 0), QPointF(0, 0)));
    QPen frame(frameLineColor(), frameWidth, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.setPen(frame);
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(frameInset, frameInset, w - 2 * frameInset, h - 2 * frameInset));
    const double dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const double margin = blurMargin(bannerGlowBlur);
    const QRectF banner = bannerRect(windowSize);
    // Fully shown, the banner lands on whole pixels so its text stays crisp.
    QPointF origin = banner.topLeft() - QPointF(margin, margin);
    if (progress >= 1)
        origin = QPointF(std::round(origin.x()), origin.y());
    painter.drawImage(origin, bannerImage(dpr));
    painter.restore();
}

QRegion UIAutopilotTakeoverView::paintedRegion(QSizeF windowSize, double progress)
{
    if (!(progress > 0))
        return QRegion();
    const QTransform t = transitionTransform(windowSize, std::min(progress, 1.0));
    const double w = windowSize.width(), h = windowSize.height(), b = bandThickness;
    const double m = blurMargin(bannerGlowBlur) + 1;
    QRegion region;
    for (const QRectF& r : {QRectF(0, 0, w, b), QRectF(0, h - b, w, b), QRectF(0, 0, b, h), QRectF(w - b, 0, b, h),
                            bannerRect(windowSize).adjusted(-m, -m, m, m)})
        region += outward(t.mapRect(r));
    return region;
}

} // namespace tovrik::overlay
