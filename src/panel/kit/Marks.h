#pragma once

#include <QColor>
#include <QPainterPath>
#include <QRectF>
#include <QWidget>

namespace tovrik::panel {

class PanelText;
class SymbolView;

// The four outlines of Google's G, each designed in an 18 x 18 square and
// stretched to the rectangle it is given (y down).
struct GoogleBlueShape {
    static QPainterPath path(const QRectF& rect);
};
struct GoogleGreenShape {
    static QPainterPath path(const QRectF& rect);
};
struct GoogleYellowShape {
    static QPainterPath path(const QRectF& rect);
};
struct GoogleRedShape {
    static QPainterPath path(const QRectF& rect);
};

// The four-colour G, always 18 x 18: blue, green, yellow, red, later on top.
class GoogleMarkView : public QWidget {
    Q_OBJECT
public:
    explicit GoogleMarkView(QWidget* parent = nullptr);
    QColor blue = QColor::fromRgbF(0.26f, 0.52f, 0.96f);
    QColor green = QColor::fromRgbF(0.20f, 0.66f, 0.33f);
    QColor yellow = QColor::fromRgbF(0.98f, 0.74f, 0.02f);
    QColor red = QColor::fromRgbF(0.92f, 0.26f, 0.21f);
    static void paint(QPainter& painter, const QRectF& rect, QColor blue, QColor green, QColor yellow, QColor red);

protected:
    void paintEvent(QPaintEvent*) override;
};

// "Sign in with Google": the mark, the text (13 bold), a spacer.
class GooglePrimaryLabel : public QWidget {
    Q_OBJECT
public:
    explicit GooglePrimaryLabel(QWidget* parent = nullptr);
    PanelText* textLabel() const { return m_text; }

private:
    PanelText* m_text;
};

// "Sign in with email": envelope, text, spacer, and a chevron (up while the
// form is open) in white at 0.48.
class EmailPrimaryLabel : public QWidget {
    Q_OBJECT
public:
    explicit EmailPrimaryLabel(bool isExpanded, QWidget* parent = nullptr);
    void setExpanded(bool isExpanded);
    bool isExpanded() const { return m_expanded; }
    QString chevronSymbol() const;
    PanelText* textLabel() const { return m_text; }

protected:
    void changeEvent(QEvent* event) override;

private:
    bool m_expanded;
    SymbolView* m_envelope;
    PanelText* m_text;
    SymbolView* m_chevron;
};

// "Continue with Google": the mark, the text (12 semibold), a spacer, filling
// the width. No screen places it.
class GoogleContinueLabel : public QWidget {
    Q_OBJECT
public:
    explicit GoogleContinueLabel(QWidget* parent = nullptr);
    PanelText* textLabel() const { return m_text; }
    GoogleMarkView* mark() const { return m_mark; }

private:
    GoogleMarkView* m_mark;
    PanelText* m_text;
};

} // namespace tovrik::panel

namespace tovrik::panel {

// A view showing one image drawn for its size at its device pixel ratio,
// kept until either changes. Mouse events pass through it.
class RenderedImageView : public QWidget {
    Q_OBJECT
public:
    using Renderer = QImage (*)(QSizeF size, double devicePixelRatio);
    RenderedImageView(Renderer render, QWidget* parent);

protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;

private:
    Renderer m_render;
    QImage m_cache;
};

// The product mark: the companion cursor's pointer glyph with a blurred blue
// glow, a dark gradient body, a bright outline and a blue shadow, flattened
// into one image. Glow width 3.38, blur 3.9, outline 1.3 and shadow 2.1 stay
// in points whatever the frame.
class TovrikMarkView : public RenderedImageView {
    Q_OBJECT
public:
    explicit TovrikMarkView(QWidget* parent = nullptr);
    // The flattened mark for a frame size at a device pixel ratio.
    static QImage render(QSizeF size, double devicePixelRatio);
};

// A pointer drawn in the manner of the product mark, as if floating in a
// corner of the screen: the same glyph and dark gradient, a white outline of
// 1.4, the accent glow and a soft black shadow beneath. No screen places it.
class FloatingCornerPointerView : public RenderedImageView {
    Q_OBJECT
public:
    explicit FloatingCornerPointerView(QWidget* parent = nullptr);
    static QImage render(QSizeF size, double devicePixelRatio);
};

} // namespace tovrik::panel
