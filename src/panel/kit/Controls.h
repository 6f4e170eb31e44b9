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

} // namespace tovrik::panel
