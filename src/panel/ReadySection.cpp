#include "panel/ReadySection.h"

#include "common/Constants.h"
#include "common/Task.h"
#include "model/TovrikAppModel.h"
#include "panel/kit/Controls.h"
#include "panel/kit/PanelText.h"
#include "panel/kit/StyledButton.h"
#include "panel/kit/Symbols.h"
#include "panel/kit/TextInputs.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace tovrik::panel {

namespace {

const QString kPlaceholder = QStringLiteral("What do you need?");

QString askTitle(const TovrikAppModel& model)
{
    return model.isChatOnlyBusy() ? QStringLiteral("...") : QStringLiteral("Ask");
}

QCoro::Task<void> refreshAccount(QPointer<TovrikAppModel> model)
{
    if (model)
        co_await model->refreshHostedAccount(true);
}

// The 21 x 21 credit refresh button: "arrow.clockwise" at 10 semibold, white
// 0.55 while a refresh is possible, else 0.22, on white 0.06, rounded 6.
class RefreshCreditsButton : public QAbstractButton {
public:
    explicit RefreshCreditsButton(QWidget* parent) : QAbstractButton(parent)
    {
        setFixedSize(21, 21);
        setFocusPolicy(Qt::NoFocus);
        setAccessibleName(QStringLiteral("Refresh credits"));
        setToolTip(QStringLiteral("Refresh credits"));
        roundedHoverHighlight(this, 6, 0.08);
    }
    double iconOpacity() const { return isEnabled() ? 0.55 : 0.22; }

protected:
    bool hitButton(const QPoint& pos) const override { return shape().contains(QPointF(pos) + QPointF(0.5, 0.5)); }
    void changeEvent(QEvent* e) override
    {
        if (e->type() == QEvent::EnabledChange)
            update();
        QAbstractButton::changeEvent(e);
    }
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillPath(shape(), whiteAt(0.06));
        paintSymbol(p, QStringLiteral("arrow.clockwise"), rect(), 10, FontWeight::Semibold, whiteAt(iconOpacity()));
    }

private:
    QPainterPath shape() const
    {
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 6, 6);
        return path;
    }
};

// "+ Buy credits": the plus symbol (10 bold) and the text (11 semibold).
QWidget* makeBuyCreditsLabel()
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    auto* plus = new SymbolView(QStringLiteral("plus"), 10, FontWeight::Bold, whiteAt(0.84), row);
    layout->addWidget(plus, 0, Qt::AlignVCenter);
    auto* text = new PanelText(QStringLiteral("Buy credits"));
    text->setPanelFont(11, FontWeight::Semibold);
    text->setMaxLines(1);
    text->setFixedToIdealWidth(true);
    layout->addWidget(text, 0, Qt::AlignVCenter);
    return row;
}

} // namespace

