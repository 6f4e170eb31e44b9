#pragma once

// The look of a UI Autopilot run on every screen: a soft blue glow along the
// four edges, a thin blue frame around the screen and, at the top centre, a
// banner "Tovrik is using your computer" • "Esc to stop". Everything it draws
// is fixed; the companion view decides when it exists and drives its
// appearing and disappearing (a fade with a scale from 0.985 about the top
// centre). It takes no input: the overlay windows let every click through.

#include <QColor>
#include <QLinearGradient>
#include <QPainter>
#include <QRectF>
#include <QRegion>
#include <QSizeF>
#include <QString>

namespace tovrik::overlay {

// The gradient of one edge band: the edge glow colour from the unit point
// `start` (0) to `end` (1) of the band's rectangle, opacity 77, 28, 7 and 0
// (of 255) at 0, 0.24, 0.56 and 0.84; transparent beyond 0.84.
QLinearGradient takeoverEdgeGradient(QPointF start, QPointF end);

class UIAutopilotTakeoverView {
public:
    static constexpr double bandThickness = 34;
    static constexpr double frameInset = 1;
    static constexpr double frameWidth = 2;
    static constexpr double bannerTop = 14;
    static constexpr double bannerRadius = 11;
    static constexpr double bannerGlowBlur = 18;
    static constexpr double dotDiameter = 7;
    static constexpr double itemSpacing = 8;
    static constexpr double transitionDuration = 0.22;
    static constexpr double hiddenScale = 0.985;

    static QColor edgeGlowColor() { return QColor(40, 144, 255); }
    static QColor frameLineColor() { return QColor(43, 148, 255, 230); }
    static QColor bannerFillColor() { return QColor(18, 120, 213, 240); }
    static QColor bannerOutlineColor() { return QColor(117, 196, 255, 154); }

    // The banner's texts, looked up in the application's translations.
    static QString titleText();
    static QString separatorText(); // a bullet
    static QString hintText();

    // The banner's size: its content (dot, two texts and the bullet with 8
    // points between them) plus 15 points of padding left and right, 9 on top
    // and 10 below.
    static QSizeF bannerSize();
    // Where the banner lies in a window of `windowSize` (fully shown).
    static QRectF bannerRect(QSizeF windowSize);

    // Draws the look at `progress` of its transition (0 absent, 1 shown):
    // opacity `progress`, scaled by 0.985 + 0.015 × progress about the top
    // centre of the window.
    static void paint(QPainter& painter, QSizeF windowSize, double progress);
    // The window area (whole pixels) that paint() may touch at `progress`;
    // empty at 0.
    static QRegion paintedRegion(QSizeF windowSize, double progress);

    // The look is drawn from images made on first use. The four edge bands,
    // as long as the window's edges (about 1.1 MB for a 2560 × 1440 screen),
    // are cheap to make and given back when no window shows the look any
    // more; the banner's image (about 150 KB, with two blurred glows that
    // take far longer to make) is kept for the next run.
    static void releaseBandImages();
    // What the band images hold now, in bytes.
    static qint64 bandImageBytes();
};

} // namespace tovrik::overlay
