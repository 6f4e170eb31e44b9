#pragma once

#include "panel/kit/HoverHighlight.h"
#include "panel/kit/PanelFont.h"

#include <QAbstractButton>
#include <QPainterPath>
#include <optional>

namespace tovrik::panel {

class PanelText;

// The eleven button styles. They share one construction and differ only in
// the values of their table row (buttonStyleSpec).
enum class ButtonStyle {
    Primary,
    Secondary,
    Compact,
    CompactSecondary,
    CompactPrimary,
    Permission,
    Ask,
    Pill,
    WideSecondary,
    WidePrimary,
    Google,
};

struct StyleShape {
    enum class Kind { None, Rounded, Capsule };
    Kind kind = Kind::None;
    double radius = 0;
};

struct ButtonStyleSpec {
    std::optional<double> fontSize; // none: the label keeps its own font
    FontWeight weight = FontWeight::Regular;
    QColor text;
    std::optional<QColor> disabledText;       // Ask only
    bool lineLimit = false;                   // at most one line, tail truncated
    bool fixedWidth = false;                  // keeps its ideal width
    double minimumWidth = 0;                  // centred content
    bool fullWidth = false;                   // fills the offered width
    double minimumHeight = 0;
    double paddingH = 0;
    double paddingV = 0;
    QColor background;
    QColor pressedBackground;
    std::optional<QColor> disabledBackground; // Ask only, pressed or not
    StyleShape border;
    QColor borderColor;
    double borderWidth = 0;
    StyleShape clip;
    double hoverOpacity = 0;                  // hover shape = clip shape
};

const ButtonStyleSpec& buttonStyleSpec(ButtonStyle style);

// A button drawn by one of the styles: the label (a text, or a label widget
// such as the Google sign-in row) inside the padding, the fill (pressed fill
// at once while held), the border stroked along its shape and clipped by the
// clip shape, and the hover wash above. Only the clip shape takes clicks.
class StyledButton : public QAbstractButton {
    Q_OBJECT
public:
    StyledButton(ButtonStyle style, const QString& text, QWidget* parent = nullptr);
    // A button whose label is `label` (reparented into the button). Its text
    // colour comes from the palette (WindowText) that the style sets.
    StyledButton(ButtonStyle style, QWidget* label, QWidget* parent = nullptr);

    ButtonStyle style() const { return m_style; }
    void setTitle(const QString& text);
    QString title() const;
    HoverHighlight* hoverHighlight() const { return m_hover; }
    PanelText* textLabel() const { return m_text; }
    // The clip (= hit) shape in widget coordinates.
    QPainterPath clipShape() const;
    // Colours the look would use now (for tests and accessibility checks).
    QColor currentBackground() const;
    QColor currentTextColor() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent*) override;
    bool hitButton(const QPoint& pos) const override;
    void changeEvent(QEvent* event) override;

private:
    void build(QWidget* label);
    void applyTextColor();
    static QPainterPath shapePath(const StyleShape& shape, const QRectF& rect);

    ButtonStyle m_style;
    const ButtonStyleSpec& m_spec;
    QWidget* m_label = nullptr;
    PanelText* m_text = nullptr;
    HoverHighlight* m_hover = nullptr;
};

} // namespace tovrik::panel
