#pragma once

// The two small badges beside the companion cursor: the listening waveform
// (five bars that move with the microphone level) and the processing
// spinner. Both are dark rounded cards with a thin blue border and a blue
// glow, drawn at an overall opacity `alpha`.

#include <QPainter>
#include <QPointF>
#include <QSizeF>

namespace tovrik::overlay {

// Seconds since 1 January 2001, 00:00:00 UTC, of the current wall-clock time
// (the time base of the waveform's wobble).
double secondsSinceReferenceDate();

class BlueCursorWaveformView {
public:
    BlueCursorWaveformView(double audioPowerLevel, double alpha, double animationDate)
        : audioPowerLevel(audioPowerLevel), alpha(alpha), animationDate(animationDate) {}

    double audioPowerLevel;
    double alpha;
    double animationDate; // seconds since the reference date

    static constexpr int barCount = 5;
    static constexpr double listeningBarProfile[barCount] = {0.4, 0.7, 1.0, 0.7, 0.4};
    static constexpr double timerInterval = 1.0 / 36.0;
    static constexpr double levelAnimationDuration = 0.08;
    static constexpr QSizeF cardSize{34, 24};
    static constexpr double cornerRadius = 8;

    // The level's response, 0...1: 0 up to a level of 0.008 (and for a level
    // that is not a number), saturating at about 0.359.
    static double normalizedLevel(double level);
    // Height of bar i (points) at level `level` and time T.
    static double barHeight(int i, double level, double T);
    double barHeight(int i) const { return barHeight(i, audioPowerLevel, animationDate); }

    // Draws the card centred at `centre`.
    void paint(QPainter& painter, QPointF centre) const;
};

class BlueCursorSpinnerView {
public:
    BlueCursorSpinnerView(double alpha, double rotationDegrees) : alpha(alpha), rotationDegrees(rotationDegrees) {}

    double alpha;
    double rotationDegrees; // the arc's current turn, clockwise

    static constexpr QSizeF cardSize{26, 26};
    static constexpr double cornerRadius = 9;
    static constexpr double arcDiameter = 14;
    static constexpr double arcLineWidth = 2.5;
    static constexpr double arcFraction = 0.3125;
    // One full turn every 0.8 s.
    static constexpr double turnDuration = 0.8;
    // The rotation `elapsed` seconds after the spinner started turning.
    static double rotationAt(double elapsed);

    void paint(QPainter& painter, QPointF centre) const;
};

// Draws the shared card (glow, background, content, border, clipped) of
// `size` and corner radius `radius` centred at `centre`; `content` draws in
// card coordinates (origin at the card's top-left).
template <typename Content>
void paintBadgeCard(QPainter& painter, QPointF centre, QSizeF size, double radius, double alpha, Content&& content);

// Implementation detail of paintBadgeCard.
void paintBadgeCardBackground(QPainter& painter, const QRectF& card, double radius, double alpha);
void paintBadgeCardBorder(QPainter& painter, const QRectF& card, double radius);

template <typename Content>
void paintBadgeCard(QPainter& painter, QPointF centre, QSizeF size, double radius, double alpha, Content&& content)
{
    const QRectF card(centre.x() - size.width() / 2, centre.y() - size.height() / 2, size.width(), size.height());
    painter.save();
    paintBadgeCardBackground(painter, card, radius, alpha);
    painter.translate(card.topLeft());
    content(painter);
    painter.translate(-card.topLeft());
    paintBadgeCardBorder(painter, card, radius);
    painter.restore();
}

} // namespace tovrik::overlay
