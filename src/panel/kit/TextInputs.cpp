#include "panel/kit/TextInputs.h"

#include "common/Constants.h"
#include "panel/kit/PanelFont.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/StyledButton.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QVBoxLayout>

#include <limits>

namespace tovrik::panel {

namespace {
void styleField(QLineEdit* field, const QColor& placeholder)
{
    field->setFrame(false);
    field->setAttribute(Qt::WA_MacShowFocusRect, false);
    field->setFont(panelFont(13, FontWeight::Semibold));
    QPalette pal = field->palette();
    pal.setColor(QPalette::Base, Qt::transparent);
    pal.setColor(QPalette::Window, Qt::transparent);
    pal.setColor(QPalette::Text, grey(242));
    pal.setColor(QPalette::PlaceholderText, placeholder);
    pal.setColor(QPalette::Highlight, constants::turquoiseAccent());
    pal.setColor(QPalette::HighlightedText, Qt::white);
    field->setPalette(pal);
    field->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; border: none; padding: 0px; }"));
    // The whole text is kept: QLineEdit would otherwise cut it at 32,767.
    field->setMaxLength(std::numeric_limits<int>::max());
}
} // namespace

BorderlessChatTextField::BorderlessChatTextField(QWidget* parent) : QLineEdit(parent)
{
    styleField(this, withOpacity(grey(176), 0.62));
    setAccessibleName(QStringLiteral("Ask Tovrik"));
}

void BorderlessChatTextField::setPlaceholder(const QString& placeholder) { setPlaceholderText(placeholder); }

void BorderlessChatTextField::keyPressEvent(QKeyEvent* event)
{
    // Return and Enter do nothing here, and are not passed on either (a
    // default button of a window must not fire from this field).
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

ChatTextInput::ChatTextInput(const QString& placeholder, double height, QWidget* parent) : QWidget(parent)
{
    setFixedHeight(int(height));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* layout = new QVBoxLayout(this);
    // The field sits along the top of a tall box; in a short box it is centred.
    const int top = height >= 24 + 9 + 9 ? 9 : std::max(0, int((height - 24) / 2));
    layout->setContentsMargins(12, top, 12, 0);
    m_field = new BorderlessChatTextField(this);
    m_field->setPlaceholder(placeholder);
    m_field->setFixedHeight(24);
    layout->addWidget(m_field);
    layout->addStretch(1);
    connect(m_field, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (onEdited)
            onEdited(text);
    });
}

void ChatTextInput::setText(const QString& text)
{
    if (m_field->text() == text)
        return;
    m_field->setText(text);
    // A text set from outside (a prompt put back after a failed turn) shows
    // its beginning, as a short one does; QLineEdit would scroll to its end.
    m_field->setCursorPosition(0);
}

QString ChatTextInput::text() const { return m_field->text(); }

void ChatTextInput::mousePressEvent(QMouseEvent* event)
{
    ++m_focusRequest;
    if (m_focusRequest != m_handledFocusRequest) {
        m_handledFocusRequest = m_focusRequest;
        QTimer::singleShot(0, m_field, [field = m_field]() {
            if (field->window())
                field->setFocus(Qt::MouseFocusReason);
        });
    }
    QWidget::mousePressEvent(event);
}

void ChatTextInput::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintRoundedCard(p, QRectF(rect()), 8, blackAt(0.24), whiteAt(0.12));
}

AccountTextInput::AccountTextInput(const QString& placeholder, bool secure, QWidget* parent)
    : QWidget(parent), m_placeholder(placeholder)
{
    setMinimumHeight(36);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(13, 8, 13, 8);
    m_field = new QLineEdit(this);
    styleField(m_field, withOpacity(grey(177), 0.62));
    m_field->setPlaceholderText(placeholder);
    m_field->setAccessibleName(placeholder);
    if (secure)
        m_field->setEchoMode(QLineEdit::Password);
    layout->addWidget(m_field);
    connect(m_field, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (onEdited)
            onEdited(text);
    });
}

void AccountTextInput::setText(const QString& text)
{
    if (m_field->text() != text)
        m_field->setText(text);
}

QString AccountTextInput::text() const { return m_field->text(); }

bool AccountTextInput::isPlaceholderVisible() const { return m_field->text().isEmpty(); }

void AccountTextInput::mousePressEvent(QMouseEvent* event)
{
    m_field->setFocus(Qt::MouseFocusReason);
    QWidget::mousePressEvent(event);
}

void AccountTextInput::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 9, 9);
    p.setClipPath(shape);
    p.fillPath(shape, blackAt(0.24));
    p.setPen(QPen(whiteAt(0.075), 1));
    p.drawPath(shape);
}

namespace {
// The rounded box of a settings field: the panel surface, radius 10, a white
// 0.08 hairline.
class SettingsFieldBox : public QWidget {
public:
    explicit SettingsFieldBox(QWidget* parent) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        paintRoundedCard(p, QRectF(rect()), 10, constants::panelSurface(), whiteAt(0.08));
    }
};
} // namespace

SettingsField::SettingsField(const QString& title, std::function<void()> pasteAction, QWidget* parent) : QWidget(parent)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    m_caption = new PanelText(title, this);
    m_caption->setPanelFont(11, FontWeight::Semibold);
    m_caption->setColor(whiteAt(0.65));
    column->addWidget(m_caption);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    m_box = new SettingsFieldBox(this);
    auto* boxLayout = new QVBoxLayout(m_box);
    boxLayout->setContentsMargins(12, 10, 12, 10);
    m_field = new QLineEdit(m_box);
    m_field->setFrame(false);
    m_field->setAttribute(Qt::WA_MacShowFocusRect, false);
    m_field->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; border: none; padding: 0px; }"));
    m_field->setMaxLength(std::numeric_limits<int>::max());
    m_field->setAccessibleName(title);
    boxLayout->addWidget(m_field);
    row->addWidget(m_box, 1, Qt::AlignVCenter);
    if (pasteAction) {
        m_paste = new StyledButton(ButtonStyle::Secondary, tr("Paste"), this);
        connect(m_paste, &QAbstractButton::clicked, this, [pasteAction]() { pasteAction(); });
        row->addWidget(m_paste, 0, Qt::AlignVCenter);
    }
    column->addLayout(row);
    connect(m_field, &QLineEdit::textEdited, this, [this](const QString& text) {
        if (onEdited)
            onEdited(text);
    });
}

void SettingsField::setText(const QString& text)
{
    if (m_field->text() != text)
        m_field->setText(text);
}

QString SettingsField::text() const { return m_field->text(); }

} // namespace tovrik::panel
