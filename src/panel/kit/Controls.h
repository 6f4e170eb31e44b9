#pragma once

// The small stateless controls that the panel's screens place again and
// again. Each is built from plain values and closures and never touches the
// model; hover feedback lives in HoverHighlight.

#include "panel/kit/HoverHighlight.h"
#include "panel/kit/PanelFont.h"

#include <QAbstractButton>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <optional>

class QHBoxLayout;

namespace tovrik::panel {

class PanelText;
class SymbolView;

// The 28 x 28 symbol button of the panel header; its tooltip and accessible
// name are the same string.
class HeaderIconButton : public QAbstractButton {
    Q_OBJECT
public:
    HeaderIconButton(const QString& systemName, const QString& accessibilityLabel, std::function<void()> action,
                     QWidget* parent = nullptr);
    void setSymbol(const QString& systemName);
    const QString& symbol() const { return m_symbol; }
    HoverHighlight* hoverHighlight() const { return m_hover; }
    void setSymbolOpacity(double opacity);
    QSize sizeHint() const override { return QSize(28, 28); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString m_symbol;
    double m_opacity = 0.62;
    HoverHighlight* m_hover;
};

// "%lld of %lld" and one 16 x 5 accent bar.
class PermissionStepIndicator : public QWidget {
    Q_OBJECT
public:
    PermissionStepIndicator(qint64 current, qint64 total, QWidget* parent = nullptr);
    void setSteps(qint64 current, qint64 total);
    QString text() const;

private:
    PanelText* m_text;
};

// One token of a shortcut, verbatim.
class HotkeyChip : public QWidget {
    Q_OBJECT
public:
    explicit HotkeyChip(const QString& text, QWidget* parent = nullptr);
    QString text() const;
    // Draws the token at `scale` times its 11 points (a line that shrinks
    // its text to fit); the padding stays.
    void setTextScale(double scale);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    PanelText* m_text;
};

// A small caption: size 10 bold, white at 0.28.
class PanelSectionLabel : public QWidget {
    Q_OBJECT
public:
    explicit PanelSectionLabel(const QString& text, QWidget* parent = nullptr);
    QString text() const;
    QSize sizeHint() const override;

private:
    PanelText* m_text;
};

// A one-point rule of white at 0.075 across the full width.
class DividerLine : public QWidget {
    Q_OBJECT
public:
    explicit DividerLine(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent*) override;
};

// How the "+" between two chips looks; it depends on the container.
struct KeySeparatorStyle {
    double points;
    FontWeight weight;
    double opacity;
};
// The separator of the two shortcut rows: size 9 medium, white 0.18.
inline constexpr KeySeparatorStyle rowKeySeparator{9, FontWeight::Medium, 0.18};

// Appends the key sequence of `keys` to `layout`, in the order given: a chip
// per token, and before every chip but the first a "+" in `separator`'s look.
// Identity is by position, so equal tokens are all shown. Chips are named
// "chip", separators "separator".
void appendKeySequence(QHBoxLayout* layout, const QStringList& keys, const KeySeparatorStyle& separator);

// The chips of one shortcut joined by "+" separators (size 9 medium, white
// 0.18), in the order given; identity by position, so equal tokens are all
// shown.
class KeySequenceView : public QWidget {
    Q_OBJECT
public:
    explicit KeySequenceView(QWidget* parent = nullptr);
    void setKeys(const QStringList& keys);
    const QStringList& keys() const { return m_keys; }
    int chipCount() const;
    int separatorCount() const;

private:
    QHBoxLayout* m_layout;
    QStringList m_keys;
};

// A label at the left and the key chips at the right.
class ShortcutValueRow : public QWidget {
    Q_OBJECT
public:
    ShortcutValueRow(const QString& label, const QStringList& keys, QWidget* parent = nullptr);
    void setKeys(const QStringList& keys);
    void setLabel(const QString& label);
    KeySequenceView* keysView() const { return m_keys; }

private:
    PanelText* m_label;
    KeySequenceView* m_keys;
};

// The chips at the left and a change button at the right, on a raised row.
class ShortcutCaptureRow : public QWidget {
    Q_OBJECT
public:
    ShortcutCaptureRow(const QStringList& keys, const QString& buttonTitle, std::function<void()> action,
                       QWidget* parent = nullptr);
    void setKeys(const QStringList& keys);
    void setButtonTitle(const QString& title);
    QAbstractButton* button() const { return m_button; }
    KeySequenceView* keysView() const { return m_keys; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    KeySequenceView* m_keys;
    QAbstractButton* m_button;
};

// A status word with a glowing dot: a 6 x 6 accent circle (glow of the
// accent at 0.8, radius 4) and "Active" at 11 medium in the accent, spaced
// 5, 14 high. No screen places it.
class ActiveStatusLabel : public QWidget {
    Q_OBJECT
public:
    explicit ActiveStatusLabel(QWidget* parent = nullptr);
    PanelText* textLabel() const { return m_text; }
    // Where the dot is drawn, in the label's coordinates.
    QRectF dotRect() const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    PanelText* m_text;
};

// A sentence around a shortcut on one line: the prefix (14 bold, white 0.62),
// the key chips with "+" separators at 15 bold white 0.42, and an optional
// suffix in the prefix's look at its ideal width, all spaced 7. When the
// line is too narrow its texts shrink, down to 0.82 of their size; beyond
// that the prefix is cut with an ellipsis. No screen places it.
class HotkeyShortcutLine : public QWidget {
    Q_OBJECT
public:
    HotkeyShortcutLine(const QString& prefix, const QStringList& keys, std::optional<QString> suffix,
                       QWidget* parent = nullptr);
    static constexpr KeySeparatorStyle separatorStyle{15, FontWeight::Bold, 0.42};
    static constexpr double minimumScaleFactor = 0.82;
    static constexpr int spacing = 7;
    PanelText* prefixLabel() const { return m_prefix; }
    PanelText* suffixLabel() const { return m_suffix; }
    int chipCount() const;
    int separatorCount() const;
    // The factor the texts are drawn at for the current width (1 = full size).
    double textScale() const { return m_scale; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent*) override;

private:
    void applyScale(double scale);
    // The line's width with every text at `scale`.
    double widthAt(double scale) const;

    QHBoxLayout* m_layout;
    PanelText* m_prefix;
    PanelText* m_suffix = nullptr;
    double m_scale = 1.0;
};

} // namespace tovrik::panel