ReadySection::ReadySection(TovrikAppModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // 1. Shortcuts.
    auto* shortcuts = new QWidget(this);
    auto* shortcutsLayout = new QVBoxLayout(shortcuts);
    shortcutsLayout->setContentsMargins(16, 12, 16, 12);
    shortcutsLayout->setSpacing(8);
    m_voiceRow = new ShortcutValueRow(QStringLiteral("Voice"), {}, shortcuts);
    m_menuRow = new ShortcutValueRow(QStringLiteral("Menu"), {}, shortcuts);
    shortcutsLayout->addWidget(m_voiceRow);
    shortcutsLayout->addWidget(m_menuRow);
    column->addWidget(shortcuts);
    column->addWidget(new DividerLine(this));

    // 3. Ask block: the status line and the button ride on the box's lower edge.
    auto* ask = new QWidget(this);
    auto* askLayout = new QVBoxLayout(ask);
    askLayout->setContentsMargins(16, 12, 16, 14);
    askLayout->setSpacing(7);
    m_chat = new ChatTextInput(kPlaceholder, 78, ask);
    m_chat->onEdited = [this](const QString& text) {
        if (m_model)
            m_model->setChatOnlyInput(text);
    };
    askLayout->addWidget(m_chat);
    auto* bottomRow = new QHBoxLayout;
    bottomRow->setContentsMargins(0, 0, 0, 9); // the box already insets 12 on each side
    bottomRow->setSpacing(8);
    m_status = new PanelText(QString(), m_chat);
    m_status->setPanelFont(10, FontWeight::Regular);
    m_status->setColor(whiteAt(0.18));
    m_status->setMaxLines(1);
    m_ask = new StyledButton(ButtonStyle::Ask, QStringLiteral("Ask"), m_chat);
    connect(m_ask, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->sendChatOnlyMessage();
    });
    bottomRow->addWidget(m_status, 1, Qt::AlignVCenter);
    bottomRow->addWidget(m_ask, 0, Qt::AlignVCenter);
    static_cast<QVBoxLayout*>(m_chat->layout())->addLayout(bottomRow);
    column->addWidget(ask);
    column->addWidget(new DividerLine(this));

    // 5. Credits.
    auto* credits = new QWidget(this);
    auto* creditsLayout = new QHBoxLayout(credits);
    creditsLayout->setContentsMargins(16, 12, 16, 15);
    creditsLayout->setSpacing(0);
    auto* left = new QVBoxLayout;
    left->setSpacing(3);
    auto* figureRow = new QHBoxLayout;
    figureRow->setSpacing(7);
    m_credits = new PanelText(QString(), credits);
    m_credits->setPanelFont(18, FontWeight::Bold);
    m_credits->setColor(whiteAt(0.92));
    m_credits->setFixedToIdealWidth(true);
    figureRow->addWidget(m_credits, 0, Qt::AlignVCenter);
    auto* refreshButton = new RefreshCreditsButton(credits);
    m_refresh = refreshButton;
    connect(refreshButton, &QAbstractButton::clicked, this, [this]() {
        startTask([model = m_model](CancellationToken) { return refreshAccount(model); });
    });
    figureRow->addWidget(refreshButton, 0, Qt::AlignVCenter);
    figureRow->addStretch(1);
    left->addLayout(figureRow);
    auto* remaining = new PanelText(QStringLiteral("credits remaining"), credits);
    remaining->setPanelFont(11, FontWeight::Medium);
    remaining->setColor(whiteAt(0.28));
    left->addWidget(remaining);
    creditsLayout->addLayout(left);
    creditsLayout->addStretch(1);
    auto* right = new QVBoxLayout;
    right->setSpacing(4);
    m_buy = new StyledButton(ButtonStyle::Pill, makeBuyCreditsLabel(), credits);
    m_buy->setAccessibleName(QStringLiteral("Buy credits"));
    connect(m_buy, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->openHostedAccountPage();
    });
    right->addWidget(m_buy, 0, Qt::AlignRight);
    auto* topUp = new PanelText(QStringLiteral("Top up anytime"), credits);
    topUp->setPanelFont(10, FontWeight::Medium);
    topUp->setColor(whiteAt(0.18));
    topUp->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    topUp->setFixedToIdealWidth(true);
    right->addWidget(topUp, 0, Qt::AlignRight);
    creditsLayout->addLayout(right);
    creditsLayout->setAlignment(right, Qt::AlignBottom);
    creditsLayout->setAlignment(left, Qt::AlignBottom);
    column->addWidget(credits);
    column->addStretch(1);
    refresh();
}

QAbstractButton* ReadySection::refreshButton() const { return static_cast<QAbstractButton*>(m_refresh); }

double ReadySection::refreshIconOpacity() const { return static_cast<RefreshCreditsButton*>(m_refresh)->iconOpacity(); }

void ReadySection::refresh()
{
    if (!m_model)
        return;
    const TovrikAppModel& model = *m_model;
    m_voiceRow->setKeys(model.voiceShortcut().displayParts());
    m_menuRow->setKeys(model.panelShortcut().displayParts());
    m_chat->setText(model.chatOnlyInput());
    m_status->setText(model.chatOnlyStatusMessage());
    m_ask->setTitle(askTitle(model));
    m_ask->setEnabled(model.canSendChatOnlyMessage());
    m_credits->setText(model.hostedCreditsBalanceValue());
    m_refresh->setEnabled(model.canRefreshHostedAccount());
}

AskCard::AskCard(TovrikAppModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(9);
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    // The box is sized to its 40-point slot (a 78-point box would overlap
    // the texts above and below the card).
    m_chat = new ChatTextInput(kPlaceholder, 40, this);
    m_chat->onEdited = [this](const QString& text) {
        if (m_model)
            m_model->setChatOnlyInput(text);
    };
    row->addWidget(m_chat, 1, Qt::AlignVCenter);
    m_ask = new StyledButton(ButtonStyle::Ask, QStringLiteral("Ask"), this);
    connect(m_ask, &QAbstractButton::clicked, this, [this]() {
        if (m_model)
            m_model->sendChatOnlyMessage();
    });
    row->addWidget(m_ask, 0, Qt::AlignVCenter);
    column->addLayout(row);
    m_status = new PanelText(QString(), this);
    m_status->setPanelFont(11, FontWeight::Semibold);
    m_status->setColor(constants::turquoiseAccent());
    m_status->setMaxLines(2);
    column->addWidget(m_status);
    refresh();
}

void AskCard::refresh()
{
    if (!m_model)
        return;
    const TovrikAppModel& model = *m_model;
    m_chat->setText(model.chatOnlyInput());
    m_ask->setTitle(askTitle(model));
    m_ask->setEnabled(model.canSendChatOnlyMessage());
    m_status->setText(model.chatOnlyStatusMessage());
    // Any character counts here, whitespace too.
    m_status->setVisible(!model.chatOnlyStatusMessage().isEmpty());
}

void AskCard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), 8, 8);
    p.setClipPath(shape);
    p.fillPath(shape, withOpacity(constants::panelSurface(), 0.74));
    p.setPen(QPen(whiteAt(0.085), 1));
    p.drawPath(shape);
}

} // namespace tovrik::panel
